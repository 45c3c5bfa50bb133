#include "link/pcsc/pcsc_result.h"

namespace vorkand::link::pcsc {

Outcome outcome_of(Long result) noexcept {
  switch (static_cast<uint32_t>(result)) {
    case kSuccess:
      return Outcome::done;
    case kSharingViolation:
    case kNoSmartcard:
    case kUnknownCard:
    case kProtoMismatch:
    case kNotReady:
    case kInvalidAtr:
    case kCardUnsupported:
    case kUnsupportedCard:
    case kUnresponsiveCard:
    case kUnpoweredCard:
    case kCardWasReset:
    case kRemovedCard:
      return Outcome::refused;
    default:
      return Outcome::gone;
  }
}

}  // namespace vorkand::link::pcsc
