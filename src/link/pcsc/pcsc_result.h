// What a PC/SC result means to a host of the eleven functions: the one place
// where "PC/SC says no card" becomes "the reader refuses", and "the service
// or the reader is gone" becomes "no reply".
//
//   PC/SC result                              reader reply the      status word the
//                                             emulation gives       host gets
//   ----------------------------------------  --------------------  ---------------------------
//   success                                   the frame's answer:   9000, the ATR, or the
//                                             80 00 02 90 00 00,    card's data and SW1 SW2
//                                             70 00 n ATR 00, or
//                                             head mode n data SW 00
//   sharing violation, no smart card,         80 00 02 70 01 00     6200 (CT_reset: 9000 while
//   unknown card, protocol mismatch, not      (the card is          the reader is listed)
//   ready, invalid ATR, card unsupported,     forgotten)
//   unsupported card, unresponsive card,
//   unpowered card, card was reset,
//   removed card
//   anything else: no service, service        no reply              FFFF at once, never after
//   stopped, reader unavailable, unknown                            the 5 s silence limit
//   reader, no readers, communication error,
//   transaction failed, internal error, ...
//
// Outcomes that are not PC/SC results, decided by the emulation itself:
//   a card frame before power-up              80 00 02 70 01 00     6200
//   an answer without SW1 SW2                 no reply              FFFF
//   a card frame of fewer than 4 bytes        80 00 02 70 01 00     6200
//   a protocol switch the ATR does not offer  head mode 02 6A 86 00 6A86, the card keeps its
//                                                                   protocol
#pragma once

#include <cstdint>

#include "link/pcsc/pcsc_api.h"

namespace vorkand::link::pcsc {

enum class Outcome : uint8_t {
  done,
  refused,  // no card, a card removed, reset or held by another program: the reader refuses
  gone,     // the reader or the PC/SC service is gone, or the line failed: no reply
};

Outcome outcome_of(Long result) noexcept;

}  // namespace vorkand::link::pcsc
