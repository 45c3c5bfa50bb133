// `vorkand sim`: the simulated reader for other programs, until SIGINT or
// SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <mutex>

#include "cli/commands.h"
#include "cli/sim_setup.h"

namespace vorkand::cli {

int run_sim(const Context& context, const SimSettings& settings) {
  if (!settings.replay.empty()) return run_replay(context, settings);
  Output& out = context.out;
  auto card = card_for(settings);
  if (auto* error = std::get_if<std::string>(&card)) return out.fail(kExitUsage, *error);

  // Block the stop signals before the simulator's thread starts, so that
  // they reach only sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

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
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  simulator->stop();
  return kExitOk;
}

}  // namespace vorkand::cli
