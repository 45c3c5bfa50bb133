// The reader and card operations allocate nothing: this program counts every
// global operator new and runs the longest dialogues against a reader that
// replays fixed replies without allocating either.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

#include "card/card.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace vorkand::card {
namespace {

using Frame = std::array<uint8_t, 8>;

// Replies, in order, from fixed storage; any frame is accepted.
class ReplayTransport final : public link::Transport {
 public:
  template <std::size_t N>
  explicit ReplayTransport(const std::array<Frame, N>& replies) noexcept
      : replies_(replies.data()), size_(N) {}
  int32_t exchange(std::span<const uint8_t>,
                   std::span<uint8_t, link::kMaxReply> reply) noexcept override {
    if (next_ == size_) return 0;
    const Frame& r = replies_[next_++];
    std::copy(r.begin(), r.end(), reply.begin());
    return static_cast<int32_t>(r[2] + link::kFrameOverhead);
  }
  std::size_t used() const noexcept { return next_; }

 private:
  const Frame* replies_;
  std::size_t size_;
  std::size_t next_ = 0;
};

constexpr Frame kBusy{0x80, 0x00, 0x02, 0x70, 0x03, 0x00};
constexpr Frame kGood{0x80, 0x00, 0x02, 0x90, 0x00, 0x00};
constexpr Frame kResend{0x00, 0x00, 0x02, 0x6D, 0x00, 0x00};
constexpr Frame kMore{0x00, 0x00, 0x02, 0x61, 0x02, 0x00};
constexpr Frame kBlockError{0x00, 0x92, 0x00, 0x92};
constexpr Frame kData{0x00, 0x00, 0x04, 0x12, 0x34, 0x90, 0x00, 0x00};
constexpr Frame kAtr{0x70, 0x00, 0x03, 0x3B, 0x80, 0x01, 0x00};

TEST(NoAllocation, LongestDialogues) {
  constexpr std::array<Frame, 13> command_chain{kBusy, kBusy, kBusy, kBusy,   kBusy, kBusy, kBusy,
                                                kBusy, kBusy, kBusy, kResend, kMore, kData};
  constexpr std::array<Frame, 13> transparent_chain{kBusy,   kBusy,       kBusy, kBusy, kBusy,
                                                    kBusy,   kBusy,       kBusy, kBusy, kBusy,
                                                    kResend, kBlockError, kData};
  constexpr std::array<Frame, 3> power_up_chain{kGood, kGood, kAtr};
  constexpr std::array<Frame, 2> reset_chain{kBusy, kGood};
  const std::array<uint8_t, 6> apdu{0x80, 0x14, 0x00, 0x00, 0x01, 0x01};
  std::array<uint8_t, 256> response{};
  uint8_t length = 0;

  ReplayTransport command_reader(command_chain);
  ReplayTransport transparent_reader(transparent_chain);
  ReplayTransport power_up_reader(power_up_chain);
  ReplayTransport reset_reader_(reset_chain);

  const long before = g_allocations.load();
  const Result command_result =
      command(command_reader, 6, apdu.data(), &length, response.data(), 1, 0);
  const Result transparent_result =
      transparent_command(transparent_reader, 6, apdu.data(), &length, response.data());
  const uint16_t power_up_status = power_up(power_up_reader, &length, response.data());
  const uint16_t reset_status = reset_reader(reset_reader_);
  const long after = g_allocations.load();

  EXPECT_EQ(after, before);
  EXPECT_EQ(command_result.status, 0x9000);
  EXPECT_EQ(command_reader.used(), 13u);
  EXPECT_EQ(transparent_result.status, 0x9000);
  EXPECT_EQ(transparent_reader.used(), 13u);
  EXPECT_EQ(power_up_status, 0x9000);
  EXPECT_EQ(reset_status, 0x9000);
}

}  // namespace
}  // namespace vorkand::card
