#include "sim/reader_model.h"

#include <algorithm>
#include <array>
#include <utility>

#include "link/frame.h"
#include "link/reader_wire.h"

namespace vorkand::sim {
namespace {

// The reader's status bytes, the card's 6D 00 (send again) and the block
// errors are the wire's; what the reader does with a frame is this model's own.
constexpr uint8_t kSw1Done = link::kReaderSw1Done, kSw2Done = link::kReaderSw2Done;
constexpr uint8_t kSw1Attention = link::kReaderSw1Attention;
constexpr uint8_t kSw2Refused = link::kReaderSw2Refused, kSw2Busy = link::kReaderSw2Busy;
using link::kBlockErrorSameHead;
using link::kBlockErrorSwitchHead;
using link::kResendSw1;
using link::kResendSw2;

using link::kHeadAtr;
using link::kHeadReader;
using link::kHeadT0;
using link::kHeadT1;
constexpr std::size_t kMaxBody = link::kMaxReply - link::kFrameOverhead;

std::vector<uint8_t> block_error(uint8_t kind) {
  return {kHeadT1, kind, 0x00, kind};
}

bool is_poll(std::span<const uint8_t> apdu) {
  return apdu.size() == 5 &&
         std::all_of(apdu.begin(), apdu.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

std::vector<uint8_t> make_frame(uint8_t head, uint8_t mode, std::span<const uint8_t> body) {
  std::vector<uint8_t> frame;
  frame.reserve(body.size() + link::kFrameOverhead);
  frame.push_back(head);
  frame.push_back(mode);
  frame.push_back(static_cast<uint8_t>(body.size()));
  for (uint8_t b : body) frame.push_back(b);
  frame.push_back(0x00);
  return frame;
}

std::vector<uint8_t> reader_status(uint8_t sw1, uint8_t sw2) {
  const uint8_t body[] = {sw1, sw2};
  return make_frame(kHeadReader, link::kModeReader, body);
}

ReaderModel::ReaderModel(CardModel card, ReaderOptions options)
    : card_(std::move(card)), options_(options) {}

std::vector<uint8_t> ReaderModel::on_frame(std::span<const uint8_t> frame) {
  if (frame.size() < link::kFrameOverhead ||
      frame.size() != std::size_t{frame[link::kLengthAt]} + link::kFrameOverhead) {
    return {};
  }
  const auto body = frame.subspan(link::kBodyAt, frame[link::kLengthAt]);
  switch (frame[link::kHeadAt]) {
    case kHeadReader:
      return reader_command(body);
    case kHeadT1:
    case kHeadT0:
      return card_frame(frame[link::kHeadAt], frame[link::kModeAt], body);
    default:
      return {};
  }
}

std::vector<uint8_t> ReaderModel::reader_command(std::span<const uint8_t> body) {
  const auto refused = [] { return reader_status(kSw1Attention, kSw2Refused); };
  if (body.size() != link::kReaderCommandBody || body[0] != link::kReaderCommandClass) {
    return refused();
  }
  held_.clear();
  busy_left_ = 0;
  switch (body[1]) {
    case link::kReaderReset:
    case link::kPowerUp1:
    case link::kPowerUp2:
      return reader_status(kSw1Done, kSw2Done);
    case link::kAtrRequest:  // answer-to-reset request: the card is reset and answers
      card_.reset();
      return make_frame(kHeadAtr, link::kModeReader, card_.atr());
    default:
      return refused();
  }
}

std::vector<uint8_t> ReaderModel::card_frame(uint8_t head, uint8_t mode,
                                             std::span<const uint8_t> apdu) {
  if (!held_.empty() && is_poll(apdu)) {
    if (--busy_left_ > 0) return reader_status(kSw1Attention, kSw2Busy);
    return std::exchange(held_, {});
  }
  held_.clear();

  if (!injections_.empty()) {
    const Injection injection = injections_.front();
    injections_.pop_front();
    switch (injection) {
      case Injection::resend: {
        const uint8_t body[] = {kResendSw1, kResendSw2};
        return make_frame(head, mode, body);
      }
      case Injection::block_error_92:
        return block_error(kBlockErrorSwitchHead);
      case Injection::block_error_82:
        return block_error(kBlockErrorSameHead);
    }
  }
  if (options_.strict_head) {
    const uint8_t expected = card_.protocol() == Protocol::t1 ? kHeadT1 : kHeadT0;
    if (head != expected) return block_error(kBlockErrorSwitchHead);
  }

  const Response response = card_answer(apdu);
  std::vector<uint8_t> body = response.data;
  if (body.size() + 2 > kMaxBody) body.clear();  // no frame can carry it: 67 00 below
  const uint16_t sw = body.size() == response.data.size() ? response.sw : 0x6700;
  body.push_back(static_cast<uint8_t>(sw >> 8));
  body.push_back(static_cast<uint8_t>(sw & 0xFF));
  std::vector<uint8_t> reply = make_frame(head, mode, body);

  const bool is_get_response =
      apdu.size() > link::kInsAt && apdu[link::kInsAt] == link::kInsGetResponse;
  if (options_.busy_polls > 0 && !is_get_response) {
    held_ = std::move(reply);
    busy_left_ = options_.busy_polls;
    return reader_status(kSw1Attention, kSw2Busy);
  }
  return reply;
}

Response ReaderModel::card_answer(std::span<const uint8_t> apdu) {
  // The protocol switch is the reader's own command, not the card's.
  constexpr std::array<uint8_t, 5> kSwitch = link::kProtocolSwitch;  // a copy: no library symbol
  constexpr std::size_t kWantedAt = link::kProtocolSwitchDataAt;
  if (apdu.size() == kWantedAt + 1 && std::equal(kSwitch.begin(), kSwitch.end(), apdu.begin())) {
    if (apdu[kWantedAt] > 1) return Response{{}, 0x6A86};
    card_.set_protocol(apdu[kWantedAt] == 1 ? Protocol::t1 : Protocol::t0);
    return Response{{}, 0x9000};
  }
  return card_.execute(apdu);
}

}  // namespace vorkand::sim
