// What every harness does on a broken promise: say which, then abort so that
// libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace vorkand::fuzz {

[[noreturn]] inline void fail(const char* what, long a = 0, long b = 0) {
  std::fprintf(stderr, "broken promise: %s (%ld, %ld)\n", what, a, b);
  std::abort();
}

inline void check(bool ok, const char* what, long a = 0, long b = 0) {
  if (!ok) fail(what, a, b);
}

}  // namespace vorkand::fuzz
