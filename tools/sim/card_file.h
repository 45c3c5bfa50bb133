// The card file: a small text description of a simulated card (files, key,
// PIN, ATR). cards/default.card documents the format and is the card built in.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "sim/card_model.h"

namespace vorkand::sim {

// The two ATRs to choose from. Both offer T=0 and T=1; the first protocol
// they name decides how the card answers.
//   T=0 first: 3B 95 11 80 01 + "vorka" + TCK   (TA1 11, TD1 T=0, TD2 T=1)
//   T=1 first: 3B 85 81 31 FE 45 + "vorka" + TCK (TD1 T=1, TA3 IFSC 254, TB3 45)
std::span<const uint8_t> builtin_atr(Protocol protocol);

// The text of the built-in card (the same as cards/default.card).
std::string_view default_card_text();
CardProfile default_card();

// Parses a card description; on error the string is "line N: what is wrong".
std::variant<CardProfile, std::string> parse_card(std::string_view text);
// Reads and parses a file; on error "PATH: ..." or "PATH: line N: ...".
std::variant<CardProfile, std::string> load_card_file(const std::string& path);

// "t0", "t1" or hex bytes: the ATR, or empty when neither.
std::optional<std::vector<uint8_t>> parse_atr_choice(std::string_view text);

}  // namespace vorkand::sim
