// TCP sockets on POSIX: getaddrinfo, a non-blocking connect waited on with
// poll(), send with MSG_NOSIGNAL so that a connection the peer closed fails
// the write instead of raising SIGPIPE in the host.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "link/net/socket.h"
#include "link/posix_descriptor.h"
#include "link/system_port.h"

namespace vorkand::link::net {
namespace {

// A reply usually follows a small segment of the server's own (the answer to
// a purge request, a notification). A server that batches small segments
// (Nagle) holds the reply until that segment is acknowledged, and a delayed
// acknowledgement would add tens of milliseconds to every exchange: where the
// system allows, acknowledge at once after every receive.
#ifdef TCP_QUICKACK
void acknowledge_at_once(int fd) noexcept {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}
#else
void acknowledge_at_once(int) noexcept {}
#endif

// Connects one address within `limit_ms` of `start` on `clock`; the
// descriptor or -1.
int connect_one(const addrinfo& address, SystemClock& clock, uint32_t start,
                uint32_t limit_ms) noexcept {
  const int fd = move_off_zero(::socket(
      address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol));
  if (fd < 0) return -1;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      ::close(fd);
      return -1;
    }
    for (;;) {
      // Unsigned difference: a wrap of the millisecond counter changes nothing.
      const uint32_t spent = clock.now_ms() - start;
      if (spent >= limit_ms) {
        ::close(fd);
        return -1;
      }
      pollfd entry{fd, POLLOUT, 0};
      const int ready =
          ::poll(&entry, 1, static_cast<int>(std::min<uint32_t>(limit_ms - spent, INT_MAX)));
      if (ready > 0) break;
      if (ready < 0 && errno != EINTR) {
        ::close(fd);
        return -1;
      }
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      ::close(fd);
      return -1;
    }
  }
  // Frames are small and answered one at a time: send each at once.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  acknowledge_at_once(fd);
  return fd;
}

}  // namespace

int32_t socket_connect(const char* host, uint16_t port, uint32_t timeout_ms) noexcept {
  if (host == nullptr || *host == '\0' || port == 0) return 0;
  SystemClock clock;
  const uint32_t start = clock.now_ms();
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) return 0;
  int fd = -1;
  for (const addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
    if (clock.now_ms() - start >= timeout_ms) break;
    fd = connect_one(*address, clock, start, timeout_ms);
  }
  ::freeaddrinfo(found);
  return fd > 0 ? fd : 0;
}

bool socket_peer(int32_t socket, std::span<char> out) noexcept {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return false;
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&peer), size, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return false;
  }
  const char* format = peer.ss_family == AF_INET6 ? "[%s]:%s" : "%s:%s";
  const int length = std::snprintf(out.data(), out.size(), format, host, service);
  return length > 0 && static_cast<std::size_t>(length) < out.size();
}

int32_t socket_send(int32_t socket, std::span<const uint8_t> bytes) noexcept {
  const std::size_t wanted = std::min<std::size_t>(bytes.size(), INT32_MAX);
  for (;;) {
    const ssize_t sent = ::send(socket, bytes.data(), wanted, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int32_t>(sent);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    if (errno != EINTR) return kSocketFailed;
  }
}

int32_t socket_receive(int32_t socket, std::span<uint8_t> into) noexcept {
  if (into.empty()) return kWouldBlock;
  const std::size_t wanted = std::min<std::size_t>(into.size(), INT32_MAX);
  for (;;) {
    const ssize_t got = ::recv(socket, into.data(), wanted, 0);
    if (got > 0) {
      acknowledge_at_once(socket);
      return static_cast<int32_t>(got);
    }
    if (got == 0) return kSocketFailed;  // the peer closed the connection
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    if (errno != EINTR) return kSocketFailed;
  }
}

SocketWait socket_wait(int32_t socket, bool for_writing, uint32_t timeout_ms) noexcept {
  pollfd entry{socket, static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
  const int ready = ::poll(&entry, 1, static_cast<int>(std::min<uint32_t>(timeout_ms, INT_MAX)));
  // An interrupted wait counts as a short one: the caller measures the time.
  if (ready < 0) return errno == EINTR ? SocketWait::timeout : SocketWait::failed;
  if (ready == 0) return SocketWait::timeout;
  if ((entry.revents & POLLNVAL) != 0) return SocketWait::failed;
  return SocketWait::ready;
}

void socket_shutdown(int32_t socket) noexcept {
  if (socket > 0) ::shutdown(socket, SHUT_RDWR);
}

bool socket_close(int32_t socket) noexcept {
  if (socket <= 0) return false;
  // After EINTR the descriptor is closed all the same on Linux.
  return ::close(socket) == 0 || errno == EINTR;
}

}  // namespace vorkand::link::net
