#include <algorithm>
#include <array>

#include "card/card.h"

namespace vorkand::card {
namespace {

// Instructions after which the card sends data back: GET CHALLENGE (84),
// READ BINARY (B0), READ RECORD (B2), GET RESPONSE (C0), GET DATA (CA), and
// the proprietary 46, 5A, 5C, CE, F0, F2, F6.
constexpr std::array<uint8_t, 12> kInsCardReturnsData{0x46, 0x5A, 0x5C, 0x84, 0xB0, 0xB2,
                                                      0xC0, 0xCA, 0xCE, 0xF0, 0xF2, 0xF6};

}  // namespace

uint8_t mode_for_ins(uint8_t ins) noexcept {
  const bool out = std::find(kInsCardReturnsData.begin(), kInsCardReturnsData.end(), ins) !=
                   kInsCardReturnsData.end();
  return out ? link::kModeOut : link::kModeIn;
}

}  // namespace vorkand::card
