#pragma once

#include <cstdint>

namespace vorkand::des {

enum class Direction : uint8_t { encrypt, decrypt };

// Single DES of one 8-byte block under an 8-byte key. Reads all of `input` and
// `key` before writing `output`, so any aliasing is allowed; no alignment is
// assumed. Returns output bytes 0..3 as a little-endian integer.
uint32_t crypt_block(Direction direction, uint8_t* output, const uint8_t* input,
                     const uint8_t* key) noexcept;

}  // namespace vorkand::des
