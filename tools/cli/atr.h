// Decoding an answer-to-reset: TS, T0, the interface bytes TA/TB/TC/TD by
// level, the protocols offered, the clock rate factors, the historical bytes
// (compact-TLV when they are) and the TCK check.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vorkand::cli {

struct AtrLevel {
  int number = 1;  // TA1..TD1 are level 1
  std::optional<uint8_t> ta, tb, tc, td;
};

// One byte of the ATR with what it means: {"TA1", 0x11, "Fi=372 Di=1"}.
struct AtrField {
  std::string name;
  uint8_t value = 0;
  std::string meaning;
};

// The transmission factors from TA1 (Fi 372, Di 1 without it): one
// elementary time unit (ETU) is Fi/Di clock cycles.
struct ClockRates {
  int fi = 372;
  int di = 1;
  double fmax_mhz = 5;  // the highest clock the card allows with this Fi
  double etu_cycles() const { return static_cast<double>(fi) / di; }
  // Bits a second at a clock of `mhz`.
  double bit_rate(double mhz) const { return mhz * 1e6 / etu_cycles(); }
};
// The usual reader clock: 3.5712 MHz gives 9600 bit/s at Fi 372, Di 1.
inline constexpr double kReaderClockMhz = 3.5712;

// One compact-TLV object of the historical bytes: tag (a nibble), value.
struct HistoricalObject {
  int tag = 0;
  std::string name;  // "card service data"
  std::vector<uint8_t> value;
  std::string meaning;  // decoded where the tag has a defined meaning
};

struct Historical {
  uint8_t category = 0;  // the first historical byte
  std::string format;    // "compact-TLV, status indicator last", "proprietary", ...
  std::vector<HistoricalObject> objects;
  std::vector<uint8_t> status;  // LCS and/or SW1 SW2, when present
  std::string status_meaning;
  std::string error;  // an object runs past the end, ...
};

struct AtrInfo {
  uint8_t ts = 0;
  uint8_t t0 = 0;
  bool has_t0 = false;  // the ATR has a second byte
  std::vector<AtrLevel> levels;
  std::vector<int> protocols;  // in the order offered; T=0 when TD1 is absent
  std::vector<uint8_t> historical;
  bool tck_required = false;  // some protocol other than T=0 is offered
  std::optional<uint8_t> tck;
  std::optional<uint8_t> tck_expected;  // XOR of T0 up to the byte before TCK
  bool tck_ok = false;                  // XOR of T0 .. TCK is 0
  std::string error;                    // empty, or what makes the ATR malformed
  std::size_t extra = 0;                // bytes after the end of the ATR
};

AtrInfo decode_atr(std::span<const uint8_t> atr);

// An ATR typed on the command line (`vorkand atr 3B 95 ...`): the words as
// bytes, pairs of hex digits with spaces, tabs or colons between bytes (each
// word holds bytes of its own); else the message saying where they stop being
// hex.
std::variant<std::vector<uint8_t>, std::string> parse_typed_atr(
    const std::vector<std::string>& words);

// The clock rate factors: Fi and Di from TA1; nothing when TA1 holds a
// reserved value.
std::optional<ClockRates> clock_rates(const AtrInfo& info);

Historical decode_historical(std::span<const uint8_t> bytes);

// TS, T0 and every interface byte with its meaning, then TCK.
std::vector<AtrField> atr_fields(const AtrInfo& info);

// The decoding as lines of text: "TS   3B  direct convention", ...
std::vector<std::string> describe_atr(const AtrInfo& info);

}  // namespace vorkand::cli
