// Replaying a trace the library wrote (VORKAND_TRACE): the reader side of one
// handle's session, played back frame by frame.
//
// For each frame the host sends, the replay expects the next recorded frame
// (bytes recorded as ** match any byte) and answers with what the reader sent
// back then, ending the same way: a complete reply, a partial reply and
// silence, silence alone, a hang-up, or a reply too long to take. At the first
// frame that differs it reports the trace line, the expected and the received
// frame, and answers nothing from then on.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vorkand::replay {

// One line of a trace: "<seconds> <port> <handle> <kind> <rest>".
struct TraceRecord {
  double seconds = 0;
  std::string port;
  int32_t handle = 0;
  std::string kind;  // open, >, <, end, call
  std::string rest;
};
// Empty for a line that is not a trace line (other output mixed in on stderr).
std::optional<TraceRecord> parse_trace_record(std::string_view line);

struct RecordedExchange {
  enum class Ending : uint8_t { reply, silence, hang_up, overlong };
  int line = 0;                // of the frame, counted from 1
  std::vector<uint8_t> frame;  // masked bytes are 0 here
  std::vector<bool> masked;    // per byte of `frame`
  std::vector<uint8_t> reply;  // what came back, whole or in part
  Ending ending = Ending::reply;
};

struct Recording {
  std::string port;  // of the first frame played
  int32_t handle = 0;
  std::vector<RecordedExchange> exchanges;
};

// The exchanges of `handle`, or, when none is given, of every session on the
// port that sent the first frame (in order, whatever their handles). An error
// message when the trace holds none.
std::variant<Recording, std::string> parse_recording(std::string_view trace,
                                                     std::optional<int32_t> handle = std::nullopt);

// `bytes` in hex pairs joined by `separator`, bytes [from, to) as "**".
std::string masked_hex(std::span<const uint8_t> bytes, std::size_t from, std::size_t to,
                       std::string_view separator = " ");

// "80 00 ** 00": the recorded frame with its masked bytes.
std::string recorded_hex(const RecordedExchange& exchange);

class Replay {
 public:
  struct Answer {
    std::vector<uint8_t> bytes;  // to send back (may be empty)
    bool hang_up = false;        // then close the line
  };
  struct Difference {
    int line = 0;          // the trace line of the frame expected (0: past the end)
    std::string expected;  // recorded_hex, or "the end of the recording"
    std::string received;
  };

  // `report` is told about the first difference as soon as it is found. The
  // received frame shows the data of PIN commands as "**" unless `show_secrets`.
  explicit Replay(Recording recording, std::function<void(const Difference&)> report = {},
                  bool show_secrets = false);

  Answer answer(const std::vector<uint8_t>& frame);
  int matched() const;
  std::optional<Difference> difference() const;
  // "replay: 12 of 12 frames matched" plus the first difference, if any.
  std::string summary() const;

 private:
  mutable std::mutex mutex_;
  Recording recording_;
  std::function<void(const Difference&)> report_;
  bool show_secrets_;
  std::size_t next_ = 0;
  int matched_ = 0;
  std::optional<Difference> difference_;
};

std::string describe(const Replay::Difference& difference);

}  // namespace vorkand::replay
