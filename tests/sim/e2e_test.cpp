// End to end: the built shared library, through its C exports, against the
// simulator on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "common/hex.h"
#include "sim/card_file.h"
#include "sim/pty_simulator.h"
#include "simulator.h"
#include "vorkand.h"

namespace vorkand::sim {
namespace {

using common::parse_hex;
using common::to_hex;

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

Bytes h(std::string_view text) {
  return parse_hex(text).value();
}

// A simulator mapped to a COM name, with its trace of frames from the host.
class Reader {
 public:
  explicit Reader(const char* port = "COM1", CardProfile card = default_card(),
                  ReaderOptions options = {}) {
    PtyOptions pty;
    pty.trace = [this](const TraceEvent& event) {
      if (event.direction != TraceEvent::Direction::to_reader) return;
      std::lock_guard lock(mutex_);
      frames_.push_back(to_hex(event.bytes));
    };
    sim_ = test::start_simulator(std::move(pty), std::move(card), options);
    setenv((std::string("VORKAND_") + port).c_str(), sim_->device_path().c_str(), 1);
    handle_ = CT_open(port);
    EXPECT_NE(handle_, 0);
  }
  ~Reader() {
    if (handle_ != 0) CT_close(handle_);
  }
  int32_t handle() const { return handle_; }
  PtySimulator& sim() { return *sim_; }
  std::vector<std::string> frames() {
    std::lock_guard lock(mutex_);
    return std::exchange(frames_, {});
  }

  struct Answer {
    Bytes data;
    uint16_t sw;
  };
  Answer tsi(std::string_view apdu) {
    const Bytes bytes = h(apdu);
    std::array<uint8_t, 256> response{};
    uint8_t length = 0xAA;
    const auto sw = static_cast<uint16_t>(ICC_tsi_api(handle_, static_cast<int32_t>(bytes.size()),
                                                      bytes.data(), &length, response.data()));
    return Answer{Bytes(response.begin(), response.begin() + length), sw};
  }
  Answer power_up() {
    std::array<uint8_t, 256> atr{};
    uint8_t length = 0;
    const auto sw = static_cast<uint16_t>(ICC_reset(handle_, &length, atr.data()));
    return Answer{Bytes(atr.begin(), atr.begin() + length), sw};
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> frames_;
  std::unique_ptr<PtySimulator> sim_;
  int32_t handle_ = 0;
};

TEST(EndToEnd, TheDemoSequence) {
  Reader reader;
  EXPECT_EQ(CT_reset(reader.handle()), 0x9000);
  const auto atr = reader.power_up();
  EXPECT_EQ(atr.sw, 0x9000);
  EXPECT_EQ(to_hex(atr.data), "3B 95 11 80 01 76 6F 72 6B 61 64");
  reader.frames();

  EXPECT_EQ(reader.tsi("00 A4 00 0C 02 50 00").sw, 0x9000);
  EXPECT_EQ(reader.tsi("00 A4 00 0C 02 50 01").sw, 0x9000);
  const auto read = reader.tsi("00 B0 00 00 00");
  EXPECT_EQ(read.sw, 0x9000);
  EXPECT_EQ(std::string(read.data.begin(), read.data.end()), "Hello from the card");
  // T=0 from the ATR: head 40, mode by INS.
  EXPECT_EQ(reader.frames(), (std::vector<std::string>{"40 49 07 00 A4 00 0C 02 50 00 00",
                                                       "40 49 07 00 A4 00 0C 02 50 01 00",
                                                       "40 4F 05 00 B0 00 00 00 00"}));

  const auto challenge = reader.tsi("00 84 00 00 08");
  ASSERT_EQ(challenge.data.size(), 8u);
  const auto auth = reader.tsi("00 88 00 00 08 " + to_hex(challenge.data));
  std::array<uint8_t, 8> expected{};
  DesEncrypt(expected.data(), challenge.data.data(), default_card().key.data());
  EXPECT_EQ(auth.sw, 0x9000);
  EXPECT_EQ(auth.data, Bytes(expected.begin(), expected.end()));
  const auto frames = reader.frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[2], "40 4F 05 00 C0 00 00 08 00");  // 61 08 fetched with GET RESPONSE

  EXPECT_EQ(reader.tsi("80 14 00 00 01 01").sw, 0x9000);
  EXPECT_EQ(reader.tsi("00 B0 00 00 05").sw, 0x9000);
  EXPECT_EQ(reader.frames().back(), "00 4F 05 00 B0 00 00 05 00");  // now T=1

  // A reset request through the transparent exchange powers up again (T=0).
  const auto again = reader.tsi("00 12 00 00 00");
  EXPECT_EQ(again.sw, 0x9000);
  EXPECT_EQ(again.data, atr.data);
  EXPECT_EQ(reader.tsi("00 A4 00 0C 02 2F 00").sw, 0x9000);
  EXPECT_EQ(reader.frames().back(), "40 49 07 00 A4 00 0C 02 2F 00 00");
}

TEST(EndToEnd, BusyPollsResendsAndBlockErrors) {
  Reader reader;
  reader.power_up();
  reader.sim().with_model([](ReaderModel& m) { m.set_busy_polls(3); });
  reader.frames();
  EXPECT_EQ(reader.tsi("00 A4 00 0C 02 2F 00").sw, 0x9000);
  EXPECT_EQ(reader.frames().size(), 4u);  // the command and 3 polls

  reader.sim().with_model([](ReaderModel& m) { m.set_busy_polls(11); });
  const auto busy = reader.tsi("00 A4 00 0C 02 2F 00");
  EXPECT_EQ(busy.sw, 0x6FF0);
  EXPECT_TRUE(busy.data.empty());
  EXPECT_EQ(reader.frames().size(), 11u);
  reader.sim().with_model([](ReaderModel& m) { m.set_busy_polls(0); });

  reader.sim().with_model([](ReaderModel& m) { m.inject(Injection::resend); });
  EXPECT_EQ(reader.tsi("00 B0 00 00 03").sw, 0x9000);
  EXPECT_EQ(reader.frames(),
            (std::vector<std::string>{"40 4F 05 00 B0 00 00 03 00", "40 4F 05 00 B0 00 00 03 00"}));

  reader.sim().with_model([](ReaderModel& m) { m.inject(Injection::block_error_92); });
  const auto after_92 = reader.tsi("00 B0 00 00 03");
  EXPECT_EQ(after_92.sw, 0x9000);
  EXPECT_EQ(to_hex(after_92.data), "76 6F 72");
  EXPECT_EQ(reader.frames(),
            (std::vector<std::string>{"40 4F 05 00 B0 00 00 03 00", "00 4F 05 00 B0 00 00 03 00"}));

  reader.sim().with_model([](ReaderModel& m) { m.inject(Injection::block_error_82); });
  EXPECT_EQ(reader.tsi("00 B0 00 00 03").sw, 0x9000);
  EXPECT_EQ(reader.frames(),
            (std::vector<std::string>{"40 4F 05 00 B0 00 00 03 00", "40 4F 05 00 B0 00 00 03 00"}));
}

TEST(EndToEnd, SplitAndStrayReplies) {
  Reader reader;
  reader.sim().add_fault({Fault::Kind::split, 1, {{1, 0ms}, {2, 300ms}, {0, 300ms}}, {}});
  EXPECT_EQ(CT_reset(reader.handle()), 0x9000);  // gathered across arrivals

  // A reader status with a stray byte in the same arrival is not accepted;
  // CT_reset tries once more.
  reader.sim().add_fault({Fault::Kind::stray, 2, {}, {0x00}});
  EXPECT_EQ(CT_reset(reader.handle()), 0x9000);
  EXPECT_EQ(reader.sim().frames_received(), 3);

  // A data reply with a stray byte: success with no data.
  reader.sim().add_fault({Fault::Kind::stray, 5, {}, {0x00}});
  reader.tsi("00 A4 00 0C 02 2F 00");
  const auto read = reader.tsi("00 B0 00 00 03");
  EXPECT_EQ(read.sw, 0x9000);
  EXPECT_TRUE(read.data.empty());
}

TEST(EndToEnd, OverlongReplyAndHangUpEndWithoutWaiting) {
  Reader reader;
  reader.sim().add_fault({Fault::Kind::overlong, 1, {}, {}});
  auto before = SteadyClock::now();
  EXPECT_EQ(reader.tsi("00 B0 00 00 03").sw, 0xFFFF);
  EXPECT_LT(SteadyClock::now() - before, 3s);

  reader.sim().add_fault({Fault::Kind::hang_up, 2, {}, {}});
  before = SteadyClock::now();
  EXPECT_EQ(CT_reset(reader.handle()), 0xFFFF);
  EXPECT_EQ(reader.power_up().sw, 0xFFFF);
  EXPECT_LT(SteadyClock::now() - before, 3s);
}

TEST(EndToEnd, SilenceEndsTheCommandAfterTheLimit) {
  Reader reader;
  reader.sim().add_fault({Fault::Kind::silence, 1, {}, {}});
  const auto before = SteadyClock::now();
  const auto answer = reader.tsi("00 A4 00 0C 02 2F 00");
  EXPECT_EQ(answer.sw, 0xFFFF);
  EXPECT_TRUE(answer.data.empty());
  EXPECT_GE(SteadyClock::now() - before, 5s);
  // The reader answers the next command again.
  EXPECT_EQ(reader.tsi("00 A4 00 0C 02 2F 00").sw, 0x9000);
}

TEST(EndToEnd, TwoReadersOnTwoThreadsKeepTheirOwnReplies) {
  CardProfile first = default_card();
  CardProfile second = default_card();
  second.files[0].data.assign(22, 'B');  // EF 2F00 differs
  first.files[0].data.assign(22, 'A');
  Reader one("COM1", first);
  Reader two("COM2", second);
  const auto drive = [](Reader& reader, char expected, int& wrong) {
    for (int i = 0; i < 40; ++i) {
      if (reader.tsi("00 A4 00 0C 02 2F 00").sw != 0x9000) ++wrong;
      const auto read = reader.tsi("00 B0 00 00 16");
      if (read.sw != 0x9000 || read.data != Bytes(22, static_cast<uint8_t>(expected))) ++wrong;
    }
  };
  int wrong_one = 0, wrong_two = 0;
  std::thread a([&] { drive(one, 'A', wrong_one); });
  std::thread b([&] { drive(two, 'B', wrong_two); });
  a.join();
  b.join();
  EXPECT_EQ(wrong_one, 0);
  EXPECT_EQ(wrong_two, 0);
}

}  // namespace
}  // namespace vorkand::sim
