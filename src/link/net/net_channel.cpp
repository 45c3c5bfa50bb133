// Opening a serial port on the network, within a fixed time:
//
//   parse the mapping -> claim its address -> resolve and connect
//   -> claim the address connected to -> (rfc2217s, tls) the TLS handshake
//   -> (rfc2217, rfc2217s) negotiate the options and the line settings
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

#include "link/clock.h"
#include "link/environment.h"
#include "link/net/address.h"
#include "link/net/net_channel.h"
#include "link/net/network_port.h"
#include "link/net/socket.h"
#include "link/net/tls.h"
#include "link/open_names.h"

namespace vorkand::link::net {
namespace {

// CT_open gives up on a server after this long in all (name resolution
// included), and on each negotiation step after kStepMs.
constexpr uint32_t kOpenLimitMs = 4500;
constexpr uint32_t kStepMs = 1000;
// Before the first frame the connection must have been quiet this long, plus
// the time the connection took to set up (a round trip or so), at most
// kSettleQuietMaxMs; anything arriving until then is dropped, for at most
// kSettleLimitMs.
constexpr uint32_t kSettleQuietMs = 50;
constexpr uint32_t kSettleQuietMaxMs = 250;
constexpr uint32_t kSettleLimitMs = 1000;

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
  NetworkChannel(int32_t socket, TlsSession* tls, const NetAddress& address,
                 const Claims& claims) noexcept
      : Channel(socket),
        telnet_(address.telnet),
        tls_(tls),
        claims_(claims),
        port_(ByteStream(socket, tls),
              telnet_ ? NetworkPort::Protocol::telnet : NetworkPort::Protocol::raw, clock_),
        transport_(port_, clock_) {}
  // A channel dropped without close() lost its socket behind the library's
  // back, and the descriptor may be another connection's by now: its TLS
  // session is left alone rather than sending close_notify into that one.
  ~NetworkChannel() override { claims_.release(); }

  bool negotiate(uint32_t limit_ms, const char** why) noexcept {
    return port_.negotiate(kStepMs, limit_ms, why);
  }
  bool settle(uint32_t quiet_ms, uint32_t limit_ms) noexcept {
    return port_.settle(quiet_ms, limit_ms);
  }
  Transport& transport() noexcept override { return transport_; }
  bool close() noexcept override {
    claims_.release();
    tls_close(tls_);
    tls_ = nullptr;
    return socket_close(handle());
  }
  // Only a socket still the channel's is shut down; a stale channel's calls
  // end by their own time limits.
  void cancel(bool owns_handle) noexcept override {
    if (owns_handle) socket_shutdown(handle());
  }
  void describe(std::span<char> out) const noexcept override {
    if (out.empty()) return;
    const char* scheme = telnet_ ? (tls_ != nullptr ? "rfc2217s://" : "rfc2217://")
                                 : (tls_ != nullptr ? "tls://" : "tcp://");
    std::array<char, 320> session{};
    if (tls_ != nullptr) tls_describe(*tls_, session);
    const int length =
        std::snprintf(out.data(), out.size(), "%s%s%s%s%s", scheme, claims_.written.data(),
                      telnet_ ? " 9600 8E1" : "", tls_ != nullptr ? ", " : "", session.data());
    if (length < 0) out[0] = '\0';
  }

 private:
  bool telnet_;
  TlsSession* tls_;
  Claims claims_;
  SystemClock clock_;
  NetworkPort port_;
  BytePortTransport transport_;
};

// The files a TLS open reads, from VORKAND_TLS_CA, _CERT and _KEY. False
// when a value does not fit.
struct TlsSettings {
  std::array<char, 4096> ca{};
  std::array<char, 4096> cert{};
  std::array<char, 4096> key{};
  TlsFiles files;
  bool read() noexcept {
    const auto one = [](const char* name, std::array<char, 4096>& value, const char*& file) {
      const Setting setting = environment(name, value);
      file = setting == Setting::set ? value.data() : nullptr;
      return setting != Setting::too_long;
    };
    return one("VORKAND_TLS_CA", ca, files.ca_file) &&
           one("VORKAND_TLS_CERT", cert, files.cert_file) &&
           one("VORKAND_TLS_KEY", key, files.key_file);
  }
};

// The address in `peer` ("ADDRESS:PORT" or "[ADDRESS]:PORT") without its
// port and brackets, zero-terminated in place.
const char* peer_host(Key& peer) noexcept {
  char* colon = std::strrchr(peer.data(), ':');
  if (colon == nullptr) return nullptr;
  *colon = '\0';
  if (peer[0] != '[') return peer.data();
  if (colon == peer.data() || colon[-1] != ']') return nullptr;
  colon[-1] = '\0';
  return peer.data() + 1;
}

// Runs the TLS handshake on `socket` within `limit_ms`: the session, or
// nullptr with the reason in `reason`. A mapping that names an address is
// checked against the address connected to, in the system's own numeric
// form, never against the text as written; a name against the name.
TlsSession* start_tls(int32_t socket, const NetAddress& address, uint32_t limit_ms,
                      std::span<char> reason) noexcept {
  TlsSettings settings;
  if (!settings.read()) {
    std::snprintf(reason.data(), reason.size(), "a VORKAND_TLS_* value is too long");
    return nullptr;
  }
  Key peer{};
  const char* host = address.host.data();
  if (address.numeric) {
    host = socket_peer(socket, peer) ? peer_host(peer) : nullptr;
    if (host == nullptr) {
      std::snprintf(reason.data(), reason.size(), "the address connected to is unknown");
      return nullptr;
    }
  }
  return tls_connect(socket, host, settings.files, limit_ms, reason);
}

// Why socket_connect failed, for the trace.
void say_connect_failure(ConnectFailure failure, OpenFailure& why) noexcept {
  switch (failure) {
    case ConnectFailure::not_found:
      return why.say("host not found");
    case ConnectFailure::unresolved:
      return why.say("host name not resolved within %u ms", static_cast<unsigned>(kOpenLimitMs));
    case ConnectFailure::refused:
      return why.say("connection refused");
    case ConnectFailure::timeout:
      return why.say("no answer within %u ms", static_cast<unsigned>(kOpenLimitMs));
    case ConnectFailure::none:
    case ConnectFailure::unreachable:
      break;
  }
  why.say("address unreachable");
}

Channel* open_network(const char* mapping, bool telnet, bool tls, OpenFailure& why) noexcept {
  if (mapping == nullptr) return nullptr;
  NetAddress address;
  const char* refusal = nullptr;
  if (!parse_net_address(mapping, address, &refusal) || address.telnet != telnet ||
      address.tls != tls) {
    why.say("%s", refusal);
    return nullptr;
  }
  SystemClock clock;
  const uint32_t start = clock.now_ms();

  Claims claims;
  address_key(address, claims.written);
  if (!open_addresses().claim(claims.written.data())) {
    why.say("busy: open already in this process");
    return nullptr;
  }
  ConnectFailure failure = ConnectFailure::none;
  const uint32_t connect_start = clock.now_ms();
  const int32_t socket = socket_connect(address.host.data(), address.port, kOpenLimitMs, &failure);
  if (socket == 0) {
    say_connect_failure(failure, why);
    claims.release();
    return nullptr;
  }
  const uint32_t connect_ms = clock.now_ms() - connect_start;
  // The numeric address, when it reads differently from the one written.
  Key connected{};
  if (socket_peer(socket, connected) && std::strcmp(connected.data(), claims.written.data()) != 0) {
    if (!open_addresses().claim(connected.data())) {
      why.say("busy: %s is open already in this process", connected.data());
      claims.release();
      socket_close(socket);
      return nullptr;
    }
    claims.connected = connected;
  }

  TlsSession* session = nullptr;
  if (tls) {
    std::array<char, 256> reason{};
    const uint32_t elapsed = clock.now_ms() - start;
    session = elapsed < kOpenLimitMs ? start_tls(socket, address, kOpenLimitMs - elapsed, reason)
                                     : nullptr;
    if (session == nullptr) {
      why.say("TLS: %s", elapsed < kOpenLimitMs ? reason.data() : "no time left for the handshake");
      claims.release();
      socket_close(socket);
      return nullptr;
    }
  }

  auto* channel = new (std::nothrow) NetworkChannel(socket, session, address, claims);
  if (channel == nullptr) {
    why.say("out of memory");
    claims.release();
    tls_close(session);
    socket_close(socket);
    return nullptr;
  }
  const uint32_t spent = clock.now_ms() - start;
  refusal = nullptr;
  if (spent >= kOpenLimitMs || !channel->negotiate(kOpenLimitMs - spent, &refusal)) {
    why.say("%s", refusal != nullptr ? refusal : "no answer within the time");
    channel->close();
    delete channel;
    return nullptr;
  }
  const uint32_t quiet = std::min(kSettleQuietMs + connect_ms, kSettleQuietMaxMs);
  const uint32_t left = kOpenLimitMs - std::min(kOpenLimitMs, clock.now_ms() - start);
  if (!channel->settle(quiet, std::min(std::max(left, quiet), kSettleLimitMs))) {
    why.say("the server closed the connection");
    channel->close();
    delete channel;
    return nullptr;
  }
  return channel;
}

}  // namespace

Channel* open_rfc2217(const char* mapping, OpenFailure& why) noexcept {
  return open_network(mapping, true, false, why);
}

Channel* open_tcp(const char* mapping, OpenFailure& why) noexcept {
  return open_network(mapping, false, false, why);
}

Channel* open_rfc2217s(const char* mapping, OpenFailure& why) noexcept {
  return open_network(mapping, true, true, why);
}

Channel* open_tls(const char* mapping, OpenFailure& why) noexcept {
  return open_network(mapping, false, true, why);
}

}  // namespace vorkand::link::net
