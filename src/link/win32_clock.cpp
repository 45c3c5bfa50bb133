// The tick counter on Windows: milliseconds since boot, wrapping at 2^32.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>

#include "link/clock.h"

namespace vorkand::link {

uint32_t SystemClock::now_ms() noexcept {
  return GetTickCount();
}

}  // namespace vorkand::link
