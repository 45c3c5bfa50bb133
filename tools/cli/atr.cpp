#include "cli/atr.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>

#include "cli/hex_input.h"
#include "common/hex.h"

namespace vorkand::cli {
namespace {

// Clock rate conversion factor Fi with its highest clock, and baud rate
// adjustment factor Di, by the nibbles of TA1 (0: reserved).
struct FiEntry {
  int fi;
  double fmax_mhz;
};
constexpr std::array<FiEntry, 16> kFi{{{372, 4},
                                       {372, 5},
                                       {558, 6},
                                       {744, 8},
                                       {1116, 12},
                                       {1488, 16},
                                       {1860, 20},
                                       {0, 0},
                                       {0, 0},
                                       {512, 5},
                                       {768, 7.5},
                                       {1024, 10},
                                       {1536, 15},
                                       {2048, 20},
                                       {0, 0},
                                       {0, 0}}};
constexpr std::array<int, 16> kDi{0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

std::string hex(std::span<const uint8_t> bytes) {
  return common::to_hex(bytes);
}

// TB1 (deprecated): the programming voltage PI1 in volts and the largest
// programming current, or that no such voltage is wired.
std::string tb1_meaning(uint8_t tb1) {
  const int pi1 = tb1 & 0x1F;
  const int ii = (tb1 >> 5) & 0x03;
  if (pi1 == 0) return "no programming voltage (VPP not connected)";
  constexpr std::array<const char*, 4> kCurrent{"25 mA", "50 mA", "100 mA", "reserved current"};
  if (pi1 < 5 || pi1 > 25) return fmt::format("reserved programming voltage (PI1 {})", pi1);
  return fmt::format("programming voltage {} V, at most {} (deprecated)", pi1,
                     kCurrent[static_cast<std::size_t>(ii)]);
}

std::string ta1_meaning(uint8_t ta1) {
  const FiEntry fi = kFi[ta1 >> 4];
  const int di = kDi[ta1 & 0x0F];
  if (fi.fi == 0 || di == 0) return "reserved Fi/Di";
  return fmt::format("Fi={} Di={}", fi.fi, di);
}

std::string ta2_meaning(uint8_t ta2) {
  std::string text = fmt::format("specific mode, T={}", ta2 & 0x0F);
  if (ta2 & 0x80) text += ", cannot change";
  if (ta2 & 0x10) text += ", implicit ETU";
  return text;
}

std::string tc1_meaning(uint8_t tc1) {
  if (tc1 == 0xFF) return "minimal guard time (12 ETU under T=0, 11 under T=1)";
  return fmt::format("extra guard time {}", tc1);
}

// TA after T=15: clock stop and the supply voltage classes.
std::string global_ta_meaning(uint8_t ta) {
  constexpr std::array<const char*, 4> kStop{"no clock stop", "clock stop in state L",
                                             "clock stop in state H", "clock stop, no preference"};
  std::string classes;
  const char* names[] = {"A (5 V)", "B (3 V)", "C (1.8 V)"};
  for (int bit = 0; bit < 3; ++bit) {
    if (ta & (1 << bit)) classes += std::string(classes.empty() ? "" : ", ") + names[bit];
  }
  return fmt::format("{}; class {}", kStop[ta >> 6], classes.empty() ? "none" : classes);
}

// Compact-TLV tags of the historical bytes.
const char* tag_name(int tag) {
  switch (tag) {
    case 0x1:
      return "country code";
    case 0x2:
      return "issuer identification number";
    case 0x3:
      return "card service data";
    case 0x4:
      return "initial access data";
    case 0x5:
      return "card issuer's data";
    case 0x6:
      return "pre-issuing data";
    case 0x7:
      return "card capabilities";
    case 0x8:
      return "status indicator";
    case 0xF:
      return "application identifier";
    default:
      return "unknown tag";
  }
}

// The bits set in `byte` named by `names` (bit 8 first).
std::string bit_names(uint8_t byte, const std::array<const char*, 8>& names) {
  std::string text;
  for (int bit = 7; bit >= 0; --bit) {
    const char* name = names[static_cast<std::size_t>(7 - bit)];
    if ((byte & (1 << bit)) && name[0] != '\0')
      text += std::string(text.empty() ? "" : ", ") + name;
  }
  return text;
}

std::string service_data(std::span<const uint8_t> value) {
  if (value.size() != 1) return {};
  std::string text =
      bit_names(value[0], {"selection by full DF name", "selection by partial DF name",
                           "data objects in EF.DIR", "data objects in EF.ATR", "", "", "", ""});
  const int access = (value[0] >> 1) & 0x07;
  const char* how = access == 0x04   ? "EF.DIR/EF.ATR by READ BINARY"
                    : access == 0x00 ? "EF.DIR/EF.ATR by READ RECORD"
                    : access == 0x02 ? "EF.DIR/EF.ATR by GET DATA"
                                     : "EF.DIR/EF.ATR access reserved";
  text += std::string(text.empty() ? "" : ", ") + how;
  text += value[0] & 0x01 ? ", no MF" : ", with an MF";
  return text;
}

// The data coding byte: TLV files, what writing does, whether FF can start
// a BER-TLV tag, and the size of a data unit (2 to the power b4-b1, in
// quartets).
std::string data_coding(uint8_t byte) {
  constexpr std::array<const char*, 4> kWrites{"one-time write", "proprietary write", "write OR",
                                               "write AND"};
  std::string text = "data coding: ";
  if (byte & 0x80) text += "EFs of TLV structure, ";
  text += kWrites[(byte >> 5) & 0x03];
  text += byte & 0x10 ? ", FF valid as a first tag byte" : ", FF not a tag byte";
  const int power = byte & 0x0F;
  if (power == 0) return text + ", data unit of a quartet";
  const unsigned bytes = 1u << (power - 1);
  return text + fmt::format(", data unit of {} byte{}", bytes, bytes == 1 ? "" : "s");
}

std::string capabilities(std::span<const uint8_t> value) {
  if (value.empty()) return {};
  std::string text =
      "selection: " + bit_names(value[0], {"full DF name", "partial DF name", "path",
                                           "file identifier", "implicit DF", "short EF identifier",
                                           "record number", "record identifier"});
  if (value.size() >= 2) text += "; " + data_coding(value[1]);
  if (value.size() >= 3) {
    const uint8_t third = value[2];
    if (third & 0x80) text += "; command chaining";
    if (third & 0x40) text += "; extended Lc and Le";
    if (third & 0x18) text += fmt::format("; up to {} logical channels", (third & 0x07) + 1);
  }
  return text;
}

constexpr int kBerAid = 0x4F;

// An application identifier: the registered provider (RID, 5 bytes), then
// the provider's own part (PIX).
std::string aid_meaning(std::span<const uint8_t> aid) {
  if (aid.size() < 5) return {};
  std::string text = "RID " + hex(aid.first(5));
  if (aid.size() > 5) text += ", PIX " + hex(aid.subspan(5));
  return text;
}

std::string life_cycle(uint8_t lcs) {
  if (lcs == 0x00) return "no life cycle information";
  if (lcs == 0x01) return "creation state";
  if (lcs == 0x03) return "initialisation state";
  if ((lcs & 0xFD) == 0x05) return "operational, activated";
  if ((lcs & 0xFD) == 0x04) return "operational, deactivated";
  if ((lcs & 0xFC) == 0x0C) return "termination state";
  return fmt::format("life cycle {:02X}", lcs);
}

std::string status_indicator(std::span<const uint8_t> status) {
  if (status.size() == 1) return life_cycle(status[0]);
  if (status.size() == 2) return fmt::format("SW {:02X} {:02X}", status[0], status[1]);
  if (status.size() == 3) {
    return fmt::format("{}, SW {:02X} {:02X}", life_cycle(status[0]), status[1], status[2]);
  }
  return {};
}

std::string etu_line(const ClockRates& rates) {
  return fmt::format(
      "ETU  {:g} clock cycles (Fi {} / Di {}): {:.0f} bit/s at {:g} MHz, {:.0f} "
      "bit/s at fmax {:g} MHz",
      rates.etu_cycles(), rates.fi, rates.di, rates.bit_rate(kReaderClockMhz), kReaderClockMhz,
      rates.bit_rate(rates.fmax_mhz), rates.fmax_mhz);
}

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
  info.has_t0 = true;
  // The rest is still decoded as if the convention were direct; a later
  // break replaces this error.
  if (info.ts != 0x3B && info.ts != 0x3F) {
    info.error = fmt::format("byte 1, TS {:02X}, is neither 3B nor 3F", info.ts);
  }
  std::size_t at = 2;
  uint8_t presence = info.t0 >> 4;
  for (int number = 1; presence != 0; ++number) {
    AtrLevel level;
    level.number = number;
    std::array<std::optional<uint8_t>*, 4> fields{&level.ta, &level.tb, &level.tc, &level.td};
    for (int bit = 0; bit < 4; ++bit) {
      if ((presence & (1 << bit)) == 0) continue;
      if (at >= atr.size()) {
        info.error = fmt::format("truncated after byte {}, in the interface bytes of level {}",
                                 atr.size(), number);
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
    uint8_t sum = 0;
    for (std::size_t i = 1; i < at; ++i) sum ^= atr[i];
    info.tck_expected = sum;
    info.tck = atr[at++];
    info.tck_ok = sum == *info.tck;
  }
  info.extra = atr.size() - at;
  return info;
}

std::variant<std::vector<uint8_t>, std::string> parse_typed_atr(
    const std::vector<std::string>& words) {
  std::string joined;
  for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
  return read_hex(joined);
}

std::optional<ClockRates> clock_rates(const AtrInfo& info) {
  if (info.levels.empty() || !info.levels[0].ta) return ClockRates{};
  const uint8_t ta1 = *info.levels[0].ta;
  const FiEntry fi = kFi[ta1 >> 4];
  const int di = kDi[ta1 & 0x0F];
  if (fi.fi == 0 || di == 0) return std::nullopt;
  return ClockRates{fi.fi, di, fi.fmax_mhz};
}

Historical decode_historical(std::span<const uint8_t> bytes) {
  Historical result;
  if (bytes.empty()) {
    result.format = "none";
    return result;
  }
  result.category = bytes[0];
  std::span<const uint8_t> objects = bytes.subspan(1);
  switch (result.category) {
    case 0x00:
      result.format = "compact-TLV, status indicator in the last 3 bytes";
      if (objects.size() < 3) {
        result.error = "no room for the status indicator";
        return result;
      }
      result.status.assign(objects.end() - 3, objects.end());
      objects = objects.first(objects.size() - 3);
      break;
    case 0x10:
      result.format = "DIR data reference";
      result.objects.push_back(
          HistoricalObject{0, "DIR data reference", {objects.begin(), objects.end()}, {}});
      return result;
    case 0x80:
      result.format = "compact-TLV";
      break;
    default:
      result.format =
          result.category >= 0x81 && result.category <= 0x8F ? "reserved category" : "proprietary";
      return result;
  }
  for (std::size_t at = 0; at < objects.size();) {
    int tag = objects[at] >> 4;
    std::size_t header = 1, length = objects[at] & 0x0F;
    // Contactless readers put the application identifier in as the
    // BER-TLV object 4F with its length in the next byte.
    if (objects[at] == kBerAid && at + 1 < objects.size()) {
      tag = kBerAid;
      header = 2;
      length = objects[at + 1];
    }
    if (at + header + length > objects.size()) {
      result.error = fmt::format("object {:02X} runs past the end", objects[at]);
      break;
    }
    HistoricalObject object{tag,
                            tag_name(tag == kBerAid ? 0xF : tag),
                            {objects.begin() + static_cast<std::ptrdiff_t>(at + header),
                             objects.begin() + static_cast<std::ptrdiff_t>(at + header + length)},
                            {}};
    if (tag == 0xF || tag == kBerAid) object.meaning = aid_meaning(object.value);
    if (tag == 0x3) object.meaning = service_data(object.value);
    if (tag == 0x7) object.meaning = capabilities(object.value);
    if (tag == 0x8) {
      object.meaning = status_indicator(object.value);
      result.status = object.value;
    }
    result.objects.push_back(std::move(object));
    at += header + length;
  }
  result.status_meaning = status_indicator(result.status);
  return result;
}

std::vector<AtrField> atr_fields(const AtrInfo& info) {
  std::vector<AtrField> fields;
  const char* convention = info.ts == 0x3B   ? "direct convention"
                           : info.ts == 0x3F ? "inverse convention"
                                             : "not a valid TS (3B or 3F)";
  fields.push_back({"TS", info.ts, convention});
  if (info.has_t0) {
    std::string present;
    const char* names[] = {"TA1", "TB1", "TC1", "TD1"};
    for (int bit = 0; bit < 4; ++bit) {
      if (info.t0 & (0x10 << bit)) present += std::string(present.empty() ? "" : " ") + names[bit];
    }
    fields.push_back({"T0", info.t0,
                      fmt::format("{}{}{} historical bytes", present, present.empty() ? "" : ", ",
                                  info.t0 & 0x0F)});
  }
  int protocol = 0;  // the protocol a level's TA/TB/TC belong to (from the TD before)
  for (const AtrLevel& level : info.levels) {
    const int i = level.number;
    if (level.ta) {
      std::string meaning;
      if (i == 1) meaning = ta1_meaning(*level.ta);
      if (i == 2) meaning = ta2_meaning(*level.ta);
      if (i >= 3 && protocol == 1) meaning = fmt::format("IFSC {}", *level.ta);
      if (i >= 3 && protocol == 15) meaning = global_ta_meaning(*level.ta);
      fields.push_back({fmt::format("TA{}", i), *level.ta, meaning});
    }
    if (level.tb) {
      std::string meaning;
      if (i == 1) meaning = tb1_meaning(*level.tb);
      if (i == 2) meaning = fmt::format("programming voltage PI2 {} (deprecated)", *level.tb);
      if (i >= 3 && protocol == 1) {
        meaning = fmt::format("BWI {} CWI {}", *level.tb >> 4, *level.tb & 0x0F);
      }
      fields.push_back({fmt::format("TB{}", i), *level.tb, meaning});
    }
    if (level.tc) {
      std::string meaning;
      if (i == 1) meaning = tc1_meaning(*level.tc);
      if (i == 2) meaning = fmt::format("work waiting time WI {}", *level.tc);
      if (i >= 3 && protocol == 1) meaning = *level.tc & 1 ? "CRC" : "LRC";
      fields.push_back({fmt::format("TC{}", i), *level.tc, meaning});
    }
    if (level.td) {
      protocol = *level.td & 0x0F;
      fields.push_back({fmt::format("TD{}", i), *level.td,
                        fmt::format("T={}{}", protocol,
                                    (*level.td >> 4) ? fmt::format(", level {} follows", i + 1)
                                                     : std::string())});
    }
  }
  if (info.tck) {
    fields.push_back({"TCK", *info.tck,
                      info.tck_ok ? std::string("correct")
                                  : fmt::format("WRONG, expected {:02X}", *info.tck_expected)});
  }
  return fields;
}

std::vector<std::string> describe_atr(const AtrInfo& info) {
  std::vector<std::string> lines;
  const auto fields = atr_fields(info);
  const auto field_line = [](const AtrField& field) {
    return fmt::format("{:<4} {:02X}  {}", field.name, field.value, field.meaning);
  };
  for (const AtrField& field : fields) {
    if (field.name != "TCK") lines.push_back(field_line(field));
  }
  std::string protocols;
  for (std::size_t i = 0; i < info.protocols.size(); ++i) {
    protocols +=
        fmt::format("{}T={}{}", i ? ", " : "", info.protocols[i], i == 0 ? " (first)" : "");
  }
  // What a short or truncated ATR does not hold is left out, not shown empty.
  if (!protocols.empty()) lines.push_back("protocols  " + protocols);
  if (const auto rates = clock_rates(info); rates && !protocols.empty()) {
    lines.push_back(etu_line(*rates));
  }
  if (!info.historical.empty()) {
    lines.push_back(fmt::format("historical  {}  |{}|", hex(info.historical),
                                common::printable(info.historical)));
    const Historical decoded = decode_historical(info.historical);
    lines.push_back(fmt::format("  category {:02X}: {}", decoded.category, decoded.format));
    for (const HistoricalObject& object : decoded.objects) {
      lines.push_back(fmt::format("  {:X} {}  {}{}{}", object.tag, object.name, hex(object.value),
                                  object.meaning.empty() ? "" : "  ", object.meaning));
    }
    if (decoded.category == 0x00 && !decoded.status.empty()) {
      lines.push_back(fmt::format("  status  {}  {}", hex(decoded.status), decoded.status_meaning));
    }
    if (!decoded.error.empty()) lines.push_back("  " + decoded.error);
  }
  if (info.tck) {
    lines.push_back(field_line(fields.back()));
  } else if (info.error.empty()) {
    lines.push_back("TCK  none (only T=0 offered)");
  }
  if (info.extra) lines.push_back(fmt::format("{} byte(s) after the end of the ATR", info.extra));
  // What makes the ATR malformed is the command's error, said once there.
  return lines;
}

}  // namespace vorkand::cli
