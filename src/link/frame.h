// The reader's frame, the same layout in both directions:
//
//   +------+------+--------+----------------------+---------+
//   | head | mode | length | body (length bytes)  | trailer |
//   +------+------+--------+----------------------+---------+
//     0      1      2        3 .. 2+length          3+length
//
// head:    0x80 a command to the reader / a reader status reply,
//          0x70 the answer-to-reset reply, 0x00 or 0x40 a card frame.
// mode:    0x00 in reader commands; 0x49 'I' or 0x4F 'O' in card frames.
// trailer: always 0x00 in frames we send; never checked in replies except
//          the block-error replies 00 92 00 92 and 00 82 00 82.
// A reply holds at most 256 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorkand::link {

// Positions in a frame.
inline constexpr std::size_t kHeadAt = 0;
inline constexpr std::size_t kModeAt = 1;
inline constexpr std::size_t kLengthAt = 2;
inline constexpr std::size_t kBodyAt = 3;

inline constexpr std::size_t kMaxReply = 256;      // largest reply accepted
inline constexpr std::size_t kFrameOverhead = 4;   // head, mode, length, trailer
inline constexpr uint32_t kSilenceLimitMs = 5000;  // longest silence a reply may have

inline constexpr uint8_t kHeadReader = 0x80;  // reader command, reader status reply
inline constexpr uint8_t kHeadAtr = 0x70;     // answer-to-reset reply
inline constexpr uint8_t kHeadT1 = 0x00;      // card frame, card addressed with T=1
inline constexpr uint8_t kHeadT0 = 0x40;      // card frame, card addressed with T=0
inline constexpr uint8_t kModeReader = 0x00;  // mode of reader commands
inline constexpr uint8_t kModeIn = 0x49;      // 'I': data goes to the card
inline constexpr uint8_t kModeOut = 0x4F;     // 'O': the card returns data

}  // namespace vorkand::link
