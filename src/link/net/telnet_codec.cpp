#include "link/net/telnet_codec.h"

#include <algorithm>

namespace vorkand::link::net {

using namespace telnet;

Incoming TelnetDecoder::push(uint8_t byte) noexcept {
  switch (state_) {
    case State::data:
      if (byte == kIac) {
        state_ = State::command;
        return {};
      }
      return {Incoming::Kind::data, byte};
    case State::command:
      return after_iac(byte);
    case State::option: {
      state_ = State::data;
      constexpr Incoming::Kind kinds[] = {Incoming::Kind::will, Incoming::Kind::wont,
                                          Incoming::Kind::do_, Incoming::Kind::dont};
      return {kinds[verb_ - kWill], byte};
    }
    case State::sb_option:
      sb_option_ = byte;
      body_length_ = 0;
      state_ = State::sb_body;
      return {};
    case State::sb_body:
      if (byte == kIac) {
        state_ = State::sb_iac;
      } else if (body_length_ < kMaxBody) {
        body_[body_length_++] = byte;
      }
      return {};
    case State::sb_iac:
      if (byte == kIac) {
        if (body_length_ < kMaxBody) body_[body_length_++] = byte;
        state_ = State::sb_body;
        return {};
      }
      if (byte == kSe) {
        state_ = State::data;
        return {Incoming::Kind::subnegotiation, sb_option_};
      }
      // Any other command ends the subnegotiation unfinished; the command
      // itself still counts.
      return after_iac(byte);
  }
  return {};
}

Incoming TelnetDecoder::after_iac(uint8_t byte) noexcept {
  if (byte == kIac) {
    state_ = State::data;
    return {Incoming::Kind::data, kIac};
  }
  if (byte >= kWill && byte <= kDont) {
    verb_ = byte;
    state_ = State::option;
    return {};
  }
  if (byte == kSb) {
    state_ = State::sb_option;
    return {};
  }
  state_ = State::data;
  return {Incoming::Kind::command, byte};
}

std::size_t escape(std::span<const uint8_t> data, std::span<uint8_t> out,
                   std::size_t& written) noexcept {
  written = 0;
  std::size_t taken = 0;
  for (const uint8_t byte : data) {
    const std::size_t need = byte == kIac ? 2 : 1;
    if (need > out.size() - written) break;
    out[written++] = byte;
    if (byte == kIac) out[written++] = kIac;
    ++taken;
  }
  return taken;
}

std::size_t com_port_command(uint8_t command, std::span<const uint8_t> value,
                             std::span<uint8_t> out) noexcept {
  if (value.size() > 4) return 0;
  std::array<uint8_t, kMaxComPortCommand> built{kIac, kSb, kComPort, command};
  std::size_t length = 4;
  std::size_t escaped = 0;
  // Room is kept for the closing IAC SE: the value is escaped into the rest.
  constexpr std::size_t kClosing = 2;
  escape(value, std::span<uint8_t>(built).subspan(length, built.size() - length - kClosing),
         escaped);
  length += escaped;
  if (length + kClosing > built.size()) return 0;
  built[length++] = kIac;
  built[length++] = kSe;
  if (length > out.size()) return 0;
  std::copy_n(built.begin(), length, out.begin());
  return length;
}

namespace {

constexpr int kBinaryIndex = 0;
constexpr int kComPortIndex = 2;

std::size_t put_verb(uint8_t verb, uint8_t option, std::span<uint8_t> out) noexcept {
  out[0] = kIac;
  out[1] = verb;
  out[2] = option;
  return 3;
}

// The line settings, in the order they are requested.
struct Setting {
  uint8_t command;
  std::array<uint8_t, 4> value;
  uint8_t size;
};
constexpr std::array<Setting, 5> kSettings{{
    {comport::kSetBaudRate, {0x00, 0x00, 0x25, 0x80}, 4},  // 9600
    {comport::kSetDataSize, {8}, 1},
    {comport::kSetParity, {comport::kParityEven}, 1},
    {comport::kSetStopSize, {comport::kStopOne}, 1},
    {comport::kSetControl, {comport::kNoFlowControl}, 1},
}};
constexpr uint8_t kAllAcknowledged = (1u << kSettings.size()) - 1;

}  // namespace

int ClientNegotiation::tracked_index(uint8_t option) noexcept {
  switch (option) {
    case kBinary:
      return kBinaryIndex;
    case kSuppressGoAhead:
      return 1;
    case kComPort:
      return kComPortIndex;
    default:
      return -1;
  }
}

std::size_t ClientNegotiation::opening(std::span<uint8_t> out) noexcept {
  if (out.size() < kOpeningSize) return 0;
  put_verb(kWill, kBinary, out);
  put_verb(kDo, kBinary, out.subspan(3));
  put_verb(kWill, kComPort, out.subspan(6));
  ours_[kBinaryIndex].asked = !ours_[kBinaryIndex].enabled;
  theirs_[kBinaryIndex].asked = !theirs_[kBinaryIndex].enabled;
  ours_[kComPortIndex].asked = !ours_[kComPortIndex].enabled;
  return kOpeningSize;
}

std::size_t ClientNegotiation::answer(Incoming::Kind verb, uint8_t option,
                                      std::span<uint8_t, kMaxAnswer> out) noexcept {
  const int index = tracked_index(option);
  const bool ours = verb == Incoming::Kind::do_ || verb == Incoming::Kind::dont;
  // We use all three tracked options; the server may use binary and
  // suppress-go-ahead, but COM-PORT-OPTION is ours to offer.
  const bool acceptable = index >= 0 && (ours || index != kComPortIndex);
  const bool enable = verb == Incoming::Kind::do_ || verb == Incoming::Kind::will;
  const uint8_t yes = ours ? kWill : kDo;
  const uint8_t no = ours ? kWont : kDont;

  if (!acceptable) {
    // Never in force: refuse a request, ignore a refusal.
    return enable ? put_verb(no, option, out) : 0;
  }
  Side& side = ours ? ours_[index] : theirs_[index];
  if (enable) {
    if (side.enabled) return 0;  // already agreed: no answer, or we would loop
    side.enabled = true;
    if (side.asked) {
      side.asked = false;  // the answer to our request
      return 0;
    }
    return put_verb(yes, option, out);
  }
  if (!side.enabled && !side.asked) return 0;
  const bool was_asked = side.asked;
  side = Side{};
  if (index == kBinaryIndex || index == kComPortIndex) refused_ = true;
  return was_asked ? 0 : put_verb(no, option, out);
}

bool ClientNegotiation::agreed() const noexcept {
  return ours_[kBinaryIndex].enabled && theirs_[kBinaryIndex].enabled &&
         ours_[kComPortIndex].enabled;
}

std::size_t ClientNegotiation::line_settings(std::span<uint8_t> out) noexcept {
  std::size_t length = 0;
  for (const Setting& setting : kSettings) {
    const std::size_t built = com_port_command(
        setting.command, std::span(setting.value.data(), setting.size), out.subspan(length));
    if (built == 0) return 0;
    length += built;
  }
  return length;
}

void ClientNegotiation::take_com_port(std::span<const uint8_t> body) noexcept {
  if (body.empty() || body[0] <= comport::kServerOffset) return;
  const auto command = static_cast<uint8_t>(body[0] - comport::kServerOffset);
  for (std::size_t i = 0; i < kSettings.size(); ++i) {
    const Setting& setting = kSettings[i];
    if (setting.command != command) continue;
    const auto value = body.subspan(1);
    if (std::ranges::equal(value, std::span(setting.value.data(), setting.size))) {
      acknowledged_ |= static_cast<uint8_t>(1u << i);
    } else {
      settings_refused_ = true;
    }
  }
}

bool ClientNegotiation::settings_acknowledged() const noexcept {
  return !settings_refused_ && acknowledged_ == kAllAcknowledged;
}

}  // namespace vorkand::link::net
