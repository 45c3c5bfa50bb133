// TLS over a connected socket with OpenSSL's libssl (libssl.so.3), loaded with
// dlopen on the first TLS open: the library does not link it, so it loads and
// drives every other kind of port on a machine without it.
//
// Each session has a context of its own, built from the files named at its
// open (the variables are read at each open), so sessions on several threads
// share nothing but the loaded library, which is thread-safe. The files are
// opened here, without following a symbolic link, and handed to OpenSSL as
// memory: it never opens a path itself.
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "link/clock.h"
#include "link/net/posix_tcp.h"
#include "link/net/tls.h"

namespace vorkand::link::net {
namespace {

// OpenSSL's types, opaque here.
struct SSL;
struct SSL_CTX;
struct SSL_METHOD;
struct SSL_CIPHER;
struct BIO;
struct BIO_METHOD;
struct X509;
struct X509_NAME;
struct X509_STORE;
struct X509_VERIFY_PARAM;
struct EVP_MD;
struct EVP_PKEY;
using PasswordCallback = int (*)(char*, int, int, void*);

// The values of OpenSSL 3's macros used below.
constexpr int kCtrlExtraChainCert = 14;
constexpr int kCtrlMode = 33;
constexpr int kCtrlSetTlsextHostname = 55;
constexpr int kCtrlSetMinProtoVersion = 123;
constexpr long kTls12Version = 0x0303;
constexpr long kNameTypeHostName = 0;
constexpr long kModePartialWrite = 0x1;       // SSL_write may take part of the bytes
constexpr long kModeMovingWriteBuffer = 0x2;  // and be retried from another address
constexpr int kVerifyPeer = 0x01;
// Names are matched against the certificate's subjectAltName alone, never its
// common name, and a wildcard stands for a whole leftmost label only.
constexpr unsigned int kHostFlags = 0x20 /* never check subject */ | 0x4 /* no partial wildcards */;
// A TLS 1.2 server cannot renegotiate: a write never has to wait for a read.
constexpr uint64_t kOptionNoRenegotiation = uint64_t{1} << 30;
constexpr int kErrorSsl = 1;
constexpr int kErrorWantRead = 2;
constexpr int kErrorWantWrite = 3;
constexpr long kVerifyOk = 0;
// An error's reason, and the one for a connection closed without an alert.
constexpr unsigned long kReasonMask = 0x7FFFFF;
constexpr unsigned long kReasonUnexpectedEof = 294;
// How long an open waits at most for the server's verdict on the client's
// certificate, and how long the server may stay quiet after the handshake (or
// its session tickets) before its silence counts as taking the certificate.
constexpr uint32_t kVerdictMs = 1000;
constexpr uint32_t kQuietMs = 300;
// The subject as "CN=host, O=maker" (RFC 2253 escaping, most specific first).
constexpr unsigned long kNameOneLine = 17957655;

struct Functions {
  const SSL_METHOD* (*TLS_client_method)();
  SSL_CTX* (*SSL_CTX_new)(const SSL_METHOD*);
  void (*SSL_CTX_free)(SSL_CTX*);
  long (*SSL_CTX_ctrl)(SSL_CTX*, int, long, void*);
  int (*SSL_CTX_set_default_verify_paths)(SSL_CTX*);
  void (*SSL_CTX_set_verify)(SSL_CTX*, int, int (*)(int, void*));
  X509_STORE* (*SSL_CTX_get_cert_store)(const SSL_CTX*);
  int (*SSL_CTX_use_certificate)(SSL_CTX*, X509*);
  int (*SSL_CTX_use_PrivateKey)(SSL_CTX*, EVP_PKEY*);
  int (*SSL_CTX_check_private_key)(const SSL_CTX*);
  uint64_t (*SSL_CTX_set_options)(SSL_CTX*, uint64_t);
  void (*SSL_CTX_set_cert_cb)(SSL_CTX*, int (*)(SSL*, void*), void*);
  SSL* (*SSL_new)(SSL_CTX*);
  void (*SSL_free)(SSL*);
  int (*SSL_set_fd)(SSL*, int);
  long (*SSL_ctrl)(SSL*, int, long, void*);
  int (*SSL_set1_host)(SSL*, const char*);
  void (*SSL_set_hostflags)(SSL*, unsigned int);
  X509_VERIFY_PARAM* (*SSL_get0_param)(SSL*);
  int (*SSL_connect)(SSL*);
  int (*SSL_get_error)(const SSL*, int);
  int (*SSL_read)(SSL*, void*, int);
  int (*SSL_peek)(SSL*, void*, int);
  int (*SSL_write)(SSL*, const void*, int);
  int (*SSL_pending)(const SSL*);
  int (*SSL_shutdown)(SSL*);
  long (*SSL_get_verify_result)(const SSL*);
  const char* (*SSL_get_version)(const SSL*);
  const SSL_CIPHER* (*SSL_get_current_cipher)(const SSL*);
  const char* (*SSL_CIPHER_get_name)(const SSL_CIPHER*);
  X509* (*SSL_get1_peer_certificate)(const SSL*);
  // libcrypto's, found through libssl, which depends on it.
  BIO* (*BIO_new_mem_buf)(const void*, int);
  BIO* (*BIO_new)(const BIO_METHOD*);
  const BIO_METHOD* (*BIO_s_mem)();
  int (*BIO_read)(BIO*, void*, int);
  int (*BIO_free)(BIO*);
  X509* (*PEM_read_bio_X509)(BIO*, X509**, PasswordCallback, void*);
  EVP_PKEY* (*PEM_read_bio_PrivateKey)(BIO*, EVP_PKEY**, PasswordCallback, void*);
  void (*X509_free)(X509*);
  void (*EVP_PKEY_free)(EVP_PKEY*);
  int (*X509_STORE_add_cert)(X509_STORE*, X509*);
  X509_NAME* (*X509_get_subject_name)(const X509*);
  int (*X509_NAME_print_ex)(BIO*, const X509_NAME*, int, unsigned long);
  int (*X509_digest)(const X509*, const EVP_MD*, unsigned char*, unsigned int*);
  const EVP_MD* (*EVP_sha256)();
  int (*X509_VERIFY_PARAM_set1_ip_asc)(X509_VERIFY_PARAM*, const char*);
  const char* (*X509_verify_cert_error_string)(long);
  unsigned long (*ERR_get_error)();
  void (*ERR_error_string_n)(unsigned long, char*, std::size_t);
  void (*ERR_clear_error)();
};

template <typename Function>
bool bind(void* library, const char* name, Function& function) noexcept {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

#define VORKAND_BIND(name) bind(library, #name, f.name)

const Functions* load() noexcept {
  void* library = ::dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  static Functions f{};
  const bool bound =
      VORKAND_BIND(TLS_client_method) && VORKAND_BIND(SSL_CTX_new) && VORKAND_BIND(SSL_CTX_free) &&
      VORKAND_BIND(SSL_CTX_ctrl) && VORKAND_BIND(SSL_CTX_set_default_verify_paths) &&
      VORKAND_BIND(SSL_CTX_set_verify) && VORKAND_BIND(SSL_CTX_get_cert_store) &&
      VORKAND_BIND(SSL_CTX_use_certificate) && VORKAND_BIND(SSL_CTX_use_PrivateKey) &&
      VORKAND_BIND(SSL_CTX_check_private_key) && VORKAND_BIND(SSL_CTX_set_cert_cb) &&
      VORKAND_BIND(SSL_CTX_set_options) && VORKAND_BIND(SSL_new) && VORKAND_BIND(SSL_free) &&
      VORKAND_BIND(SSL_set_fd) && VORKAND_BIND(SSL_ctrl) && VORKAND_BIND(SSL_set1_host) &&
      VORKAND_BIND(SSL_set_hostflags) && VORKAND_BIND(SSL_get0_param) &&
      VORKAND_BIND(SSL_connect) && VORKAND_BIND(SSL_get_error) && VORKAND_BIND(SSL_read) &&
      VORKAND_BIND(SSL_peek) && VORKAND_BIND(SSL_write) && VORKAND_BIND(SSL_pending) &&
      VORKAND_BIND(SSL_shutdown) && VORKAND_BIND(SSL_get_verify_result) &&
      VORKAND_BIND(SSL_get_version) && VORKAND_BIND(SSL_get_current_cipher) &&
      VORKAND_BIND(SSL_CIPHER_get_name) && VORKAND_BIND(SSL_get1_peer_certificate) &&
      VORKAND_BIND(BIO_new_mem_buf) && VORKAND_BIND(BIO_new) && VORKAND_BIND(BIO_s_mem) &&
      VORKAND_BIND(BIO_read) && VORKAND_BIND(BIO_free) && VORKAND_BIND(PEM_read_bio_X509) &&
      VORKAND_BIND(PEM_read_bio_PrivateKey) && VORKAND_BIND(X509_free) &&
      VORKAND_BIND(EVP_PKEY_free) && VORKAND_BIND(X509_STORE_add_cert) &&
      VORKAND_BIND(X509_get_subject_name) && VORKAND_BIND(X509_NAME_print_ex) &&
      VORKAND_BIND(X509_digest) && VORKAND_BIND(EVP_sha256) &&
      VORKAND_BIND(X509_VERIFY_PARAM_set1_ip_asc) && VORKAND_BIND(X509_verify_cert_error_string) &&
      VORKAND_BIND(ERR_get_error) && VORKAND_BIND(ERR_error_string_n) &&
      VORKAND_BIND(ERR_clear_error);
  if (!bound) {
    ::dlclose(library);
    return nullptr;
  }
  // Kept loaded for the life of the process: sessions hold its functions.
  return &f;
}

#undef VORKAND_BIND

const Functions* ssl() noexcept {
  static const Functions* const loaded = load();
  return loaded;
}

void say(std::span<char> reason, const char* format, const auto&... values) noexcept {
  if (reason.empty()) return;
  if (std::snprintf(reason.data(), reason.size(), format, values...) < 0) reason[0] = '\0';
}

// A key file is never asked for a password: an encrypted key fails to load.
int no_password(char*, int, int, void*) noexcept {
  return -1;
}

// The longest PEM file read: a bundle of a few hundred certificates.
constexpr off_t kMaxFile = off_t{4} << 20;

// The contents of a PEM file that `variable` names, read without following a
// symbolic link; empty with a reason when it cannot be read. Only a regular
// file is read, and the open never waits (a FIFO nobody writes would hold
// CT_open). A key file must not be readable by group or others. The bytes are
// wiped when the contents go, on every path: they may hold a private key.
struct FileContents {
  FileContents() noexcept = default;
  FileContents(const FileContents&) = delete;
  FileContents& operator=(const FileContents&) = delete;
  FileContents(FileContents&& other) noexcept
      : bytes(std::move(other.bytes)),
        room(std::exchange(other.room, 0)),
        size(std::exchange(other.size, 0)) {}
  ~FileContents() { wipe(); }
  void wipe() noexcept {
    if (bytes != nullptr) ::explicit_bzero(bytes.get(), room);
    bytes.reset();
    room = 0;
    size = 0;
  }
  std::unique_ptr<char[]> bytes;
  std::size_t room = 0;
  int size = 0;
};
FileContents read_file(const char* variable, const char* path, bool secret,
                       std::span<char> reason) noexcept {
  FileContents contents;
  const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    say(reason, "%s %s: %s", variable, path, std::strerror(errno));
    return contents;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kMaxFile) {
    say(reason, "%s %s: not a regular file of at most 4 MiB (FIFOs and devices are refused)",
        variable, path);
  } else if (secret && (status.st_mode & 077) != 0) {
    say(reason, "%s %s: readable by others (mode %04o); allow its owner alone (chmod 600)",
        variable, path, static_cast<unsigned>(status.st_mode & 07777));
  } else {
    const auto size = static_cast<std::size_t>(status.st_size);
    contents.bytes.reset(new (std::nothrow) char[size + 1]);
    contents.room = contents.bytes != nullptr ? size + 1 : 0;
    std::size_t got = 0;
    while (contents.bytes != nullptr && got < size) {
      const ssize_t r = ::read(fd, contents.bytes.get() + got, size - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    if (contents.bytes == nullptr || got == 0) {
      say(reason, "%s %s: %s", variable, path, got == 0 ? "empty" : "out of memory");
      contents.wipe();
    } else {
      contents.size = static_cast<int>(got);
    }
  }
  ::close(fd);
  return contents;
}

// OpenSSL's reason for the last failure on this thread, or `otherwise`.
void ssl_reason(const Functions& f, const char* prefix, const char* otherwise,
                std::span<char> reason) noexcept {
  const unsigned long error = f.ERR_get_error();
  std::array<char, 160> text{};
  if (error != 0) f.ERR_error_string_n(error, text.data(), text.size());
  say(reason, "%s%s", prefix, error != 0 ? text.data() : otherwise);
}

// Adds every certificate of a PEM file to the context's trust store.
bool trust_only(const Functions& f, SSL_CTX* context, const char* path,
                std::span<char> reason) noexcept {
  const FileContents pem = read_file("VORKAND_TLS_CA", path, false, reason);
  if (pem.bytes == nullptr) return false;
  BIO* bio = f.BIO_new_mem_buf(pem.bytes.get(), pem.size);
  if (bio == nullptr) return false;
  X509_STORE* store = f.SSL_CTX_get_cert_store(context);
  int added = 0;
  while (X509* certificate = f.PEM_read_bio_X509(bio, nullptr, no_password, nullptr)) {
    if (f.X509_STORE_add_cert(store, certificate) == 1) ++added;
    f.X509_free(certificate);
  }
  f.BIO_free(bio);
  f.ERR_clear_error();  // the end of the file reads as an error
  if (added == 0) say(reason, "VORKAND_TLS_CA %s: no certificate in it", path);
  return added > 0;
}

// The client's certificate (its chain after it) and key.
bool present(const Functions& f, SSL_CTX* context, const TlsFiles& files,
             std::span<char> reason) noexcept {
  const FileContents key_pem = read_file("VORKAND_TLS_KEY", files.key_file, true, reason);
  if (key_pem.bytes == nullptr) return false;
  const FileContents cert_pem = read_file("VORKAND_TLS_CERT", files.cert_file, false, reason);
  if (cert_pem.bytes == nullptr) return false;

  BIO* bio = f.BIO_new_mem_buf(cert_pem.bytes.get(), cert_pem.size);
  if (bio == nullptr) return false;
  X509* leaf = f.PEM_read_bio_X509(bio, nullptr, no_password, nullptr);
  bool ok = leaf != nullptr && f.SSL_CTX_use_certificate(context, leaf) == 1;
  if (leaf != nullptr) f.X509_free(leaf);
  while (ok) {
    X509* issuer = f.PEM_read_bio_X509(bio, nullptr, no_password, nullptr);
    if (issuer == nullptr) break;
    // The context owns the certificate once added.
    if (f.SSL_CTX_ctrl(context, kCtrlExtraChainCert, 0, issuer) != 1) f.X509_free(issuer);
  }
  f.BIO_free(bio);
  if (!ok) {
    say(reason, "VORKAND_TLS_CERT %s: no certificate in it", files.cert_file);
    return false;
  }
  f.ERR_clear_error();

  bio = f.BIO_new_mem_buf(key_pem.bytes.get(), key_pem.size);
  if (bio == nullptr) return false;
  EVP_PKEY* key = f.PEM_read_bio_PrivateKey(bio, nullptr, no_password, nullptr);
  f.BIO_free(bio);
  if (key == nullptr) {
    f.ERR_clear_error();
    say(reason, "VORKAND_TLS_KEY %s: no unencrypted private key in it", files.key_file);
    return false;
  }
  ok = f.SSL_CTX_use_PrivateKey(context, key) == 1 && f.SSL_CTX_check_private_key(context) == 1;
  f.EVP_PKEY_free(key);
  if (!ok) {
    f.ERR_clear_error();
    say(reason, "VORKAND_TLS_KEY %s: not the key of VORKAND_TLS_CERT %s", files.key_file,
        files.cert_file);
  }
  return ok;
}

bool is_ip_literal(const char* host) noexcept {
  // Names hold letters; IPv4 addresses only digits and dots; IPv6 ones colons.
  if (std::strchr(host, ':') != nullptr) return true;
  for (const char* c = host; *c != '\0'; ++c) {
    if ((*c < '0' || *c > '9') && *c != '.') return false;
  }
  return true;
}

}  // namespace

class TlsSession {
 public:
  TlsSession(const Functions& f, SSL_CTX* context, int32_t socket) noexcept
      : f_(f), context_(context), socket_(socket) {}
  ~TlsSession() {
    if (ssl_ != nullptr) f_.SSL_free(ssl_);
    f_.SSL_CTX_free(context_);
  }
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  const Functions& f_;
  SSL_CTX* context_;
  int32_t socket_;
  SSL* ssl_ = nullptr;
  bool certificate_asked_ = false;  // the server asked for a client certificate
  std::array<char, 320> description_{};

  // Called by OpenSSL when the server asks for the client's certificate.
  static int note_certificate_request(SSL*, void* session) noexcept {
    static_cast<TlsSession*>(session)->certificate_asked_ = true;
    return 1;
  }

  // What SSL_read/SSL_write's result means for the caller.
  int32_t outcome(int result) noexcept {
    if (result > 0) return result;
    const int error = f_.SSL_get_error(ssl_, result);
    if (error == kErrorWantRead || error == kErrorWantWrite) return kWouldBlock;
    f_.ERR_clear_error();
    return kSocketFailed;
  }

  // The version, the cipher, the server's subject and the SHA-256 of its
  // certificate, for describe().
  void describe_peer() noexcept {
    const char* version = f_.SSL_get_version(ssl_);
    // "TLSv1.3" reads "TLS 1.3".
    const char* number = std::strncmp(version, "TLSv", 4) == 0 ? version + 4 : version;
    const SSL_CIPHER* cipher = f_.SSL_get_current_cipher(ssl_);
    std::array<char, 160> subject{};
    std::array<char, 3 * 32> fingerprint{};
    if (X509* peer = f_.SSL_get1_peer_certificate(ssl_)) {
      if (BIO* bio = f_.BIO_new(f_.BIO_s_mem())) {
        if (f_.X509_NAME_print_ex(bio, f_.X509_get_subject_name(peer), 0, kNameOneLine) >= 0) {
          const int got = f_.BIO_read(bio, subject.data(), static_cast<int>(subject.size() - 1));
          subject[got > 0 ? static_cast<std::size_t>(got) : 0] = '\0';
        }
        f_.BIO_free(bio);
      }
      std::array<unsigned char, 64> digest{};
      unsigned int length = 0;
      if (f_.X509_digest(peer, f_.EVP_sha256(), digest.data(), &length) == 1) {
        length = std::min<unsigned int>(length, 32);
        for (unsigned int i = 0; i < length; ++i) {
          std::snprintf(fingerprint.data() + 3 * i, 4, i + 1 < length ? "%02X:" : "%02X",
                        digest[i]);
        }
      }
      f_.X509_free(peer);
    }
    say(description_, "TLS %s %s, server %s, SHA-256 %s", number,
        cipher != nullptr ? f_.SSL_CIPHER_get_name(cipher) : "?", subject.data(),
        fingerprint.data());
  }
};

namespace {

// OpenSSL writes to the socket with write(), which raises SIGPIPE once the
// server has gone, and the host must never see that signal. While OpenSSL
// works on the socket, SIGPIPE is blocked in this thread, and one raised
// meanwhile is taken back before the old mask returns.
class NoSigpipe {
 public:
  NoSigpipe() noexcept {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~NoSigpipe() {
    const int saved = errno;
    sigset_t pending;
    if (!was_pending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const timespec none{};
      while (sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    errno = saved;
  }
  NoSigpipe(const NoSigpipe&) = delete;
  NoSigpipe& operator=(const NoSigpipe&) = delete;

 private:
  sigset_t pipe_{};
  sigset_t old_{};
  bool was_pending_ = false;
};

}  // namespace

namespace {

// The time an open may take, counted from its start.
class Budget {
 public:
  explicit Budget(uint32_t timeout_ms) noexcept
      : start_(clock_.now_ms()), timeout_ms_(timeout_ms) {}
  // What is left of it, 0 once it is spent.
  uint32_t left() noexcept {
    const uint32_t spent = clock_.now_ms() - start_;
    return spent < timeout_ms_ ? timeout_ms_ - spent : 0;
  }
  uint32_t now_ms() noexcept { return clock_.now_ms(); }

 private:
  SystemClock clock_;
  uint32_t start_;
  uint32_t timeout_ms_;
};

// The session's context and connection: TLS 1.2 at least, the server's
// certificate verified against `files.ca_file` alone or the system's trust
// store, the client's certificate when one is set; then the connection.
bool configure(const Functions& f, TlsSession& session, const TlsFiles& files,
               std::span<char> reason) noexcept {
  SSL_CTX* const context = session.context_;
  f.SSL_CTX_set_verify(context, kVerifyPeer, nullptr);
  f.SSL_CTX_set_cert_cb(context, TlsSession::note_certificate_request, &session);
  f.SSL_CTX_set_options(context, kOptionNoRenegotiation);
  bool ready = f.SSL_CTX_ctrl(context, kCtrlSetMinProtoVersion, kTls12Version, nullptr) == 1;
  f.SSL_CTX_ctrl(context, kCtrlMode, kModePartialWrite | kModeMovingWriteBuffer, nullptr);
  if (ready) {
    ready = files.ca_file != nullptr ? trust_only(f, context, files.ca_file, reason)
                                     : f.SSL_CTX_set_default_verify_paths(context) == 1;
  }
  if (ready && files.cert_file != nullptr) ready = present(f, context, files, reason);
  if (ready) session.ssl_ = f.SSL_new(context);
  if (session.ssl_ == nullptr) {
    if (reason.empty() || reason[0] == '\0') ssl_reason(f, "", "no TLS session", reason);
    return false;
  }
  return true;
}

// The connection on `socket`, and the name or address the certificate must
// match; a name is sent (SNI).
bool bind_host(const Functions& f, SSL* ssl, int32_t socket, const char* host,
               std::span<char> reason) noexcept {
  const bool ip = is_ip_literal(host);
  const bool ready =
      f.SSL_set_fd(ssl, socket) == 1 &&
      (ip ? f.X509_VERIFY_PARAM_set1_ip_asc(f.SSL_get0_param(ssl), host) == 1
          : (f.SSL_set_hostflags(ssl, kHostFlags), f.SSL_set1_host(ssl, host) == 1) &&
                f.SSL_ctrl(ssl, kCtrlSetTlsextHostname, kNameTypeHostName,
                           const_cast<char*>(host)) == 1);
  if (!ready) ssl_reason(f, "", "the host cannot be checked", reason);
  return ready;
}

// The handshake, within what is left of the budget.
bool handshake(const Functions& f, SSL* ssl, int32_t socket, Budget& budget,
               std::span<char> reason) noexcept {
  for (;;) {
    const int result = f.SSL_connect(ssl);
    acknowledge_at_once(socket);
    if (result == 1) return true;
    const int error = f.SSL_get_error(ssl, result);
    const uint32_t left = budget.left();
    if ((error == kErrorWantRead || error == kErrorWantWrite) && left > 0) {
      const SocketWait waited = socket_wait(socket, error == kErrorWantWrite, left);
      if (waited != SocketWait::failed) continue;
    }
    const long verified = f.SSL_get_verify_result(ssl);
    if (error == kErrorWantRead || error == kErrorWantWrite) {
      say(reason, "%s", "TLS handshake timed out");
    } else if (verified != kVerifyOk) {
      say(reason, "certificate verify failed: %s", f.X509_verify_cert_error_string(verified));
    } else if (error == kErrorSsl) {
      ssl_reason(f, "TLS handshake failed: ", "?", reason);
    } else {
      say(reason, "%s", "TLS handshake failed: the connection closed");
    }
    f.ERR_clear_error();
    return false;
  }
}

// A server may take the handshake and only then look at the client's
// certificate (or notice there is none): with TLS 1.3 the client finishes
// first, and some servers check the certificate after the handshake either
// way. When the server asked for one, wait for its verdict, so that a
// refusal fails the open rather than the first exchange: data, an alert or
// a close end the wait at once; session tickets are no verdict; a quiet
// spell after the handshake and whatever followed it counts as taking the
// certificate. Peeking keeps any data for the port.
bool await_verdict(const Functions& f, SSL* ssl, int32_t socket, const TlsFiles& files,
                   Budget& budget, std::span<char> reason) noexcept {
  const uint32_t limit = std::min(budget.left(), kVerdictMs);
  const uint32_t since = budget.now_ms();
  uint32_t quiet_from = 0;  // when the server last said something, from `since`
  for (;;) {
    const uint32_t elapsed = budget.now_ms() - since;
    const uint32_t until = std::min(limit, quiet_from + kQuietMs);
    if (elapsed >= until) return true;
    if (socket_wait(socket, false, until - elapsed) != SocketWait::ready) return true;
    std::array<uint8_t, 1> first{};
    const int result = f.SSL_peek(ssl, first.data(), 1);
    if (result > 0) return true;
    const int error = f.SSL_get_error(ssl, result);
    if (error != kErrorWantRead && error != kErrorWantWrite) {
      // The server's alert says why; a bare close says nothing.
      const unsigned long alert = error == kErrorSsl ? f.ERR_get_error() : 0;
      if (alert != 0 && (alert & kReasonMask) != kReasonUnexpectedEof) {
        std::array<char, 160> text{};
        f.ERR_error_string_n(alert, text.data(), text.size());
        say(reason, "TLS handshake failed: %s", text.data());
      } else {
        say(reason, "TLS handshake failed: %s",
            files.cert_file != nullptr
                ? "the server closed the connection after asking for a client certificate"
                : "the server asked for a client certificate and none is set");
      }
      f.ERR_clear_error();
      return false;
    }
    quiet_from = budget.now_ms() - since;
  }
}

}  // namespace

TlsSession* tls_connect(int32_t socket, const char* host, const TlsFiles& files,
                        uint32_t timeout_ms, std::span<char> reason) noexcept {
  say(reason, "%s", "");
  const NoSigpipe quiet;
  if (host == nullptr || *host == '\0') return nullptr;
  if ((files.cert_file == nullptr) != (files.key_file == nullptr)) {
    say(reason, "%s", "VORKAND_TLS_CERT and VORKAND_TLS_KEY go together; one is unset");
    return nullptr;
  }
  Budget budget(timeout_ms);
  const Functions* loaded = ssl();
  if (loaded == nullptr) {
    say(reason, "%s", "no TLS library (libssl.so.3)");
    return nullptr;
  }
  const Functions& f = *loaded;
  f.ERR_clear_error();

  SSL_CTX* context = f.SSL_CTX_new(f.TLS_client_method());
  auto* session = context != nullptr ? new (std::nothrow) TlsSession(f, context, socket) : nullptr;
  if (session == nullptr) {
    if (context != nullptr) f.SSL_CTX_free(context);
    ssl_reason(f, "", "out of memory", reason);
    return nullptr;
  }
  // Deletes the session (and with it the context) on every early return.
  std::unique_ptr<TlsSession> owned(session);
  if (!configure(f, *session, files, reason) ||
      !bind_host(f, session->ssl_, socket, host, reason) ||
      !handshake(f, session->ssl_, socket, budget, reason)) {
    return nullptr;
  }
  if (session->certificate_asked_ &&
      !await_verdict(f, session->ssl_, socket, files, budget, reason)) {
    return nullptr;
  }
  session->describe_peer();
  return owned.release();
}

int32_t tls_send(TlsSession& session, std::span<const uint8_t> bytes) noexcept {
  if (bytes.empty()) return kWouldBlock;
  const int wanted = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 30));
  const NoSigpipe quiet;
  return session.outcome(session.f_.SSL_write(session.ssl_, bytes.data(), wanted));
}

int32_t tls_receive(TlsSession& session, std::span<uint8_t> into) noexcept {
  if (into.empty()) return kWouldBlock;
  const int wanted = static_cast<int>(std::min<std::size_t>(into.size(), 1 << 30));
  const NoSigpipe quiet;
  const int got = session.f_.SSL_read(session.ssl_, into.data(), wanted);
  acknowledge_at_once(session.socket_);
  return session.outcome(got);
}

bool tls_pending(const TlsSession& session) noexcept {
  return session.f_.SSL_pending(session.ssl_) > 0;
}

void tls_describe(const TlsSession& session, std::span<char> out) noexcept {
  say(out, "%s", session.description_.data());
}

void tls_close(TlsSession* session) noexcept {
  if (session == nullptr) return;
  // One try: close_notify goes out if the socket takes it now.
  const NoSigpipe quiet;
  session->f_.SSL_shutdown(session->ssl_);
  session->f_.ERR_clear_error();
  delete session;
}

}  // namespace vorkand::link::net
