#pragma once

#include <cstdint>
#include <span>

#include "link/byte_port.h"
#include "link/clock.h"
#include "link/frame.h"

namespace vorkand::link {

// Why an exchange ended without a complete reply.
enum class Ending : uint8_t {
  silence,        // more than 5000 ms without a new byte
  hang_up,        // the port hung up or failed while the reply was awaited
  overlong,       // the reply would have passed 256 bytes
  write_refused,  // the port refused the frame
};

// Sees what goes over the line during an exchange: the frame about to be
// written, then the bytes gathered (a whole reply, or what came before the
// exchange gave up; nothing when no byte came), then, if the reply was not
// complete, why not. Called on the exchange's own thread; must not block for
// long or throw.
class ExchangeObserver {
 public:
  virtual void sent(std::span<const uint8_t> frame) noexcept = 0;
  virtual void received(std::span<const uint8_t> bytes) noexcept = 0;
  virtual void ended(Ending why) noexcept = 0;

 protected:
  ~ExchangeObserver() = default;
};

// Tells an exchange's observer, when it has one, what happened: one helper
// for every kind of transport, so that each reports alike.
class Watch {
 public:
  explicit Watch(ExchangeObserver* observer) noexcept : observer_(observer) {}
  void sent(std::span<const uint8_t> frame) const noexcept {
    if (observer_ != nullptr) observer_->sent(frame);
  }
  // A complete reply: returns its count.
  int32_t delivered(std::span<const uint8_t> reply) const noexcept {
    if (observer_ != nullptr) observer_->received(reply);
    return static_cast<int32_t>(reply.size());
  }
  // No complete reply: what came before (if anything) and why; returns 0.
  int32_t gave_up(std::span<const uint8_t> gathered, Ending why) const noexcept {
    if (observer_ != nullptr) {
      if (!gathered.empty()) observer_->received(gathered);
      observer_->ended(why);
    }
    return 0;
  }

 private:
  ExchangeObserver* observer_;
};

// Writes one frame and gathers the reader's reply.
//
// Input still waiting from an earlier exchange is discarded before the write.
// The reply is complete once at least 3 bytes are in and the count is at
// least length + 4; the count is taken over whole arrivals, so bytes that came
// with the end of the reply are counted and delivered too. Returns the reply
// count (4..256) with that many bytes in `reply`, or 0 when the count passes
// 256 (what arrived last stays unread), when more than 5000 ms pass without a
// new byte, or at once when the port fails. `reply` is written only on success.
// `observer`, when given, sees the frame, the bytes gathered and the ending.
int32_t exchange_frame(BytePort& port, Clock& clock, std::span<const uint8_t> frame,
                       std::span<uint8_t, kMaxReply> reply,
                       ExchangeObserver* observer = nullptr) noexcept;

}  // namespace vorkand::link
