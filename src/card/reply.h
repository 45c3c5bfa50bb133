// A reader's reply as the card operations see it, and one small test per reply
// rule. The reply lives in the caller's fixed 256-byte buffer; `count` is the
// reply count the transport returned (0: no complete reply).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/frame.h"
#include "link/reader_wire.h"
#include "link/transport.h"

namespace vorkand::card {

using link::kBlockErrorSameHead;
using link::kBlockErrorSwitchHead;
using link::kMoreDataSw1;
using link::kReaderSw1Attention;
using link::kReaderSw1Done;
using link::kReaderSw2Busy;
using link::kReaderSw2Done;
using link::kReaderSw2Refused;
using link::kResendSw1;
using link::kResendSw2;
using link::kStatusReplyCount;

using ReplyBuffer = std::array<uint8_t, link::kMaxReply>;
using Reply = link::ReplyView;

// Sends one frame and returns the reply. The transport promises a count of 0
// or 4..256; anything else is taken as no reply, so no test below reads past
// the buffer.
inline Reply exchange(link::Transport& transport, std::span<const uint8_t> frame,
                      ReplyBuffer& reply) noexcept {
  const int32_t count = transport.exchange(frame, reply);
  const bool sane = count >= static_cast<int32_t>(link::kFrameOverhead) &&
                    count <= static_cast<int32_t>(link::kMaxReply);
  return Reply{reply, sane ? count : 0};
}

// Head 80, length 2, exactly 6 bytes; the mode and trailer are not looked at.
inline bool is_reader_status(const Reply& r) noexcept {
  return r.head() == link::kHeadReader && r.length() == 2 && r.count == kStatusReplyCount;
}

inline bool is_reader_status_of(const Reply& r, uint8_t sw1, uint8_t sw2) noexcept {
  return is_reader_status(r) && r.body(0) == sw1 && r.body(1) == sw2;
}

// 80 xx 02 70 03 tt: the reader is still busy with the card.
inline bool is_busy(const Reply& r) noexcept {
  return is_reader_status_of(r, kReaderSw1Attention, kReaderSw2Busy);
}

// 80 xx 02 70 01 tt: the reader refused.
inline bool is_refused(const Reply& r) noexcept {
  return is_reader_status_of(r, kReaderSw1Attention, kReaderSw2Refused);
}

// Head 00 or 40 with the length the count announces: card data, then SW1 SW2.
inline bool is_data_reply(const Reply& r) noexcept {
  return (r.head() == link::kHeadT1 || r.head() == link::kHeadT0) && r.length_matches_count();
}

// Body 6D 00 under any head, mode, trailer and count: send the command again.
inline bool is_resend_request(const Reply& r) noexcept {
  return r.length() == 2 && r.body(0) == kResendSw1 && r.body(1) == kResendSw2;
}

// Body 61 xx under any head, mode, trailer and count: fetch xx bytes.
inline bool is_more_data(const Reply& r) noexcept {
  return r.length() == 2 && r.body(0) == kMoreDataSw1;
}

// 00 92 00 92 or 00 82 00 82, whatever the count; head 40 does not count.
inline bool is_block_error(const Reply& r) noexcept {
  return r.head() == link::kHeadT1 &&
         (r.mode() == kBlockErrorSwitchHead || r.mode() == kBlockErrorSameHead) &&
         r.length() == 0 && r.trailer() == r.mode();
}

}  // namespace vorkand::card
