// The narrow seam between a network port and the system's TCP sockets. One
// source file per platform implements it (posix_socket.cpp, win32_socket.cpp).
// A socket is a non-blocking TCP connection with Nagle's delay off, named by a
// 32-bit value that is never 0 and never equal to another open port's handle.
#pragma once

#include <cstdint>
#include <span>

namespace vorkand::link::net {

// Resolves `host` (a name, an IPv4 address, or an IPv6 address without
// brackets) with the system resolver and connects to the first address that
// accepts within `timeout_ms` in all. The socket, or 0 with nothing left open.
int32_t socket_connect(const char* host, uint16_t port, uint32_t timeout_ms) noexcept;

// Writes the peer's address as "ADDRESS:PORT" ("[ADDRESS]:PORT" for IPv6),
// zero-terminated. False when it is unknown or does not fit.
bool socket_peer(int32_t socket, std::span<char> out) noexcept;

// What socket_send and socket_receive report besides a byte count.
inline constexpr int32_t kWouldBlock = 0;
inline constexpr int32_t kSocketFailed = -1;  // closed by the peer, reset, or any error

// Sends what the connection takes now: the number of bytes taken, kWouldBlock
// or kSocketFailed. Never raises a signal.
int32_t socket_send(int32_t socket, std::span<const uint8_t> bytes) noexcept;
// Receives what has arrived: the number of bytes, kWouldBlock, or
// kSocketFailed (also when the peer closed the connection).
int32_t socket_receive(int32_t socket, std::span<uint8_t> into) noexcept;

enum class SocketWait : uint8_t { ready, timeout, failed };
// Sleeps until the socket can be read (or written, with `for_writing`), at most
// `timeout_ms`. A closed or reset connection counts as readable: the next
// receive reports it.
SocketWait socket_wait(int32_t socket, bool for_writing, uint32_t timeout_ms) noexcept;

// Shuts the connection down both ways, from any thread: a wait on the socket
// wakes, and every later send and receive fails. The socket stays open.
void socket_shutdown(int32_t socket) noexcept;

// Closes the socket. False when the system refused.
bool socket_close(int32_t socket) noexcept;

}  // namespace vorkand::link::net
