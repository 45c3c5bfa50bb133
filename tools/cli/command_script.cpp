// `vorkand script`: run an APDU script (a file, or standard input for "-"),
// checking the status words it expects.
#include <fmt/format.h>

#include <sstream>

#include "cli/commands.h"
#include "cli/script.h"
#include "cli/session.h"
#include "cli/status_words.h"
#include "cli/text_file.h"
#include "sim/hex.h"
#include "vorkand.h"

namespace vorkand::cli {
namespace {

ScriptResult run_line(int32_t handle, const ScriptLine& line, const ScriptSettings& settings) {
  ScriptResult result;
  result.line = line.number;
  Exchange exchange;
  switch (line.kind) {
    case ScriptLine::Kind::power_up:
      exchange = power_up(handle);
      result.command = "power-up";
      break;
    case ScriptLine::Kind::reset_reader:
      exchange.sw = static_cast<uint16_t>(CT_reset(handle));
      result.command = "reset-reader";
      break;
    case ScriptLine::Kind::apdu:
      exchange =
          settings.get_response
              ? whole_answer(line.apdu,
                             [handle](const Bytes& apdu) { return transparent(handle, apdu); })
              : transparent(handle, line.apdu);
      result.command = sim::to_hex(line.apdu);
      break;
  }
  result.data = std::move(exchange.data);
  result.sw = exchange.sw;
  // Reader commands are expected to succeed; APDUs as the script says, or
  // 90 00 when strict.
  result.expected = line.kind != ScriptLine::Kind::apdu ? "9000" : line.expected;
  if (result.expected.empty() && settings.strict) result.expected = "9000";
  result.ok = result.expected.empty() || sw_matches(result.sw, result.expected);
  return result;
}

}  // namespace

int run_script(const Context& context, const ScriptSettings& settings) {
  Output& out = context.out;
  const std::string name = settings.path == "-" ? "(standard input)" : settings.path;
  auto text = read_text_file(settings.path);
  if (auto* error = std::get_if<FileError>(&text)) {
    return out.fail(kExitUsage, name + ": cannot read: " + error->reason);
  }
  std::istringstream in(std::get<std::string>(text));
  auto parsed = parse_script(in);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    return out.fail(kExitUsage, name + ": " + *error);
  }
  const auto& lines = std::get<0>(parsed);

  const auto handle = open_port(context);
  if (!handle) return kExitFailure;
  int mismatches = 0, checked = 0;
  bool reader_failed = false;
  for (const ScriptLine& line : lines) {
    const ScriptResult result = run_line(*handle, line, settings);
    checked += result.expected.empty() ? 0 : 1;
    if (!result.ok) {
      ++mismatches;
      out.fail(kExitFailure, fmt::format("{}:{}: {}: expected {} {}, got {}", name, line.number,
                                         result.command, result.expected.substr(0, 2),
                                         result.expected.substr(2), sw_text(result.sw)));
    }
    out.script_line(result);
    // A reader that stopped answering would only cost each later line the
    // silence limit.
    if (result.sw == kSwNoReply) {
      reader_failed = true;
      out.fail(kExitFailure,
               fmt::format("{}:{}: {}", name, line.number, reader_failure(context, result.sw)));
      break;
    }
  }
  CT_close(*handle);
  out.script_summary(checked, mismatches);
  return mismatches == 0 && !reader_failed ? kExitOk : kExitFailure;
}

}  // namespace vorkand::cli
