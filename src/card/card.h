// Reader reset, card power-up and the two card command exchanges, written
// against the transport seam so that every rule is plain code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/reader_wire.h"
#include "link/transport.h"
#include "vorkand.h"

namespace vorkand::card {

// Status words of the library's own (vorkand.h; the card's SW1 SW2 pass
// through as they are).
inline constexpr uint16_t kSwOk = VORKAND_SW_OK;  // success, or a reply nobody recognises
inline constexpr uint16_t kSwNoReply = VORKAND_SW_NO_REPLY;  // no complete reply from the reader
inline constexpr uint16_t kSwRefused =
    VORKAND_SW_REFUSED;  // reader refused (70 01, power-up out of form)
inline constexpr uint16_t kSwOutOfForm = VORKAND_SW_OUT_OF_FORM;  // reader reply out of form
inline constexpr uint16_t kSwBusy = VORKAND_SW_BUSY;  // reader still busy (70 03) at the end
inline constexpr uint16_t kSwWrongLength =
    VORKAND_SW_TOO_LONG;  // APDU length 252..255: nothing sent

// The most a complete reply can carry to the caller: an ATR of 252 bytes, or
// 250 response data bytes behind which come SW1 SW2.
inline constexpr std::size_t kMaxAtr = link::kMaxAtr;
inline constexpr std::size_t kMaxResponse = link::kMaxReplyData;

// Where a command's status word came from. The exports return only the
// status word; a bridge that must tell a card's answer from the library's own
// reader-level outcome reads this. Only `card` carries the card's SW1 SW2
// (and response data); every other source is the library's or the reader's.
enum class Source : uint8_t {
  card,            // SW1 SW2 of a data reply from the card
  no_reply,        // 0xFFFF: the reader sent no complete reply
  reader_busy,     // 0x6FF0
  reader_refused,  // 0x6200 from reader status 70 01
  unrecognised,    // 0x9000 for a reply the exchange does not recognise
  no_status_word,  // 0x6201: a data reply too short to hold SW1 SW2
  wrong_length,    // 0x6700: APDU length 252..255, nothing sent
  power_up,        // the reset request 00 12 00 00 00 ran a power-up: the status is
                   // power_up's, and on 0x9000 the response is the ATR
};

struct Result {
  uint16_t status;
  Source source;
};

// The module's one piece of state: the head of the transparent exchange's
// card frames, 0x00 (T=1) or 0x40 (T=0), 0x00 at load.
uint8_t protocol_byte() noexcept;
void set_protocol_byte(uint8_t head) noexcept;

// The mode of a card frame chosen from the APDU's INS byte: 0x4F ('O', the
// card returns data) for the instructions that read, 0x49 ('I') for all others.
uint8_t mode_for_ins(uint8_t ins) noexcept;

// The protocol byte an ATR selects: 0x00 (T=1) when TD1 offers T=1 first,
// else 0x40 (T=0). Only TD1 counts, and only the ATR's own bytes are read: an
// ATR too short to hold T0 or the TD1 that T0 announces means T=0.
uint8_t head_for_atr(std::span<const uint8_t> atr) noexcept;

// CT_reset: at most two frames.
uint16_t reset_reader(link::Transport& transport) noexcept;

// ICC_reset: two power-up steps and the answer-to-reset request; sets the
// protocol byte from TD1 on success.
uint16_t power_up(link::Transport& transport, uint8_t* atr_length, uint8_t* atr) noexcept;

// The same into an ATR buffer of `atr_room` bytes (at most 252). An ATR that
// would not fit is refused like a reply out of form: 0x6201, ATR length 0,
// protocol byte unchanged. (The transparent exchange's reset request writes
// the ATR into a response buffer, which holds 250 bytes.)
uint16_t power_up(link::Transport& transport, uint8_t* atr_length, uint8_t* atr,
                  std::size_t atr_room) noexcept;

// ICC_command: only the low bytes of apdu_length, direction and protocol count.
Result command(link::Transport& transport, int32_t apdu_length, const uint8_t* apdu,
               uint8_t* response_length, uint8_t* response, int32_t direction,
               int32_t protocol) noexcept;

// ICC_tsi_api: mode from the INS byte, head from the protocol byte.
Result transparent_command(link::Transport& transport, int32_t apdu_length, const uint8_t* apdu,
                           uint8_t* response_length, uint8_t* response) noexcept;

}  // namespace vorkand::card
