// The narrow seam between a network port and the system's TLS: a client
// session over a connected, non-blocking socket (see socket.h). One source file
// per platform implements it: posix_tls.cpp (OpenSSL's libssl, loaded at run
// time on the first TLS open) and win32_tls.cpp (SChannel through the SSPI,
// loaded at run time likewise). Neither is linked: without them every other
// kind of port works and a TLS open fails with a reason.
//
// Only TLS 1.2 and newer are offered. The server's certificate chain is
// verified against the system's trust store, or against `ca_file` alone when
// it is given, and the host (name or IP address) must match the certificate.
// Nothing turns verification off.
#pragma once

#include <cstdint>
#include <span>

#include "link/net/socket.h"

namespace vorkand::link::net {

// The files a TLS open reads, each a PEM file; nullptr where not given.
struct TlsFiles {
  const char* ca_file = nullptr;    // trust only this CA (VORKAND_TLS_CA)
  const char* cert_file = nullptr;  // client certificate (VORKAND_TLS_CERT)
  const char* key_file = nullptr;   // its unencrypted key (VORKAND_TLS_KEY)
};

class TlsSession;

// Runs the handshake for `host` (as written in the mapping, without brackets)
// on `socket` within `timeout_ms`. Returns the session, or nullptr with a
// short reason for people ("certificate verify failed: unable to get local
// issuer certificate", "no TLS library", "handshake timed out", ...) written
// zero-terminated into `reason`. The socket stays the caller's either way.
TlsSession* tls_connect(int32_t socket, const char* host, const TlsFiles& files,
                        uint32_t timeout_ms, std::span<char> reason) noexcept;

// As socket_send and socket_receive: the number of plaintext bytes taken or
// given, kWouldBlock, or kSocketFailed (closed, reset, close_notify, or any
// TLS error).
int32_t tls_send(TlsSession& session, std::span<const uint8_t> bytes) noexcept;
int32_t tls_receive(TlsSession& session, std::span<uint8_t> into) noexcept;

// True when decrypted bytes are already buffered: tls_receive gives them
// without the socket becoming readable.
bool tls_pending(const TlsSession& session) noexcept;

// Writes, zero-terminated and cut to fit, what the session is for a trace:
// "TLS 1.3 TLS_AES_256_GCM_SHA384, server CN=host, SHA-256 AB:CD:...".
void tls_describe(const TlsSession& session, std::span<char> out) noexcept;

// Sends close_notify as far as the socket takes it now and frees the session.
// The socket is not closed.
void tls_close(TlsSession* session) noexcept;

}  // namespace vorkand::link::net
