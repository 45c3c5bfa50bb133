// Linked into every test program: the fakes' failures (failure.h) fail the
// running GoogleTest test instead of aborting the program.
#include <gtest/gtest.h>

#include <string>

#include "failure.h"

namespace {

void add_gtest_failure(const std::string& what) {
  ADD_FAILURE() << what;
}

const bool installed = (vorkand::test::failure_hook() = add_gtest_failure, true);

}  // namespace
