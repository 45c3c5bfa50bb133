// Reader reset and card power-up: short fixed dialogues of 8-byte reader
// commands (head 80, mode 00, length 04, a 4-byte body, trailer 00).
#include <algorithm>
#include <array>
#include <span>

#include "card/card.h"
#include "card/reply.h"

namespace vorkand::card {
namespace {

using link::ReaderCommand;

constexpr ReaderCommand kResetReader = link::reader_command(link::kReaderReset);
constexpr ReaderCommand kPowerUp1 = link::reader_command(link::kPowerUp1);
constexpr ReaderCommand kPowerUp2 = link::reader_command(link::kPowerUp2, link::kPowerUp2P1);
constexpr ReaderCommand kAtrRequest = link::reader_command(link::kAtrRequest);

// 80 xx 02 90 00 tt, exactly 6 bytes, any mode: the reader did it.
bool is_good_status(const Reply& r) noexcept {
  return is_reader_status_of(r, kReaderSw1Done, kReaderSw2Done);
}

// The reader reset's second reply, tested in order.
uint16_t judge_second_reset_reply(const Reply& r) noexcept {
  if (!r.received()) return kSwNoReply;
  if (r.head() != link::kHeadReader || r.length() != 2) return kSwOutOfForm;
  const bool exact = r.count == kStatusReplyCount;
  switch (r.body(0)) {
    case kReaderSw1Attention:
      return r.body(1) == kReaderSw2Refused && exact ? kSwRefused : kSwOutOfForm;
    case kReaderSw1Done:
      return r.body(1) == kReaderSw2Done && exact ? kSwOk : kSwOutOfForm;
    default:
      return kSwOutOfForm;
  }
}

// A power-up step wants exactly 80 00 02 90 00 tt; the mode is tested here.
uint16_t power_up_step(link::Transport& transport, const ReaderCommand& frame,
                       ReplyBuffer& reply) noexcept {
  const Reply r = exchange(transport, frame, reply);
  if (!r.received()) return kSwNoReply;
  if (!is_good_status(r) || r.mode() != link::kModeReader) return kSwRefused;
  return kSwOk;
}

// 70 00 n ATR tt, with n matching the count.
bool is_atr_reply(const Reply& r) noexcept {
  return r.head() == link::kHeadAtr && r.mode() == link::kModeReader && r.length_matches_count();
}

uint16_t read_atr(link::Transport& transport, ReplyBuffer& reply, uint8_t* atr_length, uint8_t* atr,
                  std::size_t atr_room) noexcept {
  *atr_length = 0;
  const Reply r = exchange(transport, kAtrRequest, reply);
  if (!r.received()) return kSwNoReply;
  if (!is_atr_reply(r)) return kSwOutOfForm;
  // No card's ATR comes near this (33 bytes at most); a reply that claims
  // more must not run past the caller's buffer.
  if (r.length() > atr_room) return kSwOutOfForm;
  if (r.length() == 0) return kSwRefused;
  const std::span<const uint8_t> answer = r.body_bytes();
  std::copy(answer.begin(), answer.end(), atr);
  *atr_length = r.length();
  set_protocol_byte(head_for_atr(answer));
  return kSwOk;
}

}  // namespace

uint8_t head_for_atr(std::span<const uint8_t> atr) noexcept {
  return link::atr_protocols(atr).first == 1 ? link::kHeadT1 : link::kHeadT0;
}

uint16_t reset_reader(link::Transport& transport) noexcept {
  ReplyBuffer reply{};
  const Reply first = exchange(transport, kResetReader, reply);
  if (is_good_status(first)) return kSwOk;
  // Anything else, silence included, earns the reset one more try.
  const Reply second = exchange(transport, kResetReader, reply);
  return judge_second_reset_reply(second);
}

uint16_t power_up(link::Transport& transport, uint8_t* atr_length, uint8_t* atr,
                  std::size_t atr_room) noexcept {
  ReplyBuffer reply{};
  for (const ReaderCommand* step : {&kPowerUp1, &kPowerUp2}) {
    const uint16_t status = power_up_step(transport, *step, reply);
    if (status != kSwOk) return status;
  }
  return read_atr(transport, reply, atr_length, atr, atr_room);
}

uint16_t power_up(link::Transport& transport, uint8_t* atr_length, uint8_t* atr) noexcept {
  return power_up(transport, atr_length, atr, kMaxAtr);
}

}  // namespace vorkand::card
