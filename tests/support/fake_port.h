// A scripted serial port over a FakeClock, for the frame exchange.
//
// The script is a list of events that begins at the first write: each event
// comes `delay_ms` after the previous one (the first after the write) and
// either puts its bytes into the input queue as one arrival, or hangs the
// port up. Waiting never sleeps: wait_readable moves the clock to the next
// event when it falls within the timeout, else by the whole timeout. Events
// come due in order, so two due at the same moment merge into one arrival.
//
// Everything else is on display for the test: the frames written, the input
// still unread, how many waits and discards happened. Faults are switched on
// by plain fields (fail_write, fail_query, fail_read) or scripted (hang-up).
// More than kMaxCalls port calls is taken for a busy loop and fails
// (failure.h), so a spinning caller ends instead of hanging the test.
//
//   FakeClock clock;
//   FakePort port(clock);
//   port.then(0, {0x80, 0x00, 0x02}).then(2000, {0x90, 0x00, 0x00});
//   exchange_frame(port, clock, frame, reply);   // 6, clock moved by 2000
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "failure.h"
#include "fake_clock.h"
#include "link/byte_port.h"

namespace vorkand::test {

struct Event {
  uint32_t delay_ms = 0;       // after the previous event, or after the write
  std::vector<uint8_t> bytes;  // one arrival (ignored for a hang-up)
  bool hang_up = false;        // from here on nothing more comes: waits fail
};

class FakePort final : public link::BytePort {
 public:
  static constexpr long kMaxCalls = 200000;

  explicit FakePort(FakeClock& clock) : clock_(clock) {}

  // Script building: an arrival, or a hang-up, `delay_ms` after the previous event.
  FakePort& then(uint32_t delay_ms, std::vector<uint8_t> bytes) {
    script_.push_back({delay_ms, std::move(bytes), false});
    return *this;
  }
  FakePort& then_hang_up(uint32_t delay_ms) {
    script_.push_back({delay_ms, {}, true});
    return *this;
  }
  FakePort& script(std::vector<Event> events) {
    script_.insert(script_.end(), events.begin(), events.end());
    return *this;
  }
  // Bytes already waiting before anything is written (a late earlier reply).
  FakePort& preload(std::vector<uint8_t> bytes) {
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    return *this;
  }

  // Faults.
  bool fail_write = false;  // write_all refuses and records nothing
  bool fail_query = false;  // bytes_waiting reports failure
  bool fail_read = false;   // read reports failure

  // What happened.
  const std::vector<std::vector<uint8_t>>& frames() const { return frames_; }
  std::vector<uint8_t> unread() const { return {input_.begin(), input_.end()}; }
  std::size_t waits() const { return waits_; }
  std::size_t discards() const { return discards_; }
  std::size_t discarded_bytes() const { return discarded_bytes_; }
  bool hung_up() const { return hung_up_; }
  // Events of the script that have not come yet.
  std::size_t pending() const { return script_.size() - next_; }
  // Milliseconds since the first write (0 before it).
  uint32_t since_write_ms() const { return started_ ? clock_.now_ms() - write_ms_ : 0; }

  bool write_all(std::span<const uint8_t> bytes) noexcept override {
    count_call();
    if (fail_write || hung_up_) return false;
    frames_.emplace_back(bytes.begin(), bytes.end());
    if (!started_) {
      started_ = true;
      last_event_ms_ = write_ms_ = clock_.now_ms();
    }
    return true;
  }

  int32_t bytes_waiting() noexcept override {
    count_call();
    deliver_due();
    if (fail_query) return -1;
    return static_cast<int32_t>(input_.size());
  }

  int32_t read(std::span<uint8_t> into) noexcept override {
    count_call();
    deliver_due();
    if (fail_read) return -1;
    const std::size_t n = std::min(into.size(), input_.size());
    std::copy_n(input_.begin(), n, into.begin());
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int32_t>(n);
  }

  Wait wait_readable(uint32_t timeout_ms) noexcept override {
    count_call();
    ++waits_;
    deliver_due();
    if (!input_.empty()) return Wait::readable;
    if (hung_up_) return Wait::failed;
    if (started_ && next_ < script_.size()) {  // not hung up: checked above
      const uint32_t until_next = until_next_event();
      if (until_next <= timeout_ms) {
        clock_.advance(until_next);
        deliver_due();
        return input_.empty() && hung_up_ ? Wait::failed : Wait::readable;
      }
    }
    clock_.advance(timeout_ms);
    return Wait::timeout;
  }

  void discard_input() noexcept override {
    count_call();
    deliver_due();
    ++discards_;
    discarded_bytes_ += input_.size();
    input_.clear();
  }

 private:
  void count_call() {
    if (++calls_ == kMaxCalls + 1) fail("busy loop: more than 200000 port calls");
  }

  // Milliseconds from now until the next event is due (0 when overdue).
  uint32_t until_next_event() const {
    const uint32_t since_last = clock_.now_ms() - last_event_ms_;
    const uint32_t delay = script_[next_].delay_ms;
    return since_last >= delay ? 0 : delay - since_last;
  }

  void deliver_due() {
    while (started_ && !hung_up_ && next_ < script_.size() && until_next_event() == 0) {
      const Event& event = script_[next_++];
      last_event_ms_ += event.delay_ms;
      if (event.hang_up) hung_up_ = true;
      input_.insert(input_.end(), event.bytes.begin(), event.bytes.end());
    }
  }

  FakeClock& clock_;
  std::vector<Event> script_;
  std::size_t next_ = 0;
  bool started_ = false;
  uint32_t last_event_ms_ = 0;
  uint32_t write_ms_ = 0;
  bool hung_up_ = false;
  std::deque<uint8_t> input_;
  std::vector<std::vector<uint8_t>> frames_;
  std::size_t waits_ = 0;
  std::size_t discards_ = 0;
  std::size_t discarded_bytes_ = 0;
  long calls_ = 0;
};

}  // namespace vorkand::test
