// A scripted serial line for the exchange harness: arrivals of bytes at given
// milliseconds after the write, an optional hang-up, and a clock that moves
// only when the exchange waits. Each arrival becomes visible at once, as one
// block, when the clock reaches its time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "check.h"
#include "fake_clock.h"
#include "link/port.h"

namespace vorkand::fuzz {

struct Arrival {
  uint32_t at_ms;  // after the write
  std::vector<uint8_t> bytes;
};

using test::FakeClock;

class FakeLine final : public link::Port {
 public:
  // More port calls than this in one exchange is a busy loop.
  static constexpr long kMaxCalls = 200000;

  FakeLine(FakeClock& clock, std::vector<uint8_t> stale, std::vector<Arrival> arrivals,
           bool hang_up, uint32_t hang_up_ms, bool write_fails)
      : clock_(clock),
        inbox_(stale.begin(), stale.end()),
        arrivals_(std::move(arrivals)),
        hang_up_(hang_up),
        hang_up_ms_(hang_up_ms),
        write_fails_(write_fails) {}

  bool write_all(std::span<const uint8_t> bytes) noexcept override {
    count_call();
    check(!written_, "a second write in one exchange");
    written_ = true;
    write_time_ = clock_.now_ms();
    frame_.assign(bytes.begin(), bytes.end());
    return !write_fails_;
  }

  int32_t bytes_waiting() noexcept override {
    count_call();
    deliver();
    return static_cast<int32_t>(inbox_.size());
  }

  int32_t read(std::span<uint8_t> into) noexcept override {
    count_call();
    deliver();
    const std::size_t n = std::min(into.size(), inbox_.size());
    std::copy_n(inbox_.begin(), n, into.begin());
    inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int32_t>(n);
  }

  Wait wait_readable(uint32_t timeout_ms) noexcept override {
    count_call();
    deliver();
    if (!inbox_.empty()) return Wait::readable;
    if (hung_up()) return Wait::failed;
    const uint32_t now = elapsed();
    uint64_t next = UINT64_MAX;
    if (next_ < arrivals_.size()) next = arrivals_[next_].at_ms;
    if (written_ && hang_up_) next = std::min<uint64_t>(next, hang_up_ms_);
    if (timeout_ms == 0) {
      // A real clock moves while a caller spins; let this one move too, slowly.
      if (++zero_waits_ % 64 == 0) clock_.advance(1);
      return Wait::timeout;
    }
    if (written_ && next <= uint64_t{now} + timeout_ms) {
      clock_.advance(static_cast<uint32_t>(next - now));
      deliver();
      return hung_up() && inbox_.empty() ? Wait::failed : Wait::readable;
    }
    clock_.advance(timeout_ms);
    return Wait::timeout;
  }

  void discard_input() noexcept override {
    count_call();
    deliver();
    inbox_.clear();
  }

  // Milliseconds since the write (0 before it).
  uint32_t elapsed() const { return written_ ? clock_.now_ms() - write_time_ : 0; }
  bool written() const { return written_; }
  const std::vector<uint8_t>& frame() const { return frame_; }
  std::size_t unread() const { return inbox_.size(); }

 private:
  void count_call() {
    if (++calls_ > kMaxCalls) fail("busy loop: too many port calls in one exchange", calls_);
  }
  bool hung_up() const { return written_ && hang_up_ && elapsed() >= hang_up_ms_; }
  void deliver() {
    if (!written_) return;
    const uint32_t now = elapsed();
    while (next_ < arrivals_.size() && arrivals_[next_].at_ms <= now) {
      const auto& bytes = arrivals_[next_].bytes;
      inbox_.insert(inbox_.end(), bytes.begin(), bytes.end());
      ++next_;
    }
  }

  FakeClock& clock_;
  std::deque<uint8_t> inbox_;
  std::vector<Arrival> arrivals_;
  std::size_t next_ = 0;
  bool hang_up_;
  uint32_t hang_up_ms_;
  bool write_fails_;
  bool written_ = false;
  uint32_t write_time_ = 0;
  std::vector<uint8_t> frame_;
  long calls_ = 0;
  long zero_waits_ = 0;
};

}  // namespace vorkand::fuzz
