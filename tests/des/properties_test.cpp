// Properties of DES that catch real faults in a fast implementation: ignored
// parity bits, inverse directions, weak keys, complementation, aliasing in
// every overlap, untouched inputs and the little-endian result.
#include <gtest/gtest.h>

#include <cstring>

#include "des_test_util.h"

namespace vorkand::des::test {
namespace {

constexpr uint64_t kParityBits = 0x0101010101010101;

TEST(DesProperties, ParityBitsNeverMatter) {
  Sequence seq(1);
  for (int i = 0; i < 2000; ++i) {
    const uint64_t k = seq.next();
    const Block block = seq.block();
    const Block key = block_of(k);
    const Block other = block_of(k ^ (seq.next() & kParityBits));
    const Block all_flipped = block_of(k ^ kParityBits);
    for (Direction d : {Direction::encrypt, Direction::decrypt}) {
      const Outcome expected = run(d, block, key);
      EXPECT_EQ(hex(run(d, block, other).output), hex(expected.output)) << hex(key);
      EXPECT_EQ(hex(run(d, block, all_flipped).output), hex(expected.output)) << hex(key);
    }
  }
}

TEST(DesProperties, EachDirectionUndoesTheOther) {
  Sequence seq(2);
  for (int i = 0; i < 20000; ++i) {
    const Block key = seq.block();
    const Block block = seq.block();
    const Outcome enc = run(Direction::encrypt, block, key);
    EXPECT_EQ(hex(run(Direction::decrypt, enc.output, key).output), hex(block)) << hex(key);
    const Outcome dec = run(Direction::decrypt, block, key);
    EXPECT_EQ(hex(run(Direction::encrypt, dec.output, key).output), hex(block)) << hex(key);
    // The two directions differ for all but a handful of keys.
    EXPECT_NE(hex(enc.output), hex(dec.output)) << hex(key);
  }
}

// Under a weak key all sixteen round keys are equal, so encryption is its own
// inverse.
TEST(DesProperties, WeakKeysMakeBothDirectionsEqual) {
  const uint64_t weak[] = {0x0101010101010101, 0xFEFEFEFEFEFEFEFE, 0xE0E0E0E0F1F1F1F1,
                           0x1F1F1F1F0E0E0E0E};
  Sequence seq(3);
  for (uint64_t k : weak) {
    for (int i = 0; i < 500; ++i) {
      const Block block = seq.block();
      const Block key = block_of(k ^ (seq.next() & kParityBits));
      EXPECT_EQ(hex(run(Direction::encrypt, block, key).output),
                hex(run(Direction::decrypt, block, key).output))
          << hex(key);
    }
  }
}

// Encryption under one key of a semi-weak pair is decryption under the other.
TEST(DesProperties, SemiWeakPairsUndoEachOther) {
  const uint64_t pairs[][2] = {
      {0x01FE01FE01FE01FE, 0xFE01FE01FE01FE01}, {0x1FE01FE00EF10EF1, 0xE01FE01FF10EF10E},
      {0x01E001E001F101F1, 0xE001E001F101F101}, {0x1FFE1FFE0EFE0EFE, 0xFE1FFE1FFE0EFE0E},
      {0x011F011F010E010E, 0x1F011F010E010E01}, {0xE0FEE0FEF1FEF1FE, 0xFEE0FEE0FEF1FEF1}};
  Sequence seq(4);
  for (const auto& pair : pairs) {
    for (int i = 0; i < 200; ++i) {
      const Block block = seq.block();
      EXPECT_EQ(hex(run(Direction::encrypt, block, block_of(pair[0])).output),
                hex(run(Direction::decrypt, block, block_of(pair[1])).output));
    }
  }
}

// DES(~k, ~p) = ~DES(k, p): every table entry is reached with its complement.
TEST(DesProperties, ComplementingKeyAndBlockComplementsTheOutput) {
  Sequence seq(5);
  for (int i = 0; i < 5000; ++i) {
    const uint64_t k = seq.next();
    const uint64_t p = seq.next();
    for (Direction d : {Direction::encrypt, Direction::decrypt}) {
      Block out = run(d, block_of(p), block_of(k)).output;
      for (uint8_t& b : out) b = static_cast<uint8_t>(~b);
      EXPECT_EQ(hex(run(d, block_of(~p), block_of(~k)).output), hex(out));
    }
  }
}

// The output placed at every overlap with the input, then with the key, in a
// buffer with guard bytes: the result is that of separate buffers, and nothing
// outside the 8 output bytes changes.
TEST(DesProperties, OutputMayOverlapInputOrKeyAnyWay) {
  Sequence seq(6);
  for (int i = 0; i < 200; ++i) {
    const Block block = seq.block();
    const Block key = seq.block();
    for (Direction d : {Direction::encrypt, Direction::decrypt}) {
      const Outcome expected = run(d, block, key);
      for (int shift = -7; shift <= 7; ++shift) {
        SCOPED_TRACE(shift);
        uint8_t buffer[32];
        std::memset(buffer, 0xA5, sizeof buffer);
        uint8_t* const base = buffer + 12;
        uint8_t* const out = base + shift;

        std::memcpy(base, block.data(), 8);
        EXPECT_EQ(crypt_block(d, out, base, key.data()), expected.result);
        EXPECT_EQ(std::memcmp(out, expected.output.data(), 8), 0);

        std::memset(buffer, 0xA5, sizeof buffer);
        std::memcpy(base, key.data(), 8);
        EXPECT_EQ(crypt_block(d, out, block.data(), base), expected.result);
        EXPECT_EQ(std::memcmp(out, expected.output.data(), 8), 0);
        for (uint8_t* p = buffer; p < buffer + sizeof buffer; ++p) {
          const bool in_output = p >= out && p < out + 8;
          const bool in_key = p >= base && p < base + 8;
          if (!in_output && !in_key) {
            EXPECT_EQ(*p, 0xA5) << "byte " << (p - buffer) << " changed";
          }
        }
      }
    }
  }
}

TEST(DesProperties, InputAndKeyAreNeverWritten) {
  Sequence seq(7);
  for (int i = 0; i < 1000; ++i) {
    const Block block = seq.block();
    const Block key = seq.block();
    Block in_copy = block;
    Block key_copy = key;
    Block out{};
    for (Direction d : {Direction::encrypt, Direction::decrypt}) {
      crypt_block(d, out.data(), in_copy.data(), key_copy.data());
      EXPECT_EQ(in_copy, block);
      EXPECT_EQ(key_copy, key);
    }
  }
}

// Output byte 0 is the result's least significant byte, byte 3 its most.
TEST(DesProperties, ResultIsTheFirstFourOutputBytesLittleEndian) {
  const Block key = block_of(0x133457799BBCDFF1);
  const Block plaintext = block_of(0x0123456789ABCDEF);
  const Outcome enc = run(Direction::encrypt, plaintext, key);
  EXPECT_EQ(hex(enc.output), "85E813540F0AB405");
  EXPECT_EQ(enc.result, 0x5413E885u);
  EXPECT_EQ(run(Direction::decrypt, enc.output, key).result, 0x67452301u);

  Sequence seq(8);
  for (int i = 0; i < 1000; ++i) {
    const Outcome o =
        run(i % 2 ? Direction::decrypt : Direction::encrypt, seq.block(), seq.block());
    EXPECT_EQ(o.result, little_endian(o.output));
  }
}

}  // namespace
}  // namespace vorkand::des::test
