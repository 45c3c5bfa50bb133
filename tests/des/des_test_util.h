// Small helpers shared by the DES tests: 8-byte values, hex and a fixed
// pseudo-random sequence.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "des/des.h"
#include "hex.h"

namespace vorkand::des::test {

using Block = std::array<uint8_t, 8>;

// Bytes of `v`, most significant first.
inline Block block_of(uint64_t v) {
  Block b{};
  for (std::size_t i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
  return b;
}

inline std::string hex(const Block& b) {
  return ::vorkand::test::to_hex(b, "");
}

// splitmix64: the same sequence on every platform and standard library.
class Sequence {
 public:
  explicit Sequence(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t x = state_ += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
  }
  Block block() { return block_of(next()); }

 private:
  uint64_t state_;
};

struct Outcome {
  Block output;
  uint32_t result;
};

// One call on separate, aligned buffers.
inline Outcome run(Direction direction, const Block& input, const Block& key) {
  Outcome o{};
  o.result = crypt_block(direction, o.output.data(), input.data(), key.data());
  return o;
}

inline uint32_t little_endian(const Block& b) {
  return uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}

}  // namespace vorkand::des::test
