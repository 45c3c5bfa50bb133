#include "sim/reader_model.h"

#include <algorithm>
#include <utility>

#include "link/frame.h"

namespace vorkand::sim {
namespace {

// The reader's status bytes: 90 00 done, 70 01 refused, 70 03 still busy;
// the card's 6D 00 asks for the command again; the block errors 00 92 00 92
// (resend with the other head) and 00 82 00 82 (resend unchanged).
constexpr uint8_t kSw1Done = 0x90, kSw2Done = 0x00;
constexpr uint8_t kSw1Attention = 0x70, kSw2Refused = 0x01, kSw2Busy = 0x03;
constexpr uint8_t kResendSw1 = 0x6D, kResendSw2 = 0x00;
constexpr uint8_t kBlockErrorSwitchHead = 0x92, kBlockErrorSameHead = 0x82;

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
  if (body.size() != 4 || body[0] != kHeadReader) return refused();
  held_.clear();
  busy_left_ = 0;
  switch (body[1]) {
    case 0x62:  // reader reset
    case 0x60:  // power-up step 1
    case 0x6B:  // power-up step 2
      return reader_status(kSw1Done, kSw2Done);
    case 0x61:  // answer-to-reset request: the card is reset and answers
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

  const bool is_get_response = apdu.size() >= 2 && apdu[1] == 0xC0;
  if (options_.busy_polls > 0 && !is_get_response) {
    held_ = std::move(reply);
    busy_left_ = options_.busy_polls;
    return reader_status(kSw1Attention, kSw2Busy);
  }
  return reply;
}

Response ReaderModel::card_answer(std::span<const uint8_t> apdu) {
  // The protocol switch is the reader's own command, not the card's.
  static constexpr uint8_t kSwitch[] = {0x80, 0x14, 0x00, 0x00, 0x01};
  if (apdu.size() == 6 && std::equal(std::begin(kSwitch), std::end(kSwitch), apdu.begin())) {
    if (apdu[5] > 1) return Response{{}, 0x6A86};
    card_.set_protocol(apdu[5] == 1 ? Protocol::t1 : Protocol::t0);
    return Response{{}, 0x9000};
  }
  return card_.execute(apdu);
}

}  // namespace vorkand::sim
