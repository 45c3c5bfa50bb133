// ATR decoding and status-word meanings.
#include <gtest/gtest.h>

#include <algorithm>

#include <sstream>

#include "cli/apdu_text.h"
#include "cli/atr.h"
#include "cli/atr_list.h"
#include "cli/pcsc_errors.h"
#include "cli/port_names.h"
#include "cli/script.h"
#include "cli/status_words.h"
#include "common/hex.h"
#include "sim/card_file.h"

// The tool declares the part of pcsc-lite it calls itself (it loads the
// library at run time); where pcsc-lite's headers are at hand, they must agree.
#ifdef VORKAND_CHECK_PCSCLITE_TYPES
#include <winscard.h>

#include <cstddef>
#include <type_traits>

#include "cli/pcsc_binding.h"
namespace tool_pcsc = vorkand::cli::pcsc;
static_assert(std::is_same_v<tool_pcsc::Dword, DWORD>);
static_assert(std::is_same_v<tool_pcsc::Long, LONG>);
static_assert(std::is_same_v<tool_pcsc::Context, SCARDCONTEXT>);
static_assert(sizeof(tool_pcsc::ReaderState) == sizeof(SCARD_READERSTATE));
static_assert(offsetof(tool_pcsc::ReaderState, event_state) ==
              offsetof(SCARD_READERSTATE, dwEventState));
static_assert(offsetof(tool_pcsc::ReaderState, atr) == offsetof(SCARD_READERSTATE, rgbAtr));
static_assert(tool_pcsc::kStatePresent == SCARD_STATE_PRESENT);
static_assert(tool_pcsc::kStateUnpowered == SCARD_STATE_UNPOWERED);
static_assert(tool_pcsc::kCancelled == static_cast<DWORD>(SCARD_E_CANCELLED));
static_assert(tool_pcsc::kNoReaders == static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE));
#endif

namespace vorkand::cli {
namespace {

AtrInfo decode(std::string_view hex) {
  return decode_atr(common::parse_hex(hex).value());
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
                                    "ETU  372 clock cycles (Fi 372 / Di 1): 9600 bit/s at "
                                    "3.5712 MHz, 13441 bit/s at fmax 5 MHz",
                                    "historical  76 6F 72 6B 61  |vorka|",
                                    "  category 76: proprietary",
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
                                    "ETU  372 clock cycles (Fi 372 / Di 1): 9600 bit/s at "
                                    "3.5712 MHz, 13441 bit/s at fmax 5 MHz",
                                    "historical  76 6F 72 6B 61  |vorka|",
                                    "  category 76: proprietary",
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
  EXPECT_EQ(decode("3B F0 11 22 33 81").error,
            "truncated after byte 6, in the interface bytes of level 2");
  EXPECT_EQ(decode("95 00").error, "byte 1, TS 95, is neither 3B nor 3F");
  // A wrong TS still shows the T0 that was read, also when it is 00.
  EXPECT_EQ(describe_atr(decode("00 00")).at(1), "T0   00  0 historical bytes");
  EXPECT_EQ(decode("3B 02 41").error, "truncated: 2 historical bytes announced, 1 present");
  const AtrInfo wrong = decode("3B 80 01 00");
  EXPECT_EQ(wrong.error, "");
  EXPECT_FALSE(wrong.tck_ok);
  EXPECT_EQ(wrong.tck_expected, 0x81);
  EXPECT_EQ(describe_atr(wrong).back(), "TCK  00  WRONG, expected 81");
  // What a broken ATR lacks is left out, never shown as an empty line; the
  // error itself is the command's to say.
  EXPECT_EQ(describe_atr(decode("3B")), std::vector<std::string>{"TS   3B  direct convention"});
  for (const char* broken : {"3B 80 01", "3B F0 11 22 33 81", "3B 02 41", "3B 80 01 00"}) {
    for (const std::string& line : describe_atr(decode(broken))) {
      EXPECT_FALSE(line.ends_with("  ") || line.ends_with("||") || line.ends_with("protocols"))
          << broken << ": '" << line << "'";
      EXPECT_EQ(line.find("malformed"), std::string::npos) << broken;
    }
  }
}

// The meaning of single interface bytes, one ATR each.
TEST(Atr, GivesEachInterfaceByteItsMeaning) {
  const struct {
    const char* atr;
    const char* field;
    const char* meaning;
  } cases[] = {
      {"3B 20 00", "TB1", "no programming voltage (VPP not connected)"},
      {"3B 20 25", "TB1", "programming voltage 5 V, at most 50 mA (deprecated)"},
      {"3B 20 02", "TB1", "reserved programming voltage (PI1 2)"},
      {"3B 10 96", "TA1", "Fi=512 Di=32"},
      {"3B 10 71", "TA1", "reserved Fi/Di"},
      {"3B 40 FF", "TC1", "minimal guard time (12 ETU under T=0, 11 under T=1)"},
      {"3B 80 90 91 01", "TA2", "specific mode, T=1, cannot change, implicit ETU"},
      {"3B 80 80 1F C3 1D", "TA3", "clock stop, no preference; class A (5 V), B (3 V)"},
  };
  for (const auto& c : cases) {
    const auto fields = atr_fields(decode(c.atr));
    const auto field = std::find_if(fields.begin(), fields.end(),
                                    [&](const AtrField& f) { return f.name == c.field; });
    ASSERT_NE(field, fields.end()) << c.atr;
    EXPECT_EQ(field->meaning, c.meaning) << c.atr;
  }
  // Fi 512 Di 8 at 3.5712 MHz: 64 clock cycles, 55800 bit/s; fmax 5 MHz.
  const auto rates = clock_rates(decode("3B 10 94"));
  ASSERT_TRUE(rates);
  EXPECT_EQ(rates->etu_cycles(), 64);
  EXPECT_DOUBLE_EQ(rates->bit_rate(kReaderClockMhz), 55800);
  EXPECT_DOUBLE_EQ(rates->bit_rate(rates->fmax_mhz), 78125);
}

TEST(Atr, DecodesCompactTlvHistoricalBytes) {
  // Category 80: card service data, card capabilities, status indicator.
  Historical h = decode_historical(common::parse_hex("80 31 C0 73 BE 21 00 82 90 00").value());
  EXPECT_EQ(h.format, "compact-TLV");
  ASSERT_EQ(h.objects.size(), 3u);
  EXPECT_EQ(h.objects[0].name, "card service data");
  EXPECT_EQ(h.objects[0].meaning,
            "selection by full DF name, selection by partial DF name, EF.DIR/EF.ATR by READ "
            "RECORD, with an MF");
  EXPECT_EQ(h.objects[1].meaning,
            "selection: full DF name, path, file identifier, implicit DF, short EF identifier, "
            "record number; data coding: proprietary write, FF not a tag byte, data unit of 1 "
            "byte");
  // The data coding byte alone: TLV files, write AND, FF valid, 2^4 quartets.
  EXPECT_EQ(decode_historical(common::parse_hex("80 72 00 F4").value()).objects.at(0).meaning,
            "selection: ; data coding: EFs of TLV structure, write AND, FF valid as a first tag "
            "byte, data unit of 8 bytes");
  EXPECT_EQ(h.objects[2].meaning, "SW 90 00");
  // Category 00: the last three bytes are the life cycle and SW1 SW2.
  h = decode_historical(common::parse_hex("00 66 01 02 03 04 05 06 05 90 00").value());
  EXPECT_EQ(h.objects.at(0).name, "pre-issuing data");
  EXPECT_EQ(h.status_meaning, "operational, activated, SW 90 00");
  EXPECT_EQ(decode_historical(common::parse_hex("80 35 01").value()).error,
            "object 35 runs past the end");
  EXPECT_EQ(decode_historical(common::parse_hex("41 42").value()).format, "proprietary");
  // A contactless card's: the application identifier as BER-TLV 4F.
  h = decode_historical(common::parse_hex("80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00").value());
  ASSERT_EQ(h.objects.size(), 1u) << h.error;
  EXPECT_EQ(h.objects[0].name, "application identifier");
  EXPECT_EQ(h.objects[0].meaning, "RID A0 00 00 03 06, PIX 03 00 01 00 00 00 00");
}

TEST(AtrList, MatchesExactWildcardAndRegularExpressionEntries) {
  std::istringstream list(
      "# comment\n"
      "3B 95 11 80 01 76 6F 72 6B 61 64\n\texact\n\tsecond line\n\n"
      "3b .5 .. .. .. .. 6F 72 6B 61 ..\n\twildcards\n\n"
      "3B [89]5 .* 61 [0-9A-F]{2}\n\tregex\n\n"
      "3B ([\n\tbroken regex\n\n"
      "3B 95 11\n\tprefix only\n");
  const auto found = find_atr(list, sim::builtin_atr(sim::Protocol::t0));
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].descriptions, (std::vector<std::string>{"exact", "second line"}));
  EXPECT_EQ(found[1].descriptions, std::vector<std::string>{"wildcards"});
  EXPECT_EQ(found[2].descriptions, std::vector<std::string>{"regex"});
}

TEST(Script, ReadsCommandsExpectationsAndStopsAtExit) {
  std::istringstream text(
      "RESET\n00 A4 00 0C \\\n  02 50 00 -> 90 00 # comment\n00B0000000 -> 6c?? ; comment\n"
      "Reset-Reader\n00 84 00 00 08\nExit\nnot even hex\n");
  const auto parsed = parse_script(text);
  ASSERT_TRUE(std::holds_alternative<std::vector<ScriptLine>>(parsed));
  const auto& lines = std::get<std::vector<ScriptLine>>(parsed);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].kind, ScriptLine::Kind::power_up);
  EXPECT_EQ(lines[1].expected, "9000");
  EXPECT_EQ(lines[1].apdu.size(), 7u);  // continued on line 3, numbered from its first
  EXPECT_EQ(lines[1].number, 2);
  EXPECT_EQ(lines[2].expected, "6C??");
  EXPECT_TRUE(sw_matches(0x6C0A, lines[2].expected));
  EXPECT_FALSE(sw_matches(0x6B0A, lines[2].expected));
  EXPECT_EQ(lines[3].kind, ScriptLine::Kind::reset_reader);
  EXPECT_EQ(lines[4].expected, "");

  // Every error in the one form NAME:LINE:, a continued APDU at its first line.
  const struct {
    const char* script;
    const char* error;
  } errors[] = {
      {"\n00 A4 -> 9000\n", "t.scr:2: an APDU of 2 bytes is too short: at least 4 (CLA INS P1 P2)"},
      {"00 A4 00 00 -> 90\n", "t.scr:1: the expected status word is 4 hex digits or ?"},
      {"00 A4 00 00 -> 9x00\n", "t.scr:1: the expected status word is 4 hex digits or ?"},
      {"power up\n",
       "t.scr:1: unknown word 'power' (the words are power-up, reset, reset-reader, exit; "
       "anything else is an APDU in hex)"},
      {"reste-reader -> 9000\n",
       "t.scr:1: unknown word 'reste-reader' (the words are power-up, reset, reset-reader, exit; "
       "anything else is an APDU in hex)"},
      {"\n00 A4 \\\n 0G 00\n", "t.scr:2: '00 A4  0G 00' breaks at character 9: not a hex digit"},
      {"00 20 00 01 04 31 32 33\n", "t.scr:1: byte 5, Lc 04, announces 4 data bytes, but 3 follow"},
  };
  for (const auto& e : errors) {
    std::istringstream in(e.script);
    const auto result = parse_script(in);
    ASSERT_TRUE(std::holds_alternative<ScriptError>(result)) << e.script;
    EXPECT_EQ(script_position("t.scr", std::get<ScriptError>(result)), e.error);
  }
}

TEST(Apdu, TakesFourTo251BytesWhoseLcCountsTheData) {
  EXPECT_EQ(std::get<Bytes>(parse_apdu("00 a4 00 00")).size(), 4u);
  EXPECT_EQ(std::get<Bytes>(parse_apdu("00D60000F5" + std::string(245 * 2, 'A') + "00")).size(),
            251u);
  // Header, Le; header, Lc, data; the same and Le.
  for (const char* fits : {"00B0000000", "00A4000C023F00", "00A40000023F0005"}) {
    EXPECT_TRUE(std::holds_alternative<Bytes>(parse_apdu(fits))) << fits;
  }
  EXPECT_FALSE(apdu_has_le(std::get<Bytes>(parse_apdu("00A4000C023F00"))));
  EXPECT_TRUE(apdu_has_le(std::get<Bytes>(parse_apdu("00A40000023F0005"))));
  EXPECT_TRUE(apdu_has_le(std::get<Bytes>(parse_apdu("0084000008"))));
  const struct {
    std::string apdu;
    const char* error;
  } wrong[] = {
      {std::string(300 * 2, 'A'), "an APDU of 300 bytes is too long: the limit is 251"},
      {"0020000104313233", "byte 5, Lc 04, announces 4 data bytes, but 3 follow"},
      {"00A40000023F000000", "byte 5, Lc 02, announces 2 data bytes and at most Le, but 4 follow"},
      {"00B000000001",
       "byte 5, Lc 00, announces no data, but 1 byte follows (extended lengths "
       "are not taken)"},
      {"00 A4 0x 00", "'00 A4 0x 00' breaks at character 8: not a hex digit"},
      {"00A4 0", "'00A4 0' ends in a lone hex digit"},
      {"00A 40000", "'00A 40000' breaks at character 4: a lone hex digit before it"},
  };
  for (const auto& c : wrong) EXPECT_EQ(std::get<std::string>(parse_apdu(c.apdu)), c.error);
  EXPECT_EQ(normalise_port("com2"), "COM2");
  for (const char* bad : {"COM5", "COM1:", " COM1", "", "COM"}) EXPECT_FALSE(normalise_port(bad));
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
  EXPECT_EQ(classify_sw(0x9000), SwClass::success);
  EXPECT_EQ(classify_sw(0x6310), SwClass::warning);
  EXPECT_EQ(classify_sw(0x6200), SwClass::error);  // the library's "refused"
  EXPECT_EQ(classify_sw(0x6A82), SwClass::error);
  // PC/SC codes: each with its meaning, an unknown one still named PC/SC.
  EXPECT_EQ(pcsc_error(0x80100013),
            "the line to the PC/SC service broke (did pcscd stop?) (80100013)");
  EXPECT_EQ(pcsc_error(0x8010000B), "the card is in use by another application (8010000B)");
  EXPECT_EQ(pcsc_error(0x8010FFFF), "PC/SC error 8010FFFF");
  EXPECT_TRUE(pcsc_service_gone(0x8010001E));
  EXPECT_FALSE(pcsc_service_gone(0x8010000B));
}

}  // namespace
}  // namespace vorkand::cli
