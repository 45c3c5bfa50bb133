// One serial reader as a PC/SC resource manager sees it: a single slot whose
// card is powered up, polled for presence and sent APDUs. Written against the
// transport seam and an injected clock, so the whole mapping runs against a
// scripted fake; the IFD handler layer (ifdhandler.cpp) only binds a Lun to
// one of these over a real port.
//
//   pcscd ── IFDH* (ifdhandler.cpp) ── IfdReader ── card::reset_reader / power_up / command
//                                                      └── Transport ── port
//
// The reader cannot be asked whether a card is inserted and has no power-down
// or PPS command, so:
//   - presence is what the last power-up showed; while no card is known a
//     power-up is tried from the presence poll, at most every 2 seconds;
//   - power-down sends nothing and only forgets the ATR (the card stays known);
//   - the only protocol a card can be addressed with is the one it offers
//     first (TD1), as no PPS exchange can change it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/pcsc_atr.h"
#include "link/byte_port.h"
#include "link/reader_wire.h"
#include "link/transport.h"

namespace vorkand::pcsc {

inline constexpr std::size_t kMaxAtr = common::kPcscMaxAtr;  // longest ATR pcscd takes
inline constexpr std::size_t kMinApdu = 4;                   // CLA INS P1 P2
inline constexpr std::size_t kMaxApdu = link::kMaxApdu;
inline constexpr uint32_t kPresenceRetryMs = 2000;  // shortest gap between presence power-ups

enum class Protocol : uint8_t { t0, t1 };

// What an operation came to; the IFD handler layer maps each to a response code.
enum class Outcome : uint8_t {
  ok,
  no_reply,          // the reader sent no complete reply within the silence limit
  reader_error,      // the reader answered, but not with a card's status word
  power_failed,      // power-up refused or out of form (no card, or a mute one)
  not_powered,       // no ATR is known: power the card up first
  apdu_refused,      // APDU shorter than 4 or longer than 251 bytes: nothing sent
  buffer_too_small,  // the caller's buffer cannot hold the answer
  protocol_refused,  // not the protocol the card runs
};

// The index 1..4 of "COM1".."COM4" (any letter case, with or without one
// trailing ':'), else 0: the name is then a device path.
int com_index(std::string_view device_name) noexcept;

// The protocol a card runs after its ATR when nothing negotiates another:
// T=1 when TD1 names it, else T=0. Reads nothing past the ATR.
Protocol first_offered_protocol(std::span<const uint8_t> atr) noexcept;

class IfdReader {
 public:
  IfdReader(link::Transport& transport, link::Clock& clock) noexcept
      : transport_(transport), clock_(clock) {}
  IfdReader(const IfdReader&) = delete;
  IfdReader& operator=(const IfdReader&) = delete;

  // Resets the reader; a channel is usable only after this succeeded.
  Outcome open() noexcept;

  // Cold or warm reset alike: the reader knows only one power-up. On success
  // the ATR is known, the card is present and its protocol is the one it
  // offers first; on failure no ATR is known and the card counts as absent.
  Outcome power_up() noexcept;

  // Sends nothing (the reader has no such command) and forgets the ATR; the
  // card still counts as present.
  void power_down() noexcept;

  // True while the last power-up found a card. While none is known, runs a
  // power-up when the last attempt is at least 2 seconds old (or none was made).
  bool poll_presence() noexcept;

  // The last power-up's result without touching the reader.
  bool card_known() const noexcept { return card_known_; }
  std::span<const uint8_t> atr() const noexcept { return {atr_.data(), atr_length_}; }
  Protocol protocol() const noexcept { return protocol_; }

  // Accepts only the protocol the powered card runs.
  Outcome set_protocol(Protocol protocol) noexcept;

  // One APDU with the slot's protocol and the direction its INS implies.
  // On ok, `reply` holds the response data followed by the card's SW1 SW2 and
  // `reply_length` their count; on anything else `reply_length` is 0.
  Outcome transmit(std::span<const uint8_t> apdu, std::span<uint8_t> reply,
                   std::size_t& reply_length) noexcept;

 private:
  link::Transport& transport_;
  link::Clock& clock_;
  std::array<uint8_t, kMaxAtr> atr_{};
  std::size_t atr_length_ = 0;  // 0: no ATR known (never powered, or powered down)
  bool card_known_ = false;
  bool attempted_ = false;  // a power-up was tried since the channel opened
  uint32_t last_attempt_ms_ = 0;
  Protocol protocol_ = Protocol::t0;
};

}  // namespace vorkand::pcsc
