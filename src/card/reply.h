// A reader's reply as the card operations see it, and one small test per reply
// rule. The reply lives in the caller's fixed 256-byte buffer; `count` is the
// reply count the transport returned (0: no complete reply).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/frame.h"
#include "link/transport.h"

namespace vorkand::card {

// Reader status bytes: 70 03 still busy, 70 01 refused, 90 00 done.
inline constexpr uint8_t kReaderSw1Attention = 0x70;
inline constexpr uint8_t kReaderSw2Busy = 0x03;
inline constexpr uint8_t kReaderSw2Refused = 0x01;
inline constexpr uint8_t kReaderSw1Done = 0x90;
inline constexpr uint8_t kReaderSw2Done = 0x00;
// Replies that ask for a follow-up: 6D 00 send again, 61 xx fetch xx bytes.
inline constexpr uint8_t kResendSw1 = 0x6D;
inline constexpr uint8_t kResendSw2 = 0x00;
inline constexpr uint8_t kMoreDataSw1 = 0x61;
// Block-error replies 00 92 00 92 and 00 82 00 82: the reader lost a block.
inline constexpr uint8_t kBlockErrorSwitchHead = 0x92;  // resend with the other head
inline constexpr uint8_t kBlockErrorSameHead = 0x82;    // resend unchanged

// A reader status reply is exactly head 80, length 2 and trailer: 6 bytes.
inline constexpr int32_t kStatusReplyCount = 2 + link::kFrameOverhead;

using ReplyBuffer = std::array<uint8_t, link::kMaxReply>;

struct Reply {
  const ReplyBuffer& bytes;
  int32_t count;

  bool received() const noexcept { return count != 0; }
  uint8_t head() const noexcept { return bytes[link::kHeadAt]; }
  uint8_t mode() const noexcept { return bytes[link::kModeAt]; }
  uint8_t length() const noexcept { return bytes[link::kLengthAt]; }
  uint8_t body(std::size_t i) const noexcept { return bytes[link::kBodyAt + i]; }
  // The byte after the body (the body is empty in the block-error replies).
  uint8_t trailer() const noexcept { return bytes[link::kBodyAt + length()]; }
  // The frame's length byte agrees with the count: no stray byte came with it.
  bool length_matches_count() const noexcept {
    return count == static_cast<int32_t>(length() + link::kFrameOverhead);
  }
  std::span<const uint8_t> body_bytes() const noexcept {
    return std::span<const uint8_t>(bytes).subspan(link::kBodyAt, length());
  }
};

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
