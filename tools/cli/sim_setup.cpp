#include <CLI/CLI.hpp>

#include "cli/sim_setup.h"

#include <pthread.h>

#include <cstdlib>
#include <random>
#include <string_view>

namespace vorkand::cli {

std::variant<sim::CardProfile, std::string> card_for(const SimSettings& settings) {
  std::variant<sim::CardProfile, std::string> card = sim::default_card();
  if (!settings.card_file.empty()) card = sim::load_card_file(settings.card_file);
  if (auto* profile = std::get_if<sim::CardProfile>(&card); profile && !settings.atr.empty()) {
    auto atr = sim::parse_atr_choice(settings.atr);
    if (!atr) return std::string("--atr wants t0, t1 or 2 to 252 hex bytes");
    profile->atr = std::move(*atr);
  }
  for (const std::string& text : settings.faults) {
    if (!sim::parse_fault(text)) {
      return "--fault '" + text +
             "': silence@N, hangup@N, overlong@N, stray@N:HEX or split@N:SIZE,...[/MS]";
    }
  }
  return card;
}

std::variant<std::unique_ptr<sim::PtySimulator>, std::string> start_simulator(
    const SimSettings& settings, const sim::CardProfile& card, sim::TraceSink trace) {
  const uint64_t seed = settings.seed ? *settings.seed : std::random_device{}();
  sim::ReaderOptions reader;
  reader.busy_polls = settings.busy_polls;
  reader.strict_head = settings.strict_head;
  sim::PtyOptions pty;
  pty.line_time = settings.line_time;
  for (const std::string& text : settings.faults) pty.faults.push_back(*sim::parse_fault(text));
  pty.trace = std::move(trace);
  pty.show_secrets = trace_secrets_shown();
  return sim::PtySimulator::start(sim::ReaderModel(sim::CardModel(card, seed), reader),
                                  std::move(pty));
}

bool trace_secrets_shown() {
  const char* value = secure_getenv("VORKAND_TRACE_SECRETS");
  return value != nullptr && std::string_view(value) == "1";
}

sigset_t block_stop_signals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  return stop_signals;
}

void wait_for_stop(const sigset_t& stop_signals) {
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
}

void add_sim_options(CLI::App& command, SimSettings& settings, bool full) {
  command.add_option("--atr", settings.atr, "the card's ATR: t0, t1 or hex bytes");
  command.add_option("--seed", settings.seed, "seed of the card's challenges (repeatable runs)");
  command.add_flag("--line-time", settings.line_time,
                   "pace bytes like a 9600 baud 8E1 line (about 1.15 ms a byte)");
  if (!full) return;
  command
      .add_option("--card", settings.card_file,
                  "a card file in place of the built-in card (its ATR, files and PIN)")
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

}  // namespace vorkand::cli
