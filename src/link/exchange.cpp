// One frame out, its reply in.
//
//   discard stale input -> write the frame -> loop:
//     bytes waiting? take the whole arrival (unless it would pass 256 bytes)
//     complete (count >= 3 and count >= length + 4)? deliver the count
//     silent for more than 5000 ms? give up with 0
//     wait for input, at most until the silence limit would be passed
//
// Any failure of the port itself (write refused, hang-up, failed query or
// read) ends the exchange with 0 at once: nothing more can arrive, so waiting
// out the silence limit would only delay the caller.
#include "link/exchange.h"

#include <algorithm>
#include <array>

namespace vorkand::link {
namespace {

bool is_complete(std::span<const uint8_t> gathered) noexcept {
  if (gathered.size() <= kLengthAt) return false;
  return gathered.size() >= gathered[kLengthAt] + kFrameOverhead;
}

}  // namespace

int32_t exchange_frame(BytePort& port, Clock& clock, std::span<const uint8_t> frame,
                       std::span<uint8_t, kMaxReply> reply, ExchangeObserver* observer) noexcept {
  // A late reply to an earlier command must never pass for the reply to this one.
  port.discard_input();
  const Watch watch(observer);
  watch.sent(frame);
  if (!port.write_all(frame)) return watch.gave_up({}, Ending::write_refused);

  std::array<uint8_t, kMaxReply> area;
  std::size_t count = 0;
  uint32_t last_arrival = clock.now_ms();

  for (;;) {
    const std::span<const uint8_t> before(area.data(), count);
    const int32_t waiting = port.bytes_waiting();
    if (waiting < 0) return watch.gave_up(before, Ending::hang_up);
    if (waiting > 0) {
      const auto arrival = static_cast<std::size_t>(waiting);
      // The cap comes before completion: an arrival that would carry the
      // reply past 256 bytes ends the exchange and stays unread.
      if (arrival > kMaxReply - count) return watch.gave_up(before, Ending::overlong);
      const int32_t got = port.read(std::span<uint8_t>(area).subspan(count, arrival));
      // A port that reports input but delivers none is broken, not slow.
      if (got <= 0) return watch.gave_up(before, Ending::hang_up);
      count += std::min(static_cast<std::size_t>(got), arrival);
      last_arrival = clock.now_ms();
    }

    const std::span<const uint8_t> gathered(area.data(), count);
    if (is_complete(gathered)) {
      std::copy(gathered.begin(), gathered.end(), reply.begin());
      return watch.delivered(gathered);
    }

    // Unsigned difference: a wrap of the millisecond counter changes nothing.
    const uint32_t silent = clock.now_ms() - last_arrival;
    if (silent > kSilenceLimitMs) return watch.gave_up(gathered, Ending::silence);
    // Sleep until input comes or until the silence has just passed the limit.
    if (port.wait_readable(kSilenceLimitMs - silent + 1) == BytePort::Wait::failed) {
      return watch.gave_up(gathered, Ending::hang_up);
    }
  }
}

}  // namespace vorkand::link
