// Bytes written as hex in tests: "80 00 04", "800004" and "80:00:04" alike.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "failure.h"

namespace vorkand::test {

using Bytes = std::vector<uint8_t>;

// Pairs of hex digits, spaces and colons between them ignored; empty on any
// other character or an odd number of digits.
inline std::optional<Bytes> parse_hex(std::string_view text) {
  Bytes bytes;
  int high = -1;
  for (const char c : text) {
    if (c == ' ' || c == ':') continue;
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) return std::nullopt;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

// The bytes of a literal the test wrote; a failure when it is no hex.
inline Bytes hex(std::string_view text) {
  std::optional<Bytes> bytes = parse_hex(text);
  if (!bytes) fail("not hex bytes: \"" + std::string(text) + "\"");
  return bytes.value_or(Bytes{});
}

// Upper-case pairs joined by `separator`.
inline std::string to_hex(std::span<const uint8_t> bytes, std::string_view separator = " ") {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const uint8_t b : bytes) {
    if (!text.empty()) text += separator;
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

}  // namespace vorkand::test
