// Many threads at once, each with keys of its own, get exactly the answers of
// one thread: the cipher shares nothing between calls.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "des_test_util.h"

namespace vorkand::des::test {
namespace {

struct Case {
  Block key;
  Block block;
  Direction direction;
  Outcome expected;
};

TEST(DesThreads, ConcurrentCallsGiveSingleThreadAnswers) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 4000;
  std::vector<std::vector<Case>> cases(kThreads);
  Sequence seq(9);
  for (auto& list : cases) {
    for (int i = 0; i < kPerThread; ++i) {
      Case c{seq.block(), seq.block(), i % 2 ? Direction::decrypt : Direction::encrypt, {}};
      c.expected = run(c.direction, c.block, c.key);
      list.push_back(c);
    }
  }

  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        for (const Case& c : cases[t]) {
          const Outcome got = run(c.direction, c.block, c.key);
          if (got.output != c.expected.output || got.result != c.expected.result) {
            ++mismatches[t];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace vorkand::des::test
