// The PC/SC reader mapping against a scripted reader: each test reads as the
// dialogue on the wire (frame sent, reply given) and what pcscd gets back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fake_clock.h"
#include "fake_transport.h"
#include "ifd_reader.h"

namespace vorkand::pcsc {
namespace {

using test::Bytes;
using test::FakeClock;
using test::FakeTransport;
using test::hex;

std::string to_hex(std::span<const uint8_t> bytes) {
  return test::to_hex(Bytes(bytes.begin(), bytes.end()));
}

constexpr std::string_view kReset = "80 00 04 80 62 00 00 00";
constexpr std::string_view kStep1 = "80 00 04 80 60 00 00 00";
constexpr std::string_view kStep2 = "80 00 04 80 6B 05 00 00";
constexpr std::string_view kAtrRequest = "80 00 04 80 61 00 00 00";
constexpr std::string_view kGood = "80 00 02 90 00 00";
constexpr std::string_view kNoCard = "80 00 02 70 01 00";

// TS, T0 announcing no interface bytes and two historical bytes: T=0.
constexpr std::string_view kAtrT0 = "3B 02 14 50";
// T0 announces TD1 and one historical byte; TD1 names T=1; then TCK.
constexpr std::string_view kAtrT1 = "3B 81 01 4A CA";

// The reply carrying an ATR: head 0x70, mode 0, length, the ATR, trailer.
Bytes atr_reply(std::string_view atr) {
  Bytes reply{0x70, 0x00};
  const Bytes bytes = hex(atr);
  reply.push_back(static_cast<uint8_t>(bytes.size()));
  reply.insert(reply.end(), bytes.begin(), bytes.end());
  reply.push_back(0x00);
  return reply;
}

void expect_power_up(FakeTransport& reader, std::string_view atr) {
  reader.expect(kStep1, kGood).expect(kStep2, kGood).expect(hex(kAtrRequest), atr_reply(atr));
}

// A data reply: head, mode, length, body, trailer.
Bytes data_reply(uint8_t head, const Bytes& body) {
  Bytes reply{head, 0x4F, static_cast<uint8_t>(body.size())};
  reply.insert(reply.end(), body.begin(), body.end());
  reply.push_back(0x00);
  return reply;
}

Bytes counting_bytes(std::size_t n) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

struct Transmitted {
  Outcome outcome;
  std::string reply;
  std::size_t length;
};

Transmitted transmit(IfdReader& reader, std::string_view apdu, std::size_t room = 300) {
  const Bytes command = hex(apdu);
  Bytes reply(room, 0xEE);
  std::size_t length = 99;
  const Outcome outcome = reader.transmit(command, reply, length);
  return {outcome, to_hex(std::span<const uint8_t>(reply.data(), std::min(length, room))), length};
}

TEST(DeviceName, ComNamesWithOrWithoutColonOtherwiseAPath) {
  EXPECT_EQ(com_index("COM1"), 1);
  EXPECT_EQ(com_index("COM4:"), 4);
  EXPECT_EQ(com_index("com2"), 2);
  EXPECT_EQ(com_index("Com3:"), 3);
  for (const char* path : {"COM5", "COM0:", "COM1::", "COM10", "COM", "/dev/ttyS0", "", "COM1x"}) {
    EXPECT_EQ(com_index(path), 0) << path;
  }
}

TEST(Atr, FirstOfferedProtocolComesFromTd1Only) {
  EXPECT_EQ(first_offered_protocol(hex(kAtrT0)), Protocol::t0);  // no TD1
  EXPECT_EQ(first_offered_protocol(hex(kAtrT1)), Protocol::t1);
  // TD1 offers T=0 first, TD2 T=1: without PPS the card stays in T=0.
  EXPECT_EQ(first_offered_protocol(hex("3B 80 80 01 01")), Protocol::t0);
  // TA1 and TC1 come before TD1.
  EXPECT_EQ(first_offered_protocol(hex("3B D0 11 FF 81 31 FE 45")), Protocol::t1);
  // TD1 announced but past the end; nothing beyond the ATR is read.
  EXPECT_EQ(first_offered_protocol(hex("3B D0 11 FF")), Protocol::t0);
  EXPECT_EQ(first_offered_protocol(hex("3B")), Protocol::t0);
}

TEST(Open, ResetsTheReaderAndTellsSilenceFromRefusal) {
  FakeClock clock;
  FakeTransport good;
  good.expect(kReset, kGood);
  EXPECT_EQ(IfdReader(good, clock).open(), Outcome::ok);
  EXPECT_TRUE(good.finished());

  FakeTransport silent;
  silent.expect_silence(kReset).expect_silence(kReset);
  EXPECT_EQ(IfdReader(silent, clock).open(), Outcome::no_reply);

  FakeTransport refusing;
  refusing.expect(kReset, kNoCard).expect(kReset, kNoCard);
  EXPECT_EQ(IfdReader(refusing, clock).open(), Outcome::reader_error);
}

class Power : public ::testing::Test {
 protected:
  FakeClock clock{1000};
  FakeTransport wire;
  IfdReader reader{wire, clock};
};

TEST_F(Power, PowerUpHandsOverTheAtrAndPowerDownSendsNothing) {
  expect_power_up(wire, kAtrT1);
  ASSERT_EQ(reader.power_up(), Outcome::ok);
  EXPECT_EQ(to_hex(reader.atr()), to_hex(hex(kAtrT1)));
  EXPECT_EQ(reader.protocol(), Protocol::t1);
  EXPECT_TRUE(reader.card_known());

  const std::size_t sent = wire.sent().size();
  reader.power_down();
  EXPECT_EQ(wire.sent().size(), sent);
  EXPECT_TRUE(reader.atr().empty());
  // The card is still in the reader: presence asks nothing and says yes.
  EXPECT_TRUE(reader.poll_presence());
  EXPECT_EQ(wire.sent().size(), sent);
  // No ATR, no APDU.
  EXPECT_EQ(transmit(reader, "00 B0 00 00 04").outcome, Outcome::not_powered);
  EXPECT_EQ(wire.sent().size(), sent);

  // A reset is another power-up, with a fresh ATR.
  expect_power_up(wire, kAtrT0);
  ASSERT_EQ(reader.power_up(), Outcome::ok);
  EXPECT_EQ(to_hex(reader.atr()), to_hex(hex(kAtrT0)));
  EXPECT_EQ(reader.protocol(), Protocol::t0);
  EXPECT_TRUE(wire.finished());
}

TEST_F(Power, AFailedPowerUpLeavesNoCardAndNoAtr) {
  expect_power_up(wire, kAtrT0);
  ASSERT_EQ(reader.power_up(), Outcome::ok);

  wire.expect(kStep1, kNoCard);
  EXPECT_EQ(reader.power_up(), Outcome::power_failed);
  EXPECT_FALSE(reader.card_known());
  EXPECT_TRUE(reader.atr().empty());

  wire.expect_silence(kStep1);
  EXPECT_EQ(reader.power_up(), Outcome::no_reply);
  EXPECT_FALSE(reader.card_known());

  // Longer than any ATR a resource manager takes.
  expect_power_up(wire, to_hex(counting_bytes(kMaxAtr + 1)));
  EXPECT_EQ(reader.power_up(), Outcome::power_failed);
  EXPECT_TRUE(reader.atr().empty());
  EXPECT_TRUE(wire.finished());
}

TEST_F(Power, PresenceTriesAPowerUpAtMostEveryTwoSeconds) {
  wire.expect(kStep1, kNoCard);
  EXPECT_FALSE(reader.poll_presence());  // the first poll tries at once
  EXPECT_EQ(wire.sent().size(), 1);

  for (const uint32_t later : {0u, 400u, 800u, 1999u}) {
    clock.set(1000 + later);
    EXPECT_FALSE(reader.poll_presence()) << later;
  }
  EXPECT_EQ(wire.sent().size(), 1);

  clock.set(3000);
  expect_power_up(wire, kAtrT0);
  EXPECT_TRUE(reader.poll_presence());
  EXPECT_EQ(to_hex(reader.atr()), to_hex(hex(kAtrT0)));
  // Known now: later polls send nothing.
  clock.set(60000);
  EXPECT_TRUE(reader.poll_presence());
  EXPECT_TRUE(wire.finished());
}

TEST_F(Power, APowerUpFromPcscdAlsoRestartsTheWaitAcrossTheClockWrap) {
  clock.set(0xFFFFFF00u);
  wire.expect(kStep1, kNoCard);
  EXPECT_EQ(reader.power_up(), Outcome::power_failed);
  clock.set(0x00000100u);  // 512 ms later, after the wrap
  EXPECT_FALSE(reader.poll_presence());
  EXPECT_EQ(wire.sent().size(), 1);
  clock.set(0x00000700u);  // 2048 ms later
  wire.expect(kStep1, kNoCard);
  EXPECT_FALSE(reader.poll_presence());
  EXPECT_EQ(wire.sent().size(), 2);
}

class Transmit : public ::testing::Test {
 protected:
  void power(std::string_view atr) {
    expect_power_up(wire, atr);
    ASSERT_EQ(reader.power_up(), Outcome::ok);
  }
  FakeClock clock{1000};
  FakeTransport wire;
  IfdReader reader{wire, clock};
};

TEST_F(Transmit, T0CardDirectionFromInsAndDataWithStatusWord) {
  power(kAtrT0);
  wire.expect("40 4F 05 00 B0 00 00 04 00", "40 4F 06 01 02 03 04 90 00 00");
  Transmitted t = transmit(reader, "00 B0 00 00 04");
  EXPECT_EQ(t.outcome, Outcome::ok);
  EXPECT_EQ(t.reply, "01 02 03 04 90 00");

  // SELECT sends data to the card: mode 'I'. A card error is the card's answer.
  wire.expect("40 49 07 00 A4 00 00 02 3F 01 00", "40 49 02 6A 82 00");
  t = transmit(reader, "00 A4 00 00 02 3F 01");
  EXPECT_EQ(t.outcome, Outcome::ok);
  EXPECT_EQ(t.reply, "6A 82");
  EXPECT_TRUE(wire.finished());
}

TEST_F(Transmit, The61xxGetResponseIsTheLibrarysAndTheClientSeesTheData) {
  power(kAtrT0);
  const Bytes data = counting_bytes(28);
  Bytes body = data;
  body.push_back(0x90);
  body.push_back(0x00);
  wire.expect("40 49 07 00 A4 04 00 02 3F 00 00", "40 49 02 61 1C 00")
      .expect(hex("40 4F 05 00 C0 00 00 1C 00"), data_reply(0x40, body));
  const Transmitted t = transmit(reader, "00 A4 04 00 02 3F 00");
  EXPECT_EQ(t.outcome, Outcome::ok);
  EXPECT_EQ(t.length, 30u);
  EXPECT_EQ(t.reply, to_hex(body));
}

TEST_F(Transmit, T1CardAndTheLongestResponse) {
  power(kAtrT1);
  EXPECT_EQ(reader.set_protocol(Protocol::t1), Outcome::ok);
  Bytes body = counting_bytes(250);
  body.push_back(0x90);
  body.push_back(0x00);
  wire.expect(hex("00 4F 05 00 B0 00 00 FA 00"), data_reply(0x00, body));
  Transmitted t = transmit(reader, "00 B0 00 00 FA");
  EXPECT_EQ(t.outcome, Outcome::ok);
  EXPECT_EQ(t.length, 252u);
  EXPECT_EQ(t.reply, to_hex(body));

  // The same answer into a buffer one byte short: refused, nothing handed over.
  wire.expect(hex("00 4F 05 00 B0 00 00 FA 00"), data_reply(0x00, body));
  t = transmit(reader, "00 B0 00 00 FA", 251);
  EXPECT_EQ(t.outcome, Outcome::buffer_too_small);
  EXPECT_EQ(t.length, 0u);
}

TEST_F(Transmit, OnlyTheProtocolTheCardRunsIsAccepted) {
  // T=0 first, T=1 offered later: pcscd asks for T=1, the reader cannot switch.
  power("3B 80 80 01 01");
  EXPECT_EQ(reader.set_protocol(Protocol::t1), Outcome::protocol_refused);
  EXPECT_EQ(reader.protocol(), Protocol::t0);
  EXPECT_EQ(reader.set_protocol(Protocol::t0), Outcome::ok);
  wire.expect("40 49 04 00 20 00 01 00", "40 49 02 63 C2 00");
  EXPECT_EQ(transmit(reader, "00 20 00 01").reply, "63 C2");

  power(kAtrT1);
  EXPECT_EQ(reader.set_protocol(Protocol::t0), Outcome::protocol_refused);
  EXPECT_EQ(reader.protocol(), Protocol::t1);
}

TEST_F(Transmit, ReaderLevelOutcomesNeverBecomeStatusWords) {
  power(kAtrT0);
  const std::string_view apdu = "00 84 00 00 08";
  const std::string_view frame = "40 4F 05 00 84 00 00 08 00";
  const std::string_view poll = "40 49 05 00 00 00 00 00 00";
  const std::string_view busy = "80 00 02 70 03 00";

  wire.expect_silence(frame);
  Transmitted t = transmit(reader, apdu);
  EXPECT_EQ(t.outcome, Outcome::no_reply);
  EXPECT_EQ(t.length, 0u);

  // Still busy after ten polls: the library's 6F F0 stays inside.
  wire.expect(frame, busy);
  for (int i = 0; i < 10; ++i) wire.expect(poll, busy);
  t = transmit(reader, apdu);
  EXPECT_EQ(t.outcome, Outcome::reader_error);
  EXPECT_EQ(t.length, 0u);

  // Reader refusal (the library's 62 00).
  wire.expect(frame, "80 00 02 70 01 00");
  EXPECT_EQ(transmit(reader, apdu).outcome, Outcome::reader_error);

  // A reader status the exchange does not recognise (the library's 90 00).
  wire.expect(frame, "80 00 02 90 00 00");
  EXPECT_EQ(transmit(reader, apdu).outcome, Outcome::reader_error);

  // A data reply too short to hold SW1 SW2.
  wire.expect(frame, "40 4F 00 00");
  EXPECT_EQ(transmit(reader, apdu).outcome, Outcome::reader_error);

  // More bytes than the frame announces.
  wire.expect(frame, "40 4F 02 90 00 00 00");
  EXPECT_EQ(transmit(reader, apdu).outcome, Outcome::reader_error);
  EXPECT_TRUE(wire.finished());
}

TEST_F(Transmit, ApdusTheFrameCannotCarryAreRefusedWithoutSending) {
  power(kAtrT0);
  const std::size_t sent = wire.sent().size();
  Bytes longest = counting_bytes(kMaxApdu + 1);
  Bytes reply(300);
  std::size_t length = 7;
  EXPECT_EQ(reader.transmit(longest, reply, length), Outcome::apdu_refused);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(transmit(reader, "00 B0 00").outcome, Outcome::apdu_refused);
  EXPECT_EQ(wire.sent().size(), sent);

  // 251 bytes still go out, in one frame.
  longest.pop_back();
  longest[1] = 0xD6;  // UPDATE BINARY: mode 'I'
  Bytes frame{0x40, 0x49, 251};
  frame.insert(frame.end(), longest.begin(), longest.end());
  frame.push_back(0x00);
  wire.expect(frame, hex("40 49 02 90 00 00"));
  EXPECT_EQ(reader.transmit(longest, reply, length), Outcome::ok);
  EXPECT_EQ(length, 2u);
}

TEST(SeveralReaders, EachKeepsItsOwnCardProtocolAndClock) {
  FakeClock clock_a;
  FakeClock clock_b;
  FakeTransport wire_a;
  FakeTransport wire_b;
  IfdReader a(wire_a, clock_a);
  IfdReader b(wire_b, clock_b);

  expect_power_up(wire_a, kAtrT1);
  ASSERT_EQ(a.power_up(), Outcome::ok);
  wire_b.expect(kStep1, kNoCard);
  EXPECT_FALSE(b.poll_presence());
  expect_power_up(wire_b, kAtrT0);
  clock_b.advance(kPresenceRetryMs);
  EXPECT_TRUE(b.poll_presence());  // B's power-up of a T=0 card ...

  // ... leaves A addressing its card with T=1.
  wire_a.expect("00 4F 05 00 B0 00 00 02 00", "00 4F 04 AA BB 90 00 00");
  EXPECT_EQ(transmit(a, "00 B0 00 00 02").reply, "AA BB 90 00");
  wire_b.expect("40 4F 05 00 B0 00 00 02 00", "40 4F 04 CC DD 90 00 00");
  EXPECT_EQ(transmit(b, "00 B0 00 00 02").reply, "CC DD 90 00");

  a.power_down();
  EXPECT_TRUE(a.atr().empty());
  EXPECT_EQ(to_hex(b.atr()), to_hex(hex(kAtrT0)));
  EXPECT_TRUE(wire_a.finished());
  EXPECT_TRUE(wire_b.finished());
}

}  // namespace
}  // namespace vorkand::pcsc
