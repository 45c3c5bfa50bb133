// `vorkand readers`: what COM1..COM4 map to and whether each opens now, then
// the PC/SC readers with their card state and ATR. `--names`: the PC/SC
// readers' mappings alone, one a line (for completion).
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "cli/commands.h"
#include "cli/open_reason.h"
#include "cli/pcsc_readers.h"
#include "cli/status_words.h"
#include "vorkand.h"

namespace vorkand::cli {
namespace {

// The library gives a silent reader one silence limit, and a reader reset a
// second try after it: a probe waits for one silence limit (and a little
// more) in all.
constexpr auto kProbeWait = std::chrono::milliseconds(5500);

PortState look_at(const std::string& name, int32_t& handle) {
  PortState port;
  port.port = name;
  port.mapping = port_mapping(name);
  port.source = port_source(name);
  const Opened opened = open_with_reason(name);
  port.opens = opened.handle != 0;
  handle = opened.handle;
  if (!port.opens) port.why = open_failure(port.mapping, opened.reason);
  return port;
}

// The resets of the ports that opened, side by side. A reset still waiting
// when the time is up is left to finish on its own (its thread owns what it
// touches) and counts as silent.
void probe(std::vector<PortState>& ports, const std::vector<int32_t>& handles) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<std::optional<uint16_t>> sws;
  };
  const auto shared = std::make_shared<Shared>();
  shared->sws.resize(ports.size());
  std::size_t started = 0;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (handles[i] == 0) continue;
    ++started;
    std::thread([shared, i, handle = handles[i]] {
      const auto sw = static_cast<uint16_t>(CT_reset(handle));
      CT_close(handle);
      const std::lock_guard lock(shared->mutex);
      shared->sws[i] = sw;
      shared->done.notify_all();
    }).detach();
  }
  std::unique_lock lock(shared->mutex);
  shared->done.wait_for(lock, kProbeWait, [&] {
    return static_cast<std::size_t>(std::count_if(shared->sws.begin(), shared->sws.end(),
                                                  [](const auto& sw) { return sw.has_value(); })) ==
           started;
  });
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (handles[i] == 0) continue;
    const uint16_t sw = shared->sws[i].value_or(kSwNoReply);
    ports[i].reader_answers = sw == kSwOk;
    ports[i].reader_state = fmt::format("{}  {}", format_sw(sw), status_meaning(sw));
  }
}

}  // namespace

int run_readers(const Context& context, const ReadersSettings& settings) {
  if (settings.names) {
    for (const PcscReader& reader : list_pcsc_readers().readers) {
      fmt::print("pcsc:{}\n", reader.name);
    }
    return kExitOk;
  }
  // Opened in turn (the reason a port did not open is read from the
  // library's trace of that one open), probed side by side.
  std::vector<PortState> ports;
  std::vector<int32_t> handles(kPorts.size(), 0);
  for (std::size_t i = 0; i < kPorts.size(); ++i) {
    ports.push_back(look_at(std::string(kPorts[i]), handles[i]));
  }
  if (settings.probe) {
    probe(ports, handles);
  } else {
    for (const int32_t handle : handles) {
      if (handle != 0) CT_close(handle);
    }
  }
  context.out.readers(ports, list_pcsc_readers());
  return kExitOk;
}

Command add_readers(CLI::App& app) {
  auto settings = std::make_shared<ReadersSettings>();
  CLI::App* readers = app.add_subcommand(
      "readers", "what COM1..COM4 map to and whether they open; the PC/SC readers");
  readers->add_flag("--probe", settings->probe,
                    "send each COM port that opens a reader reset, to see whether a reader "
                    "answers (side by side, one silence limit in all)");
  readers->add_flag("--names", settings->names,
                    "only the PC/SC readers, as pcsc:NAME one a line (for completion)");
  return {readers, [settings](const Context& context) { return run_readers(context, *settings); }};
}

}  // namespace vorkand::cli
