// Hex bytes typed by a user: pairs of hex digits, with spaces, tabs or
// colons between bytes. When the text is not hex, the error says where it
// breaks, in the same words for every command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vorkand::cli {

// The bytes, or "'TEXT' breaks at character N: not a hex digit" (or "a lone
// hex digit before it", or "'TEXT' ends in a lone hex digit").
std::variant<std::vector<uint8_t>, std::string> read_hex(std::string_view text);

}  // namespace vorkand::cli
