// The millisecond clock under every wait of the link layer. SystemClock is the
// system's; one source file per platform implements it (posix_clock.cpp,
// win32_clock.cpp). The tests' fake clock is another Clock.
#pragma once

#include <cstdint>

namespace vorkand::link {

// A wrapping 32-bit millisecond counter; only differences are used, so a
// wrap-around during a wait neither ends nor lengthens it.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint32_t now_ms() noexcept = 0;
};

// The system's monotonic clock in milliseconds, wrapping at 2^32.
class SystemClock final : public Clock {
 public:
  uint32_t now_ms() noexcept override;
};

}  // namespace vorkand::link
