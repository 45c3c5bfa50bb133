// Placeholder until the card command exchanges land.
#include "card/card.h"

namespace vorkand::card {

Result command(link::Transport&, int32_t, const uint8_t*, uint8_t*, uint8_t*, int32_t,
               int32_t) noexcept {
  return {kSwNoReply, Source::no_reply};
}

Result transparent_command(link::Transport&, int32_t, const uint8_t*, uint8_t*, uint8_t*) noexcept {
  return {kSwNoReply, Source::no_reply};
}

}  // namespace vorkand::card
