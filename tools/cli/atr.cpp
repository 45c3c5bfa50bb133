#include "cli/atr.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "sim/hex.h"

namespace vorkand::cli {
namespace {

// Clock rate conversion factor Fi and baud rate adjustment factor Di, by the
// nibbles of TA1 (0: reserved).
constexpr std::array<int, 16> kFi{372, 372, 558, 744,  1116, 1488, 1860, 0,
                                  0,   512, 768, 1024, 1536, 2048, 0,    0};
constexpr std::array<int, 16> kDi{0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

}  // namespace

AtrInfo decode_atr(std::span<const uint8_t> atr) {
  AtrInfo info;
  if (atr.size() < 2) {
    info.error = "too short: an ATR has at least TS and T0";
    if (!atr.empty()) info.ts = atr[0];
    return info;
  }
  info.ts = atr[0];
  info.t0 = atr[1];
  std::size_t at = 2;
  uint8_t presence = info.t0 >> 4;
  for (int number = 1; presence != 0; ++number) {
    AtrLevel level;
    level.number = number;
    std::array<std::optional<uint8_t>*, 4> fields{&level.ta, &level.tb, &level.tc, &level.td};
    for (int bit = 0; bit < 4; ++bit) {
      if ((presence & (1 << bit)) == 0) continue;
      if (at >= atr.size()) {
        info.error = fmt::format("truncated in the interface bytes of level {}", number);
        info.levels.push_back(level);
        return info;
      }
      *fields[static_cast<std::size_t>(bit)] = atr[at++];
    }
    info.levels.push_back(level);
    if (!level.td) break;
    const int protocol = *level.td & 0x0F;
    if (std::find(info.protocols.begin(), info.protocols.end(), protocol) == info.protocols.end()) {
      info.protocols.push_back(protocol);
    }
    if (protocol != 0) info.tck_required = true;
    presence = *level.td >> 4;
  }
  if (info.protocols.empty()) info.protocols.push_back(0);

  const std::size_t k = info.t0 & 0x0F;
  if (atr.size() < at + k) {
    info.error =
        fmt::format("truncated: {} historical bytes announced, {} present", k, atr.size() - at);
    info.historical.assign(atr.begin() + static_cast<std::ptrdiff_t>(at), atr.end());
    return info;
  }
  info.historical.assign(atr.begin() + static_cast<std::ptrdiff_t>(at),
                         atr.begin() + static_cast<std::ptrdiff_t>(at + k));
  at += k;
  if (info.tck_required) {
    if (at >= atr.size()) {
      info.error = "TCK missing";
      return info;
    }
    info.tck = atr[at++];
    uint8_t sum = 0;
    for (std::size_t i = 1; i < at; ++i) sum ^= atr[i];
    info.tck_ok = sum == 0;
  }
  info.extra = atr.size() - at;
  return info;
}

std::vector<std::string> describe_atr(const AtrInfo& info) {
  std::vector<std::string> lines;
  const char* convention = info.ts == 0x3B   ? "direct convention"
                           : info.ts == 0x3F ? "inverse convention"
                                             : "not a valid TS (3B or 3F)";
  lines.push_back(fmt::format("TS   {:02X}  {}", info.ts, convention));
  if (info.error.empty() || !info.levels.empty() || info.t0 != 0) {
    std::string present;
    const char* names[] = {"TA1", "TB1", "TC1", "TD1"};
    for (int bit = 0; bit < 4; ++bit) {
      if (info.t0 & (0x10 << bit)) present += std::string(present.empty() ? "" : " ") + names[bit];
    }
    lines.push_back(fmt::format("T0   {:02X}  {}{}{} historical bytes", info.t0, present,
                                present.empty() ? "" : ", ", info.t0 & 0x0F));
  }
  int protocol = 0;  // the protocol a level's TA/TB/TC belong to (from the TD before)
  for (const AtrLevel& level : info.levels) {
    const int i = level.number;
    if (level.ta) {
      std::string meaning;
      if (i == 1) {
        const int fi = kFi[*level.ta >> 4], di = kDi[*level.ta & 0x0F];
        meaning = fi && di ? fmt::format("Fi={} Di={}", fi, di) : "reserved Fi/Di";
      } else if (i == 2) {
        meaning = fmt::format("specific mode, T={}", *level.ta & 0x0F);
      } else if (protocol == 1) {
        meaning = fmt::format("IFSC {}", *level.ta);
      }
      lines.push_back(fmt::format("TA{}  {:02X}  {}", i, *level.ta, meaning));
    }
    if (level.tb) {
      std::string meaning;
      if (i >= 3 && protocol == 1) {
        meaning = fmt::format("BWI {} CWI {}", *level.tb >> 4, *level.tb & 0x0F);
      }
      lines.push_back(fmt::format("TB{}  {:02X}  {}", i, *level.tb, meaning));
    }
    if (level.tc) {
      std::string meaning;
      if (i == 1) meaning = fmt::format("extra guard time {}", *level.tc);
      if (i == 2) meaning = fmt::format("work waiting time WI {}", *level.tc);
      if (i >= 3 && protocol == 1) meaning = *level.tc & 1 ? "CRC" : "LRC";
      lines.push_back(fmt::format("TC{}  {:02X}  {}", i, *level.tc, meaning));
    }
    if (level.td) {
      protocol = *level.td & 0x0F;
      lines.push_back(
          fmt::format("TD{}  {:02X}  T={}{}", i, *level.td, protocol,
                      (*level.td >> 4) ? fmt::format(", level {} follows", i + 1) : std::string()));
    }
  }
  std::string protocols;
  for (std::size_t i = 0; i < info.protocols.size(); ++i) {
    protocols +=
        fmt::format("{}T={}{}", i ? ", " : "", info.protocols[i], i == 0 ? " (first)" : "");
  }
  lines.push_back("protocols  " + protocols);
  lines.push_back(fmt::format("historical  {}  |{}|", sim::to_hex(info.historical),
                              sim::printable(info.historical)));
  if (info.tck) {
    lines.push_back(fmt::format("TCK  {:02X}  {}", *info.tck, info.tck_ok ? "correct" : "WRONG"));
  } else if (info.error.empty()) {
    lines.push_back("TCK  none (only T=0 offered)");
  }
  if (info.extra) lines.push_back(fmt::format("{} byte(s) after the end of the ATR", info.extra));
  if (!info.error.empty()) lines.push_back("malformed: " + info.error);
  return lines;
}

}  // namespace vorkand::cli
