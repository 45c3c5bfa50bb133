// APDUs as a user types them: hex bytes, checked against the lengths the
// library can frame before it is called.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vorkand.h"

namespace vorkand::cli {

using Bytes = std::vector<uint8_t>;

// The longest APDU the library can frame (a reply frame carries at most 256
// bytes; the frame around an APDU takes the rest).
inline constexpr std::size_t kMaxApdu = VORKAND_MAX_APDU;
inline constexpr std::size_t kMinApdu = 4;

// An APDU typed by a user: hex bytes, kMinApdu to kMaxApdu of them, whose
// Lc (the fifth byte, when data follow it) counts the data exactly, with at
// most Le after them. On error, what is wrong and where: the character that
// is not hex, the length and the limit, or what Lc announces against what
// follows.
std::variant<Bytes, std::string> parse_apdu(std::string_view text);

// Whether an APDU parse_apdu accepted ends in Le (it asks for data).
bool apdu_has_le(const Bytes& apdu);

}  // namespace vorkand::cli
