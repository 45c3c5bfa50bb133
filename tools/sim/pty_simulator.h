// The simulated reader on a pseudo-terminal: a thread reads frames from the
// master side (a frame is complete at its length byte + 4 bytes), asks the
// reader model, and writes the reply back. Programs open the slave side as
// their serial port (VORKAND_COMn=<device_path()>).
//
// The simulator keeps a slave descriptor of its own open, so the master never
// sees a hang-up when a program closes the port; several programs can open
// and close it in turn while the card keeps its state.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "sim/reader_model.h"

namespace vorkand::sim {

struct TraceEvent {
  enum class Direction : uint8_t { to_reader, to_host };
  Direction direction;
  std::vector<uint8_t> bytes;
  double ms;  // since the simulator started
  // bytes[secret_from, secret_to) are reference data (a PIN, say): shown as **.
  std::size_t secret_from = 0;
  std::size_t secret_to = 0;
};
using TraceSink = std::function<void(const TraceEvent&)>;

// "  12.345 ms  host -> reader  80 00 04 80 62 00 00 00"; without the time
// when `with_time` is false.
std::string format_trace(const TraceEvent& event, bool with_time);
// The event's bytes in hex pairs joined by `separator`, its secret as "**".
std::string event_hex(const TraceEvent& event, std::string_view separator = " ");

// A fault for the tests, applied to the reply to one frame from the host
// (frames counted from 1 since start; 0 applies it to every frame).
struct Fault {
  enum class Kind : uint8_t {
    silence,   // no reply at all (the frame is not passed to the reader)
    split,     // the reply arrives in pieces: chunk sizes, each after its delay
    stray,     // extra bytes behind the reply
    overlong,  // a 300-byte reply instead of the real one
    hang_up,   // close the pseudo-terminal: the program sees a hang-up
  };
  struct Chunk {
    std::size_t bytes;  // 0: the rest of the reply
    std::chrono::milliseconds delay_before;
  };
  Kind kind = Kind::silence;
  int frame = 1;
  std::vector<Chunk> chunks;   // split
  std::vector<uint8_t> stray;  // stray
};

// A fault written as text, for the command line:
//   silence@N  hangup@N  overlong@N  stray@N:HEX  split@N:SIZE,SIZE,...[/MS]
// N is the frame number (0: every frame); split sends the reply in pieces of
// the given sizes (the last piece takes the rest), MS apart (default 200).
std::optional<Fault> parse_fault(std::string_view text);

// Plays the reader instead of the model when set (a replayed trace): the
// bytes to send back for a frame, and whether to hang up after them.
struct Answer {
  std::vector<uint8_t> bytes;
  bool hang_up = false;
};
using Responder = std::function<Answer(const std::vector<uint8_t>& frame)>;

struct PtyOptions {
  // Pace reception and replies like a 9600 baud 8E1 line: 11 bit times, about
  // 1.146 ms, per byte.
  bool line_time = false;
  TraceSink trace;
  // The trace shows the data of PIN commands instead of "**"
  // (VORKAND_TRACE_SECRETS=1 in the tool).
  bool show_secrets = false;
  std::vector<Fault> faults;
  Responder responder;
};

class PtySimulator {
 public:
  // Opens the pseudo-terminal and starts the thread; an error message when
  // the system refuses.
  static std::variant<std::unique_ptr<PtySimulator>, std::string> start(ReaderModel model,
                                                                        PtyOptions options);
  ~PtySimulator();
  PtySimulator(const PtySimulator&) = delete;
  PtySimulator& operator=(const PtySimulator&) = delete;

  // The slave side's path, such as /dev/pts/3.
  const std::string& device_path() const { return device_path_; }
  // Stops the thread and closes the pseudo-terminal; safe to call twice.
  void stop();

  // Runs `f` on the reader model between frames (to inject replies, read the
  // card's state).
  template <typename F>
  auto with_model(F f) {
    std::lock_guard lock(mutex_);
    return f(model_);
  }
  void add_fault(const Fault& fault);
  int frames_received();

 private:
  PtySimulator(ReaderModel model, PtyOptions options);
  void run();
  void handle(const std::vector<uint8_t>& frame);
  void respond(const std::vector<uint8_t>& frame);
  // Sleeps up to `ms`; false when asked to stop meanwhile.
  bool pause(std::chrono::microseconds duration);
  void write_reply(const std::vector<uint8_t>& reply, const std::vector<Fault::Chunk>& chunks);
  void emit(TraceEvent::Direction direction, const std::vector<uint8_t>& bytes);
  void close_pty();

  std::mutex mutex_;  // guards model_, options_.faults, frames_
  ReaderModel model_;
  PtyOptions options_;
  int frames_ = 0;
  int master_ = -1;
  int own_slave_ = -1;
  int stop_read_ = -1;
  int stop_write_ = -1;
  std::string device_path_;
  std::chrono::steady_clock::time_point started_;
  std::thread thread_;
};

}  // namespace vorkand::sim
