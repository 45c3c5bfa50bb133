// The PC/SC services the library uses, as a table of function pointers: the
// system's table (loaded at run time, so the library loads on a machine
// without PC/SC) or, in the tests, a fake one. The types follow the platform's
// own ABI, declared in one header per platform.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include "link/pcsc/pcsc_types_win32.h"
#else
#include "link/pcsc/pcsc_types_posix.h"
#endif

namespace vorkand::link::pcsc {

// The PC/SC structures, laid out alike on every platform but for the width of
// Dword and the room for an ATR.
struct IoRequest {
  Dword protocol;
  Dword pci_length;
};

struct ReaderState {
  const char* reader;
  void* user_data;
  Dword current_state;
  Dword event_state;
  Dword atr_length;
  uint8_t atr[kMaxAtr];
};

// Results, compared as unsigned 32-bit values (LONG is 64 bits wide with
// pcsc-lite on LP64 systems, 32 bits with WinSCard).
enum Result : uint32_t {
  kSuccess = 0x00000000,
  kInternalError = 0x80100001,
  kInvalidHandle = 0x80100003,
  kInsufficientBuffer = 0x80100008,
  kUnknownReader = 0x80100009,
  kTimeout = 0x8010000A,
  kSharingViolation = 0x8010000B,
  kNoSmartcard = 0x8010000C,
  kUnknownCard = 0x8010000D,
  kProtoMismatch = 0x8010000F,
  kNotReady = 0x80100010,
  kCommError = 0x80100013,
  kInvalidAtr = 0x80100015,
  kNotTransacted = 0x80100016,
  kReaderUnavailable = 0x80100017,
  kCardUnsupported = 0x8010001C,
  kNoService = 0x8010001D,
  kServiceStopped = 0x8010001E,
  kNoReadersAvailable = 0x8010002E,
  kUnsupportedCard = 0x80100065,
  kUnresponsiveCard = 0x80100066,
  kUnpoweredCard = 0x80100067,
  kCardWasReset = 0x80100068,
  kRemovedCard = 0x80100069,
};

inline constexpr Dword kScopeSystem = 2;
inline constexpr Dword kShareExclusive = 1;
inline constexpr Dword kProtocolT0 = 1;
inline constexpr Dword kProtocolT1 = 2;
inline constexpr Dword kLeaveCard = 0;
inline constexpr Dword kResetCard = 1;
inline constexpr Dword kUnpowerCard = 2;
inline constexpr Dword kStateUnaware = 0x0000;
inline constexpr Dword kStateUnknown = 0x0004;
inline constexpr Dword kStateUnavailable = 0x0008;

struct Functions {
  Long(VORKAND_SCARD_CALL* establish_context)(Dword scope, const void* reserved1,
                                              const void* reserved2, Context* context);
  Long(VORKAND_SCARD_CALL* release_context)(Context context);
  Long(VORKAND_SCARD_CALL* list_readers)(Context context, const char* groups, char* readers,
                                         Dword* readers_length);
  Long(VORKAND_SCARD_CALL* connect)(Context context, const char* reader, Dword share_mode,
                                    Dword preferred_protocols, CardHandle* card,
                                    Dword* active_protocol);
  Long(VORKAND_SCARD_CALL* reconnect)(CardHandle card, Dword share_mode, Dword preferred_protocols,
                                      Dword initialization, Dword* active_protocol);
  Long(VORKAND_SCARD_CALL* disconnect)(CardHandle card, Dword disposition);
  Long(VORKAND_SCARD_CALL* transmit)(CardHandle card, const IoRequest* send_pci,
                                     const uint8_t* send, Dword send_length, IoRequest* receive_pci,
                                     uint8_t* receive, Dword* receive_length);
  Long(VORKAND_SCARD_CALL* status)(CardHandle card, char* reader_names, Dword* names_length,
                                   Dword* state, Dword* protocol, uint8_t* atr, Dword* atr_length);
  Long(VORKAND_SCARD_CALL* get_status_change)(Context context, Dword timeout_ms,
                                              ReaderState* readers, Dword count);
};

// The system's PC/SC services, loaded on the first call (thread-safe) and kept
// for the life of the process; nullptr when they cannot be loaded. One source
// file per platform.
const Functions* system_functions() noexcept;

}  // namespace vorkand::link::pcsc
