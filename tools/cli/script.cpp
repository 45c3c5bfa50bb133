#include "cli/script.h"

#include <fmt/format.h>

#include <cctype>

#include "cli/port.h"

namespace vorkand::cli {
namespace {

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::variant<ScriptLine, std::string> parse_apdu_line(std::string_view line, int number) {
  ScriptLine item;
  item.number = number;
  const auto arrow = line.find("->");
  auto apdu = parse_apdu(trim(line.substr(0, arrow)));
  if (auto* error = std::get_if<std::string>(&apdu))
    return fmt::format("line {}: {}", number, *error);
  item.apdu = std::move(std::get<Bytes>(apdu));
  if (arrow == std::string_view::npos) return item;
  const auto wrong = [number] {
    return fmt::format("line {}: the expected status word is 4 hex digits or ?", number);
  };
  for (char c : line.substr(arrow + 2)) {
    if (c == ' ' || c == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '?') return wrong();
    item.expected += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (item.expected.size() != 4) return wrong();
  return item;
}

}  // namespace

std::variant<std::vector<ScriptLine>, std::string> parse_script(std::istream& in) {
  std::vector<ScriptLine> lines;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    std::string_view line = text;
    line = trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    ScriptLine item;
    item.number = number;
    if (line == "power-up" || line == "reset") {
      item.kind = ScriptLine::Kind::power_up;
    } else if (line == "reset-reader") {
      item.kind = ScriptLine::Kind::reset_reader;
    } else if (line == "exit") {
      break;
    } else {
      auto parsed = parse_apdu_line(line, number);
      if (auto* error = std::get_if<std::string>(&parsed)) return std::move(*error);
      item = std::move(std::get<ScriptLine>(parsed));
    }
    lines.push_back(std::move(item));
  }
  if (in.bad()) return std::string("cannot be read");
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
