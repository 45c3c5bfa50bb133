// DesEncrypt and DesDecrypt, called through the shared library, against
// OpenSSL's libcrypto on pseudo-random keys and blocks: the output bytes and
// the result value, in both directions.
#include <gtest/gtest.h>
#include <openssl/des.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "des_test_util.h"
#include "vorkand.h"

namespace vorkand::des::test {
namespace {

Block openssl(const Block& input, const Block& key, int direction) {
  DES_cblock k;
  DES_cblock in;
  DES_cblock out;
  std::memcpy(k, key.data(), 8);
  std::memcpy(in, input.data(), 8);
  DES_key_schedule schedule;
  DES_set_key_unchecked(&k, &schedule);
  DES_ecb_encrypt(&in, &out, &schedule, direction);
  Block result;
  std::memcpy(result.data(), out, 8);
  return result;
}

TEST(DesAgainstOpenSsl, RandomKeysAndBlocksBothDirections) {
  Sequence seq(10);
  int failures = 0;
  for (int i = 0; i < 100000 && failures < 10; ++i) {
    const Block key = seq.block();
    const Block block = seq.block();
    Block out{};

    const Block enc = openssl(block, key, DES_ENCRYPT);
    const int32_t enc_result = DesEncrypt(out.data(), block.data(), key.data());
    if (out != enc || static_cast<uint32_t>(enc_result) != little_endian(enc)) {
      ADD_FAILURE() << "encrypt key " << hex(key) << " block " << hex(block) << ": got " << hex(out)
                    << ", OpenSSL " << hex(enc);
      ++failures;
    }

    const Block dec = openssl(block, key, DES_DECRYPT);
    const int32_t dec_result = DesDecrypt(out.data(), block.data(), key.data());
    if (out != dec || static_cast<uint32_t>(dec_result) != little_endian(dec)) {
      ADD_FAILURE() << "decrypt key " << hex(key) << " block " << hex(block) << ": got " << hex(out)
                    << ", OpenSSL " << hex(dec);
      ++failures;
    }
  }
}

}  // namespace
}  // namespace vorkand::des::test
