// The published known answers (tests/data/des-known-answers.txt), each run in
// both directions, on separate buffers and at every misalignment (output over
// the input or the key: properties_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "des_test_util.h"

namespace vorkand::des::test {
namespace {

struct KnownAnswer {
  std::string section;
  int line;
  Block key;
  Block plaintext;
  Block ciphertext;

  std::string where() const { return section + " (line " + std::to_string(line) + ")"; }
};

bool parse_block(const std::string& text, Block& out) {
  const auto bytes = ::vorkand::test::parse_hex(text);
  if (!bytes || bytes->size() != 8 || text.size() != 16) return false;
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return true;
}

// Reads "section key plaintext ciphertext" lines; '#' starts a comment line.
// A malformed line is a failure, not a skipped line.
std::vector<KnownAnswer> load(const char* path) {
  std::vector<KnownAnswer> answers;
  std::ifstream file(path);
  EXPECT_TRUE(file.is_open()) << "cannot open " << path;
  std::string text;
  for (int line = 1; std::getline(file, text); ++line) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty() || text[0] == '#') continue;
    std::istringstream fields(text);
    KnownAnswer a{};
    std::string key, plaintext, ciphertext, extra;
    fields >> a.section >> key >> plaintext >> ciphertext;
    a.line = line;
    const bool ok = parse_block(key, a.key) && parse_block(plaintext, a.plaintext) &&
                    parse_block(ciphertext, a.ciphertext) && !(fields >> extra);
    EXPECT_TRUE(ok) << path << ":" << line << ": malformed: " << text;
    if (ok) answers.push_back(a);
  }
  return answers;
}

const std::vector<KnownAnswer>& answers() {
  static const std::vector<KnownAnswer> all = load(VORKAND_DES_KNOWN_ANSWERS);
  return all;
}

// A truncated or mislabelled data file would otherwise pass quietly.
TEST(DesKnownAnswers, FileHoldsEveryPublishedSection) {
  std::map<std::string, int> count;
  for (const KnownAnswer& a : answers()) ++count[a.section];
  EXPECT_EQ(count["variable-plaintext"], 64);
  EXPECT_EQ(count["inverse-permutation"], 64);
  EXPECT_EQ(count["variable-key"], 56);
  EXPECT_EQ(count["permutation-operation"], 32);
  EXPECT_EQ(count["substitution-table"], 19);
}

TEST(DesKnownAnswers, EncryptAndDecryptOnSeparateBuffers) {
  for (const KnownAnswer& a : answers()) {
    SCOPED_TRACE(a.where());
    const Outcome enc = run(Direction::encrypt, a.plaintext, a.key);
    EXPECT_EQ(hex(enc.output), hex(a.ciphertext));
    EXPECT_EQ(enc.result, little_endian(a.ciphertext));
    const Outcome dec = run(Direction::decrypt, a.ciphertext, a.key);
    EXPECT_EQ(hex(dec.output), hex(a.plaintext));
    EXPECT_EQ(dec.result, little_endian(a.plaintext));
  }
}

// Output, input and key each at every offset 0..7 from an 8-byte boundary.
TEST(DesKnownAnswers, AnyAlignment) {
  alignas(8) uint8_t in[16];
  alignas(8) uint8_t key[16];
  alignas(8) uint8_t out[16];
  for (const KnownAnswer& a : answers()) {
    SCOPED_TRACE(a.where());
    for (std::size_t offset = 0; offset < 8; ++offset) {
      const std::size_t in_at = offset;
      const std::size_t key_at = (offset + 3) % 8;
      const std::size_t out_at = (offset + 5) % 8;
      std::memcpy(in + in_at, a.plaintext.data(), 8);
      std::memcpy(key + key_at, a.key.data(), 8);
      crypt_block(Direction::encrypt, out + out_at, in + in_at, key + key_at);
      EXPECT_EQ(std::memcmp(out + out_at, a.ciphertext.data(), 8), 0) << "offset " << offset;
      std::memcpy(in + in_at, a.ciphertext.data(), 8);
      crypt_block(Direction::decrypt, out + out_at, in + in_at, key + key_at);
      EXPECT_EQ(std::memcmp(out + out_at, a.plaintext.data(), 8), 0) << "offset " << offset;
    }
  }
}

}  // namespace
}  // namespace vorkand::des::test
