// The mappings that name a serial port on the network:
//
//   rfc2217://HOST:PORT   Telnet with COM-PORT-OPTION
//   tcp://HOST:PORT       raw bytes
//   rfc2217s://HOST:PORT  Telnet with COM-PORT-OPTION inside TLS
//   tls://HOST:PORT       raw bytes inside TLS
//
// HOST is a host name (letters, digits, '-', '.'), an IPv4 address in
// dotted-decimal form (four numbers 0..255 without leading zeros), or an IPv6
// address in brackets ([::1]); PORT is decimal, 1..65535, without leading
// zeros. Nothing may follow the port.
//
// A host made of numbers and dots alone is an IPv4 address, whatever else it
// could be read as: the octal, hexadecimal and short forms the system's
// resolver also takes (0177.0.0.1, 0x7f.1, 127.1, 2130706433) name another
// address to it than to a certificate check, so they are refused.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vorkand::link::net {

inline constexpr std::string_view kRfc2217Prefix = "rfc2217://";
inline constexpr std::string_view kTcpPrefix = "tcp://";
inline constexpr std::string_view kRfc2217sPrefix = "rfc2217s://";
inline constexpr std::string_view kTlsPrefix = "tls://";

struct NetAddress {
  static constexpr std::size_t kMaxHost = 253;  // the longest DNS name
  bool telnet = false;
  bool tls = false;
  // Zero-terminated, letters in lower case, without brackets.
  std::array<char, kMaxHost + 1> host{};
  bool bracketed = false;  // IPv6: written [host]
  bool numeric = false;    // an IPv4 or IPv6 address, not a name
  uint16_t port = 0;
};

// Longest "[HOST]:PORT" written by address_key.
inline constexpr std::size_t kMaxAddressKey = NetAddress::kMaxHost + 2 + 6 + 1;

// Parses a mapping; false when it is not exactly one of the forms above, with
// the reason in `why` when given (a static string).
bool parse_net_address(std::string_view mapping, NetAddress& out,
                       const char** why = nullptr) noexcept;

// Writes "HOST:PORT" ("[HOST]:PORT" for IPv6), zero-terminated.
void address_key(const NetAddress& address, std::array<char, kMaxAddressKey>& out) noexcept;

}  // namespace vorkand::link::net
