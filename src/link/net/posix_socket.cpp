// TCP sockets on POSIX: getaddrinfo on a thread of its own that the open
// waits for only so long, a non-blocking connect waited on with poll(), send with MSG_NOSIGNAL so
// that a connection the peer closed fails the write instead of raising SIGPIPE in the host.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "link/clock.h"
#include "link/net/posix_tcp.h"
#include "link/net/socket.h"
#include "link/posix_descriptor.h"

namespace vorkand::link::net {
namespace {

addrinfo stream_hints(int flags) noexcept {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV | flags;
  return hints;
}

// One name lookup, shared by the thread that runs it and the open that waits
// for it. The open may stop waiting; whichever of the two lets go last frees
// the lookup and what it found.
struct Lookup {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  int error = 0;
  addrinfo* found = nullptr;
  std::string host;
  std::string service;
  Lookup(const char* host_name, const char* service_name)
      : host(host_name), service(service_name) {}
  ~Lookup() {
    if (found != nullptr) ::freeaddrinfo(found);
  }
};

// getaddrinfo for a TCP connection, given up after `limit_ms`. An address
// written as numbers is converted at once; a name is looked up on a thread of
// its own, so that a resolver that does not answer costs at most the limit.
// The addresses (the caller frees them), or nullptr with the reason in `why`.
addrinfo* resolve(const char* host, const char* service, uint32_t limit_ms,
                  ConnectFailure& why) noexcept {
  addrinfo* found = nullptr;
  const addrinfo numeric = stream_hints(AI_NUMERICHOST);
  if (::getaddrinfo(host, service, &numeric, &found) == 0 && found != nullptr) return found;
  why = ConnectFailure::unresolved;
  try {
    const auto lookup = std::make_shared<Lookup>(host, service);
    std::thread([lookup] {
      const addrinfo hints = stream_hints(0);
      addrinfo* answer = nullptr;
      const int error =
          ::getaddrinfo(lookup->host.c_str(), lookup->service.c_str(), &hints, &answer);
      const std::lock_guard held(lookup->lock);
      lookup->found = answer;
      lookup->error = error;
      lookup->done = true;
      lookup->finished.notify_one();
    }).detach();
    std::unique_lock held(lookup->lock);
    if (!lookup->finished.wait_for(held, std::chrono::milliseconds(limit_ms),
                                   [&] { return lookup->done; })) {
      return nullptr;  // the thread frees the lookup when its answer comes
    }
    if (lookup->error == EAI_NONAME || lookup->error == EAI_NODATA) {
      why = ConnectFailure::not_found;
    }
    found = std::exchange(lookup->found, nullptr);
  } catch (...) {
    // No thread (or no memory for the lookup): nothing was started.
    return nullptr;
  }
  if (found == nullptr) return nullptr;
  why = ConnectFailure::none;
  return found;
}

// Connects one address within `limit_ms` of `start` on `clock`; the
// descriptor, or -1 with the reason in `why`.
int connect_one(const addrinfo& address, SystemClock& clock, uint32_t start, uint32_t limit_ms,
                ConnectFailure& why) noexcept {
  why = ConnectFailure::unreachable;
  const int fd = move_off_zero(::socket(
      address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol));
  if (fd < 0) return -1;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      if (errno == ECONNREFUSED) why = ConnectFailure::refused;
      ::close(fd);
      return -1;
    }
    for (;;) {
      // Unsigned difference: a wrap of the millisecond counter changes nothing.
      const uint32_t spent = clock.now_ms() - start;
      if (spent >= limit_ms) {
        why = ConnectFailure::timeout;
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
      if (error == ECONNREFUSED) why = ConnectFailure::refused;
      ::close(fd);
      return -1;
    }
  }
  why = ConnectFailure::none;
  // Frames are small and answered one at a time: send each at once.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  acknowledge_at_once(fd);
  return fd;
}

}  // namespace

int32_t socket_connect(const char* host, uint16_t port, uint32_t timeout_ms,
                       ConnectFailure* why) noexcept {
  ConnectFailure ignored = ConnectFailure::none;
  ConnectFailure& failure = why != nullptr ? *why : ignored;
  failure = ConnectFailure::unreachable;
  if (host == nullptr || *host == '\0' || port == 0) return 0;
  SystemClock clock;
  const uint32_t start = clock.now_ms();
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo* found = resolve(host, service, timeout_ms, failure);
  if (found == nullptr) return 0;
  int fd = -1;
  failure = ConnectFailure::timeout;
  for (const addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
    if (clock.now_ms() - start >= timeout_ms) break;
    ConnectFailure this_one = ConnectFailure::none;
    fd = connect_one(*address, clock, start, timeout_ms, this_one);
    // A refusal from one address says more than another's missing route.
    if (fd < 0 && !(failure == ConnectFailure::refused && this_one == ConnectFailure::unreachable))
      failure = this_one;
  }
  ::freeaddrinfo(found);
  if (fd > 0) failure = ConnectFailure::none;
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
