// The two card command exchanges: ICC_command (direction and protocol given by
// the caller) and ICC_tsi_api (mode from the INS byte, head from the protocol
// byte, plus the reset request, the protocol switch and the block-error resend).
//
//   command frame  head mode L APDU 00
//        |
//        v
//   reply 80 xx 02 70 03 (busy) --> poll frame  head M 05 00 00 00 00 00 00,
//        |                          at most 10 times while busy (M: 49 in
//        |                          ICC_command, the command's mode in ICC_tsi_api)
//        v
//   reply body 6D 00 ------------> command frame again, once
//        |
//        v
//   reply 00 92 00 92 / 00 82 00 82 (transparent only)
//        |       '---------------> command frame again, once (head switched
//        |                         for 92), then straight to the evaluation
//        v
//   reply body 61 xx ------------> GET RESPONSE  head 4F 05 00 C0 00 00 xx 00, once
//        |
//        v
//   evaluate the last reply:  80 .. 70 03 -> 6FF0     80 .. 70 01 -> 6200
//                             00/40 data SW1 SW2 -> data, SW1 SW2
//                             00/40 with no room for SW1 SW2 -> 6201
//                             anything else -> 9000, no data
//
// Any step that gets no reply ends the call with FFFF and sends nothing more.
// The longest chain is 13 frames: command, 10 polls, resend, GET RESPONSE.
#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

#include "card/card.h"
#include "card/reply.h"

namespace vorkand::card {
namespace {

using link::kMaxApdu;
constexpr std::size_t kCommandFrameCapacity = kMaxApdu + link::kFrameOverhead;
constexpr std::size_t kCardFrameBody = 5;  // poll and GET RESPONSE bodies
constexpr std::size_t kCardFrameSize = kCardFrameBody + link::kFrameOverhead;
constexpr int kMaxPolls = 10;

constexpr uint8_t kDirectionOut = 1;  // ICC_command's direction: the card returns data
constexpr uint8_t kProtocolT0 = 0;    // ICC_command's protocol: T=0 (head 40)
using link::kInsAt;
using link::kInsGetResponse;
using link::kProtocolSwitch;
using link::kProtocolSwitchDataAt;
using link::kResetRequest;
constexpr std::size_t kGetResponseLeAt = link::kBodyAt + link::kGetResponseLeAt;

constexpr Result kNoReply{kSwNoReply, Source::no_reply};

uint8_t low_byte(int32_t value) noexcept {
  return static_cast<uint8_t>(value & 0xFF);
}

// The APDU's first bytes, when it has them, equal `prefix`.
bool starts_with(std::span<const uint8_t> apdu, std::span<const uint8_t> prefix) noexcept {
  return apdu.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), apdu.begin());
}

uint8_t other_head(uint8_t head) noexcept {
  return head == link::kHeadT1 ? link::kHeadT0 : link::kHeadT1;
}

// One call's frames, its reply and the follow-up steps on that reply. Each
// step returns false when the reader sent no complete reply.
class CardExchange {
 public:
  CardExchange(link::Transport& transport, uint8_t head, uint8_t command_mode, uint8_t poll_mode,
               std::span<const uint8_t> apdu) noexcept
      : transport_(transport), command_size_(apdu.size() + link::kFrameOverhead) {
    command_[link::kHeadAt] = head;
    command_[link::kModeAt] = command_mode;
    command_[link::kLengthAt] = static_cast<uint8_t>(apdu.size());
    std::copy(apdu.begin(), apdu.end(), command_.begin() + link::kBodyAt);
    poll_[link::kHeadAt] = head;
    poll_[link::kModeAt] = poll_mode;
    poll_[link::kLengthAt] = kCardFrameBody;
  }

  Reply reply() const noexcept { return Reply{reply_, count_}; }

  bool send_command() noexcept { return send(command_frame()); }

  // While the reader says 70 03, ask again with the poll frame, at most 10 times.
  bool poll_while_busy() noexcept {
    for (int polls = 0; polls < kMaxPolls && is_busy(reply()); ++polls) {
      if (!send(poll_)) return false;
    }
    return true;
  }

  // 6D 00: the command frame once more, unchanged.
  bool resend_on_request() noexcept { return !is_resend_request(reply()) || send_command(); }

  // After 00 92 00 92 the reader wants the other head, for this resend only;
  // after 00 82 00 82 the same frame again.
  bool resend_after_block_error() noexcept {
    if (reply().mode() == kBlockErrorSwitchHead) {
      command_[link::kHeadAt] = other_head(command_[link::kHeadAt]);
    }
    return send_command();
  }

  // 61 xx: the poll frame becomes GET RESPONSE for xx bytes, sent once.
  bool fetch_more_data() noexcept {
    const Reply r = reply();
    if (!is_more_data(r)) return true;
    poll_[link::kModeAt] = link::kModeOut;
    poll_[link::kBodyAt + 1] = kInsGetResponse;
    poll_[kGetResponseLeAt] = r.body(1);
    return send(poll_);
  }

  // The last reply becomes the result (and the response, for a data reply).
  Result evaluate(uint8_t* response_length, uint8_t* response) const noexcept {
    const Reply r = reply();
    if (r.head() == link::kHeadReader) return evaluate_reader_status(r);
    if (is_data_reply(r)) return deliver_data(r, response_length, response);
    return {kSwOk, Source::unrecognised};
  }

 private:
  std::span<const uint8_t> command_frame() const noexcept {
    return std::span<const uint8_t>(command_).first(command_size_);
  }

  bool send(std::span<const uint8_t> frame) noexcept {
    count_ = exchange(transport_, frame, reply_).count;
    return count_ != 0;
  }

  static Result evaluate_reader_status(const Reply& r) noexcept {
    if (is_busy(r)) return {kSwBusy, Source::reader_busy};
    if (is_refused(r)) return {kSwRefused, Source::reader_refused};
    return {kSwOk, Source::unrecognised};
  }

  // Card data then SW1 SW2. A data reply too short for a status word is out
  // of form: nothing is written and it counts as no answer from the card.
  static Result deliver_data(const Reply& r, uint8_t* response_length, uint8_t* response) noexcept {
    if (r.length() < 2) return {kSwOutOfForm, Source::no_status_word};
    const std::size_t data_length = r.length() - 2u;
    const std::span<const uint8_t> data = r.body_bytes().first(data_length);
    std::copy(data.begin(), data.end(), response);
    *response_length = static_cast<uint8_t>(data_length);
    const auto status = static_cast<uint16_t>(r.body(data_length) << 8 | r.body(data_length + 1));
    return {status, Source::card};
  }

  link::Transport& transport_;
  std::array<uint8_t, kCommandFrameCapacity> command_{};
  std::size_t command_size_;
  std::array<uint8_t, kCardFrameSize> poll_{};
  ReplyBuffer reply_{};
  int32_t count_ = 0;
};

// A protocol switch 80 14 00 00 01 XX: the head the protocol byte takes when
// the card accepts it (XX odd: T=1, head 00; even: T=0, head 40).
struct ProtocolSwitch {
  bool requested = false;
  uint8_t head = link::kHeadT1;
};

ProtocolSwitch protocol_switch_in(std::span<const uint8_t> apdu) noexcept {
  if (apdu.size() <= kProtocolSwitchDataAt || !starts_with(apdu, kProtocolSwitch)) return {};
  const bool t1 = (apdu[kProtocolSwitchDataAt] & 0x01) != 0;
  return {true, t1 ? link::kHeadT1 : link::kHeadT0};
}

uint8_t transparent_mode(std::span<const uint8_t> apdu) noexcept {
  return apdu.size() > kInsAt ? mode_for_ins(apdu[kInsAt]) : link::kModeIn;
}

}  // namespace

Result command(link::Transport& transport, int32_t apdu_length, const uint8_t* apdu,
               uint8_t* response_length, uint8_t* response, int32_t direction,
               int32_t protocol) noexcept {
  *response_length = 0;
  const std::size_t length = low_byte(apdu_length);
  if (length > kMaxApdu) return {kSwWrongLength, Source::wrong_length};
  const uint8_t head = low_byte(protocol) == kProtocolT0 ? link::kHeadT0 : link::kHeadT1;
  const uint8_t mode = low_byte(direction) == kDirectionOut ? link::kModeOut : link::kModeIn;

  CardExchange chain(transport, head, mode, link::kModeIn, {apdu, length});
  const bool answered = chain.send_command() && chain.poll_while_busy() &&
                        chain.resend_on_request() && chain.fetch_more_data();
  if (!answered) return kNoReply;
  return chain.evaluate(response_length, response);
}

Result transparent_command(link::Transport& transport, int32_t apdu_length, const uint8_t* apdu,
                           uint8_t* response_length, uint8_t* response) noexcept {
  const std::span<const uint8_t> bytes{apdu, low_byte(apdu_length)};
  if (starts_with(bytes, kResetRequest)) {
    return {power_up(transport, response_length, response, kMaxResponse), Source::power_up};
  }
  *response_length = 0;
  if (bytes.size() > kMaxApdu) return {kSwWrongLength, Source::wrong_length};
  const ProtocolSwitch protocol_switch = protocol_switch_in(bytes);
  const uint8_t mode = transparent_mode(bytes);

  CardExchange chain(transport, protocol_byte(), mode, mode, bytes);
  bool answered = chain.send_command() && chain.poll_while_busy() && chain.resend_on_request();
  if (answered) {
    answered =
        is_block_error(chain.reply()) ? chain.resend_after_block_error() : chain.fetch_more_data();
  }
  if (!answered) return kNoReply;
  const Result result = chain.evaluate(response_length, response);
  if (protocol_switch.requested && result.source == Source::card && result.status == kSwOk) {
    set_protocol_byte(protocol_switch.head);
  }
  return result;
}

}  // namespace vorkand::card
