// DES against OpenSSL's libcrypto, both directions, on arbitrary keys and
// blocks: the same output, the returned integer equal to the output's first
// four bytes (little-endian), decryption undoing encryption, and the same
// result when output and input share one buffer. Buffers are exactly 8 bytes
// at the end of heap blocks, so ASan sees any access past them.
#include <fuzzer/FuzzedDataProvider.h>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

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

void oracle(Direction direction, uint8_t* out, const uint8_t* in, const uint8_t* key) {
  DES_cblock k;
  std::memcpy(k, key, 8);
  DES_key_schedule schedule;
  DES_set_key_unchecked(&k, &schedule);  // parity bits play no part in DES
  DES_cblock i, o;
  std::memcpy(i, in, 8);
  DES_ecb_encrypt(&i, &o, &schedule, direction == Direction::encrypt ? DES_ENCRYPT : DES_DECRYPT);
  std::memcpy(out, o, 8);
}

void one_direction(Direction direction, const uint8_t* key_bytes, const uint8_t* in_bytes) {
  auto key = block_of(key_bytes);
  auto in = block_of(in_bytes);
  auto out = std::make_unique<uint8_t[]>(8);
  const uint32_t word = vorkand::des::crypt_block(direction, out.get(), in.get(), key.get());

  uint8_t expected[8];
  oracle(direction, expected, in_bytes, key_bytes);
  check(std::memcmp(out.get(), expected, 8) == 0, "DES output differs from libcrypto",
        long(direction));
  const uint32_t le =
      uint32_t(out[0]) | uint32_t(out[1]) << 8 | uint32_t(out[2]) << 16 | uint32_t(out[3]) << 24;
  check(word == le, "result is not the output's first four bytes", long(word), long(le));
  check(std::memcmp(in.get(), in_bytes, 8) == 0 && std::memcmp(key.get(), key_bytes, 8) == 0,
        "input or key changed");

  // The same buffer for input and output.
  auto inplace = block_of(in_bytes);
  vorkand::des::crypt_block(direction, inplace.get(), inplace.get(), key.get());
  check(std::memcmp(inplace.get(), expected, 8) == 0, "in-place result differs");
  // The key buffer as output too.
  auto key_out = block_of(key_bytes);
  vorkand::des::crypt_block(direction, key_out.get(), in.get(), key_out.get());
  check(std::memcmp(key_out.get(), expected, 8) == 0, "result with output over the key differs");

  // And back again.
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
