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
  const auto row = [&key](std::size_t b) { return fast::kSchedule[b][key[b] >> 1].data(); };
  const uint64_t* const r0 = row(0);
  const uint64_t* const r1 = row(1);
  const uint64_t* const r2 = row(2);
  const uint64_t* const r3 = row(3);
  const uint64_t* const r4 = row(4);
  const uint64_t* const r5 = row(5);
  const uint64_t* const r6 = row(6);
  const uint64_t* const r7 = row(7);
  RoundKeys keys;  // every entry written below
  for (std::size_t i = 0; i < 16; ++i) {
    keys[i] = ((r0[i] | r1[i]) | (r2[i] | r3[i])) | ((r4[i] | r5[i]) | (r6[i] | r7[i]));
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

// The sixteen rounds on the halves after IP, giving the preoutput (R16,
// L16): K1..K16 for encryption, K16..K1 for decryption. Unrolled, so that
// every round key is read from a fixed place.
template <Direction kDirection>
constexpr Halves rounds(Halves h, const RoundKeys& keys) {
  constexpr auto at = [](std::size_t i) { return kDirection == Direction::encrypt ? i : 15 - i; };
  uint64_t l = fast::both_views(h.left);
  uint64_t r = fast::both_views(h.right);
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((l ^= feistel(r, keys[at(2 * I)]), r ^= feistel(l, keys[at(2 * I + 1)])), ...);
  }
  (std::make_index_sequence<8>{});
  return {static_cast<uint32_t>(r), static_cast<uint32_t>(l)};
}

// The shared routine: one block in place.
constexpr void crypt(Direction direction, std::array<uint8_t, 8>& block,
                     const std::array<uint8_t, 8>& key) {
  const RoundKeys keys = key_schedule(key);
  Halves h = fast::initial_permutation({load_be32(&block[0]), load_be32(&block[4])});
  h = direction == Direction::encrypt ? rounds<Direction::encrypt>(h, keys)
                                      : rounds<Direction::decrypt>(h, keys);
  h = fast::final_permutation(h);
  store_be32(&block[0], h.left);
  store_be32(&block[4], h.right);
}

}  // namespace vorkand::des::cipher
