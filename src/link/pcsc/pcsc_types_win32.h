// WinSCard's types: DWORD and LONG are 32 bits wide on both Windows ABIs,
// contexts and card handles are pointer-sized, and the functions use the
// system's calling convention.
#pragma once

#include <cstdint>

#define VORKAND_SCARD_CALL __stdcall
// The narrow-character functions that take or give strings end in "A".
#define VORKAND_SCARD_NARROW "A"

namespace vorkand::link::pcsc {

using Dword = uint32_t;
using Long = int32_t;
using Context = uintptr_t;
using CardHandle = uintptr_t;

inline constexpr unsigned kMaxAtr = 36;

}  // namespace vorkand::link::pcsc
