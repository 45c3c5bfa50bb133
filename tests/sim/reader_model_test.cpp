// The simulated reader, frame in and reply out, as the dialogue on the wire.
#include <gtest/gtest.h>

#include "common/hex.h"
#include "sim/card_file.h"
#include "sim/reader_model.h"

namespace vorkand::sim {
namespace {

using common::parse_hex;
using common::to_hex;

class ReaderModelTest : public ::testing::Test {
 protected:
  explicit ReaderModelTest(std::string_view atr = "t0", ReaderOptions options = {})
      : reader_(make_card(atr), options) {}

  static CardModel make_card(std::string_view atr) {
    CardProfile profile = default_card();
    profile.atr = parse_atr_choice(atr).value();
    return CardModel(profile, 1);
  }

  // The reply to one frame, as hex.
  std::string send(std::string_view frame) {
    return to_hex(reader_.on_frame(parse_hex(frame).value()));
  }

  ReaderModel reader_;
};

TEST_F(ReaderModelTest, AnswersTheReaderCommandsAndTheAtrRequest) {
  EXPECT_EQ(send("80 00 04 80 62 00 00 00"), "80 00 02 90 00 00");
  EXPECT_EQ(send("80 00 04 80 60 00 00 00"), "80 00 02 90 00 00");
  EXPECT_EQ(send("80 00 04 80 6B 05 00 00"), "80 00 02 90 00 00");
  EXPECT_EQ(send("80 00 04 80 61 00 00 00"), "70 00 0B 3B 95 11 80 01 76 6F 72 6B 61 64 00");
  EXPECT_EQ(send("80 00 04 80 99 00 00 00"), "80 00 02 70 01 00");  // unknown: refused
  EXPECT_EQ(send("80 00 02 80 62 00"), "80 00 02 70 01 00");
  EXPECT_EQ(send("55 00 00 00"), "");  // unknown head: silence
}

TEST_F(ReaderModelTest, CarriesApdusInCardFramesWithTheHeadAndModeSent) {
  EXPECT_EQ(send("40 49 07 00 A4 00 0C 02 50 00 00"), "40 49 02 90 00 00");
  EXPECT_EQ(send("00 49 07 00 A4 00 0C 02 50 01 00"), "00 49 02 90 00 00");
  EXPECT_EQ(send("40 4F 05 00 B0 00 00 05 00"), "40 4F 07 48 65 6C 6C 6F 90 00 00");
  // T=0 card: 61 xx, then GET RESPONSE.
  EXPECT_EQ(send("40 49 0D 00 88 00 00 08 4E 6F 77 20 69 73 20 74 00"), "40 49 02 61 08 00");
  EXPECT_EQ(send("40 4F 05 00 C0 00 00 08 00"), "40 4F 0A 3F A4 0E 8A 98 4D 48 15 90 00 00");
  EXPECT_EQ(send("40 49 04 00 00 00 00 00"), "40 49 02 6D 00 00");  // INS 00
}

TEST_F(ReaderModelTest, SwitchesTheCardsProtocol) {
  EXPECT_EQ(send("40 49 06 80 14 00 00 01 01 00"), "40 49 02 90 00 00");
  EXPECT_EQ(reader_.card().protocol(), Protocol::t1);
  // Under T=1 the answer comes at once.
  EXPECT_EQ(send("00 49 0D 00 88 00 00 08 4E 6F 77 20 69 73 20 74 00"),
            "00 49 0A 3F A4 0E 8A 98 4D 48 15 90 00 00");
  EXPECT_EQ(send("00 49 06 80 14 00 00 01 07 00"), "00 49 02 6A 86 00");
  EXPECT_EQ(send("00 49 06 80 14 00 00 01 00 00"), "00 49 02 90 00 00");
  EXPECT_EQ(reader_.card().protocol(), Protocol::t0);
  // Lc 2 is no protocol switch: the card does not know class 80.
  EXPECT_EQ(send("00 49 07 80 14 00 00 02 01 00 00"), "00 49 02 6E 00 00");
}

TEST_F(ReaderModelTest, ReportsBusyForTheConfiguredNumberOfPolls) {
  reader_.set_busy_polls(3);
  EXPECT_EQ(send("40 4F 05 00 84 00 00 08 00"), "80 00 02 70 03 00");
  EXPECT_EQ(send("40 4F 05 00 00 00 00 00 00"), "80 00 02 70 03 00");
  EXPECT_EQ(send("40 49 05 00 00 00 00 00 00"), "80 00 02 70 03 00");
  EXPECT_EQ(send("40 4F 05 00 00 00 00 00 00"), "40 4F 0A C1 5C 02 89 EC 2D 0A 91 90 00 00")
      << "the held answer, with the command's head and mode";
  // GET RESPONSE is answered at once (the library does not poll after it).
  EXPECT_EQ(send("40 49 0D 00 88 00 00 08 4E 6F 77 20 69 73 20 74 00"), "80 00 02 70 03 00");
  EXPECT_EQ(send("40 49 05 00 00 00 00 00 00"), "80 00 02 70 03 00");
  EXPECT_EQ(send("40 49 05 00 00 00 00 00 00"), "80 00 02 70 03 00");
  EXPECT_EQ(send("40 49 05 00 00 00 00 00 00"), "40 49 02 61 08 00");
  EXPECT_EQ(send("40 4F 05 00 C0 00 00 08 00"), "40 4F 0A 3F A4 0E 8A 98 4D 48 15 90 00 00");
}

TEST_F(ReaderModelTest, GivesTheRequestedResendAndBlockErrorRepliesOnce) {
  reader_.inject(Injection::resend);
  reader_.inject(Injection::block_error_92);
  reader_.inject(Injection::block_error_82);
  EXPECT_EQ(send("40 4F 05 00 B0 00 00 01 00"), "40 4F 02 6D 00 00");
  EXPECT_EQ(send("00 4F 05 00 B0 00 00 01 00"), "00 92 00 92");
  EXPECT_EQ(send("40 4F 05 00 B0 00 00 01 00"), "00 82 00 82");
  EXPECT_EQ(send("40 49 07 00 A4 00 0C 02 50 00 00"), "40 49 02 90 00 00");
}

TEST_F(ReaderModelTest, RefusesAnswersNoFrameCanCarry) {
  CardProfile profile = default_card();
  profile.files.push_back(
      FileEntry{{0x3F00, 0x0B16}, false, false, std::vector<uint8_t>(300, 0xAB)});
  ReaderModel reader(CardModel(profile, 1));
  EXPECT_EQ(to_hex(reader.on_frame(parse_hex("00 49 07 00 A4 00 0C 02 0B 16 00").value())),
            "00 49 02 90 00 00");
  // 250 data bytes fit in a 256-byte reply; 251 do not.
  EXPECT_EQ(reader.on_frame(parse_hex("00 4F 05 00 B0 00 00 FA 00").value()).size(), 256u);
  EXPECT_EQ(to_hex(reader.on_frame(parse_hex("00 4F 05 00 B0 00 00 FB 00").value())),
            "00 4F 02 67 00 00");
}

class StrictReaderTest : public ReaderModelTest {
 protected:
  StrictReaderTest() : ReaderModelTest("t1", ReaderOptions{0, true}) {}
};

TEST_F(StrictReaderTest, AnswersAFrameWithTheWrongHeadWithABlockError) {
  EXPECT_EQ(send("40 4F 05 00 B0 00 00 01 00"), "00 92 00 92");
  EXPECT_EQ(send("00 49 07 00 A4 00 0C 02 2F 00 00"), "00 49 02 90 00 00");
}

}  // namespace
}  // namespace vorkand::sim
