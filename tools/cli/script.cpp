#include "cli/script.h"

#include <fmt/format.h>

#include <cctype>

#include "cli/apdu_text.h"

namespace vorkand::cli {
namespace {

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

constexpr const char* kWords = "power-up, reset, reset-reader, exit";

// A first word that is no hex at all (it starts with a letter other than
// A-F, or holds one) is a keyword mistyped, not an APDU.
bool looks_like_a_word(std::string_view word) {
  if (word.empty() || !std::isalpha(static_cast<unsigned char>(word[0]))) return false;
  for (char c : word) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

std::variant<ScriptLine, std::string> parse_apdu_line(std::string_view line, int number) {
  ScriptLine item;
  item.number = number;
  const auto arrow = line.find("->");
  const std::string_view command = trim(line.substr(0, arrow));
  const std::string_view first = command.substr(0, command.find_first_of(" \t:"));
  if (looks_like_a_word(first)) {
    return fmt::format("unknown word '{}' (the words are {}; anything else is an APDU in hex)",
                       first, kWords);
  }
  auto apdu = parse_apdu(command);
  if (auto* error = std::get_if<std::string>(&apdu)) return std::move(*error);
  item.apdu = std::move(std::get<Bytes>(apdu));
  if (arrow == std::string_view::npos) return item;
  const auto wrong = [] { return std::string("the expected status word is 4 hex digits or ?"); };
  for (char c : line.substr(arrow + 2)) {
    if (c == ' ' || c == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '?') return wrong();
    item.expected += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (item.expected.size() != 4) return wrong();
  return item;
}

}  // namespace

ScriptReader::Step ScriptReader::feed(std::string_view text) {
  ++number_;
  std::string_view line = trim(text.substr(0, text.find_first_of("#;")));
  if (line.ends_with('\\')) {
    if (pending_.empty()) first_ = number_;
    pending_ += std::string(line.substr(0, line.size() - 1)) + " ";
    return {};
  }
  if (pending_.empty()) return complete(line, number_);
  const std::string whole = pending_ + std::string(line);
  pending_.clear();
  return complete(trim(whole), first_);
}

ScriptReader::Step ScriptReader::finish() {
  if (pending_.empty()) return {};
  const std::string whole = pending_;
  pending_.clear();
  return complete(trim(whole), first_);
}

ScriptReader::Step ScriptReader::complete(std::string_view line, int number) {
  Step step;
  if (line.empty()) return step;
  std::string word(line);
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  step.kind = Step::Kind::command;
  step.line.number = number;
  if (word == "power-up" || word == "reset") {
    step.line.kind = ScriptLine::Kind::power_up;
  } else if (word == "reset-reader") {
    step.line.kind = ScriptLine::Kind::reset_reader;
  } else if (word == "exit") {
    step.kind = Step::Kind::exit;
  } else if (word == "help") {
    step.kind = Step::Kind::help;
  } else {
    auto parsed = parse_apdu_line(line, number);
    if (auto* error = std::get_if<std::string>(&parsed)) {
      step.kind = Step::Kind::error;
      step.error = std::move(*error);
      step.line.number = number;
    } else {
      step.line = std::move(std::get<ScriptLine>(parsed));
    }
  }
  return step;
}

std::string script_position(const std::string& name, const ScriptError& error) {
  if (error.line == 0) return fmt::format("{}: {}", name, error.message);
  return fmt::format("{}:{}: {}", name, error.line, error.message);
}

std::variant<std::vector<ScriptLine>, ScriptError> parse_script(std::istream& in) {
  std::vector<ScriptLine> lines;
  ScriptReader reader;
  std::string text;
  for (bool more = true; more;) {
    more = static_cast<bool>(std::getline(in, text));
    ScriptReader::Step step = more ? reader.feed(text) : reader.finish();
    if (step.kind == ScriptReader::Step::Kind::error) {
      return ScriptError{step.line.number, std::move(step.error)};
    }
    if (step.kind == ScriptReader::Step::Kind::exit) break;
    if (step.kind == ScriptReader::Step::Kind::command) lines.push_back(std::move(step.line));
  }
  if (in.bad()) return ScriptError{0, "cannot be read"};
  return lines;
}

bool sw_matches(uint16_t sw, const std::string& expected) {
  const std::string actual = fmt::format("{:04X}", sw);
  for (std::size_t i = 0; i < 4; ++i) {
    if (expected[i] != '?' && expected[i] != actual[i]) return false;
  }
  return true;
}

}  // namespace vorkand::cli
