// Reading a library trace back and playing its reader side: the endings,
// masked bytes, other handles and stray text, and the first difference.
#include "replay/replay.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/hex.h"

namespace vorkand::replay {
namespace {

using common::parse_hex;

using Bytes = std::vector<uint8_t>;

Bytes h(std::string_view text) {
  return parse_hex(text).value();
}

// Two handles interleaved, text of another program on the same stderr, every
// ending the library writes.
constexpr std::string_view kTrace =
    "10.000001 COM1 7 open vorkand 1.0.0, serial port /dev/pts/4, 9600 baud 8E1\n"  // 1
    "10.000002 COM1 7 call CT_open -> 7\n"                                          // 2
    "10.000003 COM1 7 > 80 00 04 80 62 00 00 00\n"                                  // 3
    "10.000004 COM2 9 > 80 00 04 80 60 00 00 00\n"                                  // 4
    "host: something else on stderr\n"                                              // 5
    "10.000005 COM1 7 < 80 00 02 90 00 00\n"                                        // 6
    "10.000006 COM1 7 call CT_reset -> 9000\n"                                      // 7
    "10.000007 COM1 7 > 40 49 09 00 20 00 01 04 ** ** ** ** 00\n"                   // 8
    "15.000008 COM1 7 < 40 49\n"                                                    // 9
    "15.000009 COM1 7 end silence: no byte for 5000 ms\n"                           // 10
    "15.000010 COM1 7 > 40 4F 05 00 B0 00 00 FF 00\n"                               // 11
    "15.000011 COM1 7 < 00 4F FF 01\n"                                              // 12
    "15.000012 COM1 7 end overlong: the reply would pass 256 bytes\n"               // 13
    "15.000013 COM1 7 > 80 00 04 80 62 00 00 00\n"                                  // 14
    "15.000014 COM1 7 end hang-up: the port failed or hung up\n";                   // 15

TEST(Replay, PlaysEachEndingAsRecordedAndMaskedBytesMatchAnything) {
  auto parsed = parse_recording(kTrace);
  ASSERT_TRUE(std::holds_alternative<Recording>(parsed));
  const Recording recording = std::get<Recording>(parsed);
  EXPECT_EQ(recording.port, "COM1");
  EXPECT_EQ(recording.handle, 7);
  ASSERT_EQ(recording.exchanges.size(), 4u);
  EXPECT_EQ(recorded_hex(recording.exchanges[1]), "40 49 09 00 20 00 01 04 ** ** ** ** 00");

  Replay replay(recording);
  EXPECT_EQ(replay.answer(h("80 00 04 80 62 00 00 00")).bytes, h("80 00 02 90 00 00"));
  // Another PIN matches the masked recording; the recorded partial reply comes, then silence.
  const auto partial = replay.answer(h("40 49 09 00 20 00 01 04 39 39 39 39 00"));
  EXPECT_EQ(partial.bytes, h("40 49"));
  EXPECT_FALSE(partial.hang_up);
  const auto overlong = replay.answer(h("40 4F 05 00 B0 00 00 FF 00"));
  EXPECT_GT(overlong.bytes.size(), 256u);
  EXPECT_EQ(Bytes(overlong.bytes.begin(), overlong.bytes.begin() + 4), h("00 4F FF 01"));
  const auto hang_up = replay.answer(h("80 00 04 80 62 00 00 00"));
  EXPECT_TRUE(hang_up.bytes.empty());
  EXPECT_TRUE(hang_up.hang_up);
  EXPECT_EQ(replay.matched(), 4);
  EXPECT_FALSE(replay.difference());
  EXPECT_EQ(replay.summary(), "replay: 4 of 4 frames matched; no difference");

  // The other handle, chosen by number.
  auto other = parse_recording(kTrace, 9);
  ASSERT_TRUE(std::holds_alternative<Recording>(other));
  EXPECT_EQ(std::get<Recording>(other).exchanges.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<std::string>(parse_recording("no trace here\n")));

  // The port's next session under another handle is played too.
  const std::string reopened = std::string(kTrace) +
                               "20.000001 com1 8 open vorkand 1.0.0\n"
                               "20.000002 com1 8 > 80 00 04 80 60 00 00 00\n"
                               "20.000003 com1 8 < 80 00 02 90 00 00\n";
  const auto both = std::get<Recording>(parse_recording(reopened));
  ASSERT_EQ(both.exchanges.size(), 5u);
  EXPECT_EQ(both.exchanges[4].line, 17);
  EXPECT_EQ(both.exchanges[4].reply, h("80 00 02 90 00 00"));
}

TEST(Replay, FirstDifferenceNamesItsLineAndSilencesTheReader) {
  Replay::Difference reported;
  Replay replay(std::get<Recording>(parse_recording(kTrace)),
                [&](const Replay::Difference& d) { reported = d; });
  EXPECT_FALSE(replay.answer(h("80 00 04 80 62 00 00 00")).bytes.empty());
  EXPECT_TRUE(replay.answer(h("40 49 07 00 A4 00 0C 02 50 00 00")).bytes.empty());
  EXPECT_EQ(reported.line, 8);
  EXPECT_EQ(reported.expected, "40 49 09 00 20 00 01 04 ** ** ** ** 00");
  EXPECT_EQ(reported.received, "40 49 07 00 A4 00 0C 02 50 00 00");
  // Silent from now on, even for the frame the recording expected.
  EXPECT_TRUE(replay.answer(h("40 49 09 00 20 00 01 04 31 32 33 34 00")).bytes.empty());
  EXPECT_EQ(replay.matched(), 1);
  EXPECT_EQ(replay.summary(),
            "replay: 1 of 4 frames matched; first difference at line 8: expected 40 49 09 00 20 "
            "00 01 04 ** ** ** ** 00, received 40 49 07 00 A4 00 0C 02 50 00 00");

  // A frame after the last one recorded is a difference too.
  Replay short_replay(std::get<Recording>(parse_recording(kTrace, 9)));
  short_replay.answer(h("80 00 04 80 60 00 00 00"));
  short_replay.answer(h("80 00 04 80 60 00 00 00"));
  ASSERT_TRUE(short_replay.difference());
  EXPECT_EQ(short_replay.difference()->line, 0);
  EXPECT_EQ(short_replay.difference()->expected, "the end of the recording");

  // A PIN the host sent is never printed: masked unless asked for.
  for (const bool show : {false, true}) {
    Replay pin_replay(std::get<Recording>(parse_recording(kTrace)), {}, show);
    pin_replay.answer(h("40 49 09 A0 21 00 01 04 31 32 33 34 00"));
    ASSERT_TRUE(pin_replay.difference());
    EXPECT_EQ(pin_replay.difference()->received, show ? "40 49 09 A0 21 00 01 04 31 32 33 34 00"
                                                      : "40 49 09 A0 21 00 01 04 ** ** ** ** 00");
  }
}

}  // namespace
}  // namespace vorkand::replay
