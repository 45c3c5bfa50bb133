// Single DES of one block. Every call works out its own round keys from the
// key it is given and keeps them on its stack; nothing is stored between
// calls, so any number of threads may call at once.
#include "des/des.h"

#include <array>
#include <cstddef>

#include "des/cipher.h"

namespace vorkand::des {
namespace {

using cipher::crypt;

// A known answer checked by the compiler: the tables and the round layout
// must give the standard's result before any test runs.
constexpr bool known_answer_holds() {
  std::array<uint8_t, 8> block{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const std::array<uint8_t, 8> key{0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  crypt(Direction::encrypt, block, key);
  const std::array<uint8_t, 8> expected{0x85, 0xE8, 0x13, 0x54, 0x0F, 0x0A, 0xB4, 0x05};
  if (block != expected) return false;
  crypt(Direction::decrypt, block, key);
  return block == std::array<uint8_t, 8>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
}
static_assert(known_answer_holds());

}  // namespace

uint32_t crypt_block(Direction direction, uint8_t* output, const uint8_t* input,
                     const uint8_t* key) noexcept {
  // Copies first: the output may overlap the input or the key.
  std::array<uint8_t, 8> block;
  std::array<uint8_t, 8> key_copy;
  for (std::size_t i = 0; i < 8; ++i) {
    block[i] = input[i];
    key_copy[i] = key[i];
  }
  crypt(direction, block, key_copy);
  for (std::size_t i = 0; i < 8; ++i) output[i] = block[i];
  return uint32_t{block[0]} | (uint32_t{block[1]} << 8) | (uint32_t{block[2]} << 16) |
         (uint32_t{block[3]} << 24);
}

}  // namespace vorkand::des
