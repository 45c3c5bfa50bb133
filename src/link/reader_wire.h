// Everything the reader speaks, in one place: the reader commands and their
// status replies, the follow-up replies (send again, more data, block errors),
// the APDUs the reader itself understands, the longest APDU a frame carries,
// a view of a reply and the function that builds a frame, the protocols an
// ATR offers, and the port names COM1..COM4. Header-only, so that the
// simulator can share the bytes (not the rules of the card layer).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "link/frame.h"
#include "vorkand.h"

namespace vorkand::link {

// The longest APDU a frame carries (vorkand.h): its length L, L + 4 and the
// trailer's index L + 3 must fit in the length byte's range.
inline constexpr std::size_t kMaxApdu = VORKAND_MAX_APDU;

// Reader commands: head 80, mode 00, length 04, body 80 CC P1 00, trailer 00.
inline constexpr uint8_t kReaderCommandClass = 0x80;
inline constexpr uint8_t kReaderReset = 0x62;
inline constexpr uint8_t kPowerUp1 = 0x60;
inline constexpr uint8_t kPowerUp2 = 0x6B;
inline constexpr uint8_t kPowerUp2P1 = 0x05;
inline constexpr uint8_t kAtrRequest = 0x61;
inline constexpr std::size_t kReaderCommandBody = 4;

using ReaderCommand = std::array<uint8_t, kReaderCommandBody + kFrameOverhead>;

constexpr ReaderCommand reader_command(uint8_t command, uint8_t p1 = 0x00) noexcept {
  return {kHeadReader, kModeReader, kReaderCommandBody, kReaderCommandClass, command, p1,
          0x00,        0x00};
}

// Reader status bytes: 70 03 still busy, 70 01 refused, 90 00 done.
inline constexpr uint8_t kReaderSw1Attention = 0x70;
inline constexpr uint8_t kReaderSw2Busy = 0x03;
inline constexpr uint8_t kReaderSw2Refused = 0x01;
inline constexpr uint8_t kReaderSw1Done = 0x90;
inline constexpr uint8_t kReaderSw2Done = 0x00;
inline constexpr std::array<uint8_t, 2> kStatusDone{kReaderSw1Done, kReaderSw2Done};
inline constexpr std::array<uint8_t, 2> kStatusRefused{kReaderSw1Attention, kReaderSw2Refused};
inline constexpr std::array<uint8_t, 2> kStatusBusy{kReaderSw1Attention, kReaderSw2Busy};
// A reader status reply is exactly head 80, length 2 and trailer: 6 bytes.
inline constexpr int32_t kStatusReplyCount = 2 + kFrameOverhead;

// Replies that ask for a follow-up: 6D 00 send again, 61 xx fetch xx bytes.
inline constexpr uint8_t kResendSw1 = 0x6D;
inline constexpr uint8_t kResendSw2 = 0x00;
inline constexpr uint8_t kMoreDataSw1 = 0x61;
// Block-error replies 00 92 00 92 and 00 82 00 82: the reader lost a block.
inline constexpr uint8_t kBlockErrorSwitchHead = 0x92;  // resend with the other head
inline constexpr uint8_t kBlockErrorSameHead = 0x82;    // resend unchanged

// APDUs with a meaning of their own: the protocol switch 80 14 00 00 01 XX
// (XX: the protocol wanted), the reset request 00 12 00 00 00 of the
// transparent exchange, and GET RESPONSE 00 C0 00 00 Le.
inline constexpr std::array<uint8_t, 5> kProtocolSwitch{0x80, 0x14, 0x00, 0x00, 0x01};
inline constexpr std::size_t kProtocolSwitchDataAt = 5;
inline constexpr std::array<uint8_t, 5> kResetRequest{0x00, 0x12, 0x00, 0x00, 0x00};
inline constexpr uint8_t kInsGetResponse = 0xC0;
inline constexpr std::size_t kInsAt = 1;
inline constexpr std::size_t kGetResponseLeAt = 4;
// The card's answer to a protocol switch it cannot make: wrong parameter.
inline constexpr std::array<uint8_t, 2> kSwitchRefused{0x6A, 0x86};

// The most a reply carries to the caller: an ATR of 252 bytes, or 250 data
// bytes behind which come SW1 SW2.
inline constexpr std::size_t kMaxAtr = kMaxReply - kFrameOverhead;
inline constexpr std::size_t kMaxReplyData = kMaxAtr - 2;

// A reply in a 256-byte buffer; `count` is the reply count the transport
// returned (0: no complete reply).
struct ReplyView {
  std::span<const uint8_t, kMaxReply> bytes;
  int32_t count;

  bool received() const noexcept { return count != 0; }
  uint8_t head() const noexcept { return bytes[kHeadAt]; }
  uint8_t mode() const noexcept { return bytes[kModeAt]; }
  uint8_t length() const noexcept { return bytes[kLengthAt]; }
  uint8_t body(std::size_t i) const noexcept { return bytes[kBodyAt + i]; }
  // The byte after the body (the body is empty in the block-error replies).
  uint8_t trailer() const noexcept { return bytes[kBodyAt + length()]; }
  // The frame's length byte agrees with the count: no stray byte came with it.
  bool length_matches_count() const noexcept {
    return count == static_cast<int32_t>(length() + kFrameOverhead);
  }
  std::span<const uint8_t> body_bytes() const noexcept { return bytes.subspan(kBodyAt, length()); }
};

// Writes the frame head mode L body 00 into `out` and returns its count.
// `body` holds at most 252 bytes and `out` room for it and the overhead.
inline int32_t build_frame(std::span<uint8_t> out, uint8_t head, uint8_t mode,
                           std::span<const uint8_t> body) noexcept {
  out[kHeadAt] = head;
  out[kModeAt] = mode;
  out[kLengthAt] = static_cast<uint8_t>(body.size());
  if (!body.empty()) std::memcpy(out.data() + kBodyAt, body.data(), body.size());
  out[kBodyAt + body.size()] = 0x00;
  return static_cast<int32_t>(body.size() + kFrameOverhead);
}

// The protocols an ATR offers. T0 and each TDi name in their high nibble
// which interface bytes follow; each TDi names a protocol in its low nibble.
// Only the ATR's own bytes are read: a TDi the ATR is too short to hold ends
// the reading there.
struct AtrProtocols {
  uint16_t offered = 0x0001;  // bit t: some TDi offers T=t; T=0 alone when no TDi is there
  uint8_t first = 0;          // the protocol TD1 names, 0 (T=0) without TD1

  bool offers(unsigned t) const noexcept { return t < 16 && (offered >> t & 1u) != 0; }
};

constexpr AtrProtocols atr_protocols(std::span<const uint8_t> atr) noexcept {
  AtrProtocols protocols;
  if (atr.size() < 2) return protocols;
  bool any = false;
  std::size_t at = 1;  // T0, then each TDi
  for (;;) {
    const uint8_t indicator = atr[at];
    if ((indicator & 0x80) == 0) break;
    const std::size_t next =
        at + static_cast<std::size_t>(std::popcount(static_cast<unsigned>(indicator & 0xF0)));
    if (next >= atr.size()) break;
    at = next;
    const auto t = static_cast<uint8_t>(atr[at] & 0x0F);
    if (!any) {
      protocols.first = t;
      protocols.offered = 0;
      any = true;
    }
    protocols.offered = static_cast<uint16_t>(protocols.offered | 1u << t);
  }
  return protocols;
}

// The index 1..4 of the port names COM1..COM4 (ASCII letters in either
// case), 0 for any other name.
constexpr int com_index(std::string_view name) noexcept {
  if (name.size() != 4) return 0;
  constexpr std::string_view kPrefix = "COM";
  for (std::size_t i = 0; i < kPrefix.size(); ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kPrefix[i]) return 0;
  }
  if (name[3] < '1' || name[3] > '4') return 0;
  return name[3] - '0';
}

// The same for a C string, reading no more of it than a port name can have;
// a null pointer is no name.
inline int com_index(const char* name) noexcept {
  if (name == nullptr) return 0;
  std::size_t length = 0;
  while (length < 5 && name[length] != '\0') ++length;
  return com_index(std::string_view(name, length));
}

}  // namespace vorkand::link
