// Several readers, several simulators, several threads at once, through the C
// boundary; and the protocol byte rewritten by one reader while others send.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <span>
#include <thread>

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
