// The simulated card and its file format, without any port.
#include <gtest/gtest.h>

#include "common/hex.h"
#include "sim/card_file.h"
#include "sim/card_model.h"

namespace vorkand::sim {
namespace {

using common::parse_hex;
using common::to_hex;

using Bytes = std::vector<uint8_t>;

Bytes h(std::string_view text) {
  return parse_hex(text).value();
}

struct Answer {
  std::string data;
  uint16_t sw;
  bool operator==(const Answer&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Answer& a) {
  return os << "{" << a.data << ", " << std::hex << a.sw << "}";
}

Answer run(CardModel& card, std::string_view apdu) {
  const Response r = card.execute(h(apdu));
  return Answer{to_hex(r.data), r.sw};
}

CardModel card_with_atr(std::string_view atr_choice) {
  CardProfile profile = default_card();
  profile.atr = parse_atr_choice(atr_choice).value();
  return CardModel(profile, 1);
}

TEST(Hex, ParsesWithOrWithoutSeparatorsAndRefusesTheRest) {
  EXPECT_EQ(parse_hex("00 a4:3F00"), (Bytes{0x00, 0xA4, 0x3F, 0x00}));
  EXPECT_EQ(parse_hex(""), Bytes{});
  EXPECT_FALSE(parse_hex("0"));
  EXPECT_FALSE(parse_hex("0 0"));
  EXPECT_FALSE(parse_hex("0g"));
  EXPECT_EQ(to_hex(Bytes{0x0A, 0xFF}), "0A FF");
  EXPECT_EQ(to_hex(Bytes{0x0A, 0xFF}, ""), "0AFF");
}

TEST(CardModel, SelectsReadsAndUpdatesTransparentFiles) {
  CardModel card = card_with_atr("t1");
  EXPECT_EQ(run(card, "00 A4 00 0C 02 50 00"), (Answer{"", 0x9000}));
  EXPECT_EQ(run(card, "00 A4 00 0C 02 50 01"), (Answer{"", 0x9000}));
  EXPECT_EQ(run(card, "00 B0 00 00 05"), (Answer{"48 65 6C 6C 6F", 0x9000}));  // "Hello"
  EXPECT_EQ(run(card, "00 B0 00 06 04"), (Answer{"66 72 6F 6D", 0x9000}));     // "from"
  // Le 00: everything there; Le past the end: what is there, 62 82.
  EXPECT_EQ(run(card, "00 B0 00 10 00"), (Answer{"61 72 64", 0x9000}));
  EXPECT_EQ(run(card, "00 B0 00 10 05"), (Answer{"61 72 64", 0x6282}));
  EXPECT_EQ(run(card, "00 B0 00 14 01"), (Answer{"", 0x6B00}));  // offset past the end
  EXPECT_EQ(run(card, "00 D6 00 00 02 4A 6F"), (Answer{"", 0x9000}));
  EXPECT_EQ(run(card, "00 B0 00 00 05"), (Answer{"4A 6F 6C 6C 6F", 0x9000}));
  EXPECT_EQ(run(card, "00 D6 00 12 02 41 42"), (Answer{"", 0x6A84}));  // past the end
  EXPECT_EQ(run(card, "00 D6 00 14 01 41"), (Answer{"", 0x6B00}));
  // The FCP of an EF: type, FID, size.
  EXPECT_EQ(run(card, "00 A4 00 00 02 50 03"),
            (Answer{"62 0B 82 01 01 83 02 50 03 80 02 00 10", 0x9000}));
  // Siblings, the parent, the MF and a child found from the current DF.
  EXPECT_EQ(run(card, "00 A4 00 0C 02 50 00"), (Answer{"", 0x9000}));
  EXPECT_EQ(run(card, "00 A4 00 0C 02 3F 00"), (Answer{"", 0x9000}));
  EXPECT_EQ(run(card, "00 A4 00 0C 02 2F 00"), (Answer{"", 0x9000}));
  EXPECT_EQ(run(card, "00 B0 00 00 07"), (Answer{"76 6F 72 6B 61 6E 64", 0x9000}));
  EXPECT_EQ(run(card, "00 A4 00 0C 02 50 01"), (Answer{"", 0x6A82}));  // not under the MF
}

TEST(CardModel, AnswersEachErrorWithItsStatusWord) {
  CardModel card = card_with_atr("t1");
  EXPECT_EQ(run(card, "00 B0 00 00 04"), (Answer{"", 0x6986}));  // no EF selected
  EXPECT_EQ(run(card, "00 12 00 00"), (Answer{"", 0x6D00}));
  EXPECT_EQ(run(card, "A0 A4 00 00 02 3F 00"), (Answer{"", 0x6E00}));
  EXPECT_EQ(run(card, "00 A4 00 00 03 3F 00"), (Answer{"", 0x6700}));  // Lc says 3, 2 given
  EXPECT_EQ(run(card, "00 A4"), (Answer{"", 0x6700}));
  EXPECT_EQ(run(card, "00 88 00 00 04 01 02 03 04"), (Answer{"", 0x6700}));
  EXPECT_EQ(run(card, "00 A4 00 0C 02 77 77"), (Answer{"", 0x6A82}));
  EXPECT_EQ(run(card, "00 A4 00 0C 02 50 00"), (Answer{"", 0x9000}));
  EXPECT_EQ(run(card, "00 A4 00 0C 02 50 02"), (Answer{"", 0x9000}));
  EXPECT_EQ(run(card, "00 B0 00 00 04"), (Answer{"", 0x6982}));  // PIN needed
  EXPECT_EQ(run(card, "00 D6 00 00 01 00"), (Answer{"", 0x6982}));
  EXPECT_EQ(run(card, "00 C0 00 00 08"), (Answer{"", 0x6985}));  // nothing pending
}

TEST(CardModel, CountsWrongPinsAndBlocks) {
  CardModel card = card_with_atr("t1");
  run(card, "00 A4 00 0C 02 50 00");
  run(card, "00 A4 00 0C 02 50 02");
  EXPECT_EQ(run(card, "00 20 00 00"), (Answer{"", 0x63C3}));
  EXPECT_EQ(run(card, "00 20 00 00 04 30 30 30 30"), (Answer{"", 0x63C2}));
  EXPECT_EQ(run(card, "00 20 00 00 04 31 32 33 34"), (Answer{"", 0x9000}));  // resets the count
  EXPECT_EQ(run(card, "00 B0 00 00 06"), (Answer{"73 65 63 72 65 74", 0x9000}));  // "secret"
  EXPECT_EQ(run(card, "00 20 00 00 03 31 32 33"), (Answer{"", 0x63C2}));
  EXPECT_EQ(run(card, "00 B0 00 00 06"), (Answer{"", 0x6982}));  // a wrong PIN unverifies
  EXPECT_EQ(run(card, "00 20 00 00 01 39"), (Answer{"", 0x63C1}));
  EXPECT_EQ(run(card, "00 20 00 00 01 39"), (Answer{"", 0x63C0}));
  EXPECT_EQ(run(card, "00 20 00 00 04 31 32 33 34"), (Answer{"", 0x6983}));
  EXPECT_EQ(card.pin_tries_left(), 0);
  card.reset();  // a blocked PIN stays blocked
  EXPECT_EQ(run(card, "00 20 00 00 04 31 32 33 34"), (Answer{"", 0x6983}));
}

TEST(CardModel, AuthenticatesWithDesAndGivesSeededChallenges) {
  CardModel card = card_with_atr("t1");
  // The classic DES known answer under the default key 01 23 45 67 89 AB CD EF.
  EXPECT_EQ(run(card, "00 88 00 00 08 4E 6F 77 20 69 73 20 74"),
            (Answer{"3F A4 0E 8A 98 4D 48 15", 0x9000}));
  const Answer first = run(card, "00 84 00 00 08");
  const Answer second = run(card, "00 84 00 00 08");
  EXPECT_EQ(first.sw, 0x9000);
  EXPECT_EQ(first.data.size(), 8u * 3 - 1);
  EXPECT_NE(first, second);
  CardModel again = card_with_atr("t1");
  EXPECT_EQ(run(again, "00 84 00 00 08"), first);  // same seed, same challenges
  EXPECT_EQ(run(card, "00 84 00 00 10").data.size(), 16u * 3 - 1);
  EXPECT_EQ(run(card, "00 84 01 00 08").sw, 0x6A86);
}

TEST(CardModel, UnderT0ACommandWithDataAnnouncesItsAnswerWith61xx) {
  CardModel card = card_with_atr("t0");
  EXPECT_EQ(card.protocol(), Protocol::t0);
  EXPECT_EQ(run(card, "00 88 00 00 08 4E 6F 77 20 69 73 20 74"), (Answer{"", 0x6108}));
  EXPECT_EQ(run(card, "00 C0 00 00 03"), (Answer{"3F A4 0E", 0x6105}));
  EXPECT_EQ(run(card, "00 C0 00 00 09"), (Answer{"", 0x6C05}));  // more than is left
  EXPECT_EQ(run(card, "00 C0 00 00 05"), (Answer{"8A 98 4D 48 15", 0x9000}));
  EXPECT_EQ(run(card, "00 C0 00 00 05"), (Answer{"", 0x6985}));
  // Another command drops what was pending.
  EXPECT_EQ(run(card, "00 A4 00 00 02 3F 00"), (Answer{"", 0x6109}));
  EXPECT_EQ(run(card, "00 84 00 00 08").sw, 0x9000);  // case 2: data at once
  EXPECT_EQ(run(card, "00 C0 00 00 09"), (Answer{"", 0x6985}));
  card.set_protocol(Protocol::t1);
  EXPECT_EQ(run(card, "00 A4 00 00 02 3F 00"), (Answer{"62 07 82 01 38 83 02 3F 00", 0x9000}));
  card.reset();  // back to the ATR's first protocol
  EXPECT_EQ(card.protocol(), Protocol::t0);
}

TEST(CardModel, FirstProtocolComesFromTd1Only) {
  EXPECT_EQ(first_protocol(h("3B 00")), Protocol::t0);
  EXPECT_EQ(first_protocol(h("3B 80 01")), Protocol::t1);
  EXPECT_EQ(first_protocol(h("3B F0 11 22 33 81")), Protocol::t1);
  EXPECT_EQ(first_protocol(h("3B 90 11 80 01")), Protocol::t0);
  EXPECT_EQ(first_protocol(h("3B 80")), Protocol::t0);  // TD1 announced, missing
  EXPECT_EQ(first_protocol(builtin_atr(Protocol::t0)), Protocol::t0);
  EXPECT_EQ(first_protocol(builtin_atr(Protocol::t1)), Protocol::t1);
}

TEST(CardFile, TheBuiltInCardParses) {
  const CardProfile card = default_card();
  EXPECT_EQ(card.atr, Bytes(builtin_atr(Protocol::t0).begin(), builtin_atr(Protocol::t0).end()));
  EXPECT_EQ(to_hex(card.key), "01 23 45 67 89 AB CD EF");
  EXPECT_EQ(card.pin, h("31 32 33 34"));
  EXPECT_EQ(card.pin_tries, 3);
  ASSERT_EQ(card.files.size(), 5u);
  EXPECT_TRUE(card.files[1].is_df);
  EXPECT_TRUE(card.files[3].needs_pin);
  EXPECT_EQ(card.files[4].data, Bytes(16, 0));
}

TEST(CardFile, ReadsEveryItemAndNamesTheLineOfAnError) {
  const auto parsed = parse_card(
      "atr 3B 80 01  # T=1\n"
      "key 0000000000000000\n"
      "pin 31 31\n"
      "pin-tries 5\n"
      "df 3F00/1000\n"
      "df 3F00/1000/1100\n"
      "ef 3F00/1000/1100/1101 pin \"a # not a comment\"\n"
      "ef 3F00/0001 DE AD\n");
  ASSERT_TRUE(std::holds_alternative<CardProfile>(parsed)) << std::get<std::string>(parsed);
  const CardProfile& card = std::get<CardProfile>(parsed);
  EXPECT_EQ(card.atr, h("3B 80 01"));
  EXPECT_EQ(card.pin_tries, 5);
  CardModel model(card);
  EXPECT_EQ(model.protocol(), Protocol::t1);
  const std::string_view text = "a # not a comment";
  EXPECT_EQ(*model.file_data({0x3F00, 0x1000, 0x1100, 0x1101}), Bytes(text.begin(), text.end()));
  EXPECT_EQ(*model.file_data({0x3F00, 0x0001}), h("DE AD"));

  const std::pair<const char*, const char*> bad[] = {
      {"atr 3B\n", "line 1: atr"},
      {"\nkey 01 02\n", "line 2: key wants 8 hex bytes"},
      {"pin-tries 0\n", "line 1: pin-tries"},
      {"ef 3F00/5000/5001 00\n", "line 1: the parent DF must be listed before the file"},
      {"ef 3F00/12 00\n", "line 1: a path"},
      {"ef 3F00/0001 00\nef 3F00/0001 00\n", "line 2: this file is listed twice"},
      {"ef 3F00/0001 zeros x\n", "line 1: ef data"},
      {"df 3F00\n", "line 1: 3F00 is the MF"},
      {"colour blue\n", "line 1: unknown item 'colour'"},
  };
  for (const auto& [text, message] : bad) {
    const auto result = parse_card(text);
    ASSERT_TRUE(std::holds_alternative<std::string>(result)) << text;
    EXPECT_EQ(std::get<std::string>(result).rfind(message, 0), 0u)
        << text << " gave " << std::get<std::string>(result);
  }
}

TEST(CardFile, TheSampleFileIsTheBuiltInCard) {
  const auto parsed = load_card_file(VORKAND_SAMPLE_CARD);
  ASSERT_TRUE(std::holds_alternative<CardProfile>(parsed)) << std::get<std::string>(parsed);
  const auto missing = load_card_file("/nonexistent/x.card");
  EXPECT_EQ(std::get<std::string>(missing), "/nonexistent/x.card: cannot read");
}

}  // namespace
}  // namespace vorkand::sim
