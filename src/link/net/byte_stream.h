// What a network port sends its bytes through and receives them from: the
// connection's socket as it is, or a TLS session over it. The port sees the
// same three operations either way.
#pragma once

#include <cstdint>
#include <span>

#include "link/net/socket.h"
#include "link/net/tls.h"

namespace vorkand::link::net {

class ByteStream {
 public:
  // A non-owning view of a connected socket and, when given, the TLS session
  // running over it.
  explicit ByteStream(int32_t socket, TlsSession* tls = nullptr) noexcept
      : socket_(socket), tls_(tls) {}

  // As socket_send and socket_receive, in plaintext over TLS.
  int32_t send(std::span<const uint8_t> bytes) noexcept {
    return tls_ != nullptr ? tls_send(*tls_, bytes) : socket_send(socket_, bytes);
  }
  int32_t receive(std::span<uint8_t> into) noexcept {
    return tls_ != nullptr ? tls_receive(*tls_, into) : socket_receive(socket_, into);
  }
  // As socket_wait; bytes TLS has already decrypted count as readable.
  SocketWait wait(bool for_writing, uint32_t timeout_ms) noexcept {
    if (!for_writing && tls_ != nullptr && tls_pending(*tls_)) return SocketWait::ready;
    return socket_wait(socket_, for_writing, timeout_ms);
  }

 private:
  int32_t socket_;
  TlsSession* tls_;
};

}  // namespace vorkand::link::net
