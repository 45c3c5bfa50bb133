// The seam under the reader and card operations: one frame out, the reply and
// its count back (or 0 when no complete reply came).
#pragma once

#include <cstdint>
#include <span>

#include "link/byte_port.h"
#include "link/clock.h"
#include "link/exchange.h"
#include "link/frame.h"

namespace vorkand::link {

class Transport {
 public:
  virtual ~Transport() = default;
  // Returns the reply count (4..256) with the reply in `reply`, or 0. Every
  // kind of transport tells observer() (when set) what it sent, what came
  // back and why an exchange ended without a complete reply.
  virtual int32_t exchange(std::span<const uint8_t> frame,
                           std::span<uint8_t, kMaxReply> reply) noexcept = 0;

  // Who watches the exchanges (the frame trace); nullptr, the default, for nobody.
  void observe(ExchangeObserver* observer) noexcept { observer_ = observer; }
  ExchangeObserver* observer() const noexcept { return observer_; }

 private:
  ExchangeObserver* observer_ = nullptr;
};

// The transport over a real port: exchange_frame with the port and clock given.
class BytePortTransport final : public Transport {
 public:
  BytePortTransport(BytePort& port, Clock& clock) noexcept : port_(port), clock_(clock) {}
  int32_t exchange(std::span<const uint8_t> frame,
                   std::span<uint8_t, kMaxReply> reply) noexcept override {
    return exchange_frame(port_, clock_, frame, reply, observer());
  }

 private:
  BytePort& port_;
  Clock& clock_;
};

// The transport of a value that is not an open handle: sends nothing, no reply.
class DeadTransport final : public Transport {
 public:
  int32_t exchange(std::span<const uint8_t>, std::span<uint8_t, kMaxReply>) noexcept override {
    return 0;
  }
};

}  // namespace vorkand::link
