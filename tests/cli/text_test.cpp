// ATR decoding and status-word meanings.
#include <gtest/gtest.h>

#include "cli/atr.h"
#include "cli/status_words.h"
#include "sim/card_file.h"
#include "sim/hex.h"

namespace vorkand::cli {
namespace {

AtrInfo decode(std::string_view hex) {
  return decode_atr(sim::parse_hex(hex).value());
}

TEST(Atr, DecodesTheBuiltInT0Atr) {
  const AtrInfo info = decode_atr(sim::builtin_atr(sim::Protocol::t0));
  EXPECT_EQ(info.error, "");
  EXPECT_EQ(info.protocols, (std::vector<int>{0, 1}));
  EXPECT_TRUE(info.tck_required);
  EXPECT_TRUE(info.tck_ok);
  EXPECT_EQ(describe_atr(info), (std::vector<std::string>{
                                    "TS   3B  direct convention",
                                    "T0   95  TA1 TD1, 5 historical bytes",
                                    "TA1  11  Fi=372 Di=1",
                                    "TD1  80  T=0, level 2 follows",
                                    "TD2  01  T=1",
                                    "protocols  T=0 (first), T=1",
                                    "historical  76 6F 72 6B 61  |vorka|",
                                    "TCK  64  correct",
                                }));
}

TEST(Atr, ReadsT1InterfaceBytesByLevel) {
  const AtrInfo info = decode_atr(sim::builtin_atr(sim::Protocol::t1));
  ASSERT_EQ(info.levels.size(), 3u);
  EXPECT_EQ(info.levels[2].ta, 0xFE);
  EXPECT_EQ(info.levels[2].tb, 0x45);
  EXPECT_FALSE(info.levels[2].td);
  EXPECT_EQ(describe_atr(info), (std::vector<std::string>{
                                    "TS   3B  direct convention",
                                    "T0   85  TD1, 5 historical bytes",
                                    "TD1  81  T=1, level 2 follows",
                                    "TD2  31  T=1, level 3 follows",
                                    "TA3  FE  IFSC 254",
                                    "TB3  45  BWI 4 CWI 5",
                                    "protocols  T=1 (first)",
                                    "historical  76 6F 72 6B 61  |vorka|",
                                    "TCK  EF  correct",
                                }));
}

TEST(Atr, FindsEveryInterfaceByteAndTheProtocolsOffered) {
  AtrInfo info = decode("3B 00");
  EXPECT_EQ(info.error, "");
  EXPECT_EQ(info.protocols, std::vector<int>{0});
  EXPECT_FALSE(info.tck);

  info = decode("3F F3 11 22 33 80 00 41 42 43 11");  // TD1 then TD2 with nothing more
  EXPECT_EQ(info.ts, 0x3F);
  EXPECT_EQ(info.levels[0].ta, 0x11);
  EXPECT_EQ(info.levels[0].tb, 0x22);
  EXPECT_EQ(info.levels[0].tc, 0x33);
  EXPECT_EQ(info.levels[0].td, 0x80);
  EXPECT_EQ(info.levels[1].td, 0x00);
  EXPECT_EQ(info.historical, (std::vector<uint8_t>{0x41, 0x42, 0x43}));
  EXPECT_FALSE(info.tck_required);  // only T=0
  EXPECT_EQ(info.extra, 1u);
  EXPECT_EQ(describe_atr(info)[0], "TS   3F  inverse convention");
  EXPECT_EQ(describe_atr(info).back(), "1 byte(s) after the end of the ATR");
}

TEST(Atr, ReportsMalformedAtrs) {
  EXPECT_EQ(decode("3B").error, "too short: an ATR has at least TS and T0");
  EXPECT_EQ(decode("3B 80 01").error, "TCK missing");
  EXPECT_EQ(decode("3B F0 11 22 33 81").error, "truncated in the interface bytes of level 2");
  EXPECT_EQ(decode("3B 02 41").error, "truncated: 2 historical bytes announced, 1 present");
  const AtrInfo wrong = decode("3B 80 01 00");
  EXPECT_EQ(wrong.error, "");
  EXPECT_FALSE(wrong.tck_ok);
  EXPECT_EQ(describe_atr(wrong).back(), "TCK  00  WRONG");
  EXPECT_EQ(describe_atr(decode("3B 80 01")).back(), "malformed: TCK missing");
}

TEST(StatusWords, NameTheLibrarysOwnValuesAndTheCards) {
  EXPECT_EQ(status_meaning(0x9000), "success");
  EXPECT_EQ(status_meaning(0xFFFF).rfind("no complete reply from the reader", 0), 0u);
  EXPECT_EQ(status_meaning(0x6FF0).rfind("the reader was still busy", 0), 0u);
  EXPECT_EQ(status_meaning(0x6200).rfind("the reader refused", 0), 0u);
  EXPECT_EQ(status_meaning(0x6201), "the reader answered out of form");
  EXPECT_EQ(status_meaning(0x6A82), "file or application not found");
  EXPECT_EQ(status_meaning(0x6108), "8 more response bytes available");
  EXPECT_EQ(status_meaning(0x6100), "256 more response bytes available");
  EXPECT_EQ(status_meaning(0x63C1), "verification failed, 1 try left");
  EXPECT_EQ(status_meaning(0x63C2), "verification failed, 2 tries left");
  EXPECT_EQ(status_meaning(0x6C05), "wrong Le: 5 bytes available");
  EXPECT_EQ(status_meaning(0x6A99), "wrong parameters P1-P2");
  EXPECT_EQ(status_meaning(0x1234), "unknown status word");
  EXPECT_EQ(format_sw(0x6A82), "6A 82");
}

}  // namespace
}  // namespace vorkand::cli
