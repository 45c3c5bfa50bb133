// Hex byte strings as people type them ("00 A4 00 00", "00a40000",
// "3B:95:11") and as the tools print them ("00 A4 00 00").
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorkand::common {

// The value of one hex digit (either case), -1 for any other character.
int hex_digit(char c);

// Reads pairs of hex digits; spaces, tabs and colons between bytes are
// ignored. Empty on any other character or an odd number of digits.
std::optional<std::vector<uint8_t>> parse_hex(std::string_view text);

// Upper-case hex, bytes separated by `separator` (none when empty).
std::string to_hex(std::span<const uint8_t> bytes, std::string_view separator = " ");

// The bytes as ASCII text, '.' for each byte that is not printable.
std::string printable(std::span<const uint8_t> bytes);

}  // namespace vorkand::common
