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
// recorded (sent()). A frame other than the one expected, a frame past the end
// of the script, and (when the fake is destroyed) script steps never reached
// each fail the running GoogleTest test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/transport.h"

namespace vorkand::test {

using Bytes = std::vector<uint8_t>;

// "80 00 04" -> {0x80, 0x00, 0x04}; spaces between bytes are optional.
inline Bytes hex(std::string_view text) {
  Bytes bytes;
  std::string digits;
  for (char c : text) {
    if (c == ' ') continue;
    digits.push_back(c);
    if (digits.size() == 2) {
      bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
      digits.clear();
    }
  }
  if (!digits.empty()) ADD_FAILURE() << "odd number of hex digits in \"" << text << "\"";
  return bytes;
}

inline std::string to_hex(const Bytes& bytes) {
  std::string text;
  char byte[4];
  for (uint8_t b : bytes) {
    std::snprintf(byte, sizeof byte, text.empty() ? "%02X" : " %02X", b);
    text += byte;
  }
  return text;
}

class FakeTransport final : public link::Transport {
 public:
  struct Step {
    Bytes frame;    // the frame expected
    Bytes reply;    // the reply's bytes
    int32_t count;  // the reply count returned; 0: no reply
  };

  FakeTransport() = default;
  FakeTransport(const FakeTransport&) = delete;
  FakeTransport& operator=(const FakeTransport&) = delete;
  ~FakeTransport() override {
    if (next_ < script_.size()) {
      ADD_FAILURE() << "the reader still expected " << script_.size() - next_
                    << " frame(s), the next one " << to_hex(script_[next_].frame);
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

  int32_t exchange(std::span<const uint8_t> frame,
                   std::span<uint8_t, link::kMaxReply> reply) noexcept override {
    sent_.emplace_back(frame.begin(), frame.end());
    if (next_ >= script_.size()) {
      ADD_FAILURE() << "frame " << sent_.size() << " past the script: " << to_hex(sent_.back());
      return 0;
    }
    const Step& step = script_[next_++];
    if (step.frame != sent_.back()) {
      ADD_FAILURE() << "frame " << sent_.size() << " was " << to_hex(sent_.back())
                    << "\n          expected " << to_hex(step.frame);
    }
    if (step.count == 0) return 0;
    const std::size_t n = std::min(step.reply.size(), reply.size());
    std::copy_n(step.reply.begin(), n, reply.begin());
    return step.count;
  }

  // Every frame sent, in order.
  const std::vector<Bytes>& sent() const { return sent_; }
  // True once every step of the script was used.
  bool finished() const { return next_ == script_.size(); }

 private:
  FakeTransport& add(Step step) {
    if (step.count < 0 || step.count > static_cast<int32_t>(link::kMaxReply)) {
      ADD_FAILURE() << "a reply count must be 0..256, not " << step.count;
    }
    script_.push_back(std::move(step));
    return *this;
  }

  std::vector<Step> script_;
  std::size_t next_ = 0;
  std::vector<Bytes> sent_;
};

}  // namespace vorkand::test
