// pcsc-lite's types: DWORD and LONG are the C `unsigned long` and `long`
// (8 bytes on LP64 systems), contexts and card handles are LONG.
#pragma once

#include <cstdint>

#define VORKAND_SCARD_CALL

namespace vorkand::link::pcsc {

using Dword = unsigned long;
using Long = long;
using Context = long;
using CardHandle = long;

struct IoRequest {
  Dword protocol;
  Dword pci_length;
};

inline constexpr unsigned kMaxAtr = 33;

struct ReaderState {
  const char* reader;
  void* user_data;
  Dword current_state;
  Dword event_state;
  Dword atr_length;
  uint8_t atr[kMaxAtr];
};

}  // namespace vorkand::link::pcsc
