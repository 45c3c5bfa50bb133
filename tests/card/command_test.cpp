// The card command exchange with caller-given direction and protocol, against
// a scripted reader: every frame on the wire and every result.
#include <gtest/gtest.h>

#include <array>
#include <ostream>
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
// READ BINARY with direction 1 and protocol 0, and its poll frame.
constexpr const char* kCommandT0Out = "40 4F 05 00 B0 00 00 04 00";
constexpr const char* kPollT0 = "40 49 05 00 00 00 00 00 00";
constexpr const char* kBusy = "80 00 02 70 03 00";

Call run(FakeTransport& reader, const Bytes& apdu, int32_t direction = 1, int32_t protocol = 0,
         int32_t length = -1) {
  Call call;
  call.result = command(reader, apdu_length(apdu, length), apdu.data(), &call.response_length,
                        call.response.data(), direction, protocol);
  return call;
}

Call run(FakeTransport& reader, const char* apdu, int32_t direction = 1, int32_t protocol = 0) {
  return run(reader, hex(apdu), direction, protocol);
}

struct FrameCase {
  int32_t direction;
  int32_t protocol;
  const char* command;
  const char* poll;
};

// gtest prints a parameter it cannot format as raw bytes, padding included
// (uninitialised memory to valgrind); name the case instead.
void PrintTo(const FrameCase& c, std::ostream* os) {
  *os << c.command;
}

class CommandFrames : public testing::TestWithParam<FrameCase> {};

// The poll frame is sent after a busy reply; it always has mode 49 and the
// command frame's head. Only the low bytes of direction and protocol count.
TEST_P(CommandFrames, CommandAndPollFramesByteForByte) {
  const FrameCase& c = GetParam();
  FakeTransport reader;
  reader.expect(c.command, kBusy).expect(c.poll, "00 00 04 12 34 90 00 00");
  const Call call = run(reader, kReadBinary, c.direction, c.protocol);
  EXPECT_EQ(call.result.status, 0x9000);
  EXPECT_EQ(call.data(), hex("12 34"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandFrames,
    testing::Values(FrameCase{1, 0, kCommandT0Out, kPollT0},
                    FrameCase{0, 1, "00 49 05 00 B0 00 00 04 00", "00 49 05 00 00 00 00 00 00"},
                    FrameCase{0x101, 0x100, kCommandT0Out, kPollT0},
                    FrameCase{2, 0x201, "00 49 05 00 B0 00 00 04 00", "00 49 05 00 00 00 00 00 00"},
                    FrameCase{-255, 7, "00 4F 05 00 B0 00 00 04 00",
                              "00 49 05 00 00 00 00 00 00"}));

TEST(Command, OnlyTheLowByteOfTheApduLengthCounts) {
  FakeTransport reader;
  reader.expect(kCommandT0Out, "40 00 02 90 00 00");
  EXPECT_EQ(run(reader, hex(kReadBinary), 1, 0, 0x7705).result.status, 0x9000);
}

TEST(Command, EmptyApduIsAFourByteFrame) {
  FakeTransport reader;
  reader.expect("40 4F 00 00", "40 00 02 90 00 00");
  EXPECT_EQ(run(reader, Bytes{}, 1, 0).result.status, 0x9000);
}

TEST(Command, LongestApduFitsTheFrame) {
  Bytes apdu(251, 0xA5);
  Bytes frame = hex("00 49 FB");
  frame.insert(frame.end(), apdu.begin(), apdu.end());
  frame.push_back(0x00);
  FakeTransport reader;
  reader.expect(frame, hex("00 00 02 90 00 00"));
  EXPECT_EQ(run(reader, apdu, 0, 1).result.status, 0x9000);
}

TEST(Command, ApduLengths252To255AreRefusedWithoutSending) {
  const Bytes apdu(255, 0x00);
  for (int32_t length : {252, 253, 254, 255, 0x1FF}) {
    FakeTransport reader;  // expects nothing
    const Call call = run(reader, apdu, 1, 0, length);
    EXPECT_EQ(call.result.status, kSwWrongLength) << length;
    EXPECT_EQ(call.result.source, Source::wrong_length);
    EXPECT_EQ(call.response_length, 0);
  }
}

TEST(Command, TenPollsThenBusy) {
  FakeTransport reader;
  reader.expect(kCommandT0Out, kBusy);
  for (int i = 0; i < 10; ++i) reader.expect(kPollT0, kBusy);
  const Call call = run(reader, kReadBinary);
  EXPECT_EQ(reader.sent().size(), 11u);
  EXPECT_EQ(call.result.status, kSwBusy);
  EXPECT_EQ(call.result.source, Source::reader_busy);
  EXPECT_EQ(call.response_length, 0);
}

TEST(Command, DataReplyToTheTenthPoll) {
  FakeTransport reader;
  reader.expect(kCommandT0Out, kBusy);
  for (int i = 0; i < 9; ++i) reader.expect(kPollT0, kBusy);
  reader.expect(kPollT0, "00 00 04 12 34 90 00 00");
  const Call call = run(reader, kReadBinary);
  EXPECT_EQ(call.result.status, 0x9000);
  EXPECT_EQ(call.result.source, Source::card);
  EXPECT_EQ(call.data(), hex("12 34"));
}

TEST(Command, BusyWithAStrayByteIsNotPolled) {
  FakeTransport reader;
  reader.expect(kCommandT0Out, "80 00 02 70 03 00 00");
  const Call call = run(reader, kReadBinary);
  EXPECT_EQ(call.result.status, 0x9000);
  EXPECT_EQ(call.result.source, Source::unrecognised);
  EXPECT_EQ(call.response_length, 0);
}

TEST(Command, ResendOn6D00) {
  for (const char* resend_request :
       {"00 00 02 6D 00 00", "40 12 02 6D 00 34 99", "80 00 02 6D 00 00"}) {
    FakeTransport reader;
    reader.expect(kCommandT0Out, resend_request).expect(kCommandT0Out, "40 00 03 AB 90 00 00");
    const Call call = run(reader, kReadBinary);
    EXPECT_EQ(call.result.status, 0x9000) << resend_request;
    EXPECT_EQ(call.data(), hex("AB"));
  }
}

TEST(Command, ResendOnlyOnce) {
  FakeTransport reader;
  reader.expect(kCommandT0Out, "00 00 02 6D 00 00").expect(kCommandT0Out, "00 00 02 6D 00 00");
  const Call call = run(reader, kReadBinary);
  EXPECT_EQ(call.result.status, 0x6D00);
  EXPECT_EQ(call.result.source, Source::card);
}

TEST(Command, BusyAfterAResendIsNotPolled) {
  FakeTransport reader;
  reader.expect(kCommandT0Out, "00 00 02 6D 00 00").expect(kCommandT0Out, kBusy);
  EXPECT_EQ(run(reader, kReadBinary).result.status, kSwBusy);
}

TEST(Command, GetResponseOn61xx) {
  Bytes data_reply = hex("40 00 1E");
  for (uint8_t i = 0; i < 28; ++i) data_reply.push_back(i);
  data_reply.insert(data_reply.end(), {0x90, 0x00, 0x00});
  FakeTransport reader;
  reader.expect("40 49 05 00 B0 00 00 04 00", "00 00 02 61 1C 00")
      .expect(hex("40 4F 05 00 C0 00 00 1C 00"), data_reply);
  const Call call = run(reader, kReadBinary, 0, 0);  // GET RESPONSE is 4F whatever the direction
  EXPECT_EQ(call.result.status, 0x9000);
  ASSERT_EQ(call.response_length, 28);
  EXPECT_EQ(call.response[27], 27);
  EXPECT_EQ(call.response[28], 0xCC) << "nothing written past the data";
}

TEST(Command, GetResponseOnlyOnce) {
  FakeTransport reader;
  reader
      .expect("00 49 05 00 B0 00 00 04 00", "80 00 02 61 10 00 00")  // any head and count
      .expect("00 4F 05 00 C0 00 00 10 00", "00 00 02 61 10 00");
  const Call call = run(reader, kReadBinary, 0, 1);
  EXPECT_EQ(call.result.status, 0x6110);
  EXPECT_EQ(call.result.source, Source::card);
  EXPECT_EQ(call.response_length, 0);
}

TEST(Command, BusyAfterGetResponseIsNotPolled) {
  FakeTransport reader;
  reader.expect(kCommandT0Out, "40 00 02 61 04 00").expect("40 4F 05 00 C0 00 00 04 00", kBusy);
  EXPECT_EQ(run(reader, kReadBinary).result.status, kSwBusy);
}

// The longest chain: the command, 10 polls, one resend and one GET RESPONSE.
TEST(Command, ThirteenFramesAtMost) {
  FakeTransport reader;
  reader.expect(kCommandT0Out, kBusy);
  for (int i = 0; i < 9; ++i) reader.expect(kPollT0, kBusy);
  reader.expect(kPollT0, "00 00 02 6D 00 00")
      .expect(kCommandT0Out, "00 00 02 61 02 00")
      .expect("40 4F 05 00 C0 00 00 02 00", "00 00 04 01 02 90 00 00");
  const Call call = run(reader, kReadBinary);
  EXPECT_EQ(reader.sent().size(), 13u);
  EXPECT_EQ(call.result.status, 0x9000);
  EXPECT_EQ(call.data(), hex("01 02"));
}

struct Final {
  const char* name;
  const char* reply;
  uint16_t status;
  Source source;
  const char* data;  // nullptr: response length 0 and nothing written
};

void PrintTo(const Final& c, std::ostream* os) {
  *os << c.name;
}

class FinalEvaluation : public testing::TestWithParam<Final> {};

TEST_P(FinalEvaluation, DecisionTable) {
  const Final& c = GetParam();
  FakeTransport reader;
  reader.expect(kCommandT0Out, c.reply);
  const Call call = run(reader, kReadBinary);
  EXPECT_EQ(call.result.status, c.status);
  EXPECT_EQ(call.result.source, c.source);
  if (c.data) {
    EXPECT_EQ(call.data(), hex(c.data));
  } else {
    EXPECT_EQ(call.response_length, 0);
    EXPECT_EQ(call.response[0], 0xCC) << "nothing written";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FinalEvaluation,
    testing::Values(
        Final{"ReaderGood", "80 00 02 90 00 00", 0x9000, Source::unrecognised, nullptr},
        Final{"ReaderRefused", "80 00 02 70 01 00", 0x6200, Source::reader_refused, nullptr},
        Final{"ReaderRefusedStray", "80 00 02 70 01 00 00", 0x9000, Source::unrecognised, nullptr},
        Final{"ReaderOtherLength", "80 00 03 70 01 00 00", 0x9000, Source::unrecognised, nullptr},
        Final{"CardError", "00 00 04 AA BB 6A 82 00", 0x6A82, Source::card, "AA BB"},
        Final{"CardStatusOnly", "40 7F 02 90 00 7F", 0x9000, Source::card, ""},
        Final{"CardSaysBusyWord", "00 00 02 6F F0 00", 0x6FF0, Source::card, ""},
        Final{"DataWithStrayByte", "00 00 04 12 34 90 00 00 00", 0x9000, Source::unrecognised,
              nullptr},
        Final{"OtherHead", "41 00 02 90 00 00", 0x9000, Source::unrecognised, nullptr},
        Final{"AtrHead", "70 00 02 6A 82 00", 0x9000, Source::unrecognised, nullptr},
        // Data replies too short to hold SW1 SW2 (block-error shapes included).
        Final{"EmptyDataReply", "00 92 00 92", kSwOutOfForm, Source::no_status_word, nullptr},
        Final{"EmptyDataReplyT0", "40 82 00 82", kSwOutOfForm, Source::no_status_word, nullptr},
        Final{"OneByteDataReply", "00 00 01 90 00", kSwOutOfForm, Source::no_status_word, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Command, LargestDataReply) {
  Bytes reply = hex("00 00 FC");
  for (int i = 0; i < 250; ++i) reply.push_back(static_cast<uint8_t>(i));
  reply.insert(reply.end(), {0x90, 0x00, 0x00});
  FakeTransport reader;
  reader.expect(hex(kCommandT0Out), reply);
  const Call call = run(reader, kReadBinary);
  EXPECT_EQ(call.result.status, 0x9000);
  EXPECT_EQ(call.response_length, 250);
  EXPECT_EQ(call.response[249], 249);
}

// No reply at any step ends the call at once; the fake fails on any further frame.
TEST(Command, SilenceAtEveryStep) {
  constexpr const char* kGetResponse = "40 4F 05 00 C0 00 00 08 00";
  constexpr const char* k6D00 = "00 00 02 6D 00 00";
  constexpr const char* k6108 = "00 00 02 61 08 00";
  std::vector<Exchange> ten_polls{{kCommandT0Out, kBusy}};
  for (int i = 0; i < 9; ++i) ten_polls.push_back({kPollT0, kBusy});
  ten_polls.push_back({kPollT0, nullptr});
  const std::vector<std::vector<Exchange>> chains{
      {{kCommandT0Out, nullptr}},
      {{kCommandT0Out, kBusy}, {kPollT0, nullptr}},
      ten_polls,
      {{kCommandT0Out, k6D00}, {kCommandT0Out, nullptr}},
      {{kCommandT0Out, k6108}, {kGetResponse, nullptr}},
      {{kCommandT0Out, kBusy}, {kPollT0, k6D00}, {kCommandT0Out, k6108}, {kGetResponse, nullptr}},
  };
  for (const auto& chain : chains) {
    FakeTransport reader;
    for (const Exchange& e : chain) reader.expect_or_silence(e.frame, e.reply);
    const Call call = run(reader, kReadBinary);
    EXPECT_EQ(call.result.status, kSwNoReply);
    EXPECT_EQ(call.result.source, Source::no_reply);
    EXPECT_EQ(call.response_length, 0);
  }
}

// A transport that breaks its promise (a count of 1..3 or past 256) is taken
// as silent rather than read past the reply.
TEST(Command, ImpossibleCountsAreNoReply) {
  for (int32_t count : {1, 3}) {
    FakeTransport reader;
    reader.expect(hex(kCommandT0Out), hex("00 00 02"), count);
    EXPECT_EQ(run(reader, kReadBinary).result.status, kSwNoReply);
  }
}

}  // namespace
}  // namespace vorkand::card
