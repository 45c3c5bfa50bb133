// vorkand: the command-line tool over the library (and its reader simulator).
#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <cstdlib>

#include "cli/commands.h"
#include "cli/trace_option.h"

namespace {

using namespace vorkand::cli;

// "com2" -> "COM2"; empty when the name is not COM1..COM4.
std::string normalise_port(std::string name) {
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name.size() != 4 || name.compare(0, 3, "COM") != 0 || name[3] < '1' || name[3] > '4') {
    return {};
  }
  return name;
}

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
  command
      .add_option("--replay", settings.replay,
                  "play the reader side of a library trace (VORKAND_TRACE) instead of the card")
      ->check(CLI::ExistingFile);
  command.add_option(
      "--handle", settings.replay_handle,
      "with --replay: play only this handle (default: every session on the first port)");
  command.add_flag("--strict-head", settings.strict_head,
                   "answer card frames whose head does not match the card's protocol with "
                   "00 92 00 92");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vorkand: drive a smart-card reader on a serial port (or the built-in simulator)"};
  app.require_subcommand(1, 1);
  app.fallthrough();

  Context context;
  std::string port = "COM1";
  std::string device;
  app.add_option("--port", port, "the port the library opens: COM1..COM4 (default COM1)");
  app.add_option("--device", device, "map that COM port to this device for this run");
  app.add_flag("--json", context.json, "machine-readable output");
  bool trace = false;
  app.add_flag("--trace", trace,
               "show the library's frames on stderr, with milliseconds since the command started");

  SimSettings demo_settings;
  auto* demo = app.add_subcommand("demo", "the library's typical use against the simulator");
  add_sim_options(*demo, demo_settings, false);

  SimSettings sim_settings;
  auto* sim = app.add_subcommand("sim", "run the simulated reader for other programs until Ctrl-C");
  add_sim_options(*sim, sim_settings, true);

  auto* atr = app.add_subcommand("atr", "power up the card and decode its ATR");

  SendSettings send_settings;
  auto* send = app.add_subcommand("send", "send APDUs (through ICC_tsi_api by default)");
  send->add_option("apdu", send_settings.apdus, "APDUs in hex, one an argument")->required();
  send->add_option("--direction", send_settings.direction,
                   "use ICC_command with this direction (1: the card returns data)");
  send->add_option("--protocol", send_settings.protocol,
                   "use ICC_command with this protocol (0: T=0, 1: T=1; default 0)");
  send->add_flag("--power-up", send_settings.power_up, "power the card up first (ICC_reset)");

  std::string script_path;
  auto* script = app.add_subcommand("script", "run an APDU script, checking status words");
  script->add_option("file", script_path, "script: 'APDU -> SW' lines, power-up, reset-reader")
      ->required();

  std::string des_direction, des_key;
  std::vector<std::string> des_blocks;
  auto* des = app.add_subcommand("des", "DES in ECB over whole 8-byte blocks");
  des->add_option("direction", des_direction, "encrypt or decrypt")
      ->required()
      ->check(CLI::IsMember({"encrypt", "decrypt"}));
  des->add_option("--key", des_key, "the 8-byte key in hex")->required();
  des->add_option("data", des_blocks, "data in hex, a multiple of 8 bytes an argument")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return fail(kExitUsage, std::string(e.what()) + " (see vorkand --help)");
  }

  context.port = normalise_port(port);
  if (context.port.empty()) return fail(kExitUsage, "--port wants COM1, COM2, COM3 or COM4");
  if (!device.empty()) setenv(("VORKAND_" + context.port).c_str(), device.c_str(), 1);
  // Shows the library's own trace until the command returns.
  std::optional<TraceView> trace_view;
  if (trace) trace_view.emplace();

  try {
    if (*demo) return run_demo(context, demo_settings);
    if (*sim) return run_sim(context, sim_settings);
    if (*atr) return run_atr(context);
    if (*send) return run_send(context, send_settings);
    if (*script) return run_script(context, script_path);
    if (*des) return run_des(context, des_direction == "encrypt", des_key, des_blocks);
  } catch (const std::exception& e) {
    return fail(kExitFailure, e.what());
  }
  return kExitUsage;
}
