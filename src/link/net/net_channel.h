// Serial ports on the network as channels: "rfc2217://HOST:PORT" (Telnet with
// COM-PORT-OPTION) and "tcp://HOST:PORT" (raw bytes), each also inside TLS.
// The handle is the connection's socket.
#pragma once

#include "link/channel.h"
#include "link/open_failure.h"

namespace vorkand::link::net {

// Each takes the whole mapping and returns the channel (allocated; the caller
// owns it), or nullptr with nothing left open: a mapping out of form, an
// address already open in this process, a server that cannot be reached
// within 4.5 s or (rfc2217) refuses or leaves unanswered the line settings;
// then the reason is in `why`.
Channel* open_rfc2217(const char* mapping, OpenFailure& why) noexcept;
Channel* open_tcp(const char* mapping, OpenFailure& why) noexcept;
// The same inside TLS: "rfc2217s://HOST:PORT" and "tls://HOST:PORT". The
// server's certificate must verify and match HOST (see tls.h).
Channel* open_rfc2217s(const char* mapping, OpenFailure& why) noexcept;
Channel* open_tls(const char* mapping, OpenFailure& why) noexcept;

}  // namespace vorkand::link::net
