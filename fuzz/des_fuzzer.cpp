// DES in both directions on arbitrary keys and blocks: the returned integer
// equal to the output's first four bytes (little-endian), input and key left
// as they were, and decryption undoing encryption. Buffers are exactly 8 bytes
// at the end of heap blocks, so ASan sees any access past them. The outputs
// themselves are compared with libcrypto by tests/des/openssl_test.cpp, and
// shared buffers are tested by tests/des/properties_test.cpp.
#include <cstring>
#include <memory>

#include "check.h"
#include "des/des.h"

namespace {

using vorkand::des::Direction;
using vorkand::fuzz::check;

std::unique_ptr<uint8_t[]> block_of(const uint8_t* bytes) {
  auto p = std::make_unique<uint8_t[]>(8);
  std::memcpy(p.get(), bytes, 8);
  return p;
}

void one_direction(Direction direction, const uint8_t* key_bytes, const uint8_t* in_bytes) {
  auto key = block_of(key_bytes);
  auto in = block_of(in_bytes);
  auto out = std::make_unique<uint8_t[]>(8);
  const uint32_t word = vorkand::des::crypt_block(direction, out.get(), in.get(), key.get());

  const uint32_t le =
      uint32_t(out[0]) | uint32_t(out[1]) << 8 | uint32_t(out[2]) << 16 | uint32_t(out[3]) << 24;
  check(word == le, "result is not the output's first four bytes", long(word), long(le));
  check(std::memcmp(in.get(), in_bytes, 8) == 0 && std::memcmp(key.get(), key_bytes, 8) == 0,
        "input or key changed");

  const Direction back = direction == Direction::encrypt ? Direction::decrypt : Direction::encrypt;
  auto round = std::make_unique<uint8_t[]>(8);
  vorkand::des::crypt_block(back, round.get(), out.get(), key.get());
  check(std::memcmp(round.get(), in_bytes, 8) == 0, "the other direction does not undo it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 16) return 0;
  for (std::size_t at = 0; at + 16 <= size && at < 16 * 64; at += 16) {
    one_direction(Direction::encrypt, data + at, data + at + 8);
    one_direction(Direction::decrypt, data + at, data + at + 8);
  }
  return 0;
}
