// Helpers for the tests that drive the library through its C boundary
// against simulated readers on pseudo-terminals.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "sim/card_file.h"
#include "sim/pty_simulator.h"
#include "simulator.h"
#include "vorkand.h"

namespace vorkand::test {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// A simulated reader holding the card described by `card_text` (the card
// file format), or the built-in card when empty.
inline std::unique_ptr<sim::PtySimulator> start_reader(sim::PtyOptions options = {},
                                                       const std::string& card_text = {},
                                                       sim::ReaderOptions reader = {}) {
  sim::CardProfile profile = sim::default_card();
  if (!card_text.empty()) {
    auto parsed = sim::parse_card(card_text);
    if (auto* error = std::get_if<std::string>(&parsed)) {
      ADD_FAILURE() << "card: " << *error;
      return nullptr;
    }
    profile = std::get<sim::CardProfile>(parsed);
  }
  return start_simulator(std::move(options), std::move(profile), reader);
}

// Maps COMn to `path` for the next CT_open (the library reads it at each open).
inline void map_com(int n, const std::string& path) {
  const std::string name = "VORKAND_COM" + std::to_string(n);
  ::setenv(name.c_str(), path.c_str(), 1);
}

inline double seconds_since(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// One card command through ICC_tsi_api with room for the largest response.
struct Answer {
  int32_t status;
  std::vector<uint8_t> data;
};

inline Answer transparent(int32_t handle, std::vector<uint8_t> apdu) {
  uint8_t length = 0xEE;
  std::vector<uint8_t> response(256, 0xEE);
  const int32_t status =
      ICC_tsi_api(handle, static_cast<int32_t>(apdu.size()), apdu.data(), &length, response.data());
  response.resize(length);
  return {status, response};
}

inline std::vector<uint8_t> bytes_of(const std::string& text) {
  return {text.begin(), text.end()};
}

// SELECT by file identifier, then READ BINARY of `n` bytes; the data read.
inline Answer select_and_read(int32_t handle, uint16_t fid, uint8_t n) {
  const Answer selected =
      transparent(handle, {0x00, 0xA4, 0x00, 0x00, 0x02, uint8_t(fid >> 8), uint8_t(fid & 0xFF)});
  if (selected.status != 0x9000) return selected;
  return transparent(handle, {0x00, 0xB0, 0x00, 0x00, n});
}

// The good reader's checks: reset, power-up, a file read back right.
inline void expect_reader_works(int32_t handle) {
  EXPECT_EQ(CT_reset(handle), 0x9000);
  uint8_t atr_length = 0;
  std::vector<uint8_t> atr(252);
  EXPECT_EQ(ICC_reset(handle, &atr_length, atr.data()), 0x9000);
  EXPECT_GE(atr_length, 2);
  const Answer read = select_and_read(handle, 0x2F00, 7);
  EXPECT_EQ(read.status, 0x9000);
  EXPECT_EQ(read.data, bytes_of("vorkand"));
}

}  // namespace vorkand::test
