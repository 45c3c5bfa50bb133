// The monotonic clock on POSIX.
#include <time.h>

#include <cstdint>

#include "link/clock.h"

namespace vorkand::link {

uint32_t SystemClock::now_ms() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1'000'000u;
  return static_cast<uint32_t>(ms);  // wraps at 2^32, as intended
}

}  // namespace vorkand::link
