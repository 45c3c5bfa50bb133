#include "cli/status_words.h"

#include <fmt/format.h>

#include <array>
#include <utility>

namespace vorkand::cli {
namespace {

struct Known {
  uint16_t sw;
  const char* meaning;
};

// Exact values. 62 00 and 62 01 are the library's reader-level results; a
// card answering them would mean "warning, no information given".
constexpr std::array<Known, 38> kExact{{
    {kSwOk, "success"},
    {kSwNoReply, "no complete reply from the reader (silence, hang-up or over-long reply)"},
    {kSwBusy, "the reader was still busy when the library stopped polling"},
    {kSwRefused, "the reader refused: no card, or status 70 01, or a power-up step out of form"},
    {kSwOutOfForm, "the reader answered out of form"},
    {0x6281, "warning: part of the returned data may be corrupted"},
    {0x6282, "warning: end of file reached before Le bytes"},
    {0x6283, "warning: selected file invalidated"},
    {0x6284, "warning: FCI not formatted"},
    {0x6581, "memory failure"},
    {0x6700, "wrong length"},
    {0x6800, "functions in CLA not supported"},
    {0x6881, "logical channel not supported"},
    {0x6882, "secure messaging not supported"},
    {0x6900, "command not allowed"},
    {0x6981, "command incompatible with file structure"},
    {0x6982, "security status not satisfied (PIN not verified)"},
    {0x6983, "authentication method blocked (PIN blocked)"},
    {0x6984, "referenced data invalidated"},
    {0x6985, "conditions of use not satisfied"},
    {0x6986, "command not allowed (no current EF)"},
    {0x6987, "expected secure messaging data objects missing"},
    {0x6988, "secure messaging data objects incorrect"},
    {0x6A00, "wrong parameters P1-P2"},
    {0x6A80, "incorrect parameters in the data field"},
    {0x6A81, "function not supported"},
    {0x6A82, "file or application not found"},
    {0x6A83, "record not found"},
    {0x6A84, "not enough memory space in the file"},
    {0x6A85, "Lc inconsistent with TLV structure"},
    {0x6A86, "incorrect parameters P1-P2"},
    {0x6A87, "Lc inconsistent with P1-P2"},
    {0x6A88, "referenced data not found"},
    {0x6B00, "wrong parameters P1-P2 (offset outside the EF)"},
    {0x6D00, "instruction code not supported or invalid"},
    {0x6E00, "class not supported"},
    {0x6F00, "no precise diagnosis"},
    {0x6400, "execution error, state of non-volatile memory unchanged"},
}};

}  // namespace

SwClass classify_sw(uint16_t sw) {
  if (sw == kSwOk) return SwClass::success;
  if (is_reader_error(sw)) return SwClass::error;
  const unsigned sw1 = sw >> 8;
  if (sw1 == 0x61 || sw1 == 0x62 || sw1 == 0x63) return SwClass::warning;
  return SwClass::error;
}

std::string format_sw(uint16_t sw) {
  return fmt::format("{:02X} {:02X}", sw >> 8, sw & 0xFF);
}

std::string status_meaning(uint16_t sw) {
  for (const Known& known : kExact) {
    if (known.sw == sw) return known.meaning;
  }
  const unsigned sw1 = sw >> 8, sw2 = sw & 0xFF;
  if (sw1 == 0x61) return fmt::format("{} more response bytes available", sw2 ? sw2 : 256);
  if (sw1 == 0x6C) return fmt::format("wrong Le: {} bytes available", sw2 ? sw2 : 256);
  if (sw1 == 0x63 && (sw2 & 0xF0) == 0xC0) {
    const unsigned left = sw2 & 0x0F;
    return fmt::format("verification failed, {} tr{} left", left, left == 1 ? "y" : "ies");
  }
  if (sw1 == 0x62) return "warning, non-volatile memory unchanged";
  if (sw1 == 0x63) return "warning, non-volatile memory changed";
  if (sw1 == 0x64) return "execution error, non-volatile memory unchanged";
  if (sw1 == 0x65) return "execution error, non-volatile memory changed";
  if (sw1 == 0x66) return "security-related issue";
  if (sw1 == 0x67) return "wrong length";
  if (sw1 == 0x68) return "functions in CLA not supported";
  if (sw1 == 0x69) return "command not allowed";
  if (sw1 == 0x6A) return "wrong parameters P1-P2";
  if (sw1 == 0x90) return "success";
  return "unknown status word";
}

}  // namespace vorkand::cli
