// vorkand: the command-line tool over the library (and its reader simulator).
#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include <cstring>
#include <optional>
#include <string_view>

#include "cli/commands.h"
#include "cli/globals.h"
#include "cli/session.h"
#include "cli/system.h"
#include "cli/trace_option.h"
#include "vorkand.h"

namespace {

using namespace vorkand::cli;

constexpr const char* kGetResponseHelp = "whole answers (the default)";
constexpr const char* kNoGetResponseHelp =
    "hand on 61 xx and 6C xx as the card gives them (by default the rest of 61 xx is fetched "
    "with GET RESPONSE, and on 6C xx the APDU is sent again with Le xx)";
constexpr const char* kNoPowerUpHelp =
    "leave the card as it is (by default, when the reader refuses a first APDU because the "
    "card is not powered, the card is powered up and the APDU sent again)";
constexpr const char* kCommands = "demo, sim, atr, send, script, des, readers or watch";

void add_sim_options(CLI::App& command, SimSettings& settings, bool full) {
  command.add_option("--atr", settings.atr, "the card's ATR: t0, t1 or hex bytes");
  command.add_option("--seed", settings.seed, "seed of the card's challenges (repeatable runs)");
  command.add_flag("--line-time", settings.line_time,
                   "pace bytes like a 9600 baud 8E1 line (about 1.15 ms a byte)");
  if (!full) return;
  command.add_option("--card", settings.card_file, "card file (see tools/sim/cards/default.card)")
      ->check(CLI::ExistingFile);
  command
      .add_option("--busy", settings.busy_polls,
                  "answer each card command busy (70 03) this many times first")
      ->check(CLI::Range(0, 20));
  command.add_option("--fault", settings.faults,
                     "for tests: silence@N, hangup@N, overlong@N, stray@N:HEX or "
                     "split@N:SIZE,...[/MS] on frame N (0: every frame)");
  command.add_flag("--trace", settings.trace, "print every frame with its direction and time");
  CLI::Option* replay =
      command.add_option("--replay", settings.replay,
                         "play the reader side of a library trace (VORKAND_TRACE) instead of the "
                         "card");
  replay->check(CLI::ExistingFile);
  command
      .add_option("--handle", settings.replay_handle,
                  "with --replay: play only this handle (default: every session on the first port)")
      ->needs(replay);
  command.add_flag("--strict-head", settings.strict_head,
                   "answer card frames whose head does not match the card's protocol with "
                   "00 92 00 92");
}

// What was typed that the parser did not know, named as such: an option, a
// command, or a word after a command that takes no more.
std::string unknown_words(const std::vector<std::string>& words, bool command_given) {
  for (const std::string& word : words) {
    if (word.rfind('-', 0) == 0 && word.size() > 1) return fmt::format("unknown option '{}'", word);
  }
  if (command_given) return fmt::format("unexpected argument '{}'", words.front());
  return fmt::format("unknown command '{}'; the commands are {}", words.front(), kCommands);
}

bool wants_json(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "--json") == 0 || std::strcmp(argv[i], "-j") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vorkand: drive a smart-card reader on a serial port (or the built-in simulator)"};
  app.require_subcommand(0, 1);
  app.fallthrough();
  app.allow_extras();

  Globals globals;
  add_global_options(app, globals);

  SimSettings demo_settings;
  auto* demo = app.add_subcommand("demo", "the library's typical use against the simulator");
  add_sim_options(*demo, demo_settings, false);

  SimSettings sim_settings;
  auto* sim = app.add_subcommand("sim", "run the simulated reader for other programs until Ctrl-C");
  add_sim_options(*sim, sim_settings, true);

  std::vector<std::string> typed_atr;
  auto* atr = app.add_subcommand(
      "atr", "power up the card (or take the ATR given in hex), decode its ATR, look it up");
  atr->add_option("hex", typed_atr,
                  "an ATR to decode instead of the card's: hex bytes, spaces or colons between");

  SendSettings send_settings;
  auto* send = app.add_subcommand("send", "send APDUs (through ICC_tsi_api by default)");
  send->add_option("apdu", send_settings.apdus, "APDUs in hex, one an argument")->required();
  send->add_option("--direction", send_settings.direction,
                   "use ICC_command with this direction: 1 the card returns data, 0 it does not "
                   "(default: 1 for an APDU of header and Le only)")
      ->check(CLI::IsMember({0, 1}));
  send->add_option("--protocol", send_settings.protocol,
                   "use ICC_command with this protocol: 0 T=0, 1 T=1 (default 0)")
      ->check(CLI::IsMember({0, 1}));
  send->add_flag("--power-up", send_settings.power_up, "power the card up first (ICC_reset)");
  send->add_flag("--no-power-up", send_settings.no_power_up, kNoPowerUpHelp);
  send->add_flag("--no-get-response", send_settings.no_get_response, kNoGetResponseHelp);
  send->add_flag("--get-response", kGetResponseHelp)->group("");

  ScriptSettings script_settings;
  auto* script = app.add_subcommand("script", "run an APDU script, checking status words");
  script
      ->add_option("file", script_settings.path,
                   "script ('-': standard input): 'APDU -> SW' lines, power-up or reset, "
                   "reset-reader, exit")
      ->required();
  script->add_flag("--strict", script_settings.strict,
                   "a line without '-> SW' fails on any status word but 90 00");
  script->add_flag("--no-power-up", script_settings.no_power_up, kNoPowerUpHelp);
  script->add_flag("--no-get-response", script_settings.no_get_response, kNoGetResponseHelp);
  script->add_flag("--get-response", kGetResponseHelp)->group("");

  DesSettings des_settings;
  auto* des = app.add_subcommand("des", "DES in ECB over whole 8-byte blocks");
  des->add_option("direction", des_settings.direction, "encrypt or decrypt")
      ->required()
      ->check(CLI::IsMember({"encrypt", "decrypt"}));
  des->add_option("--key", des_settings.key, "the 8-byte key in hex")->required();
  des->add_option("data", des_settings.blocks, "data in hex, a multiple of 8 bytes an argument")
      ->required();

  auto* readers = app.add_subcommand(
      "readers", "what COM1..COM4 map to and whether they open; the PC/SC readers");
  ReadersSettings readers_settings;
  readers->add_flag("--probe", readers_settings.probe,
                    "send each COM port that opens a reader reset, to see whether a reader "
                    "answers");
  readers->add_flag("--names", readers_settings.names,
                    "only the PC/SC readers, as pcsc:NAME one a line (for completion)");

  WatchSettings watch_settings;
  auto* watch = app.add_subcommand(
      "watch", "one line per PC/SC reader or card coming or going, until Ctrl-C");
  watch->add_option("--count", watch_settings.count, "stop after this many events")
      ->check(CLI::PositiveNumber);
  watch
      ->add_option("--probe-serial", watch_settings.probe_serial,
                   "also power up the card on each COM port every SECONDS to see readers and "
                   "cards come and go there (each look resets the card)")
      ->check(CLI::Range(1, 3600));

  for (CLI::App* command : app.get_subcommands({})) command->allow_extras();
  list_global_options(app);

  std::string parse_error;
  try {
    app.parse(argc, argv);
    // `--` ends the options: the parser hands the words after it to the
    // command's arguments and leaves the marker itself over.
    auto extras = app.remaining(true);
    std::erase(extras, std::string("--"));
    if (!extras.empty()) parse_error = unknown_words(extras, !app.get_subcommands().empty());
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    parse_error = e.what();
  }

  const auto out = globals.json || wants_json(argc, argv) ? make_json_output()
                                                          : make_text_output(colour_wanted());
  if (!parse_error.empty()) {
    return out->finish(out->fail(kExitUsage, parse_error + " (see vorkand --help)"));
  }
  if (globals.version) {
    out->version(VORKAND_VERSION_STRING, VORKAND_VERSION_STRING);
    return out->finish(kExitOk);
  }
  if (app.get_subcommands().empty()) {
    return out->finish(out->fail(
        kExitUsage, fmt::format("a command is required: {} (see vorkand --help)", kCommands)));
  }

  const auto port = normalise_port(globals.port);
  if (!port) return out->finish(out->fail(kExitUsage, "--port wants COM1, COM2, COM3 or COM4"));
  if (!globals.reader.empty()) {
    if (!globals.device.empty()) {
      return out->finish(
          out->fail(kExitUsage, "--device and --reader both map the port: give one"));
    }
    const PickedReader picked = pick_reader(globals.reader);
    if (!picked.error.empty()) return out->finish(out->fail(kExitUsage, picked.error));
    globals.device = picked.mapping;
  }
  if (!globals.device.empty()) set_variable(port_variable(*port), globals.device);
  const Context context{*port, globals.atr_list, *out};
  // Shows the library's own trace until the command returns.
  std::optional<TraceView> trace_view;
  if (globals.trace) trace_view.emplace();

  int status = kExitUsage;
  try {
    if (*demo) status = run_demo(context, demo_settings);
    if (*sim) status = run_sim(context, sim_settings);
    if (*atr) status = run_atr(context, typed_atr);
    if (*send) status = run_send(context, send_settings);
    if (*script) status = run_script(context, script_settings);
    if (*des) status = run_des(context, des_settings);
    if (*readers) status = run_readers(context, readers_settings);
    if (*watch) status = run_watch(context, watch_settings);
  } catch (const std::exception& e) {
    status = out->fail(kExitFailure, e.what());
  }
  return out->finish(status);
}
