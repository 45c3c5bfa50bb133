// The server's side of TLS, with OpenSSL's libssl: TLS 1.2 and newer only,
// the server's certificate chain and key, and client certificates that must
// verify against the configured CA (a client without one is refused in the
// handshake), optionally narrowed to a list of SHA-256 fingerprints. Nothing
// turns the client check off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "settings.h"

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;
using X509_STORE_CTX = struct x509_store_ctx_st;

namespace vorkand::serve {

// Who a client proved to be.
struct ClientIdentity {
  std::string subject;      // "CN=host,O=maker"
  std::string fingerprint;  // SHA-256 of the certificate's DER form, "AB:CD:..."
};

class TlsServer {
 public:
  // Loads the files of `settings`; nullptr with the reason in `why`. The key
  // file is read as the library reads its own: never through a symbolic link,
  // a regular file of at most 4 MiB that only its owner may read; its bytes
  // are wiped once parsed.
  static std::unique_ptr<TlsServer> create(const ReaderSettings& settings, std::string& why);
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  // Runs the handshake on a connected non-blocking socket, for at most
  // `timeout_ms`, giving up early when `wake` becomes readable. The session,
  // or nullptr with the reason (and the refused certificate's identity, when
  // one was shown) filled in.
  SSL* accept(int socket, int wake, int timeout_ms, ClientIdentity& client, std::string& why) const;

  // "TLS 1.3 TLS_AES_256_GCM_SHA384"
  static std::string describe(SSL* session);

  // Plaintext in and out on a session over a non-blocking socket: the count,
  // 0 when the socket would block, -1 when the session ended (a close, a
  // reset, any TLS error), with `why` saying which.
  static int read(SSL* session, std::span<uint8_t> into, std::string& why);
  static int write(SSL* session, std::span<const uint8_t> bytes, bool& want_read, std::string& why);
  static bool pending(SSL* session);
  // Sends close_notify as far as the socket takes it and frees the session.
  static void close(SSL* session);

  std::size_t allowed() const { return allow_.size(); }

 private:
  explicit TlsServer(SSL_CTX* context) : context_(context) {}
  static int verify(int preverified, X509_STORE_CTX* store);

  SSL_CTX* context_;
  std::vector<Fingerprint> allow_;
};

}  // namespace vorkand::serve
