// The transparent card command exchange: mode from the INS byte, head from the
// protocol byte, the reset request, the protocol switch and the block-error
// resends, against a scripted reader.
#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "card/card.h"
#include "card_test_util.h"
#include "fake_transport.h"

namespace vorkand::card {
namespace {

using test::apdu_length;
using test::Bytes;
using test::Call;
using test::Exchange;
using vorkand::test::FakeTransport;
using vorkand::test::hex;

constexpr const char* kReadBinary = "00 B0 00 00 04";
constexpr const char* kReadBinaryT1 = "00 4F 05 00 B0 00 00 04 00";
constexpr const char* kReadBinaryT0 = "40 4F 05 00 B0 00 00 04 00";
constexpr const char* kBusy = "80 00 02 70 03 00";
constexpr const char* kOk = "00 00 02 90 00 00";
constexpr const char* kSwitchToT1 = "80 14 00 00 01 01";
constexpr const char* kSwitchToT1Frame = "00 49 06 80 14 00 00 01 01 00";
constexpr const char* kSwitchToT1FrameT0 = "40 49 06 80 14 00 00 01 01 00";

Call run(FakeTransport& reader, const Bytes& apdu, int32_t length = -1) {
  Call call;
  call.result = transparent_command(reader, apdu_length(apdu, length), apdu.data(),
                                    &call.response_length, call.response.data());
  return call;
}

Call run(FakeTransport& reader, const char* apdu) {
  return run(reader, hex(apdu));
}

// Each test states the protocol byte it starts from.
class Transparent : public testing::Test {
 protected:
  void SetUp() override { set_protocol_byte(0x00); }
};

TEST_F(Transparent, InsTableOverAllValues) {
  const std::set<int> out{0x46, 0x5A, 0x5C, 0x84, 0xB0, 0xB2, 0xC0, 0xCA, 0xCE, 0xF0, 0xF2, 0xF6};
  for (int ins = 0; ins < 256; ++ins) {
    const uint8_t mode = out.count(ins) ? 0x4F : 0x49;
    FakeTransport reader;
    reader.expect(Bytes{0x00, mode, 0x04, 0x00, static_cast<uint8_t>(ins), 0x00, 0x00, 0x00},
                  hex(kOk));
    EXPECT_EQ(run(reader, Bytes{0x00, static_cast<uint8_t>(ins), 0x00, 0x00}).result.status, 0x9000)
        << "INS " << ins;
  }
}

TEST_F(Transparent, HeadFromTheProtocolByteAndPollModeFromTheCommand) {
  for (uint8_t head : {0x00, 0x40}) {
    set_protocol_byte(head);
    const Bytes command = head ? hex(kReadBinaryT0) : hex(kReadBinaryT1);
    Bytes poll = hex("00 4F 05 00 00 00 00 00 00");
    poll[0] = head;
    FakeTransport reader;
    reader.expect(command, hex(kBusy)).expect(poll, hex("40 00 03 07 90 00 00"));
    const Call call = run(reader, kReadBinary);
    EXPECT_EQ(call.result.status, 0x9000);
    EXPECT_EQ(call.data(), hex("07"));
  }
}

TEST_F(Transparent, SelectGoesOutWithModeIn) {
  FakeTransport reader;
  reader.expect("00 49 07 00 A4 00 00 02 3F 00 00", kBusy)
      .expect("00 49 05 00 00 00 00 00 00", "00 00 02 6A 82 00");
  EXPECT_EQ(run(reader, "00 A4 00 00 02 3F 00").result.status, 0x6A82);
}

TEST_F(Transparent, GetResponseWithTheProtocolByteHead) {
  set_protocol_byte(0x40);
  FakeTransport reader;
  reader.expect("40 49 05 00 A4 04 00 00 00", "40 00 02 61 03 00")
      .expect("40 4F 05 00 C0 00 00 03 00", "40 00 05 01 02 03 90 00 00");
  const Call call = run(reader, "00 A4 04 00 00");
  EXPECT_EQ(call.result.status, 0x9000);
  EXPECT_EQ(call.data(), hex("01 02 03"));
}

// Only the APDU's own bytes are examined: the INS byte needs a length of 2.
TEST_F(Transparent, ShortApduUsesModeIn) {
  const Bytes apdu = hex("00 B0 00 00");
  FakeTransport reader;
  reader.expect("00 49 01 00 00", kOk).expect("00 49 00 00", kOk);
  EXPECT_EQ(run(reader, apdu, 1).result.status, 0x9000);
  EXPECT_EQ(run(reader, apdu, 0).result.status, 0x9000);
}

TEST_F(Transparent, ApduLengths252To255AreRefusedWithoutSending) {
  Bytes apdu(255, 0x00);
  apdu[1] = 0xB0;
  for (int32_t length : {252, 255, 0x3FC}) {
    FakeTransport reader;
    const Call call = run(reader, apdu, length);
    EXPECT_EQ(call.result.status, kSwWrongLength);
    EXPECT_EQ(call.result.source, Source::wrong_length);
    EXPECT_EQ(call.response_length, 0);
  }
}

// The reset request is answered by a power-up, whatever the length after 5.
class ResetRequest : public Transparent {
 protected:
  static void expect_power_up(FakeTransport& reader) {
    reader.expect("80 00 04 80 60 00 00 00", "80 00 02 90 00 00")
        .expect("80 00 04 80 6B 05 00 00", "80 00 02 90 00 00")
        .expect("80 00 04 80 61 00 00 00", "70 00 02 3B 00 00");
  }
};

TEST_F(ResetRequest, AnsweredByPowerUp) {
  Bytes apdu(255, 0x00);
  apdu[1] = 0x12;
  for (int32_t length : {5, 6, 200, 252, 255}) {
    set_protocol_byte(0x00);
    FakeTransport reader;
    expect_power_up(reader);
    const Call call = run(reader, apdu, length);
    EXPECT_EQ(call.result.status, 0x9000) << length;
    EXPECT_EQ(call.result.source, Source::power_up);
    EXPECT_EQ(call.data(), hex("3B 00"));
    EXPECT_EQ(protocol_byte(), 0x40) << "set from the ATR";
  }
}

TEST_F(ResetRequest, PowerUpFailurePassesThrough) {
  FakeTransport reader;
  reader.expect_silence("80 00 04 80 60 00 00 00");
  const Call call = run(reader, "00 12 00 00 00");
  EXPECT_EQ(call.result.status, kSwNoReply);
  EXPECT_EQ(call.result.source, Source::power_up);
  EXPECT_EQ(call.response_length, 0xEE) << "left as the caller had it";
}

// The reset request writes the ATR into the response buffer, which holds 250
// bytes: a reader that claims a longer ATR must not overrun it.
TEST_F(ResetRequest, AtrLongerThanTheResponseBufferIsRefused) {
  for (const std::size_t n : {250u, 251u, 252u}) {
    SCOPED_TRACE(n);
    set_protocol_byte(0x00);
    Bytes atr_reply{0x70, 0x00, static_cast<uint8_t>(n), 0x3B, 0x00};
    atr_reply.resize(n + 4, 0x00);
    FakeTransport reader;
    reader.expect("80 00 04 80 60 00 00 00", "80 00 02 90 00 00")
        .expect("80 00 04 80 6B 05 00 00", "80 00 02 90 00 00")
        .expect("80 00 04 80 61 00 00 00", vorkand::test::to_hex(atr_reply));
    const Call call = run(reader, "00 12 00 00 00");
    if (n <= kMaxResponse) {
      EXPECT_EQ(call.result.status, kSwOk);
      EXPECT_EQ(call.response_length, n);
      EXPECT_EQ(protocol_byte(), 0x40);
      continue;
    }
    EXPECT_EQ(call.result.status, kSwOutOfForm);
    EXPECT_EQ(call.response_length, 0);
    EXPECT_EQ(protocol_byte(), 0x00) << "unchanged";
    for (uint8_t b : call.response) ASSERT_EQ(b, 0xCC) << "nothing written";
  }
}

TEST_F(ResetRequest, NeedsFiveApduBytes) {
  FakeTransport reader;
  reader.expect("00 49 04 00 12 00 00 00", kOk);
  const Call call = run(reader, hex("00 12 00 00 00"), 4);
  EXPECT_EQ(call.result.status, 0x9000);
  EXPECT_EQ(call.response_length, 0);
}

// A whole call as a dialogue on the wire: the protocol byte before, the APDU
// (and its length, when not its size), each frame with its reply, the result
// and the protocol byte after.
struct Dialogue {
  const char* name;
  uint8_t before;
  const char* apdu;
  int32_t length;  // -1: the APDU's size
  std::vector<Exchange> exchanges;
  uint16_t status;
  Source source;
  uint8_t after;
};

// gtest prints a parameter it cannot format as raw bytes, padding included
// (uninitialised memory to valgrind); name the case instead.
void PrintTo(const Dialogue& d, std::ostream* os) {
  *os << d.name;
}

class Dialogues : public testing::TestWithParam<Dialogue> {};

TEST_P(Dialogues, FramesResultAndProtocolByte) {
  const Dialogue& d = GetParam();
  set_protocol_byte(d.before);
  FakeTransport reader;
  for (const Exchange& e : d.exchanges) reader.expect_or_silence(e.frame, e.reply);
  const Call call = run(reader, hex(d.apdu), d.length);
  EXPECT_EQ(call.result.status, d.status);
  EXPECT_EQ(call.result.source, d.source);
  EXPECT_EQ(protocol_byte(), d.after);
  if (call.result.source != Source::card) {
    EXPECT_EQ(call.response_length, 0);
  }
}

constexpr const char* kGetResponse02T0 = "40 4F 05 00 C0 00 00 02 00";

INSTANTIATE_TEST_SUITE_P(
    ProtocolSwitch, Dialogues,
    testing::Values(
        // The switch goes out with the old head; 90 00 completes it.
        Dialogue{"ToT1",
                 0x40,
                 kSwitchToT1,
                 -1,
                 {{kSwitchToT1FrameT0, "40 00 02 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x00},
        Dialogue{"ToT0",
                 0x00,
                 "80 14 00 00 01 02",
                 -1,
                 {{"00 49 06 80 14 00 00 01 02 00", "00 00 02 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x40},
        Dialogue{"OddByteMeansT1",
                 0x40,
                 "80 14 00 00 01 FF",
                 -1,
                 {{"40 49 06 80 14 00 00 01 FF 00", "00 00 03 AA 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x00},
        Dialogue{"CardRefuses",
                 0x40,
                 kSwitchToT1,
                 -1,
                 {{kSwitchToT1FrameT0, "40 00 02 6A 86 00"}},
                 0x6A86,
                 Source::card,
                 0x40},
        Dialogue{"AcceptedThroughGetResponse",
                 0x40,
                 kSwitchToT1,
                 -1,
                 {{kSwitchToT1FrameT0, "40 00 02 61 02 00"},
                  {kGetResponse02T0, "40 00 04 AA BB 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x00},
        Dialogue{"AcceptedAfterBlockError",
                 0x00,
                 "80 14 00 00 01 02",
                 -1,
                 {{"00 49 06 80 14 00 00 01 02 00", "00 92 00 92"},
                  {"40 49 06 80 14 00 00 01 02 00", "40 00 02 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x40},
        // Switches that must leave the protocol byte alone.
        Dialogue{"Lc2IsNoSwitch",
                 0x40,
                 "80 14 00 00 02 01",
                 -1,
                 {{"40 49 06 80 14 00 00 02 01 00", "40 00 02 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x40},
        Dialogue{"DataByteBeyondTheLength",
                 0x40,
                 kSwitchToT1,
                 5,
                 {{"40 49 05 80 14 00 00 01 00", "40 00 02 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x40},
        Dialogue{"Silence",
                 0x40,
                 kSwitchToT1,
                 -1,
                 {{kSwitchToT1FrameT0, nullptr}},
                 kSwNoReply,
                 Source::no_reply,
                 0x40},
        Dialogue{"ReaderRefuses",
                 0x40,
                 kSwitchToT1,
                 -1,
                 {{kSwitchToT1FrameT0, "80 00 02 70 01 00"}},
                 kSwRefused,
                 Source::reader_refused,
                 0x40},
        Dialogue{"ReaderSays9000",
                 0x40,
                 kSwitchToT1,
                 -1,
                 {{kSwitchToT1FrameT0, "80 00 02 90 00 00"}},
                 0x9000,
                 Source::unrecognised,
                 0x40},
        Dialogue{"StrayByte",
                 0x40,
                 kSwitchToT1,
                 -1,
                 {{kSwitchToT1FrameT0, "40 00 02 90 00 00 00"}},
                 0x9000,
                 Source::unrecognised,
                 0x40},
        Dialogue{"BusyAfterGetResponse",
                 0x40,
                 kSwitchToT1,
                 -1,
                 {{kSwitchToT1FrameT0, "40 00 02 61 02 00"}, {kGetResponse02T0, kBusy}},
                 kSwBusy,
                 Source::reader_busy,
                 0x40},
        Dialogue{"SecondBlockError",
                 0x00,
                 kSwitchToT1,
                 -1,
                 {{kSwitchToT1Frame, "00 82 00 82"}, {kSwitchToT1Frame, "00 82 00 82"}},
                 kSwOutOfForm,
                 Source::no_status_word,
                 0x00}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    BlockError, Dialogues,
    testing::Values(
        // 92: the other head, for the resend only; 82: the same frame.
        Dialogue{"SwitchesT1ToT0",
                 0x00,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT1, "00 92 00 92"}, {kReadBinaryT0, "40 00 03 55 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x00},
        Dialogue{"SwitchesT0ToT1",
                 0x40,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT0, "00 92 00 92"}, {kReadBinaryT1, "00 00 02 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x40},
        Dialogue{"SameHead",
                 0x40,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT0, "00 82 00 82"}, {kReadBinaryT0, "40 00 02 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x40},
        Dialogue{"CountNotTested",
                 0x00,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT1, "00 82 00 82 00"}, {kReadBinaryT1, "00 00 02 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x00},
        Dialogue{"AfterPolling",
                 0x00,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT1, kBusy},
                  {"00 4F 05 00 00 00 00 00 00", "00 92 00 92"},
                  {kReadBinaryT0, "00 00 02 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x00},
        Dialogue{"ThirdSendAfter6D00",
                 0x00,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT1, "00 00 02 6D 00 00"},
                  {kReadBinaryT1, "00 92 00 92"},
                  {kReadBinaryT0, "00 00 02 90 00 00"}},
                 0x9000,
                 Source::card,
                 0x00},
        // The reply to the resend is neither polled nor followed up.
        Dialogue{"NoGetResponseAfter",
                 0x00,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT1, "00 92 00 92"}, {kReadBinaryT0, "00 00 02 61 10 00"}},
                 0x6110,
                 Source::card,
                 0x00},
        Dialogue{"NoPollAfter",
                 0x00,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT1, "00 82 00 82"}, {kReadBinaryT1, kBusy}},
                 kSwBusy,
                 Source::reader_busy,
                 0x00},
        Dialogue{"SilentAfter",
                 0x00,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT1, "00 92 00 92"}, {kReadBinaryT0, nullptr}},
                 kSwNoReply,
                 Source::no_reply,
                 0x00},
        Dialogue{"SecondIsOutOfForm",
                 0x00,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT1, "00 92 00 92"}, {kReadBinaryT0, "00 92 00 92"}},
                 kSwOutOfForm,
                 Source::no_status_word,
                 0x00},
        // Not block errors: head 40, or a trailer other than the mode.
        Dialogue{"Head40",
                 0x00,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT1, "40 92 00 92"}},
                 kSwOutOfForm,
                 Source::no_status_word,
                 0x00},
        Dialogue{"OtherTrailer",
                 0x00,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT1, "00 92 00 82"}},
                 kSwOutOfForm,
                 Source::no_status_word,
                 0x00},
        Dialogue{"OtherMode",
                 0x00,
                 kReadBinary,
                 -1,
                 {{kReadBinaryT1, "00 93 00 93"}},
                 kSwOutOfForm,
                 Source::no_status_word,
                 0x00}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Transparent, SwitchedHeadLastsOneCall) {
  FakeTransport reader;
  reader.expect(kReadBinaryT1, "00 92 00 92").expect(kReadBinaryT0, kOk).expect(kReadBinaryT1, kOk);
  EXPECT_EQ(run(reader, kReadBinary).result.status, 0x9000);
  EXPECT_EQ(run(reader, kReadBinary).result.status, 0x9000);
}

}  // namespace
}  // namespace vorkand::card
