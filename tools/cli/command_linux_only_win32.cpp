// The commands that run the simulated reader on a pseudo-terminal (sim,
// demo) are for Linux, and so is watch for now; on Windows they say so.
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

}  // namespace

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
