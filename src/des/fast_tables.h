// The tables the cipher runs on, derived at compile time from the standard's
// own tables in des/standard.h, with compile-time checks that the derived
// forms compute exactly the standard's permutations.
//
// Layout of a round. A 32-bit half h is seen two ways: x = rotl(h, 1) and
// y = rotr(x, 4). In these views the expansion E needs no work: each 6-bit
// group of E(h) already sits in the low six bits of one byte of x or y
// (groups 2, 4, 6, 8 in x, groups 1, 3, 5, 7 in y). The rounds keep each half
// as the 64-bit pair y:x, and a round key has the same shape, so E(h) xor K is
// one exclusive or, and its eight bytes index eight "SP" tables (an S-box,
// then P, then both views) whose sum is f(h, K) as a pair again.
//
// Tables: SP 4 KiB; the key schedule 128 KiB (one row of all sixteen round
// keys per value of each key byte), which turns PC-1, the rotations and PC-2
// into eight lookups and a few vector ORs per call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "des/standard.h"

namespace vorkand::des::fast {

// ---- Generic helpers --------------------------------------------------------

// Bit `number` (1 = most significant) of a `width`-bit value.
constexpr bool bit(uint64_t value, int width, int number) {
  return ((value >> (width - number)) & 1u) != 0;
}

// Applies a table of the standard: output bit i (of `out_width`) is input bit
// table[i - 1] (of `in_width`).
template <std::size_t N>
constexpr uint64_t permute(uint64_t in, int in_width, const std::array<uint8_t, N>& table) {
  uint64_t out = 0;
  for (std::size_t i = 0; i < N; ++i) out = (out << 1) | (bit(in, in_width, table[i]) ? 1u : 0u);
  return out;
}

constexpr uint32_t rotl(uint32_t v, int n) {
  return (v << (n & 31)) | (v >> ((32 - n) & 31));
}
constexpr uint32_t rotr(uint32_t v, int n) {
  return rotl(v, 32 - n);
}

// Exchanges the bits of `a` selected by `mask` with those of `b` `shift`
// places lower.
constexpr void delta_swap(uint32_t& a, uint32_t& b, int shift, uint32_t mask) {
  const uint32_t t = ((a >> shift) ^ b) & mask;
  b ^= t;
  a ^= t << shift;
}

// ---- Initial permutation and its inverse -----------------------------------

// The left and right halves of a block, big-endian, as 32-bit words.
struct Halves {
  uint32_t left;
  uint32_t right;
};

// IP by five exchanges of bit groups (the 8x8 bit matrix transposed in
// steps), leaving both halves rotated left by one as the rounds want them.
constexpr Halves initial_permutation(Halves b) {
  delta_swap(b.left, b.right, 4, 0x0f0f0f0f);
  delta_swap(b.left, b.right, 16, 0x0000ffff);
  delta_swap(b.right, b.left, 2, 0x33333333);
  delta_swap(b.right, b.left, 8, 0x00ff00ff);
  delta_swap(b.left, b.right, 1, 0x55555555);
  return {rotl(b.left, 1), rotl(b.right, 1)};
}

// IP^-1 of halves rotated left by one: the same exchanges in reverse order.
constexpr Halves final_permutation(Halves b) {
  b = {rotr(b.left, 1), rotr(b.right, 1)};
  delta_swap(b.left, b.right, 1, 0x55555555);
  delta_swap(b.right, b.left, 8, 0x00ff00ff);
  delta_swap(b.right, b.left, 2, 0x33333333);
  delta_swap(b.left, b.right, 16, 0x0000ffff);
  delta_swap(b.left, b.right, 4, 0x0f0f0f0f);
  return b;
}

constexpr uint64_t join(Halves b) {
  return (uint64_t{b.left} << 32) | b.right;
}
constexpr Halves split(uint64_t v) {
  return {static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v)};
}

// Both exchange sequences are bit permutations, so agreeing with the
// standard's tables on every single-bit block proves them equal.
constexpr bool permutations_match_standard() {
  for (int i = 0; i < 64; ++i) {
    const uint64_t in = uint64_t{1} << i;
    const uint64_t ip = permute(in, 64, standard::kIp);
    const Halves rotated = {rotl(static_cast<uint32_t>(ip >> 32), 1),
                            rotl(static_cast<uint32_t>(ip), 1)};
    if (join(initial_permutation(split(in))) != join(rotated)) return false;
    if (join(final_permutation(split(in))) !=
        permute(join({rotr(split(in).left, 1), rotr(split(in).right, 1)}), 64,
                standard::kIpInverse)) {
      return false;
    }
  }
  return true;
}
static_assert(permutations_match_standard());

// ---- Round layout -----------------------------------------------------------

// Lane l (0..7) of a round: byte l % 4 of x (l < 4) or of y (l >= 4).
// Bit p (0 = least significant) of view `word` of x = rotl(h, 1), as a bit
// number of h.
constexpr int half_bit_of_view(int word, int p) {
  const int x_bit = word == 0 ? p : (p + 4) % 32;  // y = rotr(x, 4)
  const int h_bit = (x_bit + 31) % 32;             // x = rotl(h, 1)
  return 32 - h_bit;
}

// Whether lane l holds the six bits of E group g (0..7), most significant
// first, in its low six bits.
constexpr bool lane_holds_group(int lane, int group) {
  for (int j = 0; j < 6; ++j) {
    const int p = 8 * (lane % 4) + 5 - j;
    if (half_bit_of_view(lane / 4, p) != standard::kE[6 * group + j]) return false;
  }
  return true;
}

// The E group in each lane, found by matching against E.
constexpr std::array<int, 8> make_lane_groups() {
  std::array<int, 8> groups{};
  for (int lane = 0; lane < 8; ++lane) {
    groups[lane] = -1;
    for (int g = 0; g < 8; ++g) {
      if (lane_holds_group(lane, g)) groups[lane] = g;
    }
  }
  return groups;
}
inline constexpr std::array<int, 8> kLaneGroup = make_lane_groups();

constexpr bool every_group_has_a_lane() {
  std::array<bool, 8> seen{};
  for (int g : kLaneGroup) {
    if (g < 0 || seen[g]) return false;
    seen[g] = true;
  }
  return true;
}
static_assert(every_group_has_a_lane(), "the rotated views must carry all of E");

// Lane of each E group.
constexpr std::array<int, 8> make_group_lanes() {
  std::array<int, 8> lanes{};
  for (int lane = 0; lane < 8; ++lane) lanes[kLaneGroup[lane]] = lane;
  return lanes;
}
inline constexpr std::array<int, 8> kGroupLane = make_group_lanes();

// Position in a 64-bit round key of round-key bit m (1..48): the low six
// bits of its group's lane byte, the group's first bit highest.
constexpr int round_key_position(int m) {
  const int group = (m - 1) / 6;
  const int j = (m - 1) % 6;
  return 8 * kGroupLane[group] + 5 - j;
}

// ---- SP tables --------------------------------------------------------------

// S-box output of S(g+1) for six input bits: row from the outer bits, column
// from the middle four.
constexpr uint32_t s_box(int group, uint32_t six) {
  const uint32_t row = ((six >> 4) & 2u) | (six & 1u);
  const uint32_t column = (six >> 1) & 15u;
  return standard::kS[group][row * 16 + column];
}

// Each entry holds the S-box output after P in both views of the round
// layout (x in the low 32 bits, y in the high 32), so that a half kept as the
// pair y:x takes f with a single exclusive or.
using SpTables = std::array<std::array<uint64_t, 64>, 8>;

constexpr uint64_t both_views(uint32_t x) {
  return (uint64_t{rotr(x, 4)} << 32) | x;
}

constexpr SpTables make_sp_tables() {
  SpTables sp{};
  for (int lane = 0; lane < 8; ++lane) {
    const int group = kLaneGroup[lane];
    for (uint32_t six = 0; six < 64; ++six) {
      const uint32_t nibble = s_box(group, six) << (28 - 4 * group);
      sp[lane][six] = both_views(rotl(static_cast<uint32_t>(permute(nibble, 32, standard::kP)), 1));
    }
  }
  return sp;
}
alignas(64) inline constexpr SpTables kSp = make_sp_tables();

// ---- Key schedule -----------------------------------------------------------

// Left rotation of C and D reached in round i (the running sum of the shift
// schedule); the last entry is a full turn.
constexpr std::array<int, 16> make_total_shifts() {
  std::array<int, 16> total{};
  int sum = 0;
  for (int i = 0; i < 16; ++i) total[i] = sum += standard::kShifts[i];
  return total;
}
inline constexpr std::array<int, 16> kTotalShift = make_total_shifts();
static_assert(kTotalShift[15] == 28);

// The sixteen round keys K1..K16 in round layout.
using RoundKeys = std::array<uint64_t, 16>;

// The key bit (1..64) that bit m (1..48) of round key i (0..15) is: PC-2
// picks a bit of the rotated C:D, the rotation says where it was after PC-1,
// and PC-1 says which key bit that was.
constexpr int key_bit_of(int round, int m) {
  const int cd = standard::kPc2[m - 1] - 1;  // 0..55 in the rotated C:D
  const int half = cd / 28;
  const int unrotated = half * 28 + (cd % 28 + kTotalShift[round]) % 28;
  return standard::kPc1[unrotated];
}

// For each key bit, the round key bits that copy it.
constexpr std::array<RoundKeys, 65> make_key_bit_uses() {
  std::array<RoundKeys, 65> uses{};
  for (int i = 0; i < 16; ++i) {
    for (int m = 1; m <= 48; ++m) uses[key_bit_of(i, m)][i] |= uint64_t{1} << round_key_position(m);
  }
  return uses;
}
inline constexpr std::array<RoundKeys, 65> kKeyBitUses = make_key_bit_uses();

// The parity bits 8, 16, ..., 64 reach no round key.
constexpr bool parity_bits_unused() {
  for (int b = 8; b <= 64; b += 8) {
    for (uint64_t k : kKeyBitUses[b]) {
      if (k != 0) return false;
    }
  }
  return true;
}
static_assert(parity_bits_unused());

// Every round key bit is one key bit, so the schedule is a sum over the key
// bytes: entry [b][v] holds the bits of all sixteen round keys that key byte
// b contributes when its seven key bits (all but the parity bit) are v.
using ScheduleTables = std::array<std::array<RoundKeys, 128>, 8>;

constexpr ScheduleTables make_schedule_tables() {
  ScheduleTables t{};
  for (int b = 0; b < 8; ++b) {
    for (int v = 1; v < 128; ++v) {
      // v's lowest set bit added to the entry without it; bit 0 of v is the
      // byte's second-last bit, key bit 8b + 7.
      int low = 0;
      while (((v >> low) & 1) == 0) ++low;
      const RoundKeys& rest = t[b][v & (v - 1)];
      const RoundKeys& bit_uses = kKeyBitUses[8 * b + 7 - low];
      for (int i = 0; i < 16; ++i) t[b][v][i] = rest[i] | bit_uses[i];
    }
  }
  return t;
}
alignas(64) inline constexpr ScheduleTables kSchedule = make_schedule_tables();

}  // namespace vorkand::des::fast
