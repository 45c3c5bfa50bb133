#include "cli/atr_list.h"

#include <algorithm>
#include <cctype>
#include <regex>

#include "common/hex.h"

namespace vorkand::cli {
namespace {

// Most entries are plain bytes with '.' wildcards: compared directly, which
// is far quicker than building a regular expression for each of thousands.
bool is_plain(const std::string& pattern) {
  return std::all_of(pattern.begin(), pattern.end(), [](char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ' ' || c == '.';
  });
}

bool matches(const std::string& pattern, const std::string& atr) {
  if (is_plain(pattern)) {
    if (pattern.size() != atr.size()) return false;
    for (std::size_t i = 0; i < atr.size(); ++i) {
      if (pattern[i] != '.' && std::toupper(static_cast<unsigned char>(pattern[i])) != atr[i]) {
        return false;
      }
    }
    return true;
  }
  try {
    return std::regex_match(atr, std::regex(pattern, std::regex::icase));
  } catch (const std::regex_error&) {
    return false;  // an entry that is no regular expression matches nothing
  }
}

}  // namespace

std::vector<AtrMatch> find_atr(std::istream& list, std::span<const uint8_t> atr) {
  const std::string text = common::to_hex(atr);
  std::vector<AtrMatch> found;
  bool in_match = false;
  std::string line;
  while (std::getline(list, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '\t') {
      if (in_match) found.back().descriptions.push_back(line.substr(1));
      continue;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    in_match = matches(line, text);
    if (in_match) found.push_back(AtrMatch{line, {}});
  }
  return found;
}

}  // namespace vorkand::cli
