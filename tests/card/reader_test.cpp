// Reader reset and card power-up against a scripted reader.
#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>

#include "card/card.h"
#include "fake_transport.h"

namespace vorkand::card {
namespace {

using test::FakeTransport;
using test::hex;

constexpr const char* kReset = "80 00 04 80 62 00 00 00";
constexpr const char* kPowerUp1 = "80 00 04 80 60 00 00 00";
constexpr const char* kPowerUp2 = "80 00 04 80 6B 05 00 00";
constexpr const char* kAtrRequest = "80 00 04 80 61 00 00 00";
constexpr const char* kGood = "80 00 02 90 00 00";

TEST(ResetReader, GoodFirstReplyEndsAfterOneFrame) {
  for (const char* reply : {kGood, "80 5A 02 90 00 00", "80 00 02 90 00 77"}) {
    FakeTransport reader;
    reader.expect(kReset, reply);
    EXPECT_EQ(reset_reader(reader), kSwOk) << reply;
  }
}

struct SecondTry {
  const char* first;  // nullptr: no reply
  int32_t first_count;
  const char* second;  // nullptr: no reply
  int32_t second_count;
  uint16_t status;
};

// gtest prints a parameter it cannot format as raw bytes, padding included
// (uninitialised memory to valgrind); name the case instead.
void PrintTo(const SecondTry& c, std::ostream* os) {
  *os << (c.first ? c.first : "no reply") << " then " << (c.second ? c.second : "no reply");
}

class ResetReaderRetry : public testing::TestWithParam<SecondTry> {};

TEST_P(ResetReaderRetry, SendsOnceMoreAndJudgesTheSecondReply) {
  const SecondTry& c = GetParam();
  FakeTransport reader;
  reader.expect_or_silence(kReset, c.first, c.first_count)
      .expect_or_silence(kReset, c.second, c.second_count);
  EXPECT_EQ(reset_reader(reader), c.status);
}

INSTANTIATE_TEST_SUITE_P(Cases, ResetReaderRetry,
                         testing::Values(
                             // Silence twice: no reply.
                             SecondTry{nullptr, 0, nullptr, 0, kSwNoReply},
                             SecondTry{"80 00 02 70 01 00", 6, nullptr, 0, kSwNoReply},
                             // Refused twice.
                             SecondTry{"80 00 02 70 01 00", 6, "80 00 02 70 01 00", 6, kSwRefused},
                             // A good status with a stray byte is not good the first time, and
                             // is out of form the second time.
                             SecondTry{"80 00 02 90 00 00 55", 7, "80 00 02 90 00 00", 6, kSwOk},
                             SecondTry{nullptr, 0, "80 00 02 90 00 00 55", 7, kSwOutOfForm},
                             SecondTry{nullptr, 0, "80 00 02 70 01 00 55", 7, kSwOutOfForm},
                             // The mode byte plays no part, the trailer neither.
                             SecondTry{nullptr, 0, "80 33 02 90 00 44", 6, kSwOk},
                             SecondTry{nullptr, 0, "80 33 02 70 01 44", 6, kSwRefused},
                             // Head or length out of form.
                             SecondTry{nullptr, 0, "00 00 02 90 00 00", 6, kSwOutOfForm},
                             SecondTry{nullptr, 0, "80 00 03 90 00 00 00", 7, kSwOutOfForm},
                             // Other status bytes.
                             SecondTry{nullptr, 0, "80 00 02 70 03 00", 6, kSwOutOfForm},
                             SecondTry{nullptr, 0, "80 00 02 90 01 00", 6, kSwOutOfForm},
                             SecondTry{nullptr, 0, "80 00 02 6A 82 00", 6, kSwOutOfForm}));

// The protocol byte is module state: each power-up test starts from a value
// the ATR under test must change (or, on failure, must not).
class PowerUp : public testing::Test {
 protected:
  void SetUp() override { set_protocol_byte(kUnchanged); }
  static constexpr uint8_t kUnchanged = 0x5A;
  std::array<uint8_t, 256> atr_{};
  uint8_t atr_length_ = 0xEE;
};

TEST_F(PowerUp, ThreeStepsCopyTheAtrAndSetTheProtocolByte) {
  FakeTransport reader;
  reader.expect(kPowerUp1, kGood)
      .expect(kPowerUp2, "80 00 02 90 00 FF")
      .expect(kAtrRequest, "70 00 05 3B 80 01 12 34 00");
  EXPECT_EQ(power_up(reader, &atr_length_, atr_.data()), kSwOk);
  ASSERT_EQ(atr_length_, 5);
  EXPECT_EQ(test::Bytes(atr_.begin(), atr_.begin() + 5), hex("3B 80 01 12 34"));
  EXPECT_EQ(atr_[5], 0) << "nothing past the ATR is written";
  EXPECT_EQ(protocol_byte(), 0x00);
}

TEST_F(PowerUp, LongestAtrFillsTheReply) {
  test::Bytes reply = hex("70 00 FC");
  for (int i = 0; i < 252; ++i) reply.push_back(static_cast<uint8_t>(i));
  reply.push_back(0x00);
  FakeTransport reader;
  reader.expect(kPowerUp1, kGood).expect(kPowerUp2, kGood).expect(hex(kAtrRequest), reply);
  EXPECT_EQ(power_up(reader, &atr_length_, atr_.data()), kSwOk);
  EXPECT_EQ(atr_length_, 252);
  EXPECT_EQ(atr_[251], 251);
}

struct FailedStep {
  const char* name;
  const char* step1;  // nullptr: no reply
  const char* step2;  // nullptr: no reply; "" : not sent
  uint16_t status;
};

void PrintTo(const FailedStep& c, std::ostream* os) {
  *os << c.name;
}

class PowerUpStepFails : public PowerUp, public testing::WithParamInterface<FailedStep> {};

TEST_P(PowerUpStepFails, StopsThereAndLeavesTheAtrLengthAlone) {
  const FailedStep& c = GetParam();
  FakeTransport reader;
  reader.expect_or_silence(kPowerUp1, c.step1);
  if (c.step2 == nullptr || *c.step2 != '\0') reader.expect_or_silence(kPowerUp2, c.step2);
  EXPECT_EQ(power_up(reader, &atr_length_, atr_.data()), c.status);
  EXPECT_EQ(atr_length_, 0xEE);
  EXPECT_EQ(protocol_byte(), kUnchanged);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PowerUpStepFails,
    testing::Values(FailedStep{"Step1Silent", nullptr, "", kSwNoReply},
                    FailedStep{"Step1OtherMode", "80 5A 02 90 00 00", "", kSwRefused},
                    FailedStep{"Step1StrayByte", "80 00 02 90 00 00 00", "", kSwRefused},
                    FailedStep{"Step1Refused", "80 00 02 70 01 00", "", kSwRefused},
                    FailedStep{"Step1OtherHead", "00 00 02 90 00 00", "", kSwRefused},
                    FailedStep{"Step2Silent", kGood, nullptr, kSwNoReply},
                    FailedStep{"Step2Busy", kGood, "80 00 02 70 03 00", kSwRefused},
                    FailedStep{"Step2OtherMode", kGood, "80 01 02 90 00 00", kSwRefused}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailedAtr {
  const char* name;
  const char* reply;  // nullptr: no reply
  uint16_t status;
};

void PrintTo(const FailedAtr& c, std::ostream* os) {
  *os << c.name;
}

class AtrRequestFails : public PowerUp, public testing::WithParamInterface<FailedAtr> {};

TEST_P(AtrRequestFails, LeavesAnAtrLengthOfZero) {
  const FailedAtr& c = GetParam();
  FakeTransport reader;
  reader.expect(kPowerUp1, kGood).expect(kPowerUp2, kGood);
  reader.expect_or_silence(kAtrRequest, c.reply);
  EXPECT_EQ(power_up(reader, &atr_length_, atr_.data()), c.status);
  EXPECT_EQ(atr_length_, 0);
  EXPECT_EQ(atr_[0], 0) << "nothing copied";
  EXPECT_EQ(protocol_byte(), kUnchanged);
}

INSTANTIATE_TEST_SUITE_P(Cases, AtrRequestFails,
                         testing::Values(FailedAtr{"Silent", nullptr, kSwNoReply},
                                         FailedAtr{"EmptyAtr", "70 00 00 00", kSwRefused},
                                         FailedAtr{"StrayByte", "70 00 02 3B 00 00 00",
                                                   kSwOutOfForm},
                                         FailedAtr{"OtherHead", "80 00 02 3B 00 00", kSwOutOfForm},
                                         FailedAtr{"OtherMode", "70 01 02 3B 00 00", kSwOutOfForm}),
                         [](const auto& info) { return std::string(info.param.name); });

struct AtrProtocol {
  const char* reply;
  uint8_t protocol_byte;
};

void PrintTo(const AtrProtocol& c, std::ostream* os) {
  *os << c.reply;
}

class ProtocolFromAtr : public PowerUp, public testing::WithParamInterface<AtrProtocol> {};

TEST_P(ProtocolFromAtr, OnlyTd1Counts) {
  FakeTransport reader;
  reader.expect(kPowerUp1, kGood).expect(kPowerUp2, kGood).expect(kAtrRequest, GetParam().reply);
  EXPECT_EQ(power_up(reader, &atr_length_, atr_.data()), kSwOk);
  EXPECT_EQ(protocol_byte(), GetParam().protocol_byte) << GetParam().reply;
}

INSTANTIATE_TEST_SUITE_P(
    Atrs, ProtocolFromAtr,
    testing::Values(AtrProtocol{"70 00 02 3B 00 00", 0x40},     // no TD1
                    AtrProtocol{"70 00 03 3B 80 01 00", 0x00},  // TD1 01 at index 2
                    AtrProtocol{"70 00 03 3B 80 11 00", 0x00},  // TD1 11: TD2 follows, T=1 first
                    AtrProtocol{"70 00 03 3B 80 00 00", 0x40},  // TD1 offers T=0
                    AtrProtocol{"70 00 06 3B F0 11 22 33 81 00", 0x00},  // TA1 TB1 TC1, TD1 81 at 5
                    AtrProtocol{"70 00 05 3B 90 11 80 01 00",
                                0x40},  // TD1 80; TD2 01 not looked at
                    AtrProtocol{"70 00 05 3B 70 11 22 33 00", 0x40},  // TA1..TC1 but no TD1
                    // Short ATRs: nothing past the ATR is read, though the trailer or
                    // the bytes after it would say T=1.
                    AtrProtocol{"70 00 01 3B 81", 0x40},                // no T0
                    AtrProtocol{"70 00 02 3B 80 01", 0x40},             // TD1 would be the trailer
                    AtrProtocol{"70 00 05 3B F0 11 22 33 01", 0x40}));  // TD1 at index 5 of 5

}  // namespace
}  // namespace vorkand::card
