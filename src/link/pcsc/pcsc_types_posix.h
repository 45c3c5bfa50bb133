// pcsc-lite's types: DWORD and LONG are the C `unsigned long` and `long`
// (8 bytes on LP64 systems), contexts and card handles are LONG.
#pragma once

#include <cstdint>

#define VORKAND_SCARD_CALL
// pcsc-lite names its functions without a character-width suffix.
#define VORKAND_SCARD_NARROW ""

namespace vorkand::link::pcsc {

using Dword = unsigned long;
using Long = long;
using Context = long;
using CardHandle = long;

inline constexpr unsigned kMaxAtr = 33;

}  // namespace vorkand::link::pcsc
