// A millisecond clock that moves only when told to (or when the fake port
// lets scripted time pass). Starts wherever the test sets it, wrap included.
#pragma once

#include <cstdint>

#include "link/clock.h"

namespace vorkand::test {

class FakeClock final : public link::Clock {
 public:
  explicit FakeClock(uint32_t start_ms = 0) noexcept : now_(start_ms) {}
  uint32_t now_ms() noexcept override { return now_; }
  uint32_t ms() const noexcept { return now_; }
  void set(uint32_t ms) noexcept { now_ = ms; }
  void advance(uint32_t ms) noexcept { now_ += ms; }  // wraps like the real counter

 private:
  uint32_t now_;
};

}  // namespace vorkand::test
