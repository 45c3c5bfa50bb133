#include "sim/card_file.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <sstream>

#include "common/hex.h"

namespace vorkand::sim {
namespace {

using common::parse_hex;

constexpr std::array<uint8_t, 11> kAtrT0{0x3B, 0x95, 0x11, 0x80, 0x01, 0x76,
                                         0x6F, 0x72, 0x6B, 0x61, 0x64};
constexpr std::array<uint8_t, 12> kAtrT1{0x3B, 0x85, 0x81, 0x31, 0xFE, 0x45,
                                         0x76, 0x6F, 0x72, 0x6B, 0x61, 0xEF};

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// Splits off the first word of `rest`.
std::string_view next_word(std::string_view& rest) {
  rest = trim(rest);
  const auto end = rest.find_first_of(" \t");
  const std::string_view word = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : trim(rest.substr(end));
  return word;
}

std::optional<unsigned> parse_number(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// HEX, "TEXT" or zeros N.
std::optional<std::vector<uint8_t>> parse_data(std::string_view text) {
  text = trim(text);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    const std::string_view inner = text.substr(1, text.size() - 2);
    return std::vector<uint8_t>(inner.begin(), inner.end());
  }
  std::string_view rest = text;
  if (next_word(rest) == "zeros") {
    const auto count = parse_number(rest);
    if (!count || *count > 0x7FFF) return std::nullopt;
    return std::vector<uint8_t>(*count, 0);
  }
  return parse_hex(text);
}

std::optional<std::vector<uint16_t>> parse_path(std::string_view text) {
  std::vector<uint16_t> path;
  while (!text.empty()) {
    const auto slash = text.find('/');
    const std::string_view part = text.substr(0, slash);
    const auto bytes = parse_hex(part);
    if (!bytes || bytes->size() != 2 || part.size() != 4) return std::nullopt;
    path.push_back(static_cast<uint16_t>((*bytes)[0] << 8 | (*bytes)[1]));
    if (slash == std::string_view::npos) break;
    text = text.substr(slash + 1);
  }
  if (path.empty() || path.front() != 0x3F00) return std::nullopt;
  return path;
}

}  // namespace

std::span<const uint8_t> builtin_atr(Protocol protocol) {
  if (protocol == Protocol::t1) return kAtrT1;
  return kAtrT0;
}

std::optional<std::vector<uint8_t>> parse_atr_choice(std::string_view text) {
  text = trim(text);
  if (text == "t0" || text == "T0") return std::vector<uint8_t>(kAtrT0.begin(), kAtrT0.end());
  if (text == "t1" || text == "T1") return std::vector<uint8_t>(kAtrT1.begin(), kAtrT1.end());
  auto bytes = parse_hex(text);
  // The reader's ATR reply carries at most 252 bytes; an ATR has TS and T0.
  if (!bytes || bytes->size() < 2 || bytes->size() > 252) return std::nullopt;
  return bytes;
}

CardProfile default_card() {
  return std::get<CardProfile>(parse_card(default_card_text()));
}

std::variant<CardProfile, std::string> parse_card(std::string_view text) {
  CardProfile card;
  card.atr.assign(kAtrT0.begin(), kAtrT0.end());
  std::vector<std::vector<uint16_t>> dfs{{0x3F00}};
  int number = 0;
  while (!text.empty()) {
    ++number;
    const auto newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
    // A '#' outside quotes starts a comment.
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == '#' && !quoted) {
        line = line.substr(0, i);
        break;
      }
    }
    std::string_view rest = trim(line);
    if (rest.empty()) continue;
    const std::string_view keyword = next_word(rest);
    const auto fail = [number](std::string_view what) {
      return std::variant<CardProfile, std::string>(
          std::in_place_index<1>, "line " + std::to_string(number) + ": " + std::string(what));
    };

    if (keyword == "atr") {
      auto atr = parse_atr_choice(rest);
      if (!atr) return fail("atr wants t0, t1 or 2 to 252 hex bytes");
      card.atr = std::move(*atr);
    } else if (keyword == "key") {
      const auto key = parse_hex(rest);
      if (!key || key->size() != 8) return fail("key wants 8 hex bytes");
      std::copy(key->begin(), key->end(), card.key.begin());
    } else if (keyword == "pin") {
      const auto pin = parse_data(rest);
      if (!pin || pin->empty() || pin->size() > 16) return fail("pin wants 1 to 16 bytes");
      card.pin = *pin;
    } else if (keyword == "pin-tries") {
      const auto tries = parse_number(rest);
      if (!tries || *tries < 1 || *tries > 15) return fail("pin-tries wants a number 1 to 15");
      card.pin_tries = static_cast<uint8_t>(*tries);
    } else if (keyword == "df" || keyword == "ef") {
      const auto path = parse_path(next_word(rest));
      if (!path) return fail("a path is FIDs of 4 hex digits from 3F00, such as 3F00/5000");
      if (path->size() < 2) return fail("3F00 is the MF; it always exists");
      const std::vector<uint16_t> parent(path->begin(), path->end() - 1);
      if (std::find(dfs.begin(), dfs.end(), parent) == dfs.end()) {
        return fail("the parent DF must be listed before the file");
      }
      for (const FileEntry& file : card.files) {
        if (file.path == *path) return fail("this file is listed twice");
      }
      FileEntry file;
      file.path = *path;
      if (keyword == "df") {
        if (!rest.empty()) return fail("df takes only a path");
        file.is_df = true;
        dfs.push_back(*path);
      } else {
        std::string_view data_text = rest;
        if (next_word(data_text) == "pin") {
          file.needs_pin = true;
          rest = data_text;
        }
        const auto data = parse_data(rest);
        if (!data) return fail("ef data is hex bytes, \"text\" or zeros N");
        file.data = *data;
      }
      card.files.push_back(std::move(file));
    } else {
      return fail("unknown item '" + std::string(keyword) + "'");
    }
  }
  return card;
}

std::variant<CardProfile, std::string> load_card_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return std::variant<CardProfile, std::string>(std::in_place_index<1>, path + ": cannot read");
  std::ostringstream text;
  text << in.rdbuf();
  auto card = parse_card(text.str());
  if (auto* error = std::get_if<std::string>(&card)) *error = path + ": " + *error;
  return card;
}

}  // namespace vorkand::sim
