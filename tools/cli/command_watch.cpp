// `vorkand watch`: one line per reader or card coming or going, as it
// happens, until Ctrl-C, SIGTERM or --count events. PC/SC readers report
// their cards themselves; a serial reader cannot, so the COM ports are only
// looked at when --probe-serial asks for it (each look is a power-up).
#include <fmt/format.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/pcsc_watch.h"
#include "cli/session.h"
#include "cli/sim_setup.h"
#include "cli/status_words.h"
#include "vorkand.h"

namespace vorkand::cli {
namespace {

// What a power-up on a COM port finds.
struct SerialState {
  bool reader = false;
  Bytes atr;  // empty: no card
};

SerialState probe(const std::string& port) {
  SerialState state;
  const int32_t handle = CT_open(port.c_str());
  if (handle == 0) return state;
  const Exchange atr = power_up(handle);
  CT_close(handle);
  state.reader = atr.sw != kSwNoReply;
  if (atr.sw == kSwOk) state.atr = atr.data;
  return state;
}

// The events between two looks at one port.
std::vector<ReaderEvent> serial_changes(const std::string& port, const SerialState& before,
                                        const SerialState& now) {
  std::vector<ReaderEvent> events;
  if (!before.reader && now.reader) events.push_back({port, "reader added", {}, {}, {}});
  if (!before.atr.empty() && now.atr != before.atr)
    events.push_back({port, "card removed", {}, {}, {}});
  if (!now.atr.empty() && now.atr != before.atr)
    events.push_back({port, "card inserted", {}, now.atr, {}});
  if (before.reader && !now.reader) events.push_back({port, "reader removed", {}, {}, {}});
  return events;
}

}  // namespace

int run_watch(const Context& context, const WatchSettings& settings) {
  Output& out = context.out;
  std::mutex mutex;  // the output, the count, and the probe's wake-up
  std::condition_variable wake;
  bool stopping = false;
  std::size_t events = 0;
  const auto report = [&](const std::vector<ReaderEvent>& list, bool counted) {
    std::lock_guard lock(mutex);
    for (const ReaderEvent& event : list) {
      if (stopping) return;
      out.watch_event(event, std::chrono::system_clock::now());
      if (counted && settings.count && ++events >= *settings.count) stopping = true;
    }
  };

  // The ports and what they map to; the ones on a PC/SC reader are watched
  // as that reader.
  std::vector<std::string> serial_ports;
  for (std::string_view name : kPorts) {
    const std::string port(name);
    const std::string mapping = port_mapping(port);
    report({{port, "maps to", mapping, {}, port_source(port)}}, false);
    if (mapping.rfind("pcsc:", 0) != 0) serial_ports.push_back(port);
  }

  auto opened = watch_pcsc();
  std::unique_ptr<PcscWatch> pcsc;
  if (auto* note = std::get_if<std::string>(&opened)) {
    if (!settings.probe_serial) {
      return out.fail(kExitFailure, fmt::format("nothing to watch: PC/SC: {}; --probe-serial "
                                                "SECONDS looks at the COM ports",
                                                *note));
    }
    report({{"PC/SC", *note, {}, {}, {}}}, false);
  } else {
    pcsc = std::move(std::get<0>(opened));
  }

  // SIGINT and SIGTERM go to a thread of their own that ends the waits.
  const sigset_t stop_signals = block_stop_signals();
  std::atomic<bool> finished{false};
  std::thread stopper([&] {
    wait_for_stop(stop_signals);
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    // Until the main thread has left its wait: a cancel that came before
    // the wait began would be lost.
    while (pcsc && !finished) {
      pcsc->cancel();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  const auto stopped = [&] {
    std::lock_guard lock(mutex);
    return stopping;
  };

  std::thread prober;
  if (settings.probe_serial) {
    prober = std::thread([&] {
      std::vector<SerialState> states(serial_ports.size());
      for (bool first = true; !stopped(); first = false) {
        for (std::size_t i = 0; i < serial_ports.size() && !stopped(); ++i) {
          const SerialState now = probe(serial_ports[i]);
          if (first) {
            if (now.reader) report({{serial_ports[i], "reader present", {}, {}, {}}}, false);
            if (!now.atr.empty())
              report({{serial_ports[i], "card present", {}, now.atr, {}}}, false);
          } else {
            report(serial_changes(serial_ports[i], states[i], now), true);
          }
          states[i] = now;
        }
        std::unique_lock lock(mutex);
        wake.wait_for(lock, std::chrono::seconds(*settings.probe_serial), [&] { return stopping; });
      }
      // --count reached here: the PC/SC wait ends too.
      ::kill(::getpid(), SIGTERM);
    });
  }

  int status = kExitOk;
  if (pcsc) {
    report(pcsc->current(), false);
    while (!stopped()) {
      auto changes = pcsc->changes();
      if (auto* error = std::get_if<std::string>(&changes)) {
        status = out.fail(kExitFailure, *error);
        break;
      }
      report(std::get<0>(changes), true);
    }
  } else {
    prober.join();
  }
  finished = true;
  // The stopper waits for a signal: --count and errors end it with one.
  ::kill(::getpid(), SIGTERM);
  stopper.join();
  if (prober.joinable()) {
    wake.notify_all();
    prober.join();
  }
  return status;
}

Command add_watch(CLI::App& app) {
  auto settings = std::make_shared<WatchSettings>();
  CLI::App* watch = app.add_subcommand("watch", kWatchAbout);
  watch->add_option("--count", settings->count, "stop after this many events")
      ->check(CLI::PositiveNumber);
  watch
      ->add_option("--probe-serial", settings->probe_serial,
                   "also power up the card on each COM port every SECONDS to see readers and "
                   "cards come and go there (each look resets the card)")
      ->check(CLI::Range(1, 3600));
  return {watch, [settings](const Context& context) { return run_watch(context, *settings); }};
}

}  // namespace vorkand::cli
