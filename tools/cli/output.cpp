#include "cli/output.h"

#include <fmt/format.h>

#include <cstdio>

#include "cli/status_words.h"

namespace vorkand::cli {

int Output::fail(int status, const std::string& message) {
  std::fflush(stdout);
  fmt::print(stderr, "vorkand: {}\n", message);
  record_error(status, message);
  return status;
}

std::string sw_text(uint16_t sw) {
  return format_sw(sw) + "  " + status_meaning(sw);
}

std::string json_escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace vorkand::cli
