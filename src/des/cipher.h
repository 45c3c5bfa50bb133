// The cipher's working parts as small pure functions: byte order, key
// schedule, round function and the shared block routine. des.cpp puts them
// behind crypt_block; the benchmarks time them one by one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "des/des.h"
#include "des/fast_tables.h"

namespace vorkand::des::cipher {

using fast::Halves;
using RoundKeys = std::array<uint64_t, 16>;

constexpr uint32_t load_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

constexpr void store_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Round key i from C and D each held twice over in 56 bits (cc = C:C), so
// that the rotation of round i is a window: bits 55-r .. 28-r of cc.
template <int kRotation>
constexpr uint64_t round_key(uint64_t cc, uint64_t dd) {
  constexpr int s = 28 - kRotation;  // the window's lowest bit
  const auto& t = fast::kPc2;
  return t[0][(cc >> (s + 21)) & 127] | t[1][(cc >> (s + 14)) & 127] | t[2][(cc >> (s + 7)) & 127] |
         t[3][(cc >> s) & 127] | t[4][(dd >> (s + 21)) & 127] | t[5][(dd >> (s + 14)) & 127] |
         t[6][(dd >> (s + 7)) & 127] | t[7][(dd >> s) & 127];
}

// PC-1, then the sixteen round keys K1..K16 in round layout.
constexpr RoundKeys key_schedule(const std::array<uint8_t, 8>& key) {
  uint64_t cd = 0;
  for (std::size_t b = 0; b < 8; ++b) cd |= fast::kPc1[b][key[b] >> 1];
  const uint64_t c = cd >> 32;
  const uint64_t d = cd & 0x0fffffff;
  const uint64_t cc = (c << 28) | c;
  const uint64_t dd = (d << 28) | d;
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return RoundKeys{round_key<fast::kTotalShift[I]>(cc, dd)...};
  }
  (std::make_index_sequence<16>{});
}

// f(h, k) for a half and a round key in round layout: E is free, so the
// round is two key additions and eight SP lookups.
constexpr uint32_t feistel(uint32_t h, uint64_t k) {
  const uint32_t x = h ^ static_cast<uint32_t>(k);
  const uint32_t y = fast::rotr(h, 4) ^ static_cast<uint32_t>(k >> 32);
  const auto& sp = fast::kSp;
  return sp[0][x & 63] ^ sp[1][(x >> 8) & 63] ^ sp[2][(x >> 16) & 63] ^ sp[3][(x >> 24) & 63] ^
         sp[4][y & 63] ^ sp[5][(y >> 8) & 63] ^ sp[6][(y >> 16) & 63] ^ sp[7][(y >> 24) & 63];
}

// The shared routine: one block in place, K1..K16 for encryption and
// K16..K1 for decryption.
constexpr void crypt(Direction direction, std::array<uint8_t, 8>& block,
                     const std::array<uint8_t, 8>& key) {
  const RoundKeys keys = key_schedule(key);
  const std::size_t last = direction == Direction::encrypt ? 0 : 15;
  Halves h = fast::initial_permutation({load_be32(&block[0]), load_be32(&block[4])});
  uint32_t l = h.left;
  uint32_t r = h.right;
  for (std::size_t i = 0; i < 16; i += 2) {
    l ^= feistel(r, keys[i ^ last]);
    r ^= feistel(l, keys[(i + 1) ^ last]);
  }
  h = fast::final_permutation({r, l});  // preoutput: R16 then L16
  store_be32(&block[0], h.left);
  store_be32(&block[4], h.right);
}

}  // namespace vorkand::des::cipher
