// Faults on real pseudo-terminals, through the library's C boundary. Each case
// must end within its bound with the result the library promises, and a good
// reader opened beside the faulty one must work as before afterwards.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <random>
#include <thread>

#include "pty_pair.h"
#include "readers.h"

namespace vorkand::test {
namespace {

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    good_sim_ = start_reader();
    ASSERT_NE(good_sim_, nullptr);
    map_com(4, good_sim_->device_path());
    good_ = CT_open("COM4");
    ASSERT_NE(good_, 0);
  }
  void TearDown() override {
    if (good_ != 0) {
      expect_reader_works(good_);
      EXPECT_EQ(CT_close(good_), 0);
    }
  }

  // Opens COM1 on `path`.
  static int32_t open_on(const std::string& path) {
    map_com(1, path);
    return CT_open("COM1");
  }

  // A simulated reader with one fault.
  static std::unique_ptr<sim::PtySimulator> start_faulty(sim::Fault fault) {
    sim::PtyOptions options;
    options.faults.push_back(std::move(fault));
    return start_reader(std::move(options));
  }

  std::unique_ptr<sim::PtySimulator> good_sim_;
  int32_t good_ = 0;
};

// A hand-played reader on the master side of a pseudo-terminal: `answer` is
// called with each whole frame the library writes and does what it likes.
class HandPlayedReader {
 public:
  template <typename Answer>
  explicit HandPlayedReader(Answer answer) {
    thread_ = std::thread([this, answer]() mutable {
      while (!stop_) {
        const auto frame = pair_.receive_frame(100);
        if (frame.size() < 4) continue;
        if (!answer(pair_, frame)) return;
      }
    });
  }
  ~HandPlayedReader() {
    stop_ = true;
    thread_.join();
  }
  const std::string& path() const { return pair_.path(); }

 private:
  PtyPair pair_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(Faults, FarEndHangsUpMidReply) {
  HandPlayedReader reader([](PtyPair& pair, const std::vector<uint8_t>&) {
    pair.send({0x80, 0x00, 0x02});  // half a status reply ...
    std::this_thread::sleep_for(50ms);
    pair.close_master();  // ... then the line goes dead
    return false;
  });
  const int32_t handle = open_on(reader.path());
  ASSERT_NE(handle, 0);
  const auto start = SteadyClock::now();
  EXPECT_EQ(CT_reset(handle), 0xFFFF);  // both attempts fail fast
  uint8_t atr_length = 0x11;
  uint8_t atr[252];
  EXPECT_EQ(ICC_reset(handle, &atr_length, atr), 0xFFFF);
  EXPECT_EQ(atr_length, 0x11);  // untouched: power-up step 1 failed
  const Answer answer = transparent(handle, {0x00, 0xB0, 0x00, 0x00, 0x04});
  EXPECT_EQ(answer.status, 0xFFFF);
  EXPECT_TRUE(answer.data.empty());
  EXPECT_LT(seconds_since(start), 1.0);
  EXPECT_EQ(CT_close(handle), 0);
}

TEST_F(Faults, ReplySplitAcrossTheSilenceLimitIsLostAndItsLateRestDiscarded) {
  // The answer to SELECT: 3 bytes at once, the rest 5.3 s later.
  auto sim = start_faulty({sim::Fault::Kind::split, 1, {{3, 0ms}, {0, 5300ms}}, {}});
  ASSERT_NE(sim, nullptr);
  const int32_t handle = open_on(sim->device_path());
  ASSERT_NE(handle, 0);

  const auto start = SteadyClock::now();
  const Answer selected = transparent(handle, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00});
  const double waited = seconds_since(start);
  EXPECT_EQ(selected.status, 0xFFFF);
  EXPECT_TRUE(selected.data.empty());
  EXPECT_GT(waited, 5.0);
  EXPECT_LT(waited, 5.3);

  // Let the late rest land, then read: the rest must not pass for the reply.
  std::this_thread::sleep_for(600ms);
  const Answer read = transparent(handle, {0x00, 0xB0, 0x00, 0x00, 0x07});
  EXPECT_EQ(read.status, 0x9000);
  EXPECT_EQ(read.data, bytes_of("vorkand"));
  EXPECT_EQ(CT_close(handle), 0);
}

TEST_F(Faults, ReplyInPiecesWithinTheSilenceLimitIsTaken) {
  auto sim = start_faulty(
      {sim::Fault::Kind::split, 2, {{1, 0ms}, {2, 300ms}, {1, 1200ms}, {0, 10ms}}, {}});
  ASSERT_NE(sim, nullptr);
  const int32_t handle = open_on(sim->device_path());
  ASSERT_NE(handle, 0);
  const auto start = SteadyClock::now();
  const Answer read = select_and_read(handle, 0x2F00, 7);
  EXPECT_EQ(read.status, 0x9000);
  EXPECT_EQ(read.data, bytes_of("vorkand"));
  EXPECT_GT(seconds_since(start), 1.5);
  EXPECT_EQ(CT_close(handle), 0);
}

TEST_F(Faults, OverlongReplyEndsAtOnceAndItsTailIsDiscarded) {
  auto sim = start_faulty({sim::Fault::Kind::overlong, 1, {}, {}});
  ASSERT_NE(sim, nullptr);
  const int32_t handle = open_on(sim->device_path());
  ASSERT_NE(handle, 0);
  const auto start = SteadyClock::now();
  const Answer lost = transparent(handle, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00});
  EXPECT_EQ(lost.status, 0xFFFF);
  EXPECT_TRUE(lost.data.empty());
  EXPECT_LT(seconds_since(start), 1.0);
  std::this_thread::sleep_for(100ms);  // whatever of the 300 bytes is still on its way
  const Answer read = select_and_read(handle, 0x2F00, 7);
  EXPECT_EQ(read.status, 0x9000);
  EXPECT_EQ(read.data, bytes_of("vorkand"));
  EXPECT_EQ(CT_close(handle), 0);
}

TEST_F(Faults, StrayBytesBehindAReplyAreNotTakenAsTheNextReply) {
  // Behind the answer to SELECT: what looks like a complete status reply.
  auto sim = start_faulty({sim::Fault::Kind::stray, 1, {}, {0x80, 0x00, 0x02, 0x70, 0x01, 0x00}});
  ASSERT_NE(sim, nullptr);
  const int32_t handle = open_on(sim->device_path());
  ASSERT_NE(handle, 0);
  const Answer selected = transparent(handle, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00});
  // In one arrival with the reply they are counted with it (a reply longer
  // than it says: 0x9000, nothing delivered); in a later one they are stale.
  // Either way the next command must get its own answer.
  EXPECT_EQ(selected.status, 0x9000);
  std::this_thread::sleep_for(50ms);
  const Answer read = transparent(handle, {0x00, 0xB0, 0x00, 0x00, 0x07});
  EXPECT_EQ(read.status, 0x9000);
  EXPECT_EQ(read.data, bytes_of("vorkand"));
  EXPECT_EQ(CT_close(handle), 0);
}

// Random bytes instead of frames: every call still ends at once (each blob is
// either complete by its length byte or longer than any reply) with a result
// from the promised set, and writes no more than its buffers hold.
TEST_F(Faults, GarbageInsteadOfFrames) {
  std::mt19937 random(20261208);
  std::mutex mutex;
  HandPlayedReader reader([&](PtyPair& pair, const std::vector<uint8_t>&) {
    std::vector<uint8_t> blob;
    {
      std::lock_guard lock(mutex);
      blob.resize(std::uniform_int_distribution<std::size_t>(4, 300)(random));
      for (auto& b : blob) b = static_cast<uint8_t>(random());
      if (blob.size() <= 256 && blob[2] + 4u > blob.size()) blob[2] = uint8_t(blob.size() - 4);
      if (random() % 4 == 0) blob[0] = static_cast<uint8_t>(0x00 + (random() % 2) * 0x40);
    }
    pair.send(blob);
    return true;
  });
  const int32_t handle = open_on(reader.path());
  ASSERT_NE(handle, 0);
  std::mt19937 args(7);
  const auto start = SteadyClock::now();
  for (int i = 0; i < 200; ++i) {
    const auto call_start = SteadyClock::now();
    std::vector<uint8_t> apdu(args() % 40);
    for (auto& b : apdu) b = static_cast<uint8_t>(args());
    std::vector<uint8_t> out(252 + 16, 0xEE);
    uint8_t length = 0xEE;
    int32_t status = 0;
    switch (i % 4) {
      case 0:
        status = CT_reset(handle);
        EXPECT_TRUE(status == 0x9000 || status == 0x6200 || status == 0x6201 || status == 0xFFFF);
        break;
      case 1:
        status = ICC_reset(handle, &length, out.data());
        EXPECT_TRUE(status == 0x9000 || status == 0x6200 || status == 0x6201 || status == 0xFFFF);
        if (status == 0x9000) {
          EXPECT_LE(length, 252);
        }
        break;
      case 2:
        status = ICC_command(handle, static_cast<int32_t>(apdu.size()), apdu.data(), &length,
                             out.data(), int32_t(args()), int32_t(args()));
        EXPECT_LE(length, 250);
        break;
      case 3:
        status = ICC_tsi_api(handle, static_cast<int32_t>(apdu.size()), apdu.data(), &length,
                             out.data());
        EXPECT_LE(length, 250);
        break;
    }
    EXPECT_GE(status, 0);
    EXPECT_LE(status, 0xFFFF);
    for (std::size_t k = 252; k < out.size(); ++k) ASSERT_EQ(out[k], 0xEE) << "call " << i;
    EXPECT_LT(seconds_since(call_start), 1.0) << "call " << i;
  }
  EXPECT_LT(seconds_since(start), 20.0);
  EXPECT_EQ(CT_close(handle), 0);
}

TEST_F(Faults, ClosedHandlesAndValuesNeverHandedOut) {
  auto sim = start_reader();
  ASSERT_NE(sim, nullptr);
  const int32_t handle = open_on(sim->device_path());
  ASSERT_NE(handle, 0);
  EXPECT_EQ(CT_close(handle), 0);
  EXPECT_EQ(CT_close(handle), -1);

  // A pipe of the host's own: the library must neither write into it nor close it.
  int pipe_ends[2];
  ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK), 0);
  const int frames_before = sim->frames_received();
  const auto start = SteadyClock::now();
  for (const int32_t value :
       {handle, 0, -1, 7777, INT32_MIN, INT32_MAX, pipe_ends[0], pipe_ends[1]}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(CT_reset(value), 0xFFFF);
    uint8_t length = 0x11;
    uint8_t out[252];
    EXPECT_EQ(ICC_reset(value, &length, out), 0xFFFF);
    EXPECT_EQ(length, 0x11);
    const uint8_t apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x04};
    length = 0x11;
    EXPECT_EQ(ICC_command(value, 5, apdu, &length, out, 1, 0), 0xFFFF);
    EXPECT_EQ(length, 0);
    length = 0x11;
    EXPECT_EQ(ICC_tsi_api(value, 5, apdu, &length, out), 0xFFFF);
    EXPECT_EQ(length, 0);
    if (value != handle) {
      EXPECT_EQ(CT_close(value), -1);
    }
  }
  EXPECT_LT(seconds_since(start), 0.5);
  EXPECT_EQ(sim->frames_received(), frames_before);
  uint8_t byte;
  EXPECT_EQ(::read(pipe_ends[0], &byte, 1), -1);  // nothing was written
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(::fcntl(pipe_ends[1], F_GETFD), FD_CLOEXEC);  // both ends still open
  EXPECT_EQ(::close(pipe_ends[0]), 0);
  EXPECT_EQ(::close(pipe_ends[1]), 0);
}

TEST_F(Faults, DeviceVanishesBetweenOpenAndTheFirstFrame) {
  auto sim = start_reader();
  ASSERT_NE(sim, nullptr);
  const std::string link = ::testing::TempDir() + "vorkand-vanishing-" + std::to_string(::getpid());
  ::unlink(link.c_str());
  ASSERT_EQ(::symlink(sim->device_path().c_str(), link.c_str()), 0);
  const int32_t handle = open_on(link);
  ASSERT_NE(handle, 0);
  ASSERT_EQ(::unlink(link.c_str()), 0);  // the device node's name is gone ...
  sim->stop();                           // ... and so is the device: a hang-up

  const auto start = SteadyClock::now();
  EXPECT_EQ(CT_reset(handle), 0xFFFF);
  const Answer answer = transparent(handle, {0x00, 0xB0, 0x00, 0x00, 0x04});
  EXPECT_EQ(answer.status, 0xFFFF);
  EXPECT_TRUE(answer.data.empty());
  EXPECT_LT(seconds_since(start), 1.0);
  EXPECT_EQ(CT_close(handle), 0);
  EXPECT_EQ(CT_open("COM1"), 0);  // the name leads nowhere now
}

}  // namespace
}  // namespace vorkand::test
