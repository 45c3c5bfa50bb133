// A scripted fake reader under the card operations: the frames the library is
// expected to send, in order, and the reply to give to each.
//
//   vorkand::test::FakeTransport reader;
//   reader.expect("80 00 04 80 62 00 00 00", "80 00 02 90 00 00");     // reply of 6 bytes
//   reader.expect("00 49 05 00 00 00 00 00 00", "00 00 02 90 00 00 FF"); // stray byte: count 7
//   reader.expect("80 00 04 80 60 00 00 00", "80 00 02 90", 6);        // explicit count
//   reader.expect_silence("80 00 04 80 61 00 00 00");                   // count 0: no reply
//   reader.expect_or_silence(frame, reply);                  // reply nullptr: no reply
//   ... run the operation against `reader` ...
//
// The reply count is the number of reply bytes unless given; it may exceed the
// reply's length byte + 4 (stray bytes that came with it). Every frame sent is
// recorded (sent()) and must be a whole frame (4..259 bytes, its length byte
// + 4, trailer 00). A frame other than the one expected, a frame past the end
// of the script, and (when the fake is destroyed) script steps never reached
// each fail (failure.h).
//
// A script of replies alone (the card fuzzer: any frame is taken) is built
// with reply(); after replies_only() a frame past the script gets no reply,
// steps may be left unused, and after a missing reply at most `retries` more
// frames may come.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "failure.h"
#include "hex.h"
#include "link/transport.h"

namespace vorkand::test {

class FakeTransport final : public link::Transport {
 public:
  struct Step {
    std::optional<Bytes> frame;  // the frame expected; any frame when empty
    Bytes reply;                 // the reply's bytes
    int32_t count;               // the reply count returned; 0: no reply
  };

  FakeTransport() = default;
  FakeTransport(const FakeTransport&) = delete;
  FakeTransport& operator=(const FakeTransport&) = delete;
  ~FakeTransport() override {
    if (next_ < script_.size() && !replies_only_) {
      fail("the reader still expected " + std::to_string(script_.size() - next_) +
           " frame(s), the next one " + to_hex(script_[next_].frame.value_or(Bytes{})));
    }
  }

  FakeTransport& expect(const Bytes& frame, const Bytes& reply) {
    return add({frame, reply, static_cast<int32_t>(reply.size())});
  }
  FakeTransport& expect(const Bytes& frame, const Bytes& reply, int32_t count) {
    return add({frame, reply, count});
  }
  FakeTransport& expect(std::string_view frame, std::string_view reply) {
    return expect(hex(frame), hex(reply));
  }
  FakeTransport& expect(std::string_view frame, std::string_view reply, int32_t count) {
    return expect(hex(frame), hex(reply), count);
  }
  FakeTransport& expect_silence(const Bytes& frame) { return add({frame, {}, 0}); }
  FakeTransport& expect_silence(std::string_view frame) { return expect_silence(hex(frame)); }
  // For tables where a reply of nullptr stands for silence.
  FakeTransport& expect_or_silence(std::string_view frame, const char* reply) {
    return reply ? expect(frame, reply) : expect_silence(frame);
  }
  FakeTransport& expect_or_silence(std::string_view frame, const char* reply, int32_t count) {
    return reply ? expect(frame, reply, count) : expect_silence(frame);
  }

  // Any frame, answered with `bytes` (count: their number; none: no reply).
  FakeTransport& reply(Bytes bytes) {
    const auto count = static_cast<int32_t>(bytes.size());
    return add({std::nullopt, std::move(bytes), count});
  }
  FakeTransport& replies_only(int retries_after_silence) {
    replies_only_ = true;
    retries_ = retries_after_silence;
    return *this;
  }

  int32_t exchange(std::span<const uint8_t> frame,
                   std::span<uint8_t, link::kMaxReply> reply) noexcept override {
    sent_.emplace_back(frame.begin(), frame.end());
    const std::string which = "frame " + std::to_string(sent_.size());
    if (frame.size() < 4 || frame.size() > 259 || frame.size() != frame[2] + 4u ||
        frame.back() != 0x00) {
      fail(which + " is no whole frame: " + to_hex(frame));
    }
    if (silent_ && replies_only_ && retries_-- <= 0) fail(which + " sent after a missing reply");
    silent_ = true;
    if (next_ >= script_.size()) {
      if (!replies_only_) fail(which + " past the script: " + to_hex(frame));
      return 0;
    }
    const Step& step = script_[next_++];
    if (step.frame && *step.frame != sent_.back()) {
      fail(which + " was " + to_hex(frame) + "\n          expected " + to_hex(*step.frame));
    }
    if (step.count == 0) return 0;
    const std::size_t n = std::min(step.reply.size(), reply.size());
    std::copy_n(step.reply.begin(), n, reply.begin());
    silent_ = false;
    last_ = &step;
    return step.count;
  }

  // Every frame sent, in order.
  const std::vector<Bytes>& sent() const { return sent_; }
  // True once every step of the script was used.
  bool finished() const { return next_ == script_.size(); }
  // The last frame got no reply.
  bool ended_without_reply() const { return silent_; }
  // The step that answered the last frame, or nullptr when it got none.
  const Step* last_reply() const { return silent_ ? nullptr : last_; }

 private:
  FakeTransport& add(Step step) {
    if (step.count < 0 || step.count > static_cast<int32_t>(link::kMaxReply)) {
      fail("a reply count must be 0..256, not " + std::to_string(step.count));
    }
    script_.push_back(std::move(step));
    return *this;
  }

  std::vector<Step> script_;
  std::size_t next_ = 0;
  std::vector<Bytes> sent_;
  bool replies_only_ = false;
  int retries_ = 0;
  bool silent_ = false;
  const Step* last_ = nullptr;
};

}  // namespace vorkand::test
