#pragma once

#include <cstdint>
#include <span>

#include "link/frame.h"
#include "link/port.h"

namespace vorkand::link {

// Writes one frame and gathers the reader's reply.
//
// Input still waiting from an earlier exchange is discarded before the write.
// The reply is complete once at least 3 bytes are in and the count is at
// least length + 4; the count is taken over whole arrivals, so bytes that came
// with the end of the reply are counted and delivered too. Returns the reply
// count (4..256) with that many bytes in `reply`, or 0 when the count passes
// 256 (what arrived last stays unread), when more than 5000 ms pass without a
// new byte, or at once when the port fails. `reply` is written only on success.
int32_t exchange_frame(Port& port, Clock& clock, std::span<const uint8_t> frame,
                       std::span<uint8_t, kMaxReply> reply) noexcept;

}  // namespace vorkand::link
