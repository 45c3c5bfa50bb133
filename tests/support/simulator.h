// The reader simulator on a pseudo-terminal, for tests (POSIX only): a card
// (the built-in one unless given), challenge seed 1, and the reader's and the
// pseudo-terminal's options each test needs. nullptr, and a failure
// (failure.h), when the system refuses a pseudo-terminal.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "failure.h"
#include "sim/card_file.h"
#include "sim/pty_simulator.h"

namespace vorkand::test {

inline std::unique_ptr<sim::PtySimulator> start_simulator(
    sim::PtyOptions pty = {}, sim::CardProfile card = sim::default_card(),
    sim::ReaderOptions reader = {}) {
  auto started = sim::PtySimulator::start(
      sim::ReaderModel(sim::CardModel(std::move(card), 1), reader), std::move(pty));
  if (auto* error = std::get_if<std::string>(&started)) {
    fail("simulator: " + *error);
    return nullptr;
  }
  return std::move(std::get<0>(started));
}

}  // namespace vorkand::test
