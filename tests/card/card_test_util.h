// Small helpers shared by the card operation tests: one call's outputs and a
// step of a scripted dialogue.
#pragma once

#include <array>
#include <cstdint>

#include "card/card.h"
#include "fake_transport.h"

namespace vorkand::card::test {

using vorkand::test::Bytes;

// One call's outputs, with the response buffers primed to show what was written.
struct Call {
  Call() { response.fill(0xCC); }

  Result result{};
  uint8_t response_length = 0xEE;
  std::array<uint8_t, 256> response;

  Bytes data() const { return Bytes(response.begin(), response.begin() + response_length); }
};

// The length passed with `apdu`: its size, or `length` when that is not negative.
inline int32_t apdu_length(const Bytes& apdu, int32_t length) {
  return length < 0 ? static_cast<int32_t>(apdu.size()) : length;
}

// One step of a dialogue on the wire.
struct Exchange {
  const char* frame;
  const char* reply;  // nullptr: no reply
};

}  // namespace vorkand::card::test
