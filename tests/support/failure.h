// How a fake reports a broken expectation. The fakes know nothing of the test
// framework: by default a failure is printed and the program aborts (what a
// fuzzer wants, so libFuzzer keeps the input as a crash); a GoogleTest program
// gets a test failure instead (gtest_failure.cpp installs that hook).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vorkand::test {

using FailureHook = void (*)(const std::string& what);

inline void abort_on_failure(const std::string& what) {
  std::fprintf(stderr, "broken promise: %s\n", what.c_str());
  std::abort();
}

inline FailureHook& failure_hook() {
  static FailureHook hook = abort_on_failure;
  return hook;
}

inline void fail(const std::string& what) {
  failure_hook()(what);
}

}  // namespace vorkand::test
