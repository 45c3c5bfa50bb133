// What a status word means: the library's own reader-level values first,
// then the card's ISO 7816-4 SW1 SW2.
#pragma once

#include <cstdint>
#include <string>

namespace vorkand::cli {

std::string status_meaning(uint16_t sw);

// "90 00"
std::string format_sw(uint16_t sw);

}  // namespace vorkand::cli
