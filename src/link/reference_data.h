// Commands whose data is reference data (PINs, PUKs, new PINs): VERIFY (INS 20,
// 21), CHANGE REFERENCE DATA (24, 25), DISABLE and ENABLE VERIFICATION
// REQUIREMENT (26, 28) and RESET RETRY COUNTER (2C, 2D), whatever the class
// byte. Every trace masks their data bytes: the library's frame trace and the
// simulator's, so this is the one table of them. Header-only, no dependency
// beyond the frame's wire constants; in a namespace of its own, as wire
// knowledge the simulator shares, not a part of the library's link layer.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/frame.h"

namespace vorkand::wire {

using link::kBodyAt;
using link::kHeadAt;
using link::kHeadT0;
using link::kHeadT1;
using link::kLengthAt;

inline constexpr std::array<uint8_t, 8> kReferenceDataIns{0x20, 0x21, 0x24, 0x25,
                                                          0x26, 0x28, 0x2C, 0x2D};

constexpr bool carries_reference_data(uint8_t ins) noexcept {
  return std::find(kReferenceDataIns.begin(), kReferenceDataIns.end(), ins) !=
         kReferenceDataIns.end();
}

// The bytes [from, to) of a frame or an APDU that a trace masks.
struct Secret {
  std::size_t from = 0;
  std::size_t to = 0;
};

// In an APDU (CLA INS P1 P2 Lc data...) of a command above: every byte after
// Lc. CLA, INS, P1, P2 and Lc stay visible. Nothing for any other command.
constexpr Secret secret_in_apdu(std::span<const uint8_t> apdu) noexcept {
  constexpr std::size_t kInsAt = 1;
  constexpr std::size_t kDataAt = 5;
  if (apdu.size() <= kDataAt || !carries_reference_data(apdu[kInsAt])) return {};
  return {kDataAt, apdu.size()};
}

// In a frame to the reader: the secret of the APDU that a card frame's body
// holds. Reader commands and replies carry no APDU.
constexpr Secret secret_in_frame(std::span<const uint8_t> frame) noexcept {
  if (frame.size() <= kBodyAt) return {};
  const uint8_t head = frame[kHeadAt];
  if (head != kHeadT0 && head != kHeadT1) return {};
  const std::size_t body = std::min<std::size_t>(frame[kLengthAt], frame.size() - kBodyAt);
  const Secret secret = secret_in_apdu(frame.subspan(kBodyAt, body));
  if (secret.from == secret.to) return {};
  return {kBodyAt + secret.from, kBodyAt + secret.to};
}

}  // namespace vorkand::wire
