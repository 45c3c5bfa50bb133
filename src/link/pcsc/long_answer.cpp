#include "link/pcsc/long_answer.h"

#include <algorithm>
#include <cstring>

namespace vorkand::link::pcsc {

std::size_t LongAnswer::next(uint8_t le, std::span<uint8_t, kMaxReplyData + 2> body) noexcept {
  std::size_t take = std::min(left_, kMaxReplyData);
  if (le != 0) take = std::min<std::size_t>(take, le);
  std::memcpy(body.data(), answer_.data() + at_, take);
  at_ += take;
  left_ -= take;
  if (left_ > 0) {
    body[take] = kMoreDataSw1;
    body[take + 1] = static_cast<uint8_t>(std::min<std::size_t>(left_, 256) & 0xFF);
  } else {
    body[take] = sw_[0];
    body[take + 1] = sw_[1];
  }
  return take + 2;
}

}  // namespace vorkand::link::pcsc
