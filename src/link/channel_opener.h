// The channel opener: from a COM port's name, or a mapping spelled out, to
// the open channel of the kind of port the mapping names (a serial device, a
// PC/SC reader, a serial port on the network). The one place that knows every
// kind (channel_opener.cpp).
#pragma once

#include "link/channel.h"
#include "link/open_failure.h"

namespace vorkand::link {

// Opens what COM port `index` (1..4) is mapped to and returns its channel
// (allocated; the caller owns it), or nullptr with nothing left open.
// `name_as_given` is the caller's own spelling of "COMn". On failure the
// reason is in `why`.
Channel* open_channel(int index, const char* name_as_given, OpenFailure& why) noexcept;
// Opens `mapping` itself, spelled as a VORKAND_COMn value ("/dev/ttyUSB0",
// "rfc2217://HOST:PORT", "pcsc:NAME", ...), for callers that name the port
// directly. The channel is not marked as mapped.
Channel* open_mapped(const char* mapping, OpenFailure& why) noexcept;
inline Channel* open_channel(int index, const char* name_as_given) noexcept {
  OpenFailure ignored;
  return open_channel(index, name_as_given, ignored);
}

}  // namespace vorkand::link
