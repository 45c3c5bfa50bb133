// Decoding an answer-to-reset: TS, T0, the interface bytes TA/TB/TC/TD by
// level, the protocols offered, the historical bytes and the TCK check.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vorkand::cli {

struct AtrLevel {
  int number = 1;  // TA1..TD1 are level 1
  std::optional<uint8_t> ta, tb, tc, td;
};

struct AtrInfo {
  uint8_t ts = 0;
  uint8_t t0 = 0;
  std::vector<AtrLevel> levels;
  std::vector<int> protocols;  // in the order offered; T=0 when TD1 is absent
  std::vector<uint8_t> historical;
  bool tck_required = false;  // some protocol other than T=0 is offered
  std::optional<uint8_t> tck;
  bool tck_ok = false;    // XOR of T0 .. TCK is 0
  std::string error;      // empty, or what makes the ATR malformed
  std::size_t extra = 0;  // bytes after the end of the ATR
};

AtrInfo decode_atr(std::span<const uint8_t> atr);

// The decoding as lines of text: "TS  3B  direct convention", ...
std::vector<std::string> describe_atr(const AtrInfo& info);

}  // namespace vorkand::cli
