// A PC/SC reader as a channel: the card session on the reader, the serial
// reader emulated over it, and the frames through the observer as a serial
// line would carry them.
#include "link/pcsc/pcsc_channel.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>

#include "link/open_names.h"
#include "link/pcsc/card_session.h"
#include "link/pcsc/reader_emulation.h"

namespace vorkand::link::pcsc {
namespace {

constexpr std::size_t kMaxReaderName = PcscSession::kMaxReaderName;

// The readers this process has open, by name: a second open of one fails.
OpenNames<kMaxReaderName, 256>& open_readers() noexcept {
  static OpenNames<kMaxReaderName, 256> readers;
  return readers;
}

class PcscChannel final : public Channel {
 public:
  PcscChannel(int32_t handle, const Functions& functions, Context context,
              const char* name) noexcept
      : Channel(handle), session_(functions, context, name) {}
  ~PcscChannel() override {
    if (claimed_) open_readers().release(session_.name());
  }

  bool claim() noexcept { return claimed_ = open_readers().claim(session_.name()); }

  Transport& transport() noexcept override { return transport_; }

  bool close() noexcept override { return session_.close(); }

  void describe(std::span<char> out) const noexcept override {
    if (out.empty()) return;
    if (session_.connected()) {
      std::snprintf(out.data(), out.size(), "pcsc:%s, T=%d, card held exclusively", session_.name(),
                    session_.protocol() == kT1 ? 1 : 0);
    } else {
      std::snprintf(out.data(), out.size(), "pcsc:%s, no card connected", session_.name());
    }
  }

 private:
  // The trace sees the frames as a serial line would carry them; a reader
  // that cannot answer (unplugged, pcscd gone) counts as a hang-up.
  class FrameTransport final : public Transport {
   public:
    explicit FrameTransport(ReaderEmulation& reader) noexcept : reader_(reader) {}
    int32_t exchange(std::span<const uint8_t> frame,
                     std::span<uint8_t, kMaxReply> reply) noexcept override {
      const Watch watch(observer());
      watch.sent(frame);
      const int32_t count = reader_.answer(frame, reply);
      if (count <= 0) return watch.gave_up({}, Ending::hang_up);
      return watch.delivered(
          std::span<const uint8_t>(reply).first(static_cast<std::size_t>(count)));
    }

   private:
    ReaderEmulation& reader_;
  };

  PcscSession session_;
  ReaderEmulation reader_{session_};
  FrameTransport transport_{reader_};
  bool claimed_ = false;
};

}  // namespace

Channel* open_reader(const Functions& functions, std::string_view wanted, int32_t handle,
                     OpenFailure* why) noexcept {
  OpenFailure ignored;
  OpenFailure& failure = why != nullptr ? *why : ignored;
  Context context{};
  if (outcome_of(functions.establish_context(kScopeSystem, nullptr, nullptr, &context)) !=
      Outcome::done) {
    failure.say("no PC/SC service: the PC/SC daemon is not running");
    return nullptr;
  }
  std::array<char, kMaxReaderName> name{};
  PcscChannel* channel = nullptr;
  if (choose_reader(functions, context, wanted, name, failure)) {
    channel = new (std::nothrow) PcscChannel(handle, functions, context, name.data());
  }
  if (channel == nullptr) {
    functions.release_context(context);
    return nullptr;
  }
  if (!channel->claim()) {
    failure.say("reader busy: \"%s\" is open already in this process", name.data());
    channel->close();
    delete channel;
    return nullptr;
  }
  return channel;
}

Channel* open_pcsc(const char* mapping, int32_t handle, OpenFailure& why) noexcept {
  const Functions* functions = system_functions();
  if (functions == nullptr) {
    why.say("no PC/SC service: the PC/SC library is not installed");
    return nullptr;
  }
  std::string_view wanted(mapping);
  wanted.remove_prefix(std::min(wanted.size(), kPcscPrefix.size()));
  return open_reader(*functions, wanted, handle, &why);
}

}  // namespace vorkand::link::pcsc
