// TCP sockets on Windows through Winsock, loaded at the first connection
// (ws2_32.dll from the system directory) so that the DLL itself imports only
// KERNEL32 and msvcrt and loads on systems without networking. Waits use
// select() on the one socket; fd_sets are filled by hand, since the FD_ISSET
// macro calls into ws2_32.
//
// The handle: a SOCKET is a kernel handle; it travels as an int32_t and is
// refused in the rare case it does not fit.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "link/net/socket.h"

namespace vorkand::link::net {
namespace {

struct Winsock {
  bool ready = false;
  decltype(&::socket) socket = nullptr;
  decltype(&::connect) connect = nullptr;
  decltype(&::getaddrinfo) getaddrinfo = nullptr;
  decltype(&::freeaddrinfo) freeaddrinfo = nullptr;
  decltype(&::getnameinfo) getnameinfo = nullptr;
  decltype(&::getpeername) getpeername = nullptr;
  decltype(&::ioctlsocket) ioctlsocket = nullptr;
  decltype(&::setsockopt) setsockopt = nullptr;
  decltype(&::getsockopt) getsockopt = nullptr;
  decltype(&::select) select = nullptr;
  decltype(&::send) send = nullptr;
  decltype(&::recv) recv = nullptr;
  decltype(&::closesocket) closesocket = nullptr;
  decltype(&::shutdown) shutdown = nullptr;
  decltype(&::WSAGetLastError) last_error = nullptr;
  decltype(&::WSAIoctl) ioctl = nullptr;
};

// Acknowledge every segment at once (Windows 8 and later; ignored where it is
// unknown): a server that batches small segments (Nagle) would otherwise hold
// each reply behind the delayed acknowledgement of its previous segment, up to
// 200 ms.
constexpr DWORD kSetAckFrequency = _WSAIOW(IOC_VENDOR, 23);

template <typename F>
bool find(HMODULE module, const char* name, F& out) noexcept {
  out = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return out != nullptr;
}

Winsock load() noexcept {
  Winsock w;
  HMODULE module = LoadLibraryExA("ws2_32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return w;
  decltype(&::WSAStartup) startup = nullptr;
  const bool found =
      find(module, "WSAStartup", startup) && find(module, "socket", w.socket) &&
      find(module, "connect", w.connect) && find(module, "getaddrinfo", w.getaddrinfo) &&
      find(module, "freeaddrinfo", w.freeaddrinfo) && find(module, "getnameinfo", w.getnameinfo) &&
      find(module, "getpeername", w.getpeername) && find(module, "ioctlsocket", w.ioctlsocket) &&
      find(module, "setsockopt", w.setsockopt) && find(module, "getsockopt", w.getsockopt) &&
      find(module, "select", w.select) && find(module, "send", w.send) &&
      find(module, "recv", w.recv) && find(module, "closesocket", w.closesocket) &&
      find(module, "shutdown", w.shutdown) && find(module, "WSAGetLastError", w.last_error) &&
      find(module, "WSAIoctl", w.ioctl);
  WSADATA data{};
  // The library stays loaded and started for the life of the process.
  w.ready = found && startup(MAKEWORD(2, 2), &data) == 0;
  return w;
}

// Loaded once, on first use; thread-safe.
const Winsock& winsock() noexcept {
  static const Winsock loaded = load();
  return loaded;
}

SOCKET to_socket(int32_t socket) noexcept {
  return static_cast<SOCKET>(static_cast<uint32_t>(socket));
}

void only(fd_set& set, SOCKET s) noexcept {
  set.fd_count = 1;
  set.fd_array[0] = s;
}

timeval as_timeval(uint32_t ms) noexcept {
  timeval tv{};
  tv.tv_sec = static_cast<long>(ms / 1000);
  tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
  return tv;
}

// Connects one address within `timeout_ms` of `start` (a GetTickCount value);
// the socket or INVALID_SOCKET.
SOCKET connect_one(const Winsock& w, const addrinfo& address, DWORD start,
                   uint32_t timeout_ms) noexcept {
  const SOCKET s = w.socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (s == INVALID_SOCKET) return s;
  u_long non_blocking = 1;
  if (w.ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
    w.closesocket(s);
    return INVALID_SOCKET;
  }
  if (w.connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
    if (w.last_error() != WSAEWOULDBLOCK) {
      w.closesocket(s);
      return INVALID_SOCKET;
    }
    const DWORD spent = GetTickCount() - start;
    if (spent >= timeout_ms) {
      w.closesocket(s);
      return INVALID_SOCKET;
    }
    fd_set writable;
    fd_set failed;
    only(writable, s);
    only(failed, s);
    timeval limit = as_timeval(timeout_ms - spent);
    // Windows reports a failed connect in the exception set.
    if (w.select(0, nullptr, &writable, &failed, &limit) <= 0 || failed.fd_count != 0 ||
        writable.fd_count == 0) {
      w.closesocket(s);
      return INVALID_SOCKET;
    }
    int error = 0;
    int size = sizeof error;
    if (w.getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
        error != 0) {
      w.closesocket(s);
      return INVALID_SOCKET;
    }
  }
  const BOOL on = TRUE;
  w.setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  DWORD every_segment = 1;
  DWORD returned = 0;
  w.ioctl(s, kSetAckFrequency, &every_segment, sizeof every_segment, nullptr, 0, &returned, nullptr,
          nullptr);
  return s;
}

}  // namespace

int32_t socket_connect(const char* host, uint16_t port, uint32_t timeout_ms) noexcept {
  if (host == nullptr || *host == '\0' || port == 0) return 0;
  const DWORD start = GetTickCount();
  const Winsock& w = winsock();
  if (!w.ready) return 0;
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (w.getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) return 0;
  SOCKET s = INVALID_SOCKET;
  for (const addrinfo* a = found; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) {
    if (GetTickCount() - start >= timeout_ms) break;
    s = connect_one(w, *a, start, timeout_ms);
  }
  w.freeaddrinfo(found);
  if (s == INVALID_SOCKET) return 0;
  if (s == 0 || s > static_cast<SOCKET>(INT32_MAX)) {
    w.closesocket(s);
    return 0;
  }
  return static_cast<int32_t>(s);
}

bool socket_peer(int32_t socket, std::span<char> out) noexcept {
  const Winsock& w = winsock();
  if (!w.ready) return false;
  sockaddr_storage peer{};
  int size = sizeof peer;
  if (w.getpeername(to_socket(socket), reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
    return false;
  }
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (w.getnameinfo(reinterpret_cast<const sockaddr*>(&peer), size, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return false;
  }
  const char* format = peer.ss_family == AF_INET6 ? "[%s]:%s" : "%s:%s";
  const int length = std::snprintf(out.data(), out.size(), format, host, service);
  return length > 0 && static_cast<std::size_t>(length) < out.size();
}

int32_t socket_send(int32_t socket, std::span<const uint8_t> bytes) noexcept {
  const Winsock& w = winsock();
  const int wanted = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
  const int sent =
      w.send(to_socket(socket), reinterpret_cast<const char*>(bytes.data()), wanted, 0);
  if (sent >= 0) return sent;
  return w.last_error() == WSAEWOULDBLOCK ? kWouldBlock : kSocketFailed;
}

int32_t socket_receive(int32_t socket, std::span<uint8_t> into) noexcept {
  if (into.empty()) return kWouldBlock;
  const Winsock& w = winsock();
  const int wanted = static_cast<int>(std::min<std::size_t>(into.size(), INT_MAX));
  const int got = w.recv(to_socket(socket), reinterpret_cast<char*>(into.data()), wanted, 0);
  if (got > 0) return got;
  if (got == 0) return kSocketFailed;  // the peer closed the connection
  return w.last_error() == WSAEWOULDBLOCK ? kWouldBlock : kSocketFailed;
}

SocketWait socket_wait(int32_t socket, bool for_writing, uint32_t timeout_ms) noexcept {
  const Winsock& w = winsock();
  fd_set ready;
  fd_set failed;
  only(ready, to_socket(socket));
  only(failed, to_socket(socket));
  timeval limit = as_timeval(timeout_ms);
  const int result =
      w.select(0, for_writing ? nullptr : &ready, for_writing ? &ready : nullptr, &failed, &limit);
  if (result < 0) return SocketWait::failed;
  if (result == 0) return SocketWait::timeout;
  return SocketWait::ready;  // an error shows in the next send or receive
}

void socket_shutdown(int32_t socket) noexcept {
  const Winsock& w = winsock();
  if (w.ready) w.shutdown(to_socket(socket), SD_BOTH);
}

bool socket_close(int32_t socket) noexcept {
  const Winsock& w = winsock();
  return w.ready && w.closesocket(to_socket(socket)) == 0;
}

}  // namespace vorkand::link::net
