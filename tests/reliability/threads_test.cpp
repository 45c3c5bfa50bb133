// Several readers, several simulators, several threads at once, through the C
// boundary; and the protocol byte rewritten by one reader while others send.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <span>
#include <thread>
#include <vector>

#include "card/card.h"
#include "link/transport.h"
#include "readers.h"

namespace vorkand::test {
namespace {

// A card of its own for each reader, so that cross-talk shows as wrong data.
std::string card_text(int n) {
  return "atr t0\nkey 0" + std::to_string(n) + " 23 45 67 89 AB CD EF\npin \"1234\"\n" +
         "ef 3F00/2F00 \"reader " + std::to_string(n) + " of four\"\n";
}

void drive_reader(int n, int rounds) {
  SCOPED_TRACE(n);
  const std::string com = "COM" + std::to_string(n);
  const int32_t handle = CT_open(com.c_str());
  ASSERT_NE(handle, 0);
  EXPECT_EQ(CT_reset(handle), 0x9000);
  uint8_t atr_length = 0;
  std::array<uint8_t, 252> atr{};
  EXPECT_EQ(ICC_reset(handle, &atr_length, atr.data()), 0x9000);
  const std::array<uint8_t, 8> key{uint8_t(n), 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const auto expected = bytes_of("reader " + std::to_string(n) + " of four");
  for (int round = 0; round < rounds; ++round) {
    const Answer read = select_and_read(handle, 0x2F00, static_cast<uint8_t>(expected.size()));
    ASSERT_EQ(read.status, 0x9000);
    ASSERT_EQ(read.data, expected);
    // GET CHALLENGE, then INTERNAL AUTHENTICATE (answered 61 08, fetched with
    // GET RESPONSE): the card's DES of the challenge under its own key.
    const Answer challenge = transparent(handle, {0x00, 0x84, 0x00, 0x00, 0x08});
    ASSERT_EQ(challenge.status, 0x9000);
    ASSERT_EQ(challenge.data.size(), 8u);
    std::vector<uint8_t> authenticate{0x00, 0x88, 0x00, 0x00, 0x08};
    authenticate.insert(authenticate.end(), challenge.data.begin(), challenge.data.end());
    uint8_t length = 0;
    std::array<uint8_t, 250> response{};
    // Through ICC_command with the card's protocol given (T=0).
    ASSERT_EQ(ICC_command(handle, static_cast<int32_t>(authenticate.size()), authenticate.data(),
                          &length, response.data(), 0, 0),
              0x9000);
    ASSERT_EQ(length, 8);
    std::array<uint8_t, 8> mine{};
    DesEncrypt(mine.data(), challenge.data.data(), key.data());
    ASSERT_TRUE(std::equal(mine.begin(), mine.end(), response.begin()));
  }
  EXPECT_EQ(CT_close(handle), 0);
}

// The protocol byte's writer: protocol switches and power-ups on reader 4.
// (The byte itself lives inside the shared library; the other readers' cards
// answer frames of either head, so only races and cross-talk can fail them.)
void switch_protocols(int rounds) {
  const int32_t handle = CT_open("COM4");
  ASSERT_NE(handle, 0);
  uint8_t length = 0;
  std::array<uint8_t, 252> out{};
  for (int round = 0; round < rounds; ++round) {
    const uint8_t protocol = round % 2;
    const Answer switched = transparent(handle, {0x80, 0x14, 0x00, 0x00, 0x01, protocol});
    ASSERT_EQ(switched.status, 0x9000);
    if (round % 5 == 0) {
      ASSERT_EQ(ICC_reset(handle, &length, out.data()), 0x9000);
    }
  }
  EXPECT_EQ(CT_close(handle), 0);
}

// A host closing handles while its other threads use them: every call ends
// promptly, never after the silence limit, with a result the reader calls may
// give (9000, FFFF once its handle is gone; 6200 or 6201 when a reopened port
// got the closed one's number and another thread's call mixed with this one
// on it); every close and reopen succeeds.
// ASan and ThreadSanitizer watch for freed memory and races.
TEST(Threads, HandlesClosedAndReopenedWhileFourThreadsUseThem) {
  std::array<std::unique_ptr<sim::PtySimulator>, 4> readers;
  std::array<std::atomic<int32_t>, 4> handles{};
  for (int n = 1; n <= 4; ++n) {
    readers[n - 1] = start_reader();
    ASSERT_NE(readers[n - 1], nullptr);
    map_com(n, readers[n - 1]->device_path());
    handles[n - 1] = CT_open(("COM" + std::to_string(n)).c_str());
    ASSERT_NE(handles[n - 1], 0);
  }
  std::atomic<bool> done{false};
  std::atomic<int> calls{0};
  std::atomic<int> unexpected{0};
  std::atomic<int> slow{0};
  const auto use = [&](int n) {
    uint8_t length = 0;
    std::array<uint8_t, 252> out{};
    const std::array<uint8_t, 7> select_mf{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    for (int round = 0; !done.load(); ++round) {
      const int32_t handle = handles[n].load();
      const auto start = SteadyClock::now();
      int32_t result;
      switch (round % 3) {
        case 0:
          result = CT_reset(handle);
          break;
        case 1:
          result = ICC_reset(handle, &length, out.data());
          break;
        default:
          result = ICC_tsi_api(handle, select_mf.size(), select_mf.data(), &length, out.data());
      }
      if (result != 0x9000 && result != 0xFFFF && result != 0x6200 && result != 0x6201) {
        ADD_FAILURE() << "call " << round % 3 << " gave " << std::hex << result;
        unexpected.fetch_add(1);
      }
      if (seconds_since(start) > 2.0) slow.fetch_add(1);
      calls.fetch_add(1);
    }
  };
  std::vector<std::thread> users;
  for (int n = 0; n < 4; ++n) users.emplace_back(use, n);
  uint32_t random = 12345;
  int closed = 0;
  for (int i = 0; i < 200; ++i) {
    random = random * 1103515245u + 12345u;
    const int n = static_cast<int>((random >> 16) % 4);
    std::this_thread::sleep_for(std::chrono::microseconds((random >> 8) % 3000));
    const int32_t old = handles[n].exchange(0);
    EXPECT_EQ(CT_close(old), 0);
    EXPECT_EQ(CT_close(old), -1);
    const int32_t reopened = CT_open(("COM" + std::to_string(n + 1)).c_str());
    EXPECT_NE(reopened, 0);
    handles[n] = reopened;
    ++closed;
  }
  done = true;
  for (auto& user : users) user.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(slow.load(), 0);
  EXPECT_GT(calls.load(), closed);
  for (auto& handle : handles) EXPECT_EQ(CT_close(handle), 0);
}

// A call waiting on a silent reader when its handle is closed ends at once
// with FFFF instead of after 5 s; the handle is gone for every later call.
TEST(Threads, ClosingAHandleWakesTheCallWaitingOnIt) {
  sim::PtyOptions silent;
  silent.faults.push_back(*sim::parse_fault("silence@0"));
  auto reader = start_reader(std::move(silent));
  ASSERT_NE(reader, nullptr);
  map_com(1, reader->device_path());
  const int32_t handle = CT_open("COM1");
  ASSERT_NE(handle, 0);
  std::atomic<double> waited{-1};
  std::atomic<int32_t> result{0};
  std::thread caller([&] {
    const auto start = SteadyClock::now();
    result = CT_reset(handle);
    waited = seconds_since(start);
  });
  std::this_thread::sleep_for(200ms);
  const auto start = SteadyClock::now();
  EXPECT_EQ(CT_close(handle), 0);
  EXPECT_LT(seconds_since(start), 1.0);
  caller.join();
  EXPECT_EQ(result.load(), 0xFFFF);
  EXPECT_LT(waited.load(), 1.5);
  EXPECT_EQ(CT_reset(handle), 0xFFFF);
  EXPECT_EQ(CT_close(handle), -1);
}

TEST(Threads, FourReadersOnFourSimulatorsWhileTheProtocolByteChanges) {
  std::vector<std::unique_ptr<sim::PtySimulator>> sims;
  for (int n = 1; n <= 4; ++n) {
    sim::ReaderOptions reader;
    reader.busy_polls = n == 2 ? 3 : 0;  // one reader keeps the library polling
    sims.push_back(start_reader({}, card_text(n), reader));
    ASSERT_NE(sims.back(), nullptr);
    map_com(n, sims.back()->device_path());  // before any thread reads the environment
  }
  std::vector<std::thread> threads;
  for (int n = 1; n <= 3; ++n) threads.emplace_back(drive_reader, n, 30);
  threads.emplace_back(switch_protocols, 60);
  for (auto& t : threads) t.join();
}

// A transport that answers a card frame busy once, then with data; it records
// the heads of the command frame and of the poll frame.
class BusyOnceCard final : public link::Transport {
 public:
  int32_t exchange(std::span<const uint8_t> frame,
                   std::span<uint8_t, link::kMaxReply> reply) noexcept override {
    heads_[sent_ < 2 ? sent_ : 1] = frame[0];
    static constexpr std::array<uint8_t, 6> kBusy{0x80, 0x00, 0x02, 0x70, 0x03, 0x00};
    static constexpr std::array<uint8_t, 8> kData{0x00, 0x4F, 0x04, 0x12, 0x34, 0x90, 0x00, 0x00};
    if (sent_++ == 0) return copy(kBusy, reply);
    return copy(kData, reply);
  }
  std::array<uint8_t, 2> heads_{};

 private:
  template <std::size_t N>
  static int32_t copy(const std::array<uint8_t, N>& bytes, std::span<uint8_t, link::kMaxReply> to) {
    std::copy(bytes.begin(), bytes.end(), to.begin());
    return N;
  }
  int sent_ = 0;
};

// A reader that powers up with a T=1 or a T=0 ATR, by turns.
class PowerUpCard final : public link::Transport {
 public:
  int32_t exchange(std::span<const uint8_t> frame,
                   std::span<uint8_t, link::kMaxReply> reply) noexcept override {
    static constexpr std::array<uint8_t, 6> kOk{0x80, 0x00, 0x02, 0x90, 0x00, 0x00};
    static constexpr std::array<uint8_t, 7> kAtrT1{0x70, 0x00, 0x03, 0x3B, 0x80, 0x01, 0x00};
    static constexpr std::array<uint8_t, 6> kAtrT0{0x70, 0x00, 0x02, 0x3B, 0x00, 0x00};
    if (frame[4] != 0x61) {
      std::copy(kOk.begin(), kOk.end(), reply.begin());
      return kOk.size();
    }
    t1_ = !t1_;
    if (t1_) {
      std::copy(kAtrT1.begin(), kAtrT1.end(), reply.begin());
      return kAtrT1.size();
    }
    std::copy(kAtrT0.begin(), kAtrT0.end(), reply.begin());
    return kAtrT0.size();
  }

 private:
  bool t1_ = false;
};

// A call reads the protocol byte once: its command and poll frames carry the
// same head, 0x00 or 0x40, however often another thread rewrites it meanwhile.
TEST(Threads, ProtocolByteRewrittenWhileOthersSend) {
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    PowerUpCard card;
    uint8_t length = 0;
    std::array<uint8_t, 252> atr{};
    while (!stop.load()) EXPECT_EQ(card::power_up(card, &length, atr.data()), 0x9000);
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t) {
    senders.emplace_back([] {
      const std::array<uint8_t, 5> read_binary{0x00, 0xB0, 0x00, 0x00, 0x02};
      for (int i = 0; i < 20000; ++i) {
        BusyOnceCard card;
        uint8_t length = 0;
        std::array<uint8_t, 250> response{};
        const auto result =
            card::transparent_command(card, 5, read_binary.data(), &length, response.data());
        ASSERT_EQ(result.status, 0x9000);
        ASSERT_EQ(length, 2);
        ASSERT_TRUE(card.heads_[0] == 0x00 || card.heads_[0] == 0x40);
        ASSERT_EQ(card.heads_[1], card.heads_[0]);
      }
    });
  }
  for (auto& t : senders) t.join();
  stop = true;
  writer.join();
}

}  // namespace
}  // namespace vorkand::test
