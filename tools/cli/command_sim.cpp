// `vorkand sim`: the simulated reader for other programs, until SIGINT or
// SIGTERM.
#include <mutex>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/sim_setup.h"

namespace vorkand::cli {

int run_sim(const Context& context, const SimSettings& settings) {
  if (!settings.replay.empty()) return run_replay(context, settings);
  Output& out = context.out;
  auto card = card_for(settings);
  if (auto* error = std::get_if<std::string>(&card)) return out.fail(kExitUsage, *error);

  const sigset_t stop_signals = block_stop_signals();

  std::mutex print_mutex;
  sim::TraceSink trace;
  if (settings.trace) {
    trace = [&print_mutex, &out](const sim::TraceEvent& event) {
      std::lock_guard lock(print_mutex);
      out.sim_frame(event);
    };
  }
  auto started = start_simulator(settings, std::get<sim::CardProfile>(card), trace);
  if (auto* error = std::get_if<std::string>(&started)) {
    return out.fail(kExitFailure, "cannot start the simulator: " + *error);
  }
  auto& simulator = std::get<0>(started);
  {
    std::lock_guard lock(print_mutex);
    out.sim_ready(simulator->device_path(), context.port);
  }
  wait_for_stop(stop_signals);
  simulator->stop();
  return kExitOk;
}

Command add_sim(CLI::App& app) {
  auto settings = std::make_shared<SimSettings>();
  CLI::App* sim = app.add_subcommand("sim", kSimAbout);
  add_sim_options(*sim, *settings, true);
  return {sim, [settings](const Context& context) { return run_sim(context, *settings); }};
}

}  // namespace vorkand::cli
