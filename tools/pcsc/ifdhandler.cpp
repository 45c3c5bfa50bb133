// The IFD handler entry points a PC/SC resource manager loads: convert the
// arguments, find the reader of the Lun, call IfdReader, map its outcome to a
// response code. Nothing here throws across the boundary.
//
// Readers live in a fixed table, one port each, so several Luns run at once
// and share nothing. The table lock guards only which Lun owns which entry;
// each entry's own lock guards its port and reader state, so a reader that
// waits out its silence limit holds up nobody else. The locks are never
// nested. Hence TAG_IFD_THREAD_SAFE is answered 1 (different readers may be
// called at the same time) and TAG_IFD_SLOT_THREAD_SAFE 0 (one slot, one
// serial line: calls on a reader are serialised anyway).
#include <dlfcn.h>

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>

#include "ifd_reader.h"
#include "link/channel.h"
#include "link/channel_opener.h"
#include "link/clock.h"
#include "link/environment.h"
#include "link/pcsc/pcsc_channel.h"
#include "link/transport.h"

extern "C" {
#include <debuglog.h>
#include <ifdhandler.h>
#include <reader.h>
}

#define VORKAND_IFD_EXPORT extern "C" __attribute__((visibility("default")))

static_assert(vorkand::pcsc::kMaxAtr == MAX_ATR_SIZE, "the ATR room pcscd hands the driver");

namespace {

using vorkand::pcsc::IfdReader;
using vorkand::pcsc::Outcome;
using vorkand::pcsc::Protocol;

constexpr std::size_t kMaxReaders = 16;  // as many readers as a resource manager serves
constexpr std::string_view kVendorName = "vorkand";
constexpr UCHAR kPresenceAbsent = 0;   // SCARD_ATTR_ICC_PRESENCE: no card
constexpr UCHAR kPresenceInPlace = 2;  // SCARD_ATTR_ICC_PRESENCE: card present and in place

// An open reader: its port (any kind the library opens), a clock, and the
// reader on them.
struct Channel {
  Channel(DWORD lun_, vorkand::link::Channel* port_) noexcept
      : lun(lun_), port(port_), reader(port->transport(), clock) {}
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  DWORD lun;
  std::unique_ptr<vorkand::link::Channel> port;
  vorkand::link::SystemClock clock;
  IfdReader reader;
};

struct Entry {
  std::mutex mutex;
  std::optional<Channel> channel;  // guarded by mutex
};

struct Table {
  std::mutex mutex;
  std::array<bool, kMaxReaders> taken{};  // guarded by mutex
  std::array<DWORD, kMaxReaders> luns{};  // guarded by mutex
  std::array<Entry, kMaxReaders> entries;
};

Table& table() noexcept {
  static Table instance;
  return instance;
}

// The entry that Lun owns, or kMaxReaders.
std::size_t find_entry(DWORD lun) {
  Table& t = table();
  const std::lock_guard lock(t.mutex);
  for (std::size_t i = 0; i < kMaxReaders; ++i) {
    if (t.taken[i] && t.luns[i] == lun) return i;
  }
  return kMaxReaders;
}

// Claims a free entry for Lun; kMaxReaders when Lun has one already or none is free.
std::size_t claim_entry(DWORD lun) {
  Table& t = table();
  const std::lock_guard lock(t.mutex);
  std::size_t free = kMaxReaders;
  for (std::size_t i = 0; i < kMaxReaders; ++i) {
    if (t.taken[i] && t.luns[i] == lun) return kMaxReaders;
    if (!t.taken[i] && free == kMaxReaders) free = i;
  }
  if (free != kMaxReaders) {
    t.taken[free] = true;
    t.luns[free] = lun;
  }
  return free;
}

void release_entry(std::size_t index) {
  Table& t = table();
  const std::lock_guard lock(t.mutex);
  t.taken[index] = false;
}

// Runs `operation` on the reader of Lun under that reader's lock; an unknown
// Lun gives IFD_COMMUNICATION_ERROR. A failing lock cannot escape either.
template <typename Operation>
RESPONSECODE with_channel(DWORD lun, Operation operation) noexcept {
  try {
    const std::size_t index = find_entry(lun);
    if (index == kMaxReaders) return IFD_COMMUNICATION_ERROR;
    Entry& entry = table().entries[index];
    const std::lock_guard lock(entry.mutex);
    // Closed (and perhaps taken by another Lun) between the lookup and the lock.
    if (!entry.channel || entry.channel->lun != lun) return IFD_COMMUNICATION_ERROR;
    return operation(*entry.channel);
  } catch (...) {
    return IFD_COMMUNICATION_ERROR;
  }
}

// One line in the resource manager's log: through its log_msg when the
// process exports one (pcscd does), else on standard error.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void log_line(int priority, const char* format, ...) noexcept {
  std::array<char, 2 * vorkand::link::OpenFailure::kRoom + 256> line{};
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line.data(), line.size(), format, arguments);
  va_end(arguments);
  using LogMsg = void (*)(int, const char*, ...);
  if (auto log_msg = reinterpret_cast<LogMsg>(dlsym(RTLD_DEFAULT, "log_msg"))) {
    log_msg(priority, "%s", line.data());
  } else {
    std::fprintf(stderr, "%s\n", line.data());
  }
}

// A PC/SC reader as the port of a reader that pcscd itself serves would call
// back into pcscd: refused.
bool refuse_pcsc(const char* device_name, std::string_view mapping) noexcept {
  if (!mapping.starts_with(vorkand::link::pcsc::kPcscPrefix)) return false;
  log_line(PCSC_LOG_ERROR,
           "vorkand: %s: a pcsc: mapping cannot be served inside pcscd; name a serial device "
           "or a network port (rfc2217://, tcp://, rfc2217s://, tls://)",
           device_name);
  return true;
}

// Opens the port `device_name` names (COM port `com` when not 0, mapped as
// CT_open maps it; else a device path or a network address), resets the reader
// and keeps both under Lun.
RESPONSECODE open_channel(DWORD lun, int com, const char* device_name) noexcept {
  try {
    if (com != 0) {
      std::array<char, 4096> mapping{};
      if (vorkand::link::com_mapping(com, mapping) && refuse_pcsc(device_name, mapping.data()))
        return IFD_NO_SUCH_DEVICE;
    } else if (refuse_pcsc(device_name, device_name)) {
      return IFD_NO_SUCH_DEVICE;
    }
    const std::size_t index = claim_entry(lun);
    if (index == kMaxReaders) return IFD_COMMUNICATION_ERROR;
    RESPONSECODE code = IFD_NO_SUCH_DEVICE;
    {
      Entry& entry = table().entries[index];
      const std::lock_guard lock(entry.mutex);
      vorkand::link::OpenFailure why;
      vorkand::link::Channel* port = com != 0 ? vorkand::link::open_channel(com, device_name, why)
                                              : vorkand::link::open_mapped(device_name, why);
      if (port == nullptr) {
        log_line(PCSC_LOG_ERROR, "vorkand: cannot open %s (%s): %s", device_name, why.device(),
                 why.empty() ? "unknown reason" : why.text());
      } else {
        entry.channel.emplace(lun, port);
        if (entry.channel->reader.open() == Outcome::ok) return IFD_SUCCESS;
        // A reader that does not answer its reset is not there to be used.
        log_line(PCSC_LOG_ERROR, "vorkand: %s: the reader does not answer its reset", device_name);
        entry.channel->port->close();
        entry.channel.reset();
        code = IFD_COMMUNICATION_ERROR;
      }
    }
    release_entry(index);
    return code;
  } catch (...) {
    return IFD_COMMUNICATION_ERROR;
  }
}

// COM port `com` (1..4), named in the library's spelling: without the colon
// that reader.conf needs.
RESPONSECODE open_com_channel(DWORD lun, int com) noexcept {
  const std::array<char, 5> name{'C', 'O', 'M', static_cast<char>('0' + com), '\0'};
  return open_channel(lun, com, name.data());
}

// Response code of a transmit outcome.
RESPONSECODE exchange_code(Outcome outcome) noexcept {
  switch (outcome) {
    case Outcome::ok:
      return IFD_SUCCESS;
    case Outcome::no_reply:
      return IFD_RESPONSE_TIMEOUT;
    case Outcome::buffer_too_small:
      return IFD_ERROR_INSUFFICIENT_BUFFER;
    case Outcome::protocol_refused:
      return IFD_PROTOCOL_NOT_SUPPORTED;
    case Outcome::apdu_refused:
      return IFD_NOT_SUPPORTED;
    case Outcome::reader_error:
    case Outcome::power_failed:
    case Outcome::not_powered:
      break;
  }
  return IFD_COMMUNICATION_ERROR;
}

// Writes `bytes` as a capability value when the caller's buffer holds them.
RESPONSECODE put_value(std::span<const UCHAR> bytes, PDWORD length, PUCHAR value) noexcept {
  if (length == nullptr || (value == nullptr && !bytes.empty())) return IFD_COMMUNICATION_ERROR;
  if (*length < bytes.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
  if (!bytes.empty()) std::memcpy(value, bytes.data(), bytes.size());
  *length = static_cast<DWORD>(bytes.size());
  return IFD_SUCCESS;
}

RESPONSECODE put_byte(UCHAR byte, PDWORD length, PUCHAR value) noexcept {
  return put_value(std::span<const UCHAR>(&byte, 1), length, value);
}

}  // namespace

VORKAND_IFD_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  if (DeviceName == nullptr) return IFD_NO_SUCH_DEVICE;
  const int com = vorkand::pcsc::com_index(DeviceName);
  return com != 0 ? open_com_channel(Lun, com) : open_channel(Lun, 0, DeviceName);
}

// Channels 1..4 stand for COM1..COM4.
VORKAND_IFD_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  if (Channel < 1 || Channel > 4) return IFD_NO_SUCH_DEVICE;
  return open_com_channel(Lun, static_cast<int>(Channel));
}

VORKAND_IFD_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  try {
    const std::size_t index = find_entry(Lun);
    if (index == kMaxReaders) return IFD_COMMUNICATION_ERROR;
    bool closed = false;
    {
      Entry& entry = table().entries[index];
      const std::lock_guard lock(entry.mutex);
      if (!entry.channel || entry.channel->lun != Lun) return IFD_COMMUNICATION_ERROR;
      // The card needs no power-down: the reader has no such command.
      closed = entry.channel->port->close();
      entry.channel.reset();
    }
    release_entry(index);
    return closed ? IFD_SUCCESS : IFD_COMMUNICATION_ERROR;
  } catch (...) {
    return IFD_COMMUNICATION_ERROR;
  }
}

VORKAND_IFD_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length,
                                                    PUCHAR Value) {
  return with_channel(Lun, [&](Channel& channel) noexcept -> RESPONSECODE {
    switch (Tag) {
      case TAG_IFD_ATR:
      case SCARD_ATTR_ATR_STRING:
        return put_value(channel.reader.atr(), Length, Value);
      case SCARD_ATTR_ICC_PRESENCE:
        return put_byte(channel.reader.card_known() ? kPresenceInPlace : kPresenceAbsent, Length,
                        Value);
      case TAG_IFD_SLOTS_NUMBER:
        return put_byte(1, Length, Value);
      case TAG_IFD_SIMULTANEOUS_ACCESS:
        return put_byte(static_cast<UCHAR>(kMaxReaders), Length, Value);
      case TAG_IFD_THREAD_SAFE:
        return put_byte(1, Length, Value);
      case TAG_IFD_SLOT_THREAD_SAFE:
        return put_byte(0, Length, Value);
      case SCARD_ATTR_VENDOR_NAME:
        // With its terminating NUL, as clients print it as a C string.
        return put_value(std::span<const UCHAR>(reinterpret_cast<const UCHAR*>(kVendorName.data()),
                                                kVendorName.size() + 1),
                         Length, Value);
      default:
        // Including the polling-thread tags: the resource manager then polls
        // presence itself.
        return IFD_ERROR_TAG;
    }
  });
}

VORKAND_IFD_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD /*Tag*/, DWORD /*Length*/,
                                                    PUCHAR /*Value*/) {
  return with_channel(Lun, [](Channel&) noexcept -> RESPONSECODE { return IFD_ERROR_TAG; });
}

VORKAND_IFD_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol,
                                                          UCHAR /*Flags*/, UCHAR /*PTS1*/,
                                                          UCHAR /*PTS2*/, UCHAR /*PTS3*/) {
  return with_channel(Lun, [&](Channel& channel) noexcept -> RESPONSECODE {
    // No PPS: the card runs the protocol it offers first, and only that one.
    if (Protocol != SCARD_PROTOCOL_T0 && Protocol != SCARD_PROTOCOL_T1) {
      return IFD_PROTOCOL_NOT_SUPPORTED;
    }
    const Outcome outcome =
        channel.reader.set_protocol(Protocol == SCARD_PROTOCOL_T1 ? Protocol::t1 : Protocol::t0);
    return outcome == Outcome::ok ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
  });
}

VORKAND_IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr,
                                             PDWORD AtrLength) {
  if (AtrLength == nullptr) return IFD_COMMUNICATION_ERROR;
  const DWORD room = *AtrLength;
  *AtrLength = 0;
  return with_channel(Lun, [&](Channel& channel) noexcept -> RESPONSECODE {
    switch (Action) {
      case IFD_POWER_DOWN:
        channel.reader.power_down();
        return IFD_SUCCESS;
      case IFD_POWER_UP:
      case IFD_RESET:
        break;
      default:
        return IFD_NOT_SUPPORTED;
    }
    if (channel.reader.power_up() != Outcome::ok) return IFD_ERROR_POWER_ACTION;
    const auto atr = channel.reader.atr();
    if (Atr == nullptr || room < atr.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(Atr, atr.data(), atr.size());
    *AtrLength = static_cast<DWORD>(atr.size());
    return IFD_SUCCESS;
  });
}

VORKAND_IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER /*SendPci*/,
                                                  PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                                                  PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  if (RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
  const DWORD room = *RxLength;
  *RxLength = 0;
  return with_channel(Lun, [&](Channel& channel) noexcept -> RESPONSECODE {
    if (TxBuffer == nullptr || RxBuffer == nullptr) return IFD_COMMUNICATION_ERROR;
    // The slot's negotiated protocol decides, not SendPci: it is the one the card runs.
    std::size_t length = 0;
    const Outcome outcome = channel.reader.transmit(std::span<const uint8_t>(TxBuffer, TxLength),
                                                    std::span<uint8_t>(RxBuffer, room), length);
    if (outcome != Outcome::ok) return exchange_code(outcome);
    *RxLength = static_cast<DWORD>(length);
    if (RecvPci != nullptr) {
      RecvPci->Protocol = channel.reader.protocol() == Protocol::t1 ? 1 : 0;
      RecvPci->Length = sizeof(SCARD_IO_HEADER);
    }
    return IFD_SUCCESS;
  });
}

VORKAND_IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) {
  return with_channel(Lun, [](Channel& channel) noexcept -> RESPONSECODE {
    return channel.reader.poll_presence() ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
  });
}

// The reader has no escape commands (no PIN pad, no display).
VORKAND_IFD_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD /*dwControlCode*/, PUCHAR /*TxBuffer*/,
                                            DWORD /*TxLength*/, PUCHAR /*RxBuffer*/,
                                            DWORD /*RxLength*/, LPDWORD pdwBytesReturned) {
  if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
  return with_channel(Lun,
                      [](Channel&) noexcept -> RESPONSECODE { return IFD_ERROR_NOT_SUPPORTED; });
}
