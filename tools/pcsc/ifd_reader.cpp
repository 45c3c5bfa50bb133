#include "ifd_reader.h"

#include <algorithm>

#include "card/card.h"
#include "link/frame.h"
#include "link/reader_wire.h"

namespace vorkand::pcsc {

int com_index(std::string_view name) noexcept {
  if (!name.empty() && name.back() == ':') name.remove_suffix(1);
  return link::com_index(name);
}

Protocol first_offered_protocol(std::span<const uint8_t> atr) noexcept {
  return link::atr_protocols(atr).first == 1 ? Protocol::t1 : Protocol::t0;
}

Outcome IfdReader::open() noexcept {
  const uint16_t status = card::reset_reader(transport_);
  if (status == card::kSwOk) return Outcome::ok;
  return status == card::kSwNoReply ? Outcome::no_reply : Outcome::reader_error;
}

Outcome IfdReader::power_up() noexcept {
  attempted_ = true;
  last_attempt_ms_ = clock_.now_ms();
  atr_length_ = 0;
  card_known_ = false;

  // A resource manager takes no ATR longer than ISO 7816-3 allows: the
  // library refuses a longer one as out of form, writing nothing past atr_.
  uint8_t length = 0;
  const uint16_t status = card::power_up(transport_, &length, atr_.data(), atr_.size());
  if (status == card::kSwNoReply) return Outcome::no_reply;
  if (status != card::kSwOk || length == 0) return Outcome::power_failed;

  atr_length_ = length;
  card_known_ = true;
  protocol_ = first_offered_protocol(this->atr());
  return Outcome::ok;
}

void IfdReader::power_down() noexcept {
  atr_length_ = 0;
}

bool IfdReader::poll_presence() noexcept {
  if (card_known_) return true;
  // Unsigned difference: correct across the clock's wrap-around.
  if (attempted_ && clock_.now_ms() - last_attempt_ms_ < kPresenceRetryMs) return false;
  return power_up() == Outcome::ok;
}

Outcome IfdReader::set_protocol(Protocol protocol) noexcept {
  if (atr_length_ == 0) return Outcome::not_powered;
  return protocol == first_offered_protocol(atr()) ? Outcome::ok : Outcome::protocol_refused;
}

Outcome IfdReader::transmit(std::span<const uint8_t> apdu, std::span<uint8_t> reply,
                            std::size_t& reply_length) noexcept {
  reply_length = 0;
  if (apdu.size() < kMinApdu || apdu.size() > kMaxApdu) return Outcome::apdu_refused;
  if (atr_length_ == 0) return Outcome::not_powered;

  const int32_t direction = card::mode_for_ins(apdu[1]) == link::kModeOut ? 1 : 0;
  const int32_t protocol = protocol_ == Protocol::t1 ? 1 : 0;
  std::array<uint8_t, link::kMaxReply> data{};
  uint8_t data_length = 0;
  const card::Result result =
      card::command(transport_, static_cast<int32_t>(apdu.size()), apdu.data(), &data_length,
                    data.data(), direction, protocol);

  // Only a status word the card sent reaches the client; the library's own
  // reader-level outcomes become errors, never a made-up status word.
  switch (result.source) {
    case card::Source::card:
      break;
    case card::Source::no_reply:
      return Outcome::no_reply;
    default:
      return Outcome::reader_error;
  }
  if (reply.size() < std::size_t{data_length} + 2) return Outcome::buffer_too_small;
  std::copy_n(data.begin(), data_length, reply.begin());
  reply[data_length] = static_cast<uint8_t>(result.status >> 8);
  reply[data_length + 1u] = static_cast<uint8_t>(result.status & 0xFF);
  reply_length = std::size_t{data_length} + 2;
  return Outcome::ok;
}

}  // namespace vorkand::pcsc
