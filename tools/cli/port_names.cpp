#include "cli/port_names.h"

#include <cctype>

namespace vorkand::cli {

std::optional<std::string> normalise_port(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (std::string_view port : kPorts) {
    if (upper == port) return upper;
  }
  return std::nullopt;
}

std::string port_variable(std::string_view port) {
  return "VORKAND_" + std::string(port);
}

}  // namespace vorkand::cli
