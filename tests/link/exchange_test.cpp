// The frame exchange against a scripted port and clock: no real waiting.
#include "link/exchange.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "fake_clock.h"
#include "fake_port.h"

namespace vorkand::link {
namespace {

using test::FakeClock;
using test::FakePort;
using ::testing::ElementsAre;

using Bytes = std::vector<uint8_t>;

const Bytes kReset{0x80, 0x00, 0x04, 0x80, 0x62, 0x00, 0x00, 0x00};  // a reader command
const Bytes kStatus{0x80, 0x00, 0x02, 0x90, 0x00, 0x00};             // its status reply

class Exchange : public ::testing::Test {
 protected:
  explicit Exchange(uint32_t start_ms = 1000) : clock(start_ms), start(start_ms) {
    reply.fill(0xEE);
  }

  int32_t run(const Bytes& frame = kReset) { return exchange_frame(port, clock, frame, reply); }
  Bytes delivered(int32_t count) const { return {reply.begin(), reply.begin() + count}; }
  uint32_t elapsed() const { return clock.ms() - start; }
  bool reply_untouched() const {
    for (uint8_t b : reply) {
      if (b != 0xEE) return false;
    }
    return true;
  }

  FakeClock clock;
  FakePort port{clock};
  uint32_t start;
  std::array<uint8_t, kMaxReply> reply{};
};

// A reply of `total` bytes (length total - 4), head 0x00, body counting up.
Bytes reply_of(std::size_t total) {
  Bytes r(total);
  r[0] = 0x00;
  r[1] = 0x4F;
  r[2] = static_cast<uint8_t>(total - 4);
  for (std::size_t i = 3; i < total; ++i) r[i] = static_cast<uint8_t>(i);
  return r;
}

TEST_F(Exchange, ReplyInOneArrival) {
  port.then(30, kStatus);
  ASSERT_EQ(run(), 6);
  EXPECT_EQ(delivered(6), kStatus);
  EXPECT_THAT(port.frames(), ElementsAre(kReset));
  EXPECT_EQ(elapsed(), 30u);
}

TEST_F(Exchange, ReplyInTwoArrivalsTwoSecondsApart) {
  port.then(10, {0x80, 0x00, 0x02}).then(2000, {0x90, 0x00, 0x00});
  ASSERT_EQ(run(), 6);
  EXPECT_EQ(delivered(6), kStatus);
  EXPECT_EQ(elapsed(), 2010u);
}

TEST_F(Exchange, BytesInTheCompletingArrivalAreCountedAndDelivered) {
  Bytes with_stray = kStatus;
  with_stray.push_back(0x5A);
  port.then(10, with_stray);
  ASSERT_EQ(run(), 7);
  EXPECT_EQ(delivered(7), with_stray);
}

TEST_F(Exchange, EmptyBodyIsCompleteAtFourBytesAndLaterBytesStayQueued) {
  port.then(10, {0x80, 0x00, 0x00, 0x00}).then(10, {0x11, 0x22});
  ASSERT_EQ(run(), 4);
  EXPECT_EQ(delivered(4), (Bytes{0x80, 0x00, 0x00, 0x00}));
  EXPECT_EQ(port.pending(), 1u);
  EXPECT_EQ(reply[4], 0xEE);
}

TEST_F(Exchange, IncompleteUntilTheLengthByteIsIn) {
  // Two bytes and a long pause: still gathering, not complete.
  port.then(10, {0x80, 0x00}).then(4000, {0x02, 0x90}).then(4000, {0x00, 0x00});
  ASSERT_EQ(run(), 6);
  EXPECT_EQ(elapsed(), 8010u);
}

TEST_F(Exchange, OneByteEveryFourSecondsStillCompletes) {
  for (uint8_t b : kStatus) port.then(4000, {b});
  ASSERT_EQ(run(), 6);
  EXPECT_EQ(delivered(6), kStatus);
  EXPECT_EQ(elapsed(), 24000u);
  // One wait per arrival: the exchange sleeps between bytes.
  EXPECT_EQ(port.waits(), 6u);
}

// --- The silence limit: more than 5000 ms without a new byte ---------------

TEST_F(Exchange, SilentLineGivesZeroJustAfterTheLimit) {
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(elapsed(), kSilenceLimitMs + 1);
  EXPECT_LE(port.waits(), 2u);  // slept, never spun
  EXPECT_TRUE(reply_untouched());
}

TEST_F(Exchange, ArrivalAtExactlyTheLimitIsInTime) {
  port.then(kSilenceLimitMs, kStatus);
  EXPECT_EQ(run(), 6);
}

TEST_F(Exchange, ArrivalAfterTheLimitIsTooLateAndStaysQueued) {
  port.then(kSilenceLimitMs + 2, kStatus);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(elapsed(), kSilenceLimitMs + 1);
  EXPECT_EQ(port.pending(), 1u);
}

TEST_F(Exchange, SilenceCountsFromTheLastArrival) {
  port.then(4999, {0x80, 0x00, 0x02}).then(5000, {0x90}).then(5000, {0x00, 0x00});
  EXPECT_EQ(run(), 6);
  EXPECT_EQ(elapsed(), 14999u);
}

TEST_F(Exchange, IncompleteReplyEndsAfterTheSilenceThatFollowsIt) {
  port.then(100, {0x80, 0x00, 0x02, 0x90});
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(elapsed(), 100 + kSilenceLimitMs + 1);
  EXPECT_TRUE(reply_untouched());
}

class ExchangeAcrossTheWrap : public Exchange {
 protected:
  ExchangeAcrossTheWrap() : Exchange(0xFFFFFFFFu - 1500) {}
};

TEST_F(ExchangeAcrossTheWrap, WrapNeitherEndsNorLengthensTheWait) {
  port.then(1000, {0x80, 0x00, 0x02}).then(5000, {0x90, 0x00, 0x00});
  EXPECT_EQ(run(), 6);
  EXPECT_EQ(elapsed(), 6000u);
}

TEST_F(ExchangeAcrossTheWrap, SilenceAcrossTheWrapStillEndsJustAfterTheLimit) {
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(elapsed(), kSilenceLimitMs + 1);
}

// --- The 256-byte cap --------------------------------------------------------

// Arrival sizes that bring a 256-byte reply.
class FullReply : public Exchange,
                  public ::testing::WithParamInterface<std::vector<std::size_t>> {};

TEST_P(FullReply, ExactlyTheLargestReplyIsAccepted) {
  const Bytes full = reply_of(kMaxReply);
  std::size_t at = 0;
  for (std::size_t size : GetParam()) {
    port.then(50, Bytes(full.begin() + static_cast<std::ptrdiff_t>(at),
                        full.begin() + static_cast<std::ptrdiff_t>(at + size)));
    at += size;
  }
  ASSERT_EQ(at, kMaxReply);
  ASSERT_EQ(run(), 256);
  EXPECT_EQ(delivered(256), full);
}

INSTANTIATE_TEST_SUITE_P(
    ArrivalSizes, FullReply,
    ::testing::Values(std::vector<std::size_t>{256}, std::vector<std::size_t>{1, 255},
                      std::vector<std::size_t>{3, 253}, std::vector<std::size_t>{255, 1},
                      std::vector<std::size_t>{100, 100, 56}, std::vector<std::size_t>(256, 1)));

TEST_F(Exchange, ArrivalThatWouldPassTheCapGivesZeroAndStaysUnread) {
  Bytes over = reply_of(kMaxReply);
  over.push_back(0x77);  // 257 in all, the last arrival completing the reply
  port.then(10, Bytes(over.begin(), over.begin() + 200))
      .then(10, Bytes(over.begin() + 200, over.end()));
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(port.unread(), Bytes(over.begin() + 200, over.end()));
  EXPECT_TRUE(reply_untouched());
  EXPECT_EQ(elapsed(), 20u);  // at once, not after the silence limit
}

TEST_F(Exchange, ReplyAnnouncingMoreThanFitsNeverCompletes) {
  Bytes big = reply_of(kMaxReply);
  big[2] = 0xFF;  // would need 259 bytes
  port.then(10, big);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(elapsed(), 10 + kSilenceLimitMs + 1);
}

// --- Stale input and dead ports ---------------------------------------------

TEST_F(Exchange, StaleInputIsDiscardedBeforeTheWrite) {
  const Bytes late{0x80, 0x00, 0x02, 0x62, 0x00, 0x00};  // a complete, but old, reply
  port.preload(late).then(20, kStatus);
  ASSERT_EQ(run(), 6);
  EXPECT_EQ(delivered(6), kStatus);
  EXPECT_EQ(port.discards(), 1u);
  EXPECT_EQ(port.discarded_bytes(), late.size());
}

TEST_F(Exchange, RefusedWriteEndsAtOnce) {
  port.fail_write = true;
  port.then(10, kStatus);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(elapsed(), 0u);
  EXPECT_EQ(port.waits(), 0u);
  EXPECT_TRUE(reply_untouched());
}

TEST_F(Exchange, HangUpEndsAtOnce) {
  port.then_hang_up(300);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(elapsed(), 300u);
}

TEST_F(Exchange, HangUpAfterPartOfTheReplyEndsAtOnce) {
  port.then(10, {0x80, 0x00, 0x02}).then_hang_up(100);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(elapsed(), 110u);
  EXPECT_TRUE(reply_untouched());
}

TEST_F(Exchange, ReplyThatCameBeforeTheHangUpIsStillDelivered) {
  port.then(10, kStatus).then_hang_up(0);
  EXPECT_EQ(run(), 6);
}

TEST_F(Exchange, FailedQueryOrReadEndsAtOnce) {
  port.fail_query = true;
  port.then(10, kStatus);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(elapsed(), 0u);

  FakePort reading(clock);
  reading.fail_read = true;
  reading.then(10, kStatus);
  EXPECT_EQ(exchange_frame(reading, clock, kReset, reply), 0);
  EXPECT_EQ(elapsed(), 10u);
  EXPECT_TRUE(reply_untouched());
}

}  // namespace
}  // namespace vorkand::link
