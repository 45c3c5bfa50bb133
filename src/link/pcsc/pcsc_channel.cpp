#include "link/pcsc/pcsc_channel.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "link/frame.h"
#include "link/handles.h"
#include "link/open_names.h"
#include "link/reader_wire.h"

namespace vorkand::link::pcsc {
namespace {

constexpr std::size_t kMaxReaderName = 256;      // longest reader name accepted, with its zero
constexpr std::size_t kMaxResponse = 65536 + 2;  // the longest answer PC/SC can give

// Reader status bytes, as a serial reader sends them.
constexpr auto& kDone = kStatusDone;
constexpr auto& kRefused = kStatusRefused;

// What a PC/SC result means to the host.
enum class Outcome : uint8_t {
  done,
  refused,  // no card, a card removed, reset or held by another program: the reader refuses
  gone,     // the reader or the PC/SC service is gone, or the line failed: no reply
};

Outcome outcome_of(Long result) noexcept {
  switch (static_cast<uint32_t>(result)) {
    case kSuccess:
      return Outcome::done;
    case kSharingViolation:
    case kNoSmartcard:
    case kUnknownCard:
    case kProtoMismatch:
    case kNotReady:
    case kInvalidAtr:
    case kCardUnsupported:
    case kUnsupportedCard:
    case kUnresponsiveCard:
    case kUnpoweredCard:
    case kCardWasReset:
    case kRemovedCard:
      return Outcome::refused;
    default:
      return Outcome::gone;
  }
}

// The readers this process has open, by name: a second open of one fails.
OpenNames<kMaxReaderName, 256>& open_readers() noexcept {
  static OpenNames<kMaxReaderName, 256> readers;
  return readers;
}

class PcscChannel final : public Channel {
  using Reply = std::span<uint8_t, kMaxReply>;

 public:
  PcscChannel(int32_t handle, const Functions& functions, Context context,
              const char* name) noexcept
      : Channel(handle), functions_(functions), context_(context) {
    std::snprintf(name_.data(), name_.size(), "%s", name);
  }
  ~PcscChannel() override {
    if (claimed_) open_readers().release(name_.data());
  }

  bool claim() noexcept { return claimed_ = open_readers().claim(name_.data()); }

  Transport& transport() noexcept override { return transport_; }

  bool close() noexcept override {
    if (connected_) functions_.disconnect(card_, kResetCard);
    connected_ = false;
    const auto released = static_cast<uint32_t>(functions_.release_context(context_));
    return released != kInvalidHandle;
  }

  void describe(std::span<char> out) const noexcept override {
    if (out.empty()) return;
    if (connected_) {
      std::snprintf(out.data(), out.size(), "pcsc:%s, T=%d, card held exclusively", name_.data(),
                    protocol_ == kProtocolT1 ? 1 : 0);
    } else {
      std::snprintf(out.data(), out.size(), "pcsc:%s, no card connected", name_.data());
    }
  }

 private:
  class FrameTransport final : public Transport {
   public:
    explicit FrameTransport(PcscChannel& channel) noexcept : channel_(channel) {}
    // The trace sees the frames as a serial line would carry them; a reader
    // that cannot answer (unplugged, pcscd gone) counts as a hang-up.
    int32_t exchange(std::span<const uint8_t> frame,
                     std::span<uint8_t, kMaxReply> reply) noexcept override {
      ExchangeObserver* watcher = observer();
      if (watcher != nullptr) watcher->sent(frame);
      const int32_t count = channel_.answer(frame, reply);
      if (watcher != nullptr) {
        if (count > 0) {
          watcher->received(
              std::span<const uint8_t>(reply.data(), static_cast<std::size_t>(count)));
        } else {
          watcher->ended(Ending::hang_up);
        }
      }
      return count;
    }

   private:
    PcscChannel& channel_;
  };

  // One frame in, the reply a serial reader would give out: its count, or 0
  // for no reply.
  int32_t answer(std::span<const uint8_t> frame, std::span<uint8_t, kMaxReply> reply) noexcept {
    if (frame.size() < kFrameOverhead || frame.size() != frame[kLengthAt] + kFrameOverhead) {
      return 0;
    }
    const auto body = frame.subspan(kBodyAt, frame[kLengthAt]);
    switch (frame[kHeadAt]) {
      case kHeadReader:
        pending_left_ = 0;
        return reader_command(body, reply);
      case kHeadT0:
      case kHeadT1:
        return card_frame(frame[kHeadAt], frame[kModeAt], body, reply);
      default:
        return 0;
    }
  }

  int32_t reader_command(std::span<const uint8_t> body, Reply reply) noexcept {
    if (body.size() != kReaderCommandBody || body[0] != kReaderCommandClass) {
      return status(reply, kRefused);
    }
    switch (body[1]) {
      case kReaderReset:
        return reader_there() ? status(reply, kDone) : 0;
      case kPowerUp1:
        return power_up(reply);
      case kPowerUp2:
        if (!connected_) return reader_there() ? status(reply, kRefused) : 0;
        return card_there([&] { return status(reply, kDone); },
                          [&] { return status(reply, kRefused); });
      case kAtrRequest:
        if (!connected_) return reader_there() ? frame_reply(reply, kHeadAtr, kModeReader, {}) : 0;
        return card_there([&] { return frame_reply(reply, kHeadAtr, kModeReader, atr()); },
                          [&] { return frame_reply(reply, kHeadAtr, kModeReader, {}); });
      default:
        return status(reply, kRefused);
    }
  }

  // Connects to the card exclusively, or cold-resets it when connected.
  int32_t power_up(Reply reply) noexcept {
    constexpr Dword kEither = kProtocolT0 | kProtocolT1;
    if (connected_) {
      Dword active = 0;
      switch (outcome_of(
          functions_.reconnect(card_, kShareExclusive, kEither, kUnpowerCard, &active))) {
        case Outcome::done:
          protocol_ = active;
          return status(reply, kDone);
        case Outcome::gone:
          return 0;
        case Outcome::refused:
          drop_card();  // removed, perhaps another one inserted: connect afresh
          break;
      }
    }
    Dword active = 0;
    const Outcome connected = outcome_of(
        functions_.connect(context_, name_.data(), kShareExclusive, kEither, &card_, &active));
    if (connected != Outcome::done) return failed(connected, reply);
    connected_ = true;
    protocol_ = active;
    return status(reply, kDone);
  }

  int32_t card_frame(uint8_t head, uint8_t mode, std::span<const uint8_t> apdu,
                     Reply reply) noexcept {
    if (!connected_) {
      pending_left_ = 0;
      return reader_there() ? status(reply, kRefused) : 0;
    }
    if (apdu.size() == kProtocolSwitchDataAt + 1 &&
        std::equal(kProtocolSwitch.begin(), kProtocolSwitch.end(), apdu.begin())) {
      pending_left_ = 0;
      return switch_protocol(head, mode, apdu[kProtocolSwitchDataAt], reply);
    }
    if (pending_left_ > 0 && is_get_response(apdu)) return rest(head, mode, apdu[4], reply);
    pending_left_ = 0;
    if (apdu.size() < 4) return status(reply, kRefused);  // not an APDU any reader can send

    const IoRequest send{protocol_, sizeof(IoRequest)};
    Dword length = kMaxResponse;
    const Outcome sent =
        outcome_of(functions_.transmit(card_, &send, apdu.data(), static_cast<Dword>(apdu.size()),
                                       nullptr, response_.data(), &length));
    if (sent != Outcome::done) return failed(sent, reply);
    const std::size_t count = std::min<std::size_t>(length, kMaxResponse);
    // No SW1 SW2: not an answer of the card (one that vanished mid-command
    // leaves this), so no reply rather than a made-up one.
    if (count < 2) return 0;
    if (count - 2 <= kMaxReplyData) {
      return frame_reply(reply, head, mode, std::span(response_.data(), count));
    }
    // More data than a reply carries: the first part now, with 61xx as a card
    // announces more data, and the rest on GET RESPONSE; the card's own status
    // word comes with the last part.
    pending_at_ = 0;
    pending_left_ = count - 2;
    pending_sw_ = {response_[count - 2], response_[count - 1]};
    return rest(head, mode, 0, reply);
  }

  static bool is_get_response(std::span<const uint8_t> apdu) noexcept {
    return apdu.size() == kGetResponseLeAt + 1 && apdu[kInsAt] == kInsGetResponse &&
           apdu[2] == 0x00 && apdu[3] == 0x00;
  }

  // The next part of an answer too long for one reply: at most `le` bytes
  // (0: as many as fit).
  int32_t rest(uint8_t head, uint8_t mode, uint8_t le, Reply reply) noexcept {
    std::size_t take = std::min(pending_left_, kMaxReplyData);
    if (le != 0) take = std::min<std::size_t>(take, le);
    std::array<uint8_t, kMaxReplyData + 2> body{};
    std::memcpy(body.data(), response_.data() + pending_at_, take);
    pending_at_ += take;
    pending_left_ -= take;
    if (pending_left_ > 0) {
      body[take] = kMoreDataSw1;
      body[take + 1] = static_cast<uint8_t>(std::min<std::size_t>(pending_left_, 256) & 0xFF);
    } else {
      body[take] = pending_sw_[0];
      body[take + 1] = pending_sw_[1];
    }
    return frame_reply(reply, head, mode, std::span(body.data(), take + 2));
  }

  // 80 14 00 00 01 XX: reconnect asking for T=XX; 90 00 only when it is then
  // the active protocol. Another protocol that the ATR offers needs a warm
  // reset of the card (a new protocol is negotiated only after a reset).
  int32_t switch_protocol(uint8_t head, uint8_t mode, uint8_t wanted_t, Reply reply) noexcept {
    if (wanted_t > 1) return frame_reply(reply, head, mode, kSwitchRefused);
    const Dword wanted = wanted_t == 1 ? kProtocolT1 : kProtocolT0;
    // A protocol the card does not offer is refused without resetting it.
    if (const Outcome read = read_status(); read != Outcome::done) return failed(read, reply);
    if (!atr_protocols(atr()).offers(wanted_t))
      return frame_reply(reply, head, mode, kSwitchRefused);
    const Dword initialization = wanted == protocol_ ? kLeaveCard : kResetCard;
    Dword active = 0;
    const Outcome outcome =
        outcome_of(functions_.reconnect(card_, kShareExclusive, wanted, initialization, &active));
    if (outcome == Outcome::gone) return 0;
    if (outcome == Outcome::done) {
      protocol_ = active;
      return frame_reply(reply, head, mode, active == wanted ? kDone : kSwitchRefused);
    }
    // Refused: the card keeps (or gets back) a protocol it offers.
    active = 0;
    const Outcome kept = outcome_of(functions_.reconnect(
        card_, kShareExclusive, kProtocolT0 | kProtocolT1, kLeaveCard, &active));
    if (kept != Outcome::done) return failed(kept, reply);
    protocol_ = active;
    return frame_reply(reply, head, mode, kSwitchRefused);
  }

  // Whether the reader is still there (a card need not be).
  bool reader_there() noexcept {
    if (connected_) {
      switch (read_status()) {
        case Outcome::done:
          return true;
        case Outcome::refused:
          drop_card();
          return true;
        case Outcome::gone:
          return false;
      }
    }
    ReaderState state{};
    state.reader = name_.data();
    state.current_state = kStateUnaware;
    const auto result = static_cast<uint32_t>(functions_.get_status_change(context_, 0, &state, 1));
    if (result == kTimeout) return true;
    return result == kSuccess && (state.event_state & (kStateUnknown | kStateUnavailable)) == 0;
  }

  // Runs `present` when the connected card still answers, `absent` when it
  // was removed; no reply when the reader is gone.
  template <typename Present, typename Absent>
  int32_t card_there(Present present, Absent absent) noexcept {
    switch (read_status()) {
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
  int32_t failed(Outcome outcome, Reply reply) noexcept {
    if (outcome == Outcome::gone) return 0;
    drop_card();
    return status(reply, kRefused);
  }

  Outcome read_status() noexcept {
    Dword names_length = 0;
    Dword state = 0;
    Dword protocol = 0;
    atr_length_ = kMaxAtr;
    const Outcome outcome = outcome_of(functions_.status(card_, nullptr, &names_length, &state,
                                                         &protocol, atr_.data(), &atr_length_));
    if (outcome != Outcome::done) atr_length_ = 0;
    return outcome;
  }

  std::span<const uint8_t> atr() const noexcept {
    return {atr_.data(), std::min<std::size_t>(atr_length_, kMaxAtr)};
  }

  // The card was removed or reset behind our back: forget the connection.
  void drop_card() noexcept {
    if (connected_) functions_.disconnect(card_, kLeaveCard);
    connected_ = false;
    pending_left_ = 0;
  }

  static int32_t status(Reply reply, std::span<const uint8_t, 2> sw) noexcept {
    return frame_reply(reply, kHeadReader, kModeReader, sw);
  }

  static int32_t frame_reply(Reply reply, uint8_t head, uint8_t mode,
                             std::span<const uint8_t> body) noexcept {
    return build_frame(reply, head, mode, body);
  }

  const Functions& functions_;
  Context context_;
  CardHandle card_{};
  bool connected_ = false;
  bool claimed_ = false;
  Dword protocol_ = 0;
  std::array<char, kMaxReaderName> name_{};
  FrameTransport transport_{*this};
  Dword atr_length_ = 0;
  std::array<uint8_t, kMaxAtr> atr_{};
  // An answer too long for one reply: where its rest starts, how much is left,
  // and the card's status word that ends it.
  std::size_t pending_at_ = 0;
  std::size_t pending_left_ = 0;
  std::array<uint8_t, 2> pending_sw_{};
  std::array<uint8_t, kMaxResponse> response_{};
};

// Copies into `chosen` the reader `wanted` names among those PC/SC lists.
bool choose_reader(const Functions& functions, Context context, std::string_view wanted,
                   std::span<char> chosen) noexcept {
  for (int attempt = 0; attempt < 3; ++attempt) {
    Dword length = 0;
    if (outcome_of(functions.list_readers(context, nullptr, nullptr, &length)) != Outcome::done ||
        length == 0) {
      return false;
    }
    std::unique_ptr<char[]> list(new (std::nothrow) char[length + 1]);
    if (!list) return false;
    const auto listed =
        static_cast<uint32_t>(functions.list_readers(context, nullptr, list.get(), &length));
    if (listed == kInsufficientBuffer) continue;  // a reader arrived in between
    if (listed != kSuccess) return false;
    list[length] = '\0';

    std::string_view match;
    int containing = 0;
    for (const char* at = list.get(); at < list.get() + length && *at != '\0';) {
      const std::string_view name(at);
      at += name.size() + 1;
      if (wanted.empty() || name == wanted) {
        match = name;
        containing = 1;
        break;
      }
      if (name.find(wanted) != std::string_view::npos) {
        match = name;
        ++containing;
      }
    }
    if (containing != 1 || match.size() >= chosen.size()) return false;
    std::memcpy(chosen.data(), match.data(), match.size());
    chosen[match.size()] = '\0';
    return true;
  }
  return false;
}

}  // namespace

Channel* open_reader(const Functions& functions, std::string_view wanted) noexcept {
  Context context{};
  if (outcome_of(functions.establish_context(kScopeSystem, nullptr, nullptr, &context)) !=
      Outcome::done) {
    return nullptr;
  }
  std::array<char, kMaxReaderName> name{};
  PcscChannel* channel = nullptr;
  if (choose_reader(functions, context, wanted, name)) {
    channel = new (std::nothrow) PcscChannel(unused_handle(), functions, context, name.data());
  }
  if (channel == nullptr) {
    functions.release_context(context);
    return nullptr;
  }
  if (!channel->claim()) {
    channel->close();
    delete channel;
    return nullptr;
  }
  return channel;
}

Channel* open_pcsc(const char* mapping) noexcept {
  const Functions* functions = system_functions();
  if (functions == nullptr) return nullptr;
  std::string_view wanted(mapping);
  wanted.remove_prefix(std::min(wanted.size(), kPcscPrefix.size()));
  return open_reader(*functions, wanted);
}

}  // namespace vorkand::link::pcsc
