#include "link/pcsc/card_session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace vorkand::link::pcsc {
namespace {

Dword disposition(Reset reset) noexcept {
  switch (reset) {
    case Reset::leave:
      return kLeaveCard;
    case Reset::warm:
      return kResetCard;
    case Reset::cold:
      return kUnpowerCard;
  }
  return kLeaveCard;
}

}  // namespace

PcscSession::PcscSession(const Functions& functions, Context context, const char* name) noexcept
    : functions_(functions), context_(context) {
  std::snprintf(name_, sizeof name_, "%s", name);
}

bool PcscSession::close() noexcept {
  disconnect(Reset::warm);
  const auto released = static_cast<uint32_t>(functions_.release_context(context_));
  return released != kInvalidHandle;
}

Outcome PcscSession::connect() noexcept {
  Dword active = 0;
  const Outcome outcome = outcome_of(
      functions_.connect(context_, name_, kShareExclusive, kEitherProtocol, &card_, &active));
  if (outcome == Outcome::done) {
    connected_ = true;
    protocol_ = active;
  }
  return outcome;
}

Outcome PcscSession::reconnect(uint8_t wanted, Reset reset) noexcept {
  Dword active = 0;
  const Outcome outcome =
      outcome_of(functions_.reconnect(card_, kShareExclusive, wanted, disposition(reset), &active));
  if (outcome == Outcome::done) protocol_ = active;
  return outcome;
}

Outcome PcscSession::read_status() noexcept {
  Dword names_length = 0;
  Dword state = 0;
  Dword protocol = 0;
  atr_length_ = kMaxAtr;
  const Outcome outcome = outcome_of(
      functions_.status(card_, nullptr, &names_length, &state, &protocol, atr_, &atr_length_));
  if (outcome != Outcome::done) atr_length_ = 0;
  return outcome;
}

std::span<const uint8_t> PcscSession::atr() const noexcept {
  return {atr_, std::min<std::size_t>(atr_length_, kMaxAtr)};
}

bool PcscSession::reader_listed() noexcept {
  ReaderState state{};
  state.reader = name_;
  state.current_state = kStateUnaware;
  const auto result = static_cast<uint32_t>(functions_.get_status_change(context_, 0, &state, 1));
  if (result == kTimeout) return true;
  return result == kSuccess && (state.event_state & (kStateUnknown | kStateUnavailable)) == 0;
}

Outcome PcscSession::transmit(std::span<const uint8_t> apdu, std::span<uint8_t> response,
                              std::size_t& length) noexcept {
  const IoRequest send{protocol_, sizeof(IoRequest)};
  auto room = static_cast<Dword>(response.size());
  const Outcome sent = outcome_of(functions_.transmit(
      card_, &send, apdu.data(), static_cast<Dword>(apdu.size()), nullptr, response.data(), &room));
  length = sent == Outcome::done ? std::min<std::size_t>(room, response.size()) : 0;
  return sent;
}

void PcscSession::disconnect(Reset reset) noexcept {
  if (connected_) {
    functions_.disconnect(card_, reset == Reset::leave ? kLeaveCard : kResetCard);
  }
  connected_ = false;
}

namespace {

// The names in a PC/SC reader list, or those containing `wanted`, as
// "\"A\", \"B\"" for the reason an open failed.
void say_names(OpenFailure& why, const char* format, std::string_view wanted, const char* list,
               std::size_t length, bool containing_only) noexcept {
  std::array<char, OpenFailure::kRoom> names{};
  std::size_t used = 0;
  for (const char* at = list; at < list + length && *at != '\0';) {
    const std::string_view name(at);
    at += name.size() + 1;
    if (containing_only && name.find(wanted) == std::string_view::npos) continue;
    const int added =
        std::snprintf(names.data() + used, names.size() - used, "%s\"%.*s\"", used == 0 ? "" : ", ",
                      static_cast<int>(name.size()), name.data());
    if (added < 0 || static_cast<std::size_t>(added) >= names.size() - used) break;
    used += static_cast<std::size_t>(added);
  }
  why.say(format, static_cast<int>(wanted.size()), wanted.data(), names.data());
}

}  // namespace

bool choose_reader(const Functions& functions, Context context, std::string_view wanted,
                   std::span<char> chosen, OpenFailure& why) noexcept {
  for (int attempt = 0; attempt < 3; ++attempt) {
    Dword length = 0;
    if (outcome_of(functions.list_readers(context, nullptr, nullptr, &length)) != Outcome::done ||
        length == 0) {
      why.say("no reader matches \"%.*s\": PC/SC lists no reader", static_cast<int>(wanted.size()),
              wanted.data());
      return false;
    }
    std::unique_ptr<char[]> list(new (std::nothrow) char[length + 1]);
    if (!list) {
      why.say("out of memory for the reader list");
      return false;
    }
    const auto listed =
        static_cast<uint32_t>(functions.list_readers(context, nullptr, list.get(), &length));
    if (listed == kInsufficientBuffer) continue;  // a reader arrived in between
    if (listed != kSuccess) {
      why.say("PC/SC could not list the readers: %s",
              listed == kNoService ? "no service" : "failed");
      return false;
    }
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
    if (containing == 0) {
      say_names(why, "no reader matches \"%.*s\" (readers: %s)", wanted, list.get(), length, false);
    } else if (containing > 1) {
      say_names(why, "several readers match \"%.*s\": %s", wanted, list.get(), length, true);
    }
    if (containing == 1 && match.size() >= chosen.size()) {
      why.say("the name of the reader matching \"%.*s\" is longer than %u bytes",
              static_cast<int>(wanted.size()), wanted.data(),
              static_cast<unsigned>(chosen.size() - 1));
    }
    if (containing != 1 || match.size() >= chosen.size()) return false;
    std::memcpy(chosen.data(), match.data(), match.size());
    chosen[match.size()] = '\0';
    return true;
  }
  why.say("the reader list kept changing while it was read");
  return false;
}

}  // namespace vorkand::link::pcsc
