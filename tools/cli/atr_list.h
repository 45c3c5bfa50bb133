// Looking an ATR up in a list of known cards, in the format of the
// smartcard_list.txt that PC/SC tools install: an unindented line holds an
// ATR (hex bytes separated by spaces, '.' for any digit, or a regular
// expression), the tab-indented lines after it describe the card; '#'
// starts a comment.
#pragma once

#include <cstdint>
#include <istream>
#include <span>
#include <string>
#include <vector>

namespace vorkand::cli {

// Where the list is found when no file is named.
inline constexpr const char* kDefaultAtrList = "/usr/share/pcsc/smartcard_list.txt";

struct AtrMatch {
  std::string pattern;                    // the ATR line as the list has it
  std::vector<std::string> descriptions;  // its descriptions, without the tab
};

std::vector<AtrMatch> find_atr(std::istream& list, std::span<const uint8_t> atr);

}  // namespace vorkand::cli
