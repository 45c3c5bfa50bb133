// What a status word means: the library's own reader-level values first,
// then the card's ISO 7816-4 SW1 SW2.
#pragma once

#include <cstdint>
#include <string>

#include "vorkand.h"

namespace vorkand::cli {

// The library's own results (vorkand.h), as opposed to the card's answers.
inline constexpr uint16_t kSwOk = VORKAND_SW_OK;
inline constexpr uint16_t kSwNoReply = VORKAND_SW_NO_REPLY;
inline constexpr uint16_t kSwBusy = VORKAND_SW_BUSY;
inline constexpr uint16_t kSwRefused = VORKAND_SW_REFUSED;
inline constexpr uint16_t kSwOutOfForm = VORKAND_SW_OUT_OF_FORM;

inline bool is_reader_error(uint16_t sw) {
  return sw == kSwNoReply || sw == kSwBusy || sw == kSwRefused || sw == kSwOutOfForm;
}

// How a status word reads at a glance: success, a warning (61xx, 62xx,
// 63xx) or an error; the text output colours it so.
enum class SwClass : uint8_t { success, warning, error };
SwClass classify_sw(uint16_t sw);

std::string status_meaning(uint16_t sw);

// "90 00"
std::string format_sw(uint16_t sw);

}  // namespace vorkand::cli
