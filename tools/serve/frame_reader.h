// Gathers a client's frames one at a time from its byte stream: head, mode and
// length first, then the body the length announces and the trailer. It hands
// out only the room the current frame still needs, so a read never takes a
// byte of the next frame, and it refuses a length no host sends (more than the
// longest APDU) before reading its body. No allocation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/frame.h"
#include "link/reader_wire.h"

namespace vorkand::serve {

class FrameReader {
 public:
  static constexpr std::size_t kMaxBody = link::kMaxApdu;
  static constexpr std::size_t kMaxFrame = kMaxBody + link::kFrameOverhead;

  enum class State : uint8_t {
    need_more,  // the frame is not complete yet: read into space() again
    frame,      // frame() holds a whole frame; the next space() starts another
    overlong,   // the length byte announces more than kMaxBody: stop reading
  };

  // Where the next bytes go: at least one byte, never past the current frame.
  std::span<uint8_t> space() noexcept {
    if (state_ != State::need_more) {
      have_ = 0;
      want_ = link::kBodyAt;
      state_ = State::need_more;
    }
    return std::span(buffer_).subspan(have_, want_ - have_);
  }

  // `count` bytes (at most space().size()) were written into space().
  State took(std::size_t count) noexcept {
    have_ += count < want_ - have_ ? count : want_ - have_;
    if (have_ == link::kBodyAt && want_ == link::kBodyAt) {
      const std::size_t length = buffer_[link::kLengthAt];
      if (length > kMaxBody) return state_ = State::overlong;
      want_ = length + link::kFrameOverhead;
    }
    if (have_ == want_) state_ = State::frame;
    return state_;
  }

  // The whole frame, once took() said State::frame.
  std::span<const uint8_t> frame() const noexcept { return std::span(buffer_).first(have_); }
  // The length byte of a frame refused as overlong.
  uint8_t announced_length() const noexcept { return buffer_[link::kLengthAt]; }
  // True while part of a frame is in.
  bool partial() const noexcept { return state_ == State::need_more && have_ > 0; }

 private:
  std::array<uint8_t, kMaxFrame> buffer_{};
  std::size_t have_ = 0;
  std::size_t want_ = link::kBodyAt;
  State state_ = State::need_more;
};

}  // namespace vorkand::serve
