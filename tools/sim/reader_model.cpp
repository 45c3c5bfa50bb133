#include "sim/reader_model.h"

#include <algorithm>
#include <utility>

namespace vorkand::sim {
namespace {

constexpr uint8_t kHeadReader = 0x80;
constexpr uint8_t kHeadAtr = 0x70;
constexpr uint8_t kHeadT1 = 0x00;
constexpr uint8_t kHeadT0 = 0x40;
constexpr std::size_t kMaxBody = 252;  // a reply holds at most 256 bytes

bool is_poll(std::span<const uint8_t> apdu) {
  return apdu.size() == 5 &&
         std::all_of(apdu.begin(), apdu.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

std::vector<uint8_t> make_frame(uint8_t head, uint8_t mode, std::span<const uint8_t> body) {
  std::vector<uint8_t> frame;
  frame.reserve(body.size() + 4);
  frame.push_back(head);
  frame.push_back(mode);
  frame.push_back(static_cast<uint8_t>(body.size()));
  for (uint8_t b : body) frame.push_back(b);
  frame.push_back(0x00);
  return frame;
}

std::vector<uint8_t> reader_status(uint8_t sw1, uint8_t sw2) {
  const uint8_t body[] = {sw1, sw2};
  return make_frame(kHeadReader, 0x00, body);
}

ReaderModel::ReaderModel(CardModel card, ReaderOptions options)
    : card_(std::move(card)), options_(options) {}

std::vector<uint8_t> ReaderModel::on_frame(std::span<const uint8_t> frame) {
  if (frame.size() < 4 || frame.size() != static_cast<std::size_t>(frame[2]) + 4) return {};
  const auto body = frame.subspan(3, frame[2]);
  switch (frame[0]) {
    case kHeadReader:
      return reader_command(body);
    case kHeadT1:
    case kHeadT0:
      return card_frame(frame[0], frame[1], body);
    default:
      return {};
  }
}

std::vector<uint8_t> ReaderModel::reader_command(std::span<const uint8_t> body) {
  if (body.size() != 4 || body[0] != 0x80) return reader_status(0x70, 0x01);
  held_.clear();
  busy_left_ = 0;
  switch (body[1]) {
    case 0x62:  // reader reset
    case 0x60:  // power-up step 1
    case 0x6B:  // power-up step 2
      return reader_status(0x90, 0x00);
    case 0x61:  // answer-to-reset request: the card is reset and answers
      card_.reset();
      return make_frame(kHeadAtr, 0x00, card_.atr());
    default:
      return reader_status(0x70, 0x01);
  }
}

std::vector<uint8_t> ReaderModel::card_frame(uint8_t head, uint8_t mode,
                                             std::span<const uint8_t> apdu) {
  if (!held_.empty() && is_poll(apdu)) {
    if (--busy_left_ > 0) return reader_status(0x70, 0x03);
    return std::exchange(held_, {});
  }
  held_.clear();

  if (!injections_.empty()) {
    const Injection injection = injections_.front();
    injections_.pop_front();
    switch (injection) {
      case Injection::resend: {
        const uint8_t body[] = {0x6D, 0x00};
        return make_frame(head, mode, body);
      }
      case Injection::block_error_92:
        return {0x00, 0x92, 0x00, 0x92};
      case Injection::block_error_82:
        return {0x00, 0x82, 0x00, 0x82};
    }
  }
  if (options_.strict_head) {
    const uint8_t expected = card_.protocol() == Protocol::t1 ? kHeadT1 : kHeadT0;
    if (head != expected) return {0x00, 0x92, 0x00, 0x92};
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
    return reader_status(0x70, 0x03);
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
