// `vorkand sim --replay FILE`: the simulator plays the reader side of a trace
// the library wrote, until Ctrl-C, SIGTERM or a recorded hang-up; then it
// reports how many frames matched and the first difference.
#include <fmt/format.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>

#include "cli/commands.h"
#include "cli/sim_setup.h"
#include "cli/text_file.h"
#include "replay/replay.h"
#include "sim/card_file.h"
#include "sim/pty_simulator.h"

namespace vorkand::cli {

int run_replay(const Context& context, const SimSettings& settings) {
  Output& out = context.out;
  auto text = read_text_file(settings.replay);
  if (std::holds_alternative<FileError>(text))
    return out.fail(kExitUsage, fmt::format("--replay {}: cannot read it", settings.replay));
  auto parsed = replay::parse_recording(std::get<std::string>(text), settings.replay_handle);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    return out.fail(kExitUsage, fmt::format("--replay {}: {}", settings.replay, *error));
  }
  replay::Recording recording = std::get<replay::Recording>(std::move(parsed));
  const std::size_t frames = recording.exchanges.size();
  const std::string recorded_port = recording.port;

  // A recorded hang-up raises SIGTERM itself.
  const sigset_t stop_signals = block_stop_signals();

  std::mutex print_mutex;
  replay::Replay player(
      std::move(recording),
      [&print_mutex](const replay::Replay::Difference& d) {
        std::lock_guard lock(print_mutex);
        fmt::print(stderr,
                   "vorkand sim: the host left the recording at {}; answering nothing more\n",
                   replay::describe(d));
      },
      trace_secrets_shown());
  sim::PtyOptions pty;
  pty.line_time = settings.line_time;
  pty.show_secrets = trace_secrets_shown();
  pty.responder = [&player](const std::vector<uint8_t>& frame) {
    const replay::Replay::Answer answer = player.answer(frame);
    if (answer.hang_up) kill(getpid(), SIGTERM);
    return sim::Answer{answer.bytes, answer.hang_up};
  };
  if (settings.trace) {
    pty.trace = [&print_mutex, &out](const sim::TraceEvent& event) {
      std::lock_guard lock(print_mutex);
      out.sim_frame(event);
    };
  }
  // The replay answers every frame; the model is never asked.
  auto started = sim::PtySimulator::start(sim::ReaderModel(sim::CardModel(sim::default_card())),
                                          std::move(pty));
  if (auto* error = std::get_if<std::string>(&started)) {
    return out.fail(kExitFailure, "cannot start the simulator: " + *error);
  }
  auto& simulator = std::get<0>(started);
  {
    std::lock_guard lock(print_mutex);
    out.replay_ready(simulator->device_path(), context.port, frames, recorded_port,
                     settings.replay);
  }
  wait_for_stop(stop_signals);
  simulator->stop();
  const bool matched = !player.difference();
  out.replay_finished(player.summary(), matched);
  return matched ? kExitOk : kExitFailure;
}

}  // namespace vorkand::cli
