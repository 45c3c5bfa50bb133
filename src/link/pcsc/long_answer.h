// An answer longer than one reply carries (more than 250 data bytes), handed
// out in parts as a card announces more data: each part but the last ends in
// 61 xx (xx bytes left, 00 for 256 or more), fetched with GET RESPONSE; the
// last part ends in the card's own status word. Nothing is cut, and nothing
// becomes a made-up 90 00.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/reader_wire.h"

namespace vorkand::link::pcsc {

class LongAnswer {
 public:
  static constexpr std::size_t kMaxAnswer = 65536 + 2;  // the longest answer PC/SC gives

  // Where an answer goes before it is split.
  std::span<uint8_t> buffer() noexcept { return answer_; }

  // Whether the answer of `count` bytes in buffer() (data, then SW1 SW2)
  // needs parts.
  static bool too_long(std::size_t count) noexcept { return count - 2 > kMaxReplyData; }

  // Starts handing out the answer of `count` bytes in buffer().
  void start(std::size_t count) noexcept {
    at_ = 0;
    left_ = count - 2;
    sw_ = {answer_[count - 2], answer_[count - 1]};
  }

  bool pending() const noexcept { return left_ > 0; }
  void drop() noexcept { left_ = 0; }

  // The next part, at most `le` data bytes (0: as many as fit), with its
  // status word, into `body`; returns the part's size.
  std::size_t next(uint8_t le, std::span<uint8_t, kMaxReplyData + 2> body) noexcept;

 private:
  std::size_t at_ = 0;
  std::size_t left_ = 0;
  std::array<uint8_t, 2> sw_{};
  std::array<uint8_t, kMaxAnswer> answer_{};
};

}  // namespace vorkand::link::pcsc
