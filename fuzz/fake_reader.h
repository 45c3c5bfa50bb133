// A scripted reader for the card harness: a transport that answers each frame
// with the next reply of a script, or with no reply once the script ends.
// Every reply keeps the gatherer's promise: a count of 4..256 that is at
// least the reply's length byte + 4 (or 0, no reply).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "check.h"
#include "link/transport.h"

namespace vorkand::fuzz {

struct Reply {
  int32_t count;                     // 0: no reply
  std::array<uint8_t, 256> bytes{};  // bytes past `count` are left as they were
};

class FakeReader final : public link::Transport {
 public:
  // `retries_after_silence`: frames a caller may still send after a missing
  // reply (the reader reset tries once more; everything else stops).
  FakeReader(std::vector<Reply> script, int retries_after_silence)
      : script_(std::move(script)), retries_(retries_after_silence) {}

  int32_t exchange(std::span<const uint8_t> frame,
                   std::span<uint8_t, link::kMaxReply> reply) noexcept override {
    if (dead_) {
      check(retries_ > 0, "a frame sent after a missing reply");
      --retries_;
      dead_ = false;
    }
    check(frame.size() >= 4 && frame.size() <= 259, "frame size outside 4..259",
          long(frame.size()));
    check(frame.size() == frame[2] + 4u, "frame size differs from its length byte + 4",
          long(frame.size()), frame[2]);
    check(frame.back() == 0x00, "frame trailer not 0x00", frame.back());
    frames_.emplace_back(frame.begin(), frame.end());
    if (next_ >= script_.size()) {
      dead_ = true;
      return 0;
    }
    const Reply& r = script_[next_++];
    if (r.count == 0) {
      dead_ = true;
      return 0;
    }
    std::copy_n(r.bytes.begin(), r.count, reply.begin());
    last_ = &r;
    return r.count;
  }

  std::size_t exchanges() const { return frames_.size(); }
  const std::vector<std::vector<uint8_t>>& frames() const { return frames_; }
  // The last complete reply handed out, or nullptr.
  const Reply* last_reply() const { return dead_ ? nullptr : last_; }
  bool ended_without_reply() const { return dead_; }

 private:
  std::vector<Reply> script_;
  std::size_t next_ = 0;
  std::vector<std::vector<uint8_t>> frames_;
  const Reply* last_ = nullptr;
  bool dead_ = false;
  int retries_;
};

}  // namespace vorkand::fuzz
