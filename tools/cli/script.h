// APDU scripts: one command a line, '#' or ';' starts a comment, a '\' at
// the end of a line continues the APDU on the next; keywords in any case.
//   00 A4 00 0C 02 50 00 -> 90 00   an APDU and the status word expected
//                                   ('?' matches any digit: 63 C?)
//   00 84 00 00 08                  an APDU, its status word not checked
//   power-up (or reset)             power the card up, read its ATR
//   reset-reader                    reset the reader
//   exit                            stop here
//   help                            (at the prompt) what can be typed
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
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

// A script read a line at a time, as the lines arrive.
class ScriptReader {
 public:
  struct Step {
    enum class Kind : uint8_t { nothing, command, help, exit, error };
    Kind kind = Kind::nothing;
    ScriptLine line;    // with command; with error, its number
    std::string error;  // with error: what is wrong, without the place
  };
  Step feed(std::string_view text);
  // An APDU still waiting for the line that continues it.
  bool continuing() const { return !pending_.empty(); }
  // At the end of the input: the APDU a last '\' left open, if any.
  Step finish();

 private:
  Step complete(std::string_view line, int number);
  int number_ = 0;
  int first_ = 0;  // of the APDU being continued
  std::string pending_;
};

// Where a script is wrong: the line (0: the script as a whole) and what.
struct ScriptError {
  int line = 0;
  std::string message;
};

// "NAME:LINE: MESSAGE", the one form every script position takes ("NAME:
// MESSAGE" for the script as a whole).
std::string script_position(const std::string& name, const ScriptError& error);

// The lines up to the end or the first `exit`.
std::variant<std::vector<ScriptLine>, ScriptError> parse_script(std::istream& in);

// `expected` as parse_script gives it, non-empty.
bool sw_matches(uint16_t sw, const std::string& expected);

}  // namespace vorkand::cli
