// The shipped library end to end: its C exports over a real pseudo-terminal,
// with a scripted reader on the master side checking every frame on the wire.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_transport.h"  // hex(), to_hex()
#include "pty_pair.h"
#include "vorkand.h"

namespace vorkand::test {
namespace {

struct Exchange {
  Bytes frame;
  Bytes reply;
};

std::vector<Exchange> script(std::initializer_list<std::pair<const char*, const char*>> steps) {
  std::vector<Exchange> exchanges;
  for (const auto& [frame, reply] : steps) exchanges.push_back({hex(frame), hex(reply)});
  return exchanges;
}

// Plays the reader on the master side: reads each frame the library writes
// and answers it with the scripted reply. Records every frame; stops at the
// end of the script or when no frame comes.
class ScriptedReader {
 public:
  ScriptedReader(const PtyPair& pty, std::vector<Exchange> exchanges)
      : exchanges_(std::move(exchanges)), thread_([this, &pty] { run(pty); }) {}
  ~ScriptedReader() { join(); }

  // The frames the library wrote (in hex), once the reader has stopped.
  std::vector<std::string> frames() {
    join();
    std::vector<std::string> frames;
    for (const Bytes& frame : frames_) frames.push_back(to_hex(frame));
    return frames;
  }

 private:
  void run(const PtyPair& pty) {
    for (const Exchange& e : exchanges_) {
      Bytes frame = pty.receive_frame(kFrameTimeoutMs);
      if (frame.empty()) return;
      frames_.push_back(std::move(frame));
      if (frames_.back() != e.frame) return;  // the test reports the mismatch
      pty.send(e.reply);
    }
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

  static constexpr int kFrameTimeoutMs = 3000;
  std::vector<Exchange> exchanges_;
  std::vector<Bytes> frames_;
  std::thread thread_;
};

std::vector<std::string> frames_of(const std::vector<Exchange>& exchanges) {
  std::vector<std::string> frames;
  for (const Exchange& e : exchanges) frames.push_back(to_hex(e.frame));
  return frames;
}

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ASSERT_EQ(::setenv("VORKAND_COM1", pty_.path().c_str(), 1), 0);
    handle_ = CT_open("COM1");
    ASSERT_NE(handle_, 0);
  }
  void TearDown() override {
    if (handle_ != 0) {
      EXPECT_EQ(CT_close(handle_), 0);
    }
  }

  PtyPair pty_;
  int32_t handle_ = 0;
};

TEST_F(EndToEnd, TypicalUse) {
  const std::vector<Exchange> exchanges = script({
      // Reader reset.
      {"80 00 04 80 62 00 00 00", "80 00 02 90 00 00"},
      // Power-up: two steps, then the answer-to-reset (no TD1: T=0, head 40).
      {"80 00 04 80 60 00 00 00", "80 00 02 90 00 00"},
      {"80 00 04 80 6B 05 00 00", "80 00 02 90 00 00"},
      {"80 00 04 80 61 00 00 00", "70 00 04 3B 02 14 50 00"},
      // READ BINARY: busy once, then 61 04, then GET RESPONSE.
      {"40 4F 05 00 B0 00 00 04 00", "80 00 02 70 03 00"},
      {"40 4F 05 00 00 00 00 00 00", "40 00 02 61 04 00"},
      {"40 4F 05 00 C0 00 00 04 00", "40 00 06 DE AD BE EF 90 00 00"},
  });
  ScriptedReader reader(pty_, exchanges);

  EXPECT_EQ(CT_reset(handle_), 0x9000);

  uint8_t atr_length = 0;
  std::array<uint8_t, 252> atr{};
  EXPECT_EQ(ICC_reset(handle_, &atr_length, atr.data()), 0x9000);
  EXPECT_EQ(Bytes(atr.begin(), atr.begin() + atr_length), hex("3B 02 14 50"));

  const Bytes read_binary = hex("00 B0 00 00 04");
  uint8_t response_length = 0xEE;
  std::array<uint8_t, 256> response{};
  EXPECT_EQ(ICC_tsi_api(handle_, static_cast<int32_t>(read_binary.size()), read_binary.data(),
                        &response_length, response.data()),
            0x9000);
  EXPECT_EQ(Bytes(response.begin(), response.begin() + response_length), hex("DE AD BE EF"));

  EXPECT_EQ(CT_close(handle_), 0);
  handle_ = 0;
  EXPECT_EQ(reader.frames(), frames_of(exchanges));
}

// What one call left behind: its result, its output bytes, the frames sent.
struct Outcome {
  int32_t result;
  Bytes output;
  std::vector<std::string> frames;
  bool operator==(const Outcome&) const = default;
};

// Each S twin ignores its second argument and gives exactly its twin's result.
class Twins : public EndToEnd {
 protected:
  using Call = std::function<int32_t(int32_t handle, int32_t ignored, Bytes& output)>;

  Outcome run(const std::vector<Exchange>& exchanges, const Call& call, int32_t ignored) {
    ScriptedReader reader(pty_, exchanges);
    Bytes output(257, 0xCC);
    const int32_t result = call(handle_, ignored, output);
    return {result, output, reader.frames()};
  }

  void expect_twins(const std::vector<Exchange>& exchanges, const Call& twin, const Call& s_twin) {
    const Outcome expected = run(exchanges, twin, 0);
    EXPECT_EQ(expected.frames, frames_of(exchanges));
    std::mt19937 random(20261208);
    for (int32_t ignored : {0, -1, INT_MIN, INT_MAX, static_cast<int32_t>(random()),
                            static_cast<int32_t>(random())}) {
      EXPECT_EQ(run(exchanges, s_twin, ignored), expected) << "ignored " << ignored;
    }
    // On a value that is not an open handle both send nothing and give FFFF.
    Bytes output(257, 0);
    EXPECT_EQ(s_twin(12345, 7, output), 0xFFFF);
    EXPECT_EQ(twin(12345, 0, output), 0xFFFF);
  }
};

TEST_F(Twins, ResetS) {
  const auto exchanges = script({{"80 00 04 80 60 00 00 00", "80 00 02 90 00 00"},
                                 {"80 00 04 80 6B 05 00 00", "80 00 02 90 00 00"},
                                 {"80 00 04 80 61 00 00 00", "70 00 03 3B 80 01 00"}});
  expect_twins(
      exchanges,
      [](int32_t handle, int32_t, Bytes& out) { return ICC_reset(handle, &out[0], &out[1]); },
      [](int32_t handle, int32_t ignored, Bytes& out) {
        return ICC_resetS(handle, ignored, &out[0], &out[1]);
      });
}

TEST_F(Twins, CommandS) {
  const Bytes apdu = hex("00 A4 00 00 02 3F 00");
  const auto exchanges = script({{"00 49 07 00 A4 00 00 02 3F 00 00", "00 00 03 6F 6A 82 00"}});
  expect_twins(
      exchanges,
      [&](int32_t handle, int32_t, Bytes& out) {
        return ICC_command(handle, 7, apdu.data(), &out[0], &out[1], 0, 1);
      },
      [&](int32_t handle, int32_t ignored, Bytes& out) {
        return ICC_commandS(handle, ignored, 7, apdu.data(), &out[0], &out[1], 0, 1);
      });
}

TEST_F(Twins, TransparentS) {
  // A switch to T=1 that the card accepts: it starts and ends with head 00.
  {
    ScriptedReader reader(pty_, script({{"80 00 04 80 60 00 00 00", "80 00 02 90 00 00"},
                                        {"80 00 04 80 6B 05 00 00", "80 00 02 90 00 00"},
                                        {"80 00 04 80 61 00 00 00", "70 00 03 3B 80 01 00"}}));
    std::array<uint8_t, 252> atr{};
    ASSERT_EQ(ICC_reset(handle_, &atr[0], &atr[1]), 0x9000);
  }
  const Bytes apdu = hex("80 14 00 00 01 01");
  const auto exchanges = script({{"00 49 06 80 14 00 00 01 01 00", "00 00 02 90 00 00"}});
  expect_twins(
      exchanges,
      [&](int32_t handle, int32_t, Bytes& out) {
        return ICC_tsi_api(handle, 6, apdu.data(), &out[0], &out[1]);
      },
      [&](int32_t handle, int32_t ignored, Bytes& out) {
        return ICC_tsi_apiS(handle, ignored, 6, apdu.data(), &out[0], &out[1]);
      });
}

}  // namespace
}  // namespace vorkand::test
