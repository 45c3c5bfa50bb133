// A TCP socket on the loopback address at a port the system picks, for tests
// that play a server, or need a port nobody listens on, on 127.0.0.1 or ::1.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace vorkand::test {

class LoopbackSocket {
 public:
  // Bound to the loopback address of `family` (AF_INET or AF_INET6), and
  // listening unless `backlog` is 0. port() is 0 when any step failed.
  explicit LoopbackSocket(int family = AF_INET, int backlog = 1)
      : fd_(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_storage address{};
    socklen_t size = 0;
    if (family == AF_INET6) {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
      v6->sin6_family = AF_INET6;
      v6->sin6_addr = in6addr_loopback;
      size = sizeof *v6;
    } else {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      v4->sin_family = AF_INET;
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      size = sizeof *v4;
    }
    auto* any = reinterpret_cast<sockaddr*>(&address);
    if (fd_ < 0 || ::bind(fd_, any, size) != 0 || (backlog > 0 && ::listen(fd_, backlog) != 0) ||
        ::getsockname(fd_, any, &size) != 0) {
      return;
    }
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  ~LoopbackSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  int fd() const { return fd_; }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

}  // namespace vorkand::test
