#include "cli/hex_input.h"

#include <fmt/format.h>

#include "common/hex.h"

namespace vorkand::cli {

std::variant<std::vector<uint8_t>, std::string> read_hex(std::string_view text) {
  std::vector<uint8_t> bytes;
  int high = -1;
  std::size_t column = 0;
  for (const char c : text) {
    ++column;
    const bool separator = c == ' ' || c == '\t' || c == ':';
    if (separator && high < 0) continue;
    const int value = separator ? -1 : common::hex_digit(c);
    if (value < 0) {
      return fmt::format("'{}' breaks at character {}: {}", text, column,
                         separator ? "a lone hex digit before it" : "not a hex digit");
    }
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<uint8_t>(high * 16 + value));
      high = -1;
    }
  }
  if (high >= 0) return fmt::format("'{}' ends in a lone hex digit", text);
  return bytes;
}

}  // namespace vorkand::cli
