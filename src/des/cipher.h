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
using fast::RoundKeys;

constexpr uint32_t load_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

constexpr void store_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// K1..K16: one table row per key byte, added up. The loop runs over the
// round keys with all eight rows open, so each key is written once.
constexpr RoundKeys key_schedule(const std::array<uint8_t, 8>& key) {
  std::array<const uint64_t*, 8> row{};
  for (std::size_t b = 0; b < 8; ++b) row[b] = fast::kSchedule[b][key[b] >> 1].data();
  RoundKeys keys;  // every entry written below
  for (std::size_t i = 0; i < 16; ++i) {
    keys[i] = (row[0][i] | row[1][i]) | (row[2][i] | row[3][i]) | (row[4][i] | row[5][i]) |
              (row[6][i] | row[7][i]);
  }
  return keys;
}

// f(h, k) in both views, for a half in both views and a round key in round
// layout: E is free, so the round is one key addition and eight SP lookups.
constexpr uint64_t feistel(uint64_t h, uint64_t k) {
  const uint64_t x = h ^ k;
  const auto& sp = fast::kSp;
  return ((sp[0][x & 63] ^ sp[1][(x >> 8) & 63]) ^
          (sp[2][(x >> 16) & 63] ^ sp[3][(x >> 24) & 63])) ^
         ((sp[4][(x >> 32) & 63] ^ sp[5][(x >> 40) & 63]) ^
          (sp[6][(x >> 48) & 63] ^ sp[7][(x >> 56) & 63]));
}

// The shared routine: one block in place, K1..K16 for encryption and
// K16..K1 for decryption.
constexpr void crypt(Direction direction, std::array<uint8_t, 8>& block,
                     const std::array<uint8_t, 8>& key) {
  const RoundKeys keys = key_schedule(key);
  const std::size_t last = direction == Direction::encrypt ? 0 : 15;
  Halves h = fast::initial_permutation({load_be32(&block[0]), load_be32(&block[4])});
  uint64_t l = fast::both_views(h.left);
  uint64_t r = fast::both_views(h.right);
  for (std::size_t i = 0; i < 16; i += 2) {
    l ^= feistel(r, keys[i ^ last]);
    r ^= feistel(l, keys[(i + 1) ^ last]);
  }
  h = fast::final_permutation(
      {static_cast<uint32_t>(r), static_cast<uint32_t>(l)});  // preoutput: R16 then L16
  store_be32(&block[0], h.left);
  store_be32(&block[4], h.right);
}

}  // namespace vorkand::des::cipher
