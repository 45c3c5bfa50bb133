// What vorkand-serve is told to serve: one set of settings per reader, from
// the command line or from a configuration file with one section per reader,
// and the checks that hold before anything listens. Pure: no socket, no file.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorkand::serve {

// A SHA-256 certificate fingerprint.
using Fingerprint = std::array<uint8_t, 32>;

struct ReaderSettings {
  std::string name;                // the section's name; "reader" on the command line
  std::string listen;              // HOST:PORT, an IPv6 address in brackets
  std::string reader;              // what to open, spelled as a VORKAND_COMn value
  std::string cert;                // the server's certificate chain (PEM)
  std::string key;                 // its unencrypted key (PEM, readable by its owner alone)
  std::string client_ca;           // the CA certificates client certificates must verify against
  std::vector<Fingerprint> allow;  // when not empty, only these client certificates
  int line = 0;                    // where the section begins in the configuration file
};

// Reads a fingerprint written as the openssl tool prints it (hex pairs with
// colons) or as 64 hex digits, in either case.
std::optional<Fingerprint> parse_fingerprint(std::string_view text);
// "AB:CD:..." in upper case.
std::string fingerprint_text(const Fingerprint& fingerprint);

// Parses a configuration file's text:
//
//   # comment
//   [desk]
//   listen = 0.0.0.0:4001
//   reader = pcsc:CCID
//   cert = /etc/vorkand-serve/server.crt
//   key = /etc/vorkand-serve/server.key
//   client-ca = /etc/vorkand-serve/clients-ca.pem
//   allow = 3A:91:...            (any number of these lines)
//
// Returns the sections, or an error "FILE:LINE: what is wrong".
struct ConfigResult {
  std::vector<ReaderSettings> readers;
  std::string error;
};
ConfigResult parse_config(std::string_view text, std::string_view file_name);

// A listen address, resolved.
struct ListenAddress {
  sockaddr_storage address{};
  socklen_t size = 0;
  bool loopback = false;  // 127.0.0.0/8 or ::1 (also as ::ffff:127.x.y.z)
  std::string text;       // "127.0.0.1:4001", "[::1]:4001"
};

// Splits HOST:PORT ("[v6]:PORT" for IPv6) and resolves HOST (an address, or a
// name: its first address, IPv4 first). PORT 0 lets the system choose.
// Returns an error text, or nothing with `out` filled in.
std::optional<std::string> resolve_listen(std::string_view listen, ListenAddress& out);

// The rules every reader's settings must meet before the server starts:
// a reader to serve; TLS with client certificates wherever the address is not
// loopback (cert, key and client-ca together, or none of them); allow only
// with TLS. Returns why not, naming the reader, or nothing.
std::optional<std::string> check_settings(const ReaderSettings& settings,
                                          const ListenAddress& address);

}  // namespace vorkand::serve
