#include "cli/port.h"

#include <fmt/format.h>

#include <cctype>

#include "sim/hex.h"

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

std::variant<Bytes, std::string> parse_apdu(std::string_view text) {
  auto apdu = sim::parse_hex(text);
  if (!apdu) return std::string("not hex bytes (pairs of hex digits, spaces or colons between)");
  if (apdu->size() < kMinApdu) {
    return fmt::format("an APDU of {} byte{} is too short: at least {} (CLA INS P1 P2)",
                       apdu->size(), apdu->size() == 1 ? "" : "s", kMinApdu);
  }
  if (apdu->size() > kMaxApdu) {
    return fmt::format("an APDU of {} bytes is too long: the limit is {}", apdu->size(), kMaxApdu);
  }
  return std::move(*apdu);
}

}  // namespace vorkand::cli
