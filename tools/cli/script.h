// APDU scripts: one command a line, '#' starts a comment.
//   00 A4 00 0C 02 50 00 -> 90 00   an APDU and the status word expected
//                                   ('?' matches any digit: 63 C?)
//   00 84 00 00 08                  an APDU, its status word not checked
//   power-up (or reset)             power the card up, read its ATR
//   reset-reader                    reset the reader
//   exit                            stop here
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <variant>
#include <vector>

namespace vorkand::cli {

struct ScriptLine {
  enum class Kind : uint8_t { apdu, power_up, reset_reader };
  int number = 0;
  Kind kind = Kind::apdu;
  std::vector<uint8_t> apdu;
  std::string expected;  // four hex digits or '?', upper case; empty: not checked
};

// The lines up to the end or the first `exit`; on error "line N: ...".
std::variant<std::vector<ScriptLine>, std::string> parse_script(std::istream& in);

// `expected` as parse_script gives it, non-empty.
bool sw_matches(uint16_t sw, const std::string& expected);

}  // namespace vorkand::cli
