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

}  // namespace vorkand::cli
