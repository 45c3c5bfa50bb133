// The simulator as `vorkand demo` and `vorkand sim` start it from their
// options.
#pragma once

#include <signal.h>

#include <memory>
#include <string>
#include <variant>

#include "cli/commands.h"
#include "sim/card_file.h"
#include "sim/pty_simulator.h"

namespace vorkand::cli {

// The simulator's options, as demo takes them (the card's ATR, seed and line
// pace) or, `full`, as sim takes them (also the card file, busy answers,
// faults, the frame trace and replay).
void add_sim_options(CLI::App& command, SimSettings& settings, bool full);

// The card the settings describe, or what is wrong with them.
std::variant<sim::CardProfile, std::string> card_for(const SimSettings& settings);

std::variant<std::unique_ptr<sim::PtySimulator>, std::string> start_simulator(
    const SimSettings& settings, const sim::CardProfile& card, sim::TraceSink trace);

// Blocks SIGINT and SIGTERM in the calling thread, before the simulator's
// thread starts, so that they reach only the sigwait of wait_for_stop.
sigset_t block_stop_signals();

// VORKAND_TRACE_SECRETS=1, as for the library's trace: the simulator's trace
// then shows the data of PIN commands instead of "**".
bool trace_secrets_shown();
void wait_for_stop(const sigset_t& stop_signals);

}  // namespace vorkand::cli
