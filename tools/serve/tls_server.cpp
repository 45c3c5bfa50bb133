#include "tls_server.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace vorkand::serve {
namespace {

// The longest PEM file read: a bundle of a few hundred certificates.
constexpr off_t kMaxFile = off_t{4} << 20;

// A file's bytes, wiped when they go.
class FileBytes {
 public:
  FileBytes() = default;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  }
  std::vector<char>& bytes() { return bytes_; }

 private:
  std::vector<char> bytes_;
};

// Reads the PEM file `path` (`what` names it in errors) without following a
// symbolic link and without waiting on a FIFO; a secret one must be readable
// by its owner alone. False with the reason in `why`.
bool read_file(const char* what, const std::string& path, bool secret, FileBytes& out,
               std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    why = std::string(what) + " " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat status {};
  bool ok = false;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kMaxFile) {
    why = std::string(what) + " " + path + ": not a regular file of at most 4 MiB";
  } else if (secret && (status.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    why = std::string(what) + " " + path + ": readable by others (mode " + mode +
          "); allow its owner alone (chmod 600)";
  } else {
    out.bytes().resize(static_cast<std::size_t>(status.st_size));
    std::size_t got = 0;
    while (got < out.bytes().size()) {
      const ssize_t r = ::read(fd, out.bytes().data() + got, out.bytes().size() - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    ok = got == out.bytes().size() && got > 0;
    if (!ok) why = std::string(what) + " " + path + ": " + (got == 0 ? "empty" : "short read");
  }
  ::close(fd);
  return ok;
}

int no_password(char*, int, int, void*) {
  return -1;
}

std::string ssl_error(const char* otherwise) {
  const unsigned long error = ERR_get_error();
  ERR_clear_error();
  if (error == 0) return otherwise;
  char text[256];
  ERR_error_string_n(error, text, sizeof text);
  return text;
}

BIO* memory(FileBytes& file) {
  return BIO_new_mem_buf(file.bytes().data(), static_cast<int>(file.bytes().size()));
}

std::string subject_of(X509* certificate) {
  std::string text;
  BIO* out = BIO_new(BIO_s_mem());
  if (out == nullptr) return text;
  X509_NAME_print_ex(out, X509_get_subject_name(certificate), 0,
                     XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long size = BIO_get_mem_data(out, &data);
  if (size > 0) text.assign(data, static_cast<std::size_t>(size));
  BIO_free(out);
  return text;
}

bool fingerprint_of(X509* certificate, Fingerprint& out) {
  unsigned size = 0;
  return X509_digest(certificate, EVP_sha256(), out.data(), &size) == 1 && size == out.size();
}

// What the verify callback learns about one handshake.
struct Attempt {
  const std::vector<Fingerprint>* allow;
  ClientIdentity* client;
  bool not_allowed = false;
};

}  // namespace

int TlsServer::verify(int preverified, X509_STORE_CTX* store) {
  SSL* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* attempt = ssl != nullptr ? static_cast<Attempt*>(SSL_get_app_data(ssl)) : nullptr;
  if (attempt == nullptr || X509_STORE_CTX_get_error_depth(store) != 0) return preverified;
  X509* certificate = X509_STORE_CTX_get_current_cert(store);
  Fingerprint fingerprint{};
  if (certificate == nullptr || !fingerprint_of(certificate, fingerprint)) return 0;
  attempt->client->subject = subject_of(certificate);
  attempt->client->fingerprint = fingerprint_text(fingerprint);
  if (preverified != 1 || attempt->allow->empty()) return preverified;
  if (std::find(attempt->allow->begin(), attempt->allow->end(), fingerprint) !=
      attempt->allow->end())
    return 1;
  attempt->not_allowed = true;
  X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
  return 0;
}

std::unique_ptr<TlsServer> TlsServer::create(const ReaderSettings& settings, std::string& why) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) {
    why = "TLS: " + ssl_error("cannot make a context");
    return nullptr;
  }
  std::unique_ptr<TlsServer> server(new TlsServer(context));
  server->allow_ = settings.allow;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_mode(context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // No session resumption: every client shows its certificate again.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(context, 0);
  SSL_CTX_set_options(context, SSL_OP_NO_TICKET);

  // The certificate chain: the server's certificate first, then intermediates.
  FileBytes chain;
  if (!read_file("--cert", settings.cert, false, chain, why)) return nullptr;
  BIO* bio = memory(chain);
  X509* leaf = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, no_password, nullptr) : nullptr;
  bool ok = leaf != nullptr && SSL_CTX_use_certificate(context, leaf) == 1;
  if (leaf != nullptr) X509_free(leaf);
  while (ok) {
    X509* extra = PEM_read_bio_X509(bio, nullptr, no_password, nullptr);
    if (extra == nullptr) break;
    if (SSL_CTX_add0_chain_cert(context, extra) != 1) {
      X509_free(extra);
      ok = false;
    }
  }
  BIO_free(bio);
  if (!ok) {
    why = "--cert " + settings.cert + ": " + ssl_error("no certificate in it");
    return nullptr;
  }
  ERR_clear_error();  // the end of the file reads as an error

  FileBytes key_file;
  if (!read_file("--key", settings.key, true, key_file, why)) return nullptr;
  bio = memory(key_file);
  EVP_PKEY* key =
      bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, no_password, nullptr) : nullptr;
  BIO_free(bio);
  if (key == nullptr) {
    why = "--key " + settings.key + ": " + ssl_error("no unencrypted private key in it");
    return nullptr;
  }
  ok = SSL_CTX_use_PrivateKey(context, key) == 1;
  EVP_PKEY_free(key);
  if (!ok || SSL_CTX_check_private_key(context) != 1) {
    why = "--key " + settings.key + ": " + ssl_error("it is not the key of --cert");
    return nullptr;
  }

  // Client certificates must verify against these CAs alone.
  FileBytes authorities;
  if (!read_file("--client-ca", settings.client_ca, false, authorities, why)) return nullptr;
  bio = memory(authorities);
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  int added = 0;
  while (X509* ca =
             bio != nullptr ? PEM_read_bio_X509(bio, nullptr, no_password, nullptr) : nullptr) {
    if (X509_STORE_add_cert(store, ca) == 1 && SSL_CTX_add_client_CA(context, ca) == 1) ++added;
    X509_free(ca);
  }
  BIO_free(bio);
  ERR_clear_error();
  if (added == 0) {
    why = "--client-ca " + settings.client_ca + ": no certificate in it";
    return nullptr;
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                     &TlsServer::verify);
  return server;
}

TlsServer::~TlsServer() {
  SSL_CTX_free(context_);
}

SSL* TlsServer::accept(int socket, int wake, int timeout_ms, ClientIdentity& client,
                       std::string& why) const {
  SSL* ssl = SSL_new(context_);
  if (ssl == nullptr || SSL_set_fd(ssl, socket) != 1) {
    why = "TLS: " + ssl_error("cannot make a session");
    SSL_free(ssl);
    return nullptr;
  }
  Attempt attempt{&allow_, &client};
  SSL_set_app_data(ssl, &attempt);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    ERR_clear_error();
    const int result = SSL_accept(ssl);
    if (result == 1) break;
    const int error = SSL_get_error(ssl, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      if (attempt.not_allowed) {
        why = "TLS handshake refused: the client certificate's fingerprint is not allowed";
      } else if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN) {
        const unsigned long detail = ERR_peek_error();
        why = detail != 0 ? "TLS handshake failed: " + ssl_error("")
                          : "TLS handshake failed: the client closed the connection";
      } else {
        why = "TLS handshake failed: " + ssl_error("error");
      }
      SSL_free(ssl);
      return nullptr;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      why = "TLS handshake timed out";
      SSL_free(ssl);
      return nullptr;
    }
    pollfd fds[2] = {
        {socket, static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0},
        {wake, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      why = std::string("poll: ") + std::strerror(errno);
      SSL_free(ssl);
      return nullptr;
    }
    if (fds[1].revents != 0) {
      why = "the server is stopping";
      SSL_free(ssl);
      return nullptr;
    }
  }
  SSL_set_app_data(ssl, nullptr);
  if (client.fingerprint.empty()) {
    // Verified earlier in a way the callback did not see (cannot happen with
    // SSL_VERIFY_FAIL_IF_NO_PEER_CERT, but never serve an unnamed client).
    if (X509* peer = SSL_get1_peer_certificate(ssl)) {
      Fingerprint fingerprint{};
      if (fingerprint_of(peer, fingerprint)) client.fingerprint = fingerprint_text(fingerprint);
      client.subject = subject_of(peer);
      X509_free(peer);
    }
    if (client.fingerprint.empty()) {
      why = "TLS: the client showed no certificate";
      SSL_free(ssl);
      return nullptr;
    }
  }
  return ssl;
}

std::string TlsServer::describe(SSL* session) {
  std::string version = SSL_get_version(session);  // "TLSv1.3"
  if (version.starts_with("TLSv")) version = "TLS " + version.substr(4);
  return version + " " + SSL_get_cipher_name(session);
}

int TlsServer::read(SSL* session, std::span<uint8_t> into, std::string& why) {
  ERR_clear_error();
  errno = 0;
  const int result = SSL_read(session, into.data(), static_cast<int>(into.size()));
  if (result > 0) return result;
  const int error = SSL_get_error(session, result);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
  if (error == SSL_ERROR_ZERO_RETURN) {
    why = "client left";
  } else if (error == SSL_ERROR_SSL &&
             ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    ERR_clear_error();
    why = "client left without close_notify";
  } else if (error == SSL_ERROR_SYSCALL) {
    why = errno != 0 && ERR_peek_error() == 0
              ? std::string("connection lost: ") + std::strerror(errno)
              : "connection lost: " + ssl_error("closed without close_notify");
  } else {
    why = "TLS error: " + ssl_error("error");
  }
  return -1;
}

int TlsServer::write(SSL* session, std::span<const uint8_t> bytes, bool& want_read,
                     std::string& why) {
  ERR_clear_error();
  errno = 0;
  const int result = SSL_write(session, bytes.data(), static_cast<int>(bytes.size()));
  if (result > 0) return result;
  const int error = SSL_get_error(session, result);
  want_read = error == SSL_ERROR_WANT_READ;
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
  why = error == SSL_ERROR_SYSCALL && errno != 0
            ? std::string("connection lost: ") + std::strerror(errno)
            : "TLS error: " + ssl_error("write failed");
  return -1;
}

bool TlsServer::pending(SSL* session) {
  return SSL_pending(session) > 0;
}

void TlsServer::close(SSL* session) {
  if (session == nullptr) return;
  SSL_shutdown(session);
  SSL_free(session);
}

}  // namespace vorkand::serve
