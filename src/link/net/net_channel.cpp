// Opening a serial port on the network, within a fixed time:
//
//   parse the mapping -> claim its address -> resolve and connect
//   -> claim the address connected to -> (rfc2217) negotiate the options and
//   the line settings
//
// Each address may be open once in this process: a serial port server serves
// one connection per port, and a second connection would either be turned
// away by it or take the line from the first. Addresses are claimed as
// written (letters in lower case) and as connected to (numeric), so
// "localhost:7000" and "127.0.0.1:7000" are the same port.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>

#include "link/net/address.h"
#include "link/net/net_channel.h"
#include "link/net/network_port.h"
#include "link/net/socket.h"
#include "link/open_names.h"
#include "link/system_port.h"

namespace vorkand::link::net {
namespace {

// CT_open gives up on a server after this long in all (name resolution aside),
// and on each negotiation step after kStepMs.
constexpr uint32_t kOpenLimitMs = 4500;
constexpr uint32_t kStepMs = 1000;

using Key = std::array<char, kMaxAddressKey>;

// The addresses of the network ports open in this process.
OpenNames<kMaxAddressKey, 64>& open_addresses() noexcept {
  static OpenNames<kMaxAddressKey, 64> addresses;
  return addresses;
}

// The addresses one port holds, released when it goes.
struct Claims {
  Key written{};
  Key connected{};
  void release() noexcept {
    open_addresses().release(written.data());
    open_addresses().release(connected.data());
    written[0] = connected[0] = '\0';
  }
};

class NetworkChannel final : public Channel {
 public:
  NetworkChannel(int32_t socket, const NetAddress& address, const Claims& claims) noexcept
      : Channel(socket),
        telnet_(address.telnet),
        claims_(claims),
        port_(socket, telnet_ ? NetworkPort::Protocol::telnet : NetworkPort::Protocol::raw, clock_),
        transport_(port_, clock_) {}
  ~NetworkChannel() override { claims_.release(); }

  bool negotiate(uint32_t limit_ms) noexcept { return port_.negotiate(kStepMs, limit_ms); }
  Transport& transport() noexcept override { return transport_; }
  bool close() noexcept override {
    claims_.release();
    return socket_close(handle());
  }
  void cancel() noexcept override { socket_shutdown(handle()); }
  void describe(std::span<char> out) const noexcept override {
    if (out.empty()) return;
    const int length =
        std::snprintf(out.data(), out.size(), "%s%s%s", telnet_ ? "rfc2217://" : "tcp://",
                      claims_.written.data(), telnet_ ? " 9600 8E1" : "");
    if (length < 0) out[0] = '\0';
  }

 private:
  bool telnet_;
  Claims claims_;
  SystemClock clock_;
  NetworkPort port_;
  SerialTransport transport_;
};

Channel* open_network(const char* mapping, bool telnet) noexcept {
  if (mapping == nullptr) return nullptr;
  NetAddress address;
  if (!parse_net_address(mapping, address) || address.telnet != telnet) return nullptr;
  SystemClock clock;
  const uint32_t start = clock.now_ms();

  Claims claims;
  address_key(address, claims.written);
  if (!open_addresses().claim(claims.written.data())) return nullptr;
  const int32_t socket = socket_connect(address.host.data(), address.port, kOpenLimitMs);
  if (socket == 0) {
    claims.release();
    return nullptr;
  }
  // The numeric address, when it reads differently from the one written.
  Key connected{};
  if (socket_peer(socket, connected) && std::strcmp(connected.data(), claims.written.data()) != 0) {
    if (!open_addresses().claim(connected.data())) {
      claims.release();
      socket_close(socket);
      return nullptr;
    }
    claims.connected = connected;
  }

  auto* channel = new (std::nothrow) NetworkChannel(socket, address, claims);
  if (channel == nullptr) {
    claims.release();
    socket_close(socket);
    return nullptr;
  }
  const uint32_t spent = clock.now_ms() - start;
  if (spent >= kOpenLimitMs || !channel->negotiate(kOpenLimitMs - spent)) {
    channel->close();
    delete channel;
    return nullptr;
  }
  return channel;
}

}  // namespace

Channel* open_rfc2217(const char* mapping) noexcept {
  return open_network(mapping, true);
}

Channel* open_tcp(const char* mapping) noexcept {
  return open_network(mapping, false);
}

}  // namespace vorkand::link::net
