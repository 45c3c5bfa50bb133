// What the POSIX TCP connections under the network ports share: the socket
// and OpenSSL, which reads the socket itself, both call it after each receive.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace vorkand::link::net {

// A reply usually follows a small segment of the server's own (the answer to
// a purge request, a notification, a TLS record). A server that batches small
// segments (Nagle) holds the reply until that segment is acknowledged, and a
// delayed acknowledgement would add tens of milliseconds to every exchange:
// where the system allows, acknowledge at once after every receive.
#ifdef TCP_QUICKACK
inline void acknowledge_at_once(int fd) noexcept {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}
#else
inline void acknowledge_at_once(int) noexcept {}
#endif

}  // namespace vorkand::link::net
