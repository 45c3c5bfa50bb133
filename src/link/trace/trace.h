// The frame trace: when VORKAND_TRACE names a file (or "-", standard error) at
// CT_open, the port's channel gets a Trace that appends one line per frame
// sent, per reply (or partial reply) received, per exchange that ended without
// a complete reply, and per exported call on the handle, after a header line.
//
//   <seconds.micro> <port> <handle> open vorkand <version>, <what the port is>
//   <seconds.micro> <port> 0 open vorkand <version>, <device> failed: <why>
//   <seconds.micro> <port> <handle> > <frame to the reader>
//   <seconds.micro> <port> <handle> < <bytes from the reader>
//   <seconds.micro> <port> <handle> end <silence|hang-up|overlong|write-refused>: <why>
//   <seconds.micro> <port> <handle> call <export> [apdu ..] [direction D protocol P] -> <result> ..
//
// The data bytes of the commands in reference_data.h (PINs and the like)
// show as ** unless VORKAND_TRACE_SECRETS=1. A line is formatted on the stack
// and written with one write under a lock shared by every trace, so lines never
// interleave. A failed write stops the trace of that handle, with one warning
// on standard error; the calls' results never depend on the trace.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "link/exchange.h"
#include "link/open_failure.h"
#include "link/reference_data.h"
#include "link/trace/trace_file.h"
#include "link/trace/trace_output.h"

namespace vorkand::link {

using wire::Secret;
using wire::secret_in_frame;

// One line under construction in a fixed buffer; what does not fit is cut
// and the line ends in "...".
class TraceLine {
 public:
  static constexpr std::size_t kRoom = 1280;

  TraceLine& text(std::string_view text) noexcept;
  TraceLine& number(int64_t value) noexcept;
  // Four upper-case hex digits (a status word).
  TraceLine& word(uint16_t value) noexcept;
  // Upper-case hex pairs separated by single spaces; the bytes in `secret`
  // as "**".
  TraceLine& hex(std::span<const uint8_t> bytes, Secret secret = {}) noexcept;
  // Seconds with six decimals.
  TraceLine& seconds(uint64_t microseconds) noexcept;
  // The line with its newline.
  std::span<const char> finish() noexcept;

 private:
  TraceLine& put(char c) noexcept;
  std::array<char, kRoom> buffer_;
  std::size_t used_ = 0;
  bool cut_ = false;
};

// What the header line says of a port just opened, as its opener knows it.
struct PortFacts {
  int32_t handle = 0;              // what CT_open returned
  const char* name_as_given = "";  // the name the host gave CT_open
  const char* mapped_by = "";      // where its mapping came from; empty when unmapped
  // Writes what `port` is (its device or address, its line settings) into
  // `out`, zero-terminated; called only when the port is traced.
  void (*describe)(const void* port, std::span<char> out) noexcept = nullptr;
  const void* port = nullptr;
};

class Trace final : public ExchangeObserver {
 public:
  // The trace of the port `port` tells of, or nullptr when VORKAND_TRACE is
  // unset or its file cannot be opened (then said once on standard error).
  // Writes the header line.
  static Trace* start(const PortFacts& port) noexcept;
  // When VORKAND_TRACE is set, appends the one line of an open that failed
  // (handle 0): what the port maps to and why it did not open.
  static void open_failed(const char* name_as_given, const OpenFailure& why) noexcept;

  // A trace into `output` (one use of it taken over; see trace_output.h;
  // nullptr: none), for `path`'s sake in warnings.
  Trace(TraceOutput* output, const char* path, int32_t handle, const char* name_as_given,
        bool secrets) noexcept;
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  void sent(std::span<const uint8_t> frame) noexcept override;
  void received(std::span<const uint8_t> bytes) noexcept override;
  void ended(Ending why) noexcept override;
  void header(std::string_view description) noexcept;

  // True once a write failed: nothing more is written.
  bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }
  // True when VORKAND_TRACE_SECRETS=1 asked for reference data in clear.
  bool shows_secrets() const noexcept { return secrets_; }

  // A line of `kind` with this trace's time, port and handle in front; the
  // caller adds the rest and writes it.
  TraceLine begin(std::string_view kind) const noexcept;
  void write(TraceLine& line) noexcept;

 private:
  void write_finished(std::span<const char> text) noexcept;
  void stop(const char* reason) noexcept;

  TraceOutput* output_;
  // The header line, again at the top of each new file after a rotation.
  std::array<char, TraceLine::kRoom> header_{};
  std::size_t header_length_ = 0;
  std::array<char, 4096> path_{};
  std::array<char, 8> port_{};
  int32_t handle_;
  bool secrets_;
  std::atomic<bool> stopped_{false};
};

}  // namespace vorkand::link
