// The commands that run the simulated reader on a pseudo-terminal (sim,
// demo) are for Linux, and so is watch for now; on Windows they say so.
#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "sim/pty_simulator.h"

namespace vorkand::cli {
namespace {

int linux_only(const Context& context, const char* command) {
  return context.out.fail(kExitUsage, std::string(command) +
                                          " is for Linux: the simulated reader needs a "
                                          "pseudo-terminal; run it there and reach it over "
                                          "rfc2217:// (ser2net)");
}

// The command, whatever follows it: it only says that it does not run here.
Command linux_only_command(CLI::App& app, const char* name, const char* about,
                           std::function<int(const Context&)> run) {
  CLI::App* command = app.add_subcommand(name, about);
  command->allow_extras();
  return {command, std::move(run), true};
}

}  // namespace

Command add_demo(CLI::App& app) {
  return linux_only_command(app, "demo", kDemoAbout,
                            [](const Context& context) { return run_demo(context, {}); });
}

Command add_sim(CLI::App& app) {
  return linux_only_command(app, "sim", kSimAbout,
                            [](const Context& context) { return run_sim(context, {}); });
}

Command add_watch(CLI::App& app) {
  return linux_only_command(app, "watch", kWatchAbout,
                            [](const Context& context) { return run_watch(context, {}); });
}

int run_demo(const Context& context, const SimSettings&) {
  return linux_only(context, "demo");
}

int run_sim(const Context& context, const SimSettings&) {
  return linux_only(context, "sim");
}

int run_watch(const Context& context, const WatchSettings&) {
  return context.out.fail(kExitUsage,
                          "watch is for Linux for now: run `vorkand readers` to see "
                          "the PC/SC readers and their cards");
}

}  // namespace vorkand::cli

namespace vorkand::sim {

// The simulator's frame lines: the text output shows them only for sim and
// demo, which do not run here.
std::string format_trace(const TraceEvent&, bool) {
  return {};
}

std::string event_hex(const TraceEvent&, std::string_view) {
  return {};
}

}  // namespace vorkand::sim
