// The tool's ATR decoding, fed arbitrary bytes, and its reading of an ATR
// typed on the command line, fed arbitrary text:
//   - the decoder agrees with a plain walk over the ATR: the interface bytes
//     of each level where T0 and each TDi say, the protocols in order, the
//     historical bytes, TCK when a protocol other than T=0 is offered and
//     its check, the bytes after the end, and an error exactly when TS is
//     wrong or the ATR ends early; the ATR sits at the end of its own heap
//     block, so reading past it is caught;
//   - the fields and the description of every decoding (and of the
//     historical bytes) are made without a fault, one field per byte read;
//   - typed text gives bytes exactly when every word is made of whole hex
//     pairs, with separators (space, tab, colon) only between bytes, and
//     the tool's own printing of those bytes reads back the same.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "check.h"
#include "cli/atr.h"
#include "common/hex.h"

namespace {

using vorkand::fuzz::check;
namespace cli = vorkand::cli;
using Bytes = std::vector<uint8_t>;

struct Walk {
  std::size_t interface_bytes = 0;
  std::size_t levels = 0;
  std::vector<int> protocols;
  std::optional<std::size_t> historical_at;
  std::size_t historical = 0;  // bytes present
  bool complete = false;       // every byte announced is there
  bool tck = false;
  std::size_t end = 0;  // one past the last byte of the ATR
};

Walk walk(std::span<const uint8_t> atr, std::vector<cli::AtrLevel>& levels) {
  Walk w;
  std::size_t at = 2;
  uint8_t y = atr[1] >> 4;
  bool tck = false;
  for (int number = 1; y != 0; ++number) {
    cli::AtrLevel level;
    level.number = number;
    std::optional<uint8_t>* fields[] = {&level.ta, &level.tb, &level.tc, &level.td};
    for (int bit = 0; bit < 4; ++bit) {
      if (!(y & (1 << bit))) continue;
      if (at >= atr.size()) {
        levels.push_back(level);
        w.levels = levels.size();
        return w;
      }
      *fields[bit] = atr[at++];
      ++w.interface_bytes;
    }
    levels.push_back(level);
    if (!level.td) break;
    const int t = *level.td & 0x0F;
    if (std::find(w.protocols.begin(), w.protocols.end(), t) == w.protocols.end())
      w.protocols.push_back(t);
    tck = tck || t != 0;
    y = *level.td >> 4;
  }
  w.levels = levels.size();
  if (w.protocols.empty()) w.protocols.push_back(0);
  w.historical_at = at;
  const std::size_t k = atr[1] & 0x0F;
  w.historical = std::min(k, atr.size() - at);
  if (atr.size() - at < k) return w;
  at += k;
  if (tck && at >= atr.size()) return w;
  w.tck = tck;
  w.complete = true;
  w.end = at + (tck ? 1 : 0);
  return w;
}

void check_decoding(std::span<const uint8_t> atr) {
  const cli::AtrInfo info = cli::decode_atr(atr);
  if (atr.size() < 2) {
    check(!info.error.empty() && info.levels.empty(), "a short ATR decoded");
  } else {
    std::vector<cli::AtrLevel> levels;
    const Walk w = walk(atr, levels);
    check(info.ts == atr[0] && info.t0 == atr[1], "TS or T0");
    check(info.levels.size() == w.levels, "level count", long(info.levels.size()), long(w.levels));
    for (std::size_t i = 0; i < levels.size(); ++i) {
      const cli::AtrLevel& a = info.levels[i];
      const cli::AtrLevel& b = levels[i];
      check(a.number == b.number && a.ta == b.ta && a.tb == b.tb && a.tc == b.tc && a.td == b.td,
            "interface bytes of a level", long(i));
    }
    const bool ts_ok = atr[0] == 0x3B || atr[0] == 0x3F;
    check(info.error.empty() == (ts_ok && w.complete), "error where the ATR is sound, or none");
    if (w.historical_at) {
      check(info.protocols == w.protocols, "protocols");
      check(info.historical.size() == w.historical &&
                std::equal(info.historical.begin(), info.historical.end(),
                           atr.begin() + static_cast<std::ptrdiff_t>(*w.historical_at)),
            "historical bytes");
    }
    if (w.complete) {
      check(info.tck.has_value() == w.tck, "TCK present unlike the walk");
      check(info.extra == atr.size() - w.end, "bytes after the end", long(info.extra));
      if (w.tck) {
        uint8_t sum = 0;
        for (std::size_t i = 1; i < w.end; ++i) sum ^= atr[i];
        check(info.tck_ok == (sum == 0), "TCK check");
      }
    }
  }
  // Every byte read is a field: TS, T0, each interface byte, TCK.
  const auto fields = cli::atr_fields(info);
  if (atr.size() >= 2) {
    std::vector<cli::AtrLevel> levels;
    const Walk w = walk(atr, levels);
    check(fields.size() == 2 + w.interface_bytes + (info.tck ? 1 : 0), "field count",
          long(fields.size()));
  }
  const auto lines = cli::describe_atr(info);
  check(!lines.empty(), "no description");
  (void)cli::clock_rates(info);
}

void check_historical(std::span<const uint8_t> bytes) {
  const cli::Historical h = cli::decode_historical(bytes);
  if (bytes.empty()) return;
  check(h.category == bytes[0], "category");
  if (h.category != 0x00 && h.category != 0x80) return;
  // Without an error the objects (and the status indicator behind them)
  // account for every byte.
  if (!h.error.empty()) return;
  std::size_t used = 1 + (h.category == 0x00 ? 3 : 0);
  for (const cli::HistoricalObject& o : h.objects) {
    used += (o.tag == 0x4F ? 2 : 1) + o.value.size();
  }
  check(used == bytes.size(), "historical objects do not cover the bytes", long(used),
        long(bytes.size()));
}

// The model of typed text: whole pairs of hex digits, separators between
// bytes only.
std::optional<Bytes> model_typed(const std::string& joined) {
  Bytes out;
  std::size_t i = 0;
  const auto separator = [](char c) { return c == ' ' || c == '\t' || c == ':'; };
  while (i < joined.size()) {
    if (separator(joined[i])) {
      ++i;
      continue;
    }
    if (i + 1 >= joined.size() || !std::isxdigit(static_cast<unsigned char>(joined[i])) ||
        !std::isxdigit(static_cast<unsigned char>(joined[i + 1])))
      return std::nullopt;
    out.push_back(static_cast<uint8_t>(std::stoi(joined.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

void check_typed(const uint8_t* data, std::size_t size) {
  // Words as a shell would hand them over: split at newlines.
  std::vector<std::string> words(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      words.emplace_back();
    } else {
      words.back() += static_cast<char>(data[i]);
    }
  }
  std::string joined;
  for (const std::string& w : words) joined += (joined.empty() ? "" : " ") + w;
  const auto typed = cli::parse_typed_atr(words);
  const auto model = model_typed(joined);
  check(std::holds_alternative<Bytes>(typed) == model.has_value(),
        "typed ATR accepted unlike the model");
  if (!model) {
    check(!std::get<std::string>(typed).empty(), "a refusal without a message");
    return;
  }
  check(std::get<Bytes>(typed) == *model, "typed ATR bytes");
  for (const char* separator : {" ", ":", ""}) {
    const auto again = cli::parse_typed_atr({vorkand::common::to_hex(*model, separator)});
    check(std::holds_alternative<Bytes>(again) && std::get<Bytes>(again) == *model,
          "the tool's printing does not read back");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  auto atr = std::make_unique<uint8_t[]>(size);
  std::memcpy(atr.get(), data, size);
  const std::span<const uint8_t> bytes(atr.get(), size);
  check_decoding(bytes);
  check_historical(bytes);
  check_typed(data, size);
  return 0;
}
