// Placeholder until reader reset and power-up land.
#include "card/card.h"

namespace vorkand::card {

uint16_t reset_reader(link::Transport&) noexcept {
  return kSwNoReply;
}
uint16_t power_up(link::Transport&, uint8_t*, uint8_t*) noexcept {
  return kSwNoReply;
}

}  // namespace vorkand::card
