#include "link/pcsc/reader_emulation.h"

#include <algorithm>
#include <array>

namespace vorkand::link::pcsc {
namespace {

int32_t status(std::span<uint8_t, kMaxReply> reply, std::span<const uint8_t, 2> sw) noexcept {
  return build_frame(reply, kHeadReader, kModeReader, sw);
}

int32_t atr_reply(std::span<uint8_t, kMaxReply> reply, std::span<const uint8_t> atr) noexcept {
  return build_frame(reply, kHeadAtr, kModeReader, atr);
}

bool is_get_response(std::span<const uint8_t> apdu) noexcept {
  return apdu.size() == kGetResponseLeAt + 1 && apdu[kInsAt] == kInsGetResponse &&
         apdu[2] == 0x00 && apdu[3] == 0x00;
}

bool is_protocol_switch(std::span<const uint8_t> apdu) noexcept {
  return apdu.size() == kProtocolSwitchDataAt + 1 &&
         std::equal(kProtocolSwitch.begin(), kProtocolSwitch.end(), apdu.begin());
}

}  // namespace

int32_t ReaderEmulation::answer(std::span<const uint8_t> frame, Reply reply) noexcept {
  if (frame.size() < kFrameOverhead || frame.size() != frame[kLengthAt] + kFrameOverhead) {
    return 0;
  }
  const auto body = frame.subspan(kBodyAt, frame[kLengthAt]);
  switch (frame[kHeadAt]) {
    case kHeadReader:
      long_answer_.drop();
      return reader_command(body, reply);
    case kHeadT0:
    case kHeadT1:
      return card_frame(frame[kHeadAt], frame[kModeAt], body, reply);
    default:
      return 0;
  }
}

int32_t ReaderEmulation::reader_command(std::span<const uint8_t> body, Reply reply) noexcept {
  if (body.size() != kReaderCommandBody || body[0] != kReaderCommandClass) {
    return status(reply, kStatusRefused);
  }
  switch (body[1]) {
    case kReaderReset:
      return reader_there() ? status(reply, kStatusDone) : 0;
    case kPowerUp1:
      return power_up(reply);
    case kPowerUp2:
      if (!session_.connected()) return reader_there() ? status(reply, kStatusRefused) : 0;
      return card_there([&] { return status(reply, kStatusDone); },
                        [&] { return status(reply, kStatusRefused); });
    case kAtrRequest:
      if (!session_.connected()) return reader_there() ? atr_reply(reply, {}) : 0;
      return card_there([&] { return atr_reply(reply, session_.atr()); },
                        [&] { return atr_reply(reply, {}); });
    default:
      return status(reply, kStatusRefused);
  }
}

// Connects to the card exclusively, or cold-resets it when connected.
int32_t ReaderEmulation::power_up(Reply reply) noexcept {
  if (session_.connected()) {
    switch (session_.reconnect(kEitherProtocol, Reset::cold)) {
      case Outcome::done:
        return status(reply, kStatusDone);
      case Outcome::gone:
        return 0;
      case Outcome::refused:
        drop_card();  // removed, perhaps another one inserted: connect afresh
        break;
    }
  }
  const Outcome connected = session_.connect();
  if (connected != Outcome::done) return failed(connected, reply);
  return status(reply, kStatusDone);
}

int32_t ReaderEmulation::card_frame(uint8_t head, uint8_t mode, std::span<const uint8_t> apdu,
                                    Reply reply) noexcept {
  if (!session_.connected()) {
    long_answer_.drop();
    return reader_there() ? status(reply, kStatusRefused) : 0;
  }
  if (is_protocol_switch(apdu)) {
    long_answer_.drop();
    return switch_protocol(head, mode, apdu[kProtocolSwitchDataAt], reply);
  }
  if (long_answer_.pending() && is_get_response(apdu)) {
    return next_part(head, mode, apdu[kGetResponseLeAt], reply);
  }
  long_answer_.drop();
  if (apdu.size() < 4) return status(reply, kStatusRefused);  // not an APDU any reader can send

  std::size_t count = 0;
  const Outcome sent = session_.transmit(apdu, long_answer_.buffer(), count);
  if (sent != Outcome::done) return failed(sent, reply);
  // No SW1 SW2: not an answer of the card (one that vanished mid-command
  // leaves this), so no reply rather than a made-up one.
  if (count < 2) return 0;
  if (!LongAnswer::too_long(count)) {
    return build_frame(reply, head, mode, long_answer_.buffer().first(count));
  }
  long_answer_.start(count);
  return next_part(head, mode, 0, reply);
}

int32_t ReaderEmulation::next_part(uint8_t head, uint8_t mode, uint8_t le, Reply reply) noexcept {
  std::array<uint8_t, kMaxReplyData + 2> body{};
  const std::size_t size = long_answer_.next(le, body);
  return build_frame(reply, head, mode, std::span(body.data(), size));
}

// 80 14 00 00 01 XX: reconnect asking for T=XX; 90 00 only when it is then
// the active protocol. Another protocol that the ATR offers needs a warm
// reset of the card (a new protocol is negotiated only after a reset).
int32_t ReaderEmulation::switch_protocol(uint8_t head, uint8_t mode, uint8_t wanted_t,
                                         Reply reply) noexcept {
  if (wanted_t > 1) return build_frame(reply, head, mode, kSwitchRefused);
  const uint8_t wanted = wanted_t == 1 ? kT1 : kT0;
  // A protocol the card does not offer is refused without resetting it.
  if (const Outcome read = session_.read_status(); read != Outcome::done) {
    return failed(read, reply);
  }
  if (!atr_protocols(session_.atr()).offers(wanted_t)) {
    return build_frame(reply, head, mode, kSwitchRefused);
  }
  const Reset reset = wanted == session_.protocol() ? Reset::leave : Reset::warm;
  const Outcome outcome = session_.reconnect(wanted, reset);
  if (outcome == Outcome::gone) return 0;
  if (outcome == Outcome::done) {
    return build_frame(reply, head, mode,
                       session_.protocol() == wanted ? std::span<const uint8_t>(kStatusDone)
                                                     : std::span<const uint8_t>(kSwitchRefused));
  }
  // Refused: the card keeps (or gets back) a protocol it offers.
  const Outcome kept = session_.reconnect(kEitherProtocol, Reset::leave);
  if (kept != Outcome::done) return failed(kept, reply);
  return build_frame(reply, head, mode, kSwitchRefused);
}

// Whether the reader is still there (a card need not be).
bool ReaderEmulation::reader_there() noexcept {
  if (session_.connected()) {
    switch (session_.read_status()) {
      case Outcome::done:
        return true;
      case Outcome::refused:
        drop_card();
        return true;
      case Outcome::gone:
        return false;
    }
  }
  return session_.reader_listed();
}

// Runs `present` when the connected card still answers, `absent` when it
// was removed; no reply when the reader is gone.
template <typename Present, typename Absent>
int32_t ReaderEmulation::card_there(Present present, Absent absent) noexcept {
  switch (session_.read_status()) {
    case Outcome::done:
      return present();
    case Outcome::refused:
      drop_card();
      return absent();
    case Outcome::gone:
      return 0;
  }
  return 0;
}

// The reply to a call the card or the reader failed: the reader refuses
// when the card went, and gives no reply when the reader itself is gone.
int32_t ReaderEmulation::failed(Outcome outcome, Reply reply) noexcept {
  if (outcome == Outcome::gone) return 0;
  drop_card();
  return status(reply, kStatusRefused);
}

// The card was removed or reset behind our back: forget the connection.
void ReaderEmulation::drop_card() noexcept {
  session_.disconnect(Reset::leave);
  long_answer_.drop();
}

}  // namespace vorkand::link::pcsc
