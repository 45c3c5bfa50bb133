// `vorkand script`: run an APDU script (a file, or standard input for "-"),
// checking the status words it expects.
#include <fmt/format.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/script.h"
#include "cli/session.h"
#include "cli/status_words.h"
#include "cli/text_file.h"
#include "common/hex.h"
#include "vorkand.h"

namespace vorkand::cli {
namespace {

ScriptResult run_line(int32_t handle, const ScriptLine& line, const ScriptSettings& settings) {
  ScriptResult result;
  result.line = line.number;
  Exchange exchange;
  const auto send = [handle](const Bytes& apdu) { return transparent(handle, apdu); };
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
      exchange = settings.no_get_response ? send(line.apdu) : whole_answer(line.apdu, send);
      result.command = common::to_hex(line.apdu);
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

constexpr const char* kPromptHelp =
    "APDU in hex [-> SW]   send it ('?' in SW matches any digit; '\\' at the end continues)\n"
    "reset (or power-up)   power the card up\n"
    "reset-reader          reset the reader\n"
    "exit                  end (so does Ctrl-D)\n";

struct Tally {
  int checked = 0;
  int mismatches = 0;
  bool powered = false;  // a power-up was sent, asked for or not
};

// Runs `line`, reports it, then what is wrong with it, and counts it; false
// once the reader stopped answering (a silent reader would cost each later
// line the silence limit).
bool run_and_report(const Context& context, int32_t handle, const ScriptLine& line,
                    const ScriptSettings& settings, const std::string& name, Tally& tally) {
  Output& out = context.out;
  ScriptResult result = run_line(handle, line, settings);
  // A reader with a card it has not powered refuses the card's commands: the
  // card is powered up then, once, as a line of its own, and the APDU sent
  // again.
  if (line.kind == ScriptLine::Kind::apdu && result.sw == kSwRefused && !tally.powered &&
      !settings.no_power_up) {
    ScriptLine power{line.number, ScriptLine::Kind::power_up, {}, {}};
    const int mismatches = tally.mismatches;
    if (!run_and_report(context, handle, power, settings, name, tally)) return false;
    // A card that would not power up refuses the APDU again: said once.
    if (tally.mismatches != mismatches) return true;
    result = run_line(handle, line, settings);
  }
  if (line.kind == ScriptLine::Kind::power_up) tally.powered = true;
  tally.checked += result.expected.empty() ? 0 : 1;
  if (!result.ok) ++tally.mismatches;
  out.script_line(result);
  const auto at = [&](const std::string& message) {
    return script_position(name, ScriptError{line.number, message});
  };
  if (is_reader_error(result.sw)) {
    const std::string why = line.kind == ScriptLine::Kind::power_up
                                ? power_up_failure(context, result.sw)
                                : result.command + ": " + reader_failure(context, result.sw);
    out.fail(kExitFailure, at(why));
    return result.sw != kSwNoReply;
  }
  if (!result.ok) {
    out.fail(kExitFailure, at(fmt::format("{}: expected {} {}, got {}", result.command,
                                          result.expected.substr(0, 2), result.expected.substr(2),
                                          format_sw(result.sw))));
  }
  return true;
}

// Standard input, answered line by line as the lines arrive; on a terminal
// with a prompt, and a wrong line is said and skipped instead of ending it.
int run_streamed(const Context& context, const ScriptSettings& settings) {
  const std::string name = "(standard input)";
  const bool prompt = input_is_terminal();
  const auto handle = open_port(context);
  if (!handle) return kExitFailure;
  Tally tally;
  int status = kExitOk;
  ScriptReader reader;
  std::string text;
  for (bool more = true; more;) {
    if (prompt) {
      fmt::print(stderr, "{}", reader.continuing() ? "...> " : "vorkand> ");
      std::fflush(stderr);
    }
    more = static_cast<bool>(std::getline(std::cin, text));
    ScriptReader::Step step = more ? reader.feed(text) : reader.finish();
    using Kind = ScriptReader::Step::Kind;
    if (step.kind == Kind::exit) break;
    if (step.kind == Kind::help) fmt::print(stderr, "{}", kPromptHelp);
    if (step.kind == Kind::error) {
      const std::string error = script_position(name, {step.line.number, step.error});
      if (prompt) {
        fmt::print(stderr, "{} (help lists what can be typed)\n", error);
        continue;
      }
      status = context.out.fail(kExitUsage, error);
      break;
    }
    if (step.kind == Kind::command &&
        !run_and_report(context, *handle, step.line, settings, name, tally)) {
      status = kExitFailure;
      break;
    }
  }
  if (prompt) fmt::print(stderr, "\n");
  CT_close(*handle);
  context.out.script_summary(tally.checked, tally.mismatches);
  if (status != kExitOk) return status;
  return tally.mismatches == 0 ? kExitOk : kExitFailure;
}

}  // namespace

int run_script(const Context& context, const ScriptSettings& settings) {
  Output& out = context.out;
  if (settings.path == "-") return run_streamed(context, settings);
  const std::string name = settings.path;
  auto text = read_text_file(settings.path);
  if (auto* error = std::get_if<FileError>(&text)) {
    return out.fail(kExitUsage, name + ": cannot read: " + error->reason);
  }
  std::istringstream in(std::get<std::string>(text));
  auto parsed = parse_script(in);
  if (auto* error = std::get_if<ScriptError>(&parsed)) {
    return out.fail(kExitUsage, script_position(name, *error));
  }
  const auto& lines = std::get<0>(parsed);

  const auto handle = open_port(context);
  if (!handle) return kExitFailure;
  Tally tally;
  bool reader_failed = false;
  for (const ScriptLine& line : lines) {
    if (!run_and_report(context, *handle, line, settings, name, tally)) {
      reader_failed = true;
      break;
    }
  }
  CT_close(*handle);
  out.script_summary(tally.checked, tally.mismatches);
  return tally.mismatches == 0 && !reader_failed ? kExitOk : kExitFailure;
}

Command add_script(CLI::App& app) {
  auto settings = std::make_shared<ScriptSettings>();
  CLI::App* script = app.add_subcommand("script", "run an APDU script, checking status words");
  script
      ->add_option("file", settings->path,
                   "script ('-': standard input): 'APDU -> SW' lines, power-up or reset, "
                   "reset-reader, exit")
      ->required();
  script->add_flag("--strict", settings->strict,
                   "a line without '-> SW' fails on any status word but 90 00");
  script->add_flag("--no-power-up", settings->no_power_up, kNoPowerUpHelp);
  script->add_flag("--no-get-response", settings->no_get_response, kNoGetResponseHelp);
  // Accepted as before: whole answers are the default now.
  script->add_flag("--get-response", kGetResponseHelp)->group("");
  return {script, [settings](const Context& context) { return run_script(context, *settings); }};
}

}  // namespace vorkand::cli
