#include <atomic>

#include "card/card.h"

namespace vorkand::card {
namespace {

// Shared by every reader and thread, like the single byte hosts know; relaxed
// order is enough: a call reads it once and nothing else is published with it.
std::atomic<uint8_t> g_protocol_byte{link::kHeadT1};

}  // namespace

uint8_t protocol_byte() noexcept {
  return g_protocol_byte.load(std::memory_order_relaxed);
}

void set_protocol_byte(uint8_t head) noexcept {
  g_protocol_byte.store(head, std::memory_order_relaxed);
}

}  // namespace vorkand::card
