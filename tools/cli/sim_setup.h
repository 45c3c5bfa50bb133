// The simulator as `vorkand demo` and `vorkand sim` start it from their
// options.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "cli/commands.h"
#include "sim/card_file.h"
#include "sim/pty_simulator.h"

namespace vorkand::cli {

// The card the settings describe, or what is wrong with them.
std::variant<sim::CardProfile, std::string> card_for(const SimSettings& settings);

std::variant<std::unique_ptr<sim::PtySimulator>, std::string> start_simulator(
    const SimSettings& settings, const sim::CardProfile& card, sim::TraceSink trace);

}  // namespace vorkand::cli
