// The frame trace's pure parts: which bytes are masked, how a line reads, and
// what the exchange tells its observer for every way an exchange ends.
#include "link/trace/trace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "fake_port.h"
#include "link/exchange.h"
#include "link/reference_data.h"

namespace vorkand::link {
namespace {

using Bytes = std::vector<uint8_t>;

std::string shown(const Bytes& bytes, Secret secret) {
  TraceLine line;
  line.hex(bytes, secret);
  const auto text = line.finish();
  return std::string(text.data(), text.size() - 1);
}

struct MaskCase {
  const char* what;
  Bytes frame;
  const char* expected;
};

class Masking : public ::testing::TestWithParam<MaskCase> {};

TEST_P(Masking, FramesToTheReaderShowSecretsAsStars) {
  const MaskCase& c = GetParam();
  EXPECT_EQ(shown(c.frame, secret_in_frame(c.frame)), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Masking,
    ::testing::Values(MaskCase{"VERIFY, T=0",
                               {0x40, 0x49, 0x09, 0x00, 0x20, 0x00, 0x01, 0x04, 0x31, 0x32, 0x33,
                                0x34, 0x00},
                               "40 49 09 00 20 00 01 04 ** ** ** ** 00"},
                      MaskCase{"CHANGE REFERENCE DATA, T=1",
                               {0x00, 0x49, 0x07, 0x00, 0x24, 0x00, 0x01, 0x02, 0xAA, 0xBB, 0x00},
                               "00 49 07 00 24 00 01 02 ** ** 00"},
                      MaskCase{"RESET RETRY COUNTER",
                               {0x40, 0x49, 0x06, 0x00, 0x2C, 0x00, 0x01, 0x01, 0x99, 0x00},
                               "40 49 06 00 2C 00 01 01 ** 00"},
                      MaskCase{"VERIFY without data (asks the tries left)",
                               {0x40, 0x49, 0x05, 0x00, 0x20, 0x00, 0x01, 0x00, 0x00},
                               "40 49 05 00 20 00 01 00 00"},
                      MaskCase{"other instructions stay as they are",
                               {0x40, 0x49, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x00, 0x00},
                               "40 49 07 00 A4 00 0C 02 50 00 00"},
                      MaskCase{"reader commands carry no APDU",
                               {0x80, 0x00, 0x04, 0x80, 0x20, 0x00, 0x01, 0x05},
                               "80 00 04 80 20 00 01 05"},
                      MaskCase{"a length byte past the frame masks up to its end only",
                               {0x40, 0x49, 0xFF, 0x00, 0x20, 0x00, 0x01, 0x02, 0x31, 0x32},
                               "40 49 FF 00 20 00 01 02 ** **"},
                      MaskCase{"a frame too short for an APDU", {0x40, 0x49}, "40 49"}));

TEST(TraceLine, ApduMaskingAndCutLines) {
  const Bytes verify{0x00, 0x20, 0x00, 0x81, 0x08, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(shown(verify, wire::secret_in_apdu(verify)), "00 20 00 81 08 ** ** ** ** ** ** ** **");
  EXPECT_EQ(shown(verify, {}), "00 20 00 81 08 01 02 03 04 05 06 07 08");

  TraceLine time;
  time.seconds(12'000'345).text(" ").number(-7).text(" ").word(0x6A82);
  const auto text = time.finish();
  EXPECT_EQ(std::string(text.data(), text.size()), "12.000345 -7 6A82\n");

  // A line longer than the buffer is cut, marked and still ends the line.
  TraceLine longest;
  longest.hex(Bytes(600, 0xAB));
  const auto cut = longest.finish();
  ASSERT_EQ(cut.size(), TraceLine::kRoom);
  EXPECT_EQ(std::string(cut.end() - 4, cut.end()), "...\n");
}

// Records what an exchange tells its observer, one string an event.
class Recorder final : public ExchangeObserver {
 public:
  void sent(std::span<const uint8_t> frame) noexcept override {
    events.push_back("> " + shown({frame.begin(), frame.end()}, {}));
  }
  void received(std::span<const uint8_t> bytes) noexcept override {
    events.push_back("< " + shown({bytes.begin(), bytes.end()}, {}));
  }
  void ended(Ending why) noexcept override {
    constexpr const char* kNames[] = {"silence", "hang-up", "overlong", "write refused"};
    events.push_back(std::string("end ") + kNames[static_cast<int>(why)]);
  }
  std::vector<std::string> events;
};

struct ObservedCase {
  const char* what;
  void (*script)(test::FakePort&);
  std::vector<std::string> expected;
};

class Observed : public ::testing::TestWithParam<ObservedCase> {};

TEST_P(Observed, TheObserverSeesTheFrameWhatCameAndWhy) {
  const ObservedCase& c = GetParam();
  test::FakeClock clock(1000);
  test::FakePort port(clock);
  c.script(port);
  Recorder recorder;
  std::array<uint8_t, kMaxReply> reply{};
  const Bytes frame{0x80, 0x00, 0x04, 0x80, 0x62, 0x00, 0x00, 0x00};
  const int32_t count = exchange_frame(port, clock, frame, reply, &recorder);
  EXPECT_THAT(recorder.events, ::testing::ElementsAreArray(c.expected)) << c.what;
  // The observer changes nothing: the same exchange without it gives the same count.
  test::FakeClock clock2(1000);
  test::FakePort port2(clock2);
  c.script(port2);
  EXPECT_EQ(exchange_frame(port2, clock2, frame, reply), count) << c.what;
}

constexpr const char* kSent = "> 80 00 04 80 62 00 00 00";

INSTANTIATE_TEST_SUITE_P(
    Endings, Observed,
    ::testing::Values(ObservedCase{"a whole reply in two arrivals",
                                   [](test::FakePort& p) {
                                     p.then(5, {0x80, 0x00}).then(5, {0x02, 0x90, 0x00, 0x00});
                                   },
                                   {kSent, "< 80 00 02 90 00 00"}},
                      ObservedCase{"silence", [](test::FakePort&) {}, {kSent, "end silence"}},
                      ObservedCase{"part of a reply, then silence",
                                   [](test::FakePort& p) {
                                     p.then(5, {0x80, 0x00, 0x02});
                                   },
                                   {kSent, "< 80 00 02", "end silence"}},
                      ObservedCase{"hang-up after part of a reply",
                                   [](test::FakePort& p) {
                                     p.then(5, {0x80, 0x00}).then_hang_up(5);
                                   },
                                   {kSent, "< 80 00", "end hang-up"}},
                      ObservedCase{"an arrival past 256 bytes",
                                   [](test::FakePort& p) {
                                     p.then(5, {0x00, 0x4F, 0xFF}).then(5, Bytes(300, 0x5A));
                                   },
                                   {kSent, "< 00 4F FF", "end overlong"}},
                      ObservedCase{"a refused write",
                                   [](test::FakePort& p) { p.fail_write = true; },
                                   {kSent, "end write refused"}}));

}  // namespace
}  // namespace vorkand::link
