// pcsc-lite as the tool calls it, loaded at run time (dlopen) so that the tool
// runs, and lists its serial ports, on a system without it: its types and
// values as on Linux, where its LONG and DWORD are C longs, and the five
// functions the tool uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/pcsc_atr.h"

namespace vorkand::cli::pcsc {

using Long = long;
using Dword = unsigned long;
using Context = Long;

inline constexpr Dword kInfinite = 0xFFFFFFFF;

// A reader's state bits.
inline constexpr Dword kStateUnaware = 0x0000;
inline constexpr Dword kStateIgnore = 0x0001;
inline constexpr Dword kStateChanged = 0x0002;
inline constexpr Dword kStateUnknown = 0x0004;
inline constexpr Dword kStateUnavailable = 0x0008;
inline constexpr Dword kStateEmpty = 0x0010;
inline constexpr Dword kStatePresent = 0x0020;
inline constexpr Dword kStateExclusive = 0x0080;
inline constexpr Dword kStateInUse = 0x0100;
inline constexpr Dword kStateMute = 0x0200;
inline constexpr Dword kStateUnpowered = 0x0400;

// Results, as code() gives them.
inline constexpr Dword kCancelled = 0x80100002;
inline constexpr Dword kUnknownReader = 0x80100009;
inline constexpr Dword kTimeout = 0x8010000A;
inline constexpr Dword kNoService = 0x8010001D;
inline constexpr Dword kServiceStopped = 0x8010001E;
inline constexpr Dword kNoReaders = 0x8010002E;

// The reader name that stands for "a reader came or went".
inline constexpr const char* kPnpNotification = "\\\\?PnP?\\Notification";

struct ReaderState {
  const char* reader;
  void* user_data;
  Dword current_state;
  Dword event_state;
  Dword atr_length;
  unsigned char atr[common::kPcscMaxAtr];
};

// A result as pcsc-lite's headers write it (the C long carries it in its low
// 32 bits).
inline Dword code(Long result) {
  return static_cast<Dword>(result) & 0xFFFFFFFFu;
}

// The ATR a reader state holds.
std::vector<uint8_t> atr_of(const ReaderState& state);

// The library and, once open, a context of the system's scope: both released
// when it goes.
class Library {
 public:
  Library() = default;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  ~Library();

  // Loads libpcsclite.so.1 and establishes the context. Empty on success,
  // else why not, as the tool says it ("pcscd is not running").
  std::string open();

  // The names of the readers pcscd lists now: 0, or the failed result
  // (kNoReaders is no failure: the list is empty).
  Long list_readers(std::vector<std::string>& names) const;
  Long get_status_change(Dword timeout_ms, ReaderState* states, std::size_t count) const;
  // From another thread: a waiting get_status_change returns kCancelled.
  Long cancel() const;

 private:
  using EstablishContext = Long (*)(Dword, const void*, const void*, Context*);
  using ReleaseContext = Long (*)(Context);
  using ListReaders = Long (*)(Context, const char*, char*, Dword*);
  using GetStatusChange = Long (*)(Context, Dword, ReaderState*, Dword);
  using Cancel = Long (*)(Context);

  void* handle_ = nullptr;
  EstablishContext establish_ = nullptr;
  ReleaseContext release_ = nullptr;
  ListReaders list_ = nullptr;
  GetStatusChange status_ = nullptr;
  Cancel cancel_ = nullptr;
  Context context_ = 0;
  bool established_ = false;
};

}  // namespace vorkand::cli::pcsc
