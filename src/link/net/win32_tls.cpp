// TLS over a connected socket on Windows with SChannel through the SSPI. The
// system libraries are loaded on the first TLS open (secur32.dll for the SSPI,
// crypt32.dll for certificates, advapi32.dll for a client key), so the DLL
// itself imports only KERNEL32 and msvcrt.
//
// The server's certificate is always verified here, never by SChannel alone
// (SCH_CRED_MANUAL_CRED_VALIDATION): a chain is built to the system's roots,
// or, with a CA file, to an engine whose only root store holds that file's
// certificates; the chain must be free of every error, pass the SSL policy for
// the host name, and the certificate must name the host in its
// subjectAltName: an IP address as such, a name as a DNS name, equal to it or
// a wildcard for its whole leftmost label ("*.example.test"). The policy alone
// would fall back to the common name of a certificate without DNS names; the
// check of our own takes neither that nor a partial wildcard
// ("f*.example.test"), as on POSIX. Wine's SChannel checks nothing itself, so
// this also makes the same rules hold there.
//
// A client key (PEM, RSA, unencrypted) is imported into a key container of
// the RSA provider named for the session, which SChannel reads through the
// certificate's CERT_KEY_PROV_INFO; the container is deleted as soon as the
// handshake is over. Windows has no permission bits like POSIX: key files are
// not checked for who else may read them.
//
// Every buffer lives in the session object; the SSPI writes its handshake
// tokens into the session's own buffer.
#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "link/net/win32_tls_session.h"

namespace vorkand::link::net {

// Sends all of `bytes` by `deadline`.
bool send_all(int32_t socket, std::span<const uint8_t> bytes, DWORD deadline) noexcept {
  while (!bytes.empty()) {
    const int32_t sent = socket_send(socket, bytes);
    if (sent < 0) return false;
    if (sent > 0) {
      bytes = bytes.subspan(std::min(static_cast<std::size_t>(sent), bytes.size()));
      continue;
    }
    const uint32_t wait = left(deadline);
    if (wait == 0 || socket_wait(socket, true, wait) != SocketWait::ready) return false;
  }
  return true;
}

TlsSession::~TlsSession() noexcept {
  forget_key();
  if (have_context_) s_.sspi->DeleteSecurityContext(&context_);
  if (have_credentials_) s_.sspi->FreeCredentialsHandle(&credentials_);
  if (client_ != nullptr) s_.free_certificate(client_);
  if (ca_store_ != nullptr) s_.close_store(ca_store_, 0);
}

SECURITY_STATUS TlsSession::step(const char* host, DWORD deadline) noexcept {
  SecBuffer input[2] = {};
  input[0] = {static_cast<ULONG>(in_used_), SECBUFFER_TOKEN, in_.data()};
  input[1] = {0, SECBUFFER_EMPTY, nullptr};
  SecBufferDesc input_desc = {SECBUFFER_VERSION, 2, input};
  SecBuffer output = {static_cast<ULONG>(token_.size()), SECBUFFER_TOKEN, token_.data()};
  SecBufferDesc output_desc = {SECBUFFER_VERSION, 1, &output};
  ULONG attributes = 0;
  const bool first = !have_context_;
  const SECURITY_STATUS status = s_.sspi->InitializeSecurityContextA(
      &credentials_, first ? nullptr : &context_, const_cast<char*>(host), kContextFlags, 0, 0,
      first ? nullptr : &input_desc, 0, &context_, &output_desc, &attributes, nullptr);
  if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) have_context_ = true;
  if (status == SEC_E_INCOMPLETE_MESSAGE) return status;
  // The server asked for a certificate: the SSPI says so when none is set;
  // before TLS 1.3 the client's answer (a Certificate message, empty or not)
  // leads its second flight, in the clear.
  if (status == SEC_I_INCOMPLETE_CREDENTIALS ||
      (!first && output.cbBuffer > 5 && token_[0] == kHandshakeRecord &&
       token_[5] == kCertificateMessage)) {
    certificate_asked_ = true;
  }
  // What was not used stays for the next step (or is the first application data).
  if (!first) {
    if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer <= in_used_) {
      std::memmove(in_.data(), in_.data() + in_used_ - input[1].cbBuffer, input[1].cbBuffer);
      in_used_ = input[1].cbBuffer;
    } else if (status != SEC_I_INCOMPLETE_CREDENTIALS) {
      in_used_ = 0;
    }
  }
  if (output.BufferType == SECBUFFER_TOKEN && output.cbBuffer > 0 &&
      output.cbBuffer <= token_.size() &&
      !send_all(socket_, std::span(token_).first(output.cbBuffer), deadline)) {
    return SEC_E_INTERNAL_ERROR;
  }
  return status;
}

bool TlsSession::handshake(const char* host, DWORD deadline, std::span<char> reason) noexcept {
  SECURITY_STATUS status = step(host, deadline);
  while (status != SEC_E_OK) {
    if (left(deadline) == 0) {
      put(reason, "handshake timed out");
      return false;
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE || (status == SEC_I_CONTINUE_NEEDED && in_used_ == 0)) {
      if (in_used_ == in_.size()) {
        put(reason, "handshake message too long");
        return false;
      }
      const SocketWait waited = socket_wait(socket_, false, left(deadline));
      if (waited == SocketWait::timeout) {
        put(reason, "handshake timed out");
        return false;
      }
      const int32_t got = socket_receive(socket_, std::span(in_).subspan(in_used_));
      if (waited == SocketWait::failed || got < 0) {
        put(reason, "the server closed the connection during the handshake");
        return false;
      }
      in_used_ += static_cast<std::size_t>(got);
      if (got == 0) continue;
    } else if (status != SEC_I_CONTINUE_NEEDED && status != SEC_I_INCOMPLETE_CREDENTIALS) {
      put(reason, "handshake failed (0x%08lx)", static_cast<unsigned long>(status));
      return false;
    }
    status = step(host, deadline);
  }
  return true;
}

bool TlsSession::connect(const char* host, const TlsFiles& files, DWORD deadline,
                         std::span<char> reason) noexcept {
  if (!s_.ready) {
    put(reason, "no TLS library");
    return false;
  }
  if (files.ca_file != nullptr && !load_ca(files.ca_file, reason)) return false;
  if ((files.cert_file != nullptr || files.key_file != nullptr) && !load_client(files, reason)) {
    return false;
  }
  if (!acquire_credentials(reason)) return false;
  const bool shook = handshake(host, deadline, reason);
  // The key has served its purpose: the client signs during the handshake only.
  forget_key();
  if (!shook) return false;
  SecPkgContext_ConnectionInfo connection{};
  if (s_.sspi->QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &connection) !=
          SEC_E_OK ||
      (connection.dwProtocol & kModernProtocols) == 0) {
    put(reason, "the server offered no TLS 1.2 or newer");
    return false;
  }
  if (!verify(host, deadline, reason)) return false;
  if (s_.sspi->QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK ||
      sizes_.cbHeader + sizes_.cbTrailer >= out_.size() || sizes_.cbMaximumMessage == 0) {
    put(reason, "TLS record sizes unknown");
    return false;
  }
  // With TLS 1.3 the client's answer is encrypted: a certificate set may
  // have been asked for.
  if ((connection.dwProtocol & SP_PROT_TLS1_3) != 0 && client_ != nullptr) {
    certificate_asked_ = true;
  }
  return !certificate_asked_ || verdict(client_ != nullptr, deadline, reason);
}

// A server may take the handshake and only then look at the client's
// certificate (or notice there is none), and close the connection when it
// does not like it; with TLS 1.3 the client finishes first anyway. When the
// server asked for one, wait for its verdict, so that a refusal fails the
// open rather than the first exchange: data, an alert or a close end the
// wait at once; session tickets are no verdict; a quiet spell after the
// handshake and whatever followed it counts as taking the certificate. Data
// received stays for the first receive.
bool TlsSession::verdict(bool certificate_set, DWORD deadline, std::span<char> reason) noexcept {
  const uint32_t limit = std::min(left(deadline), kVerdictMs);
  const DWORD since = GetTickCount();
  uint32_t quiet_from = 0;  // when the server last said something, from `since`
  for (;;) {
    const uint32_t elapsed = GetTickCount() - since;
    const uint32_t until = std::min(limit, quiet_from + kQuietMs);
    if (elapsed >= until) return true;
    if (socket_wait(socket_, false, until - elapsed) != SocketWait::ready) return true;
    uint8_t first = 0;
    const int32_t got = receive(std::span(&first, 1));
    if (got > 0) {
      --plain_begin_;  // the byte stays for the caller
      return true;
    }
    if (got < 0) {
      put(reason, "the server closed the connection %s",
          certificate_set ? "after asking for a client certificate"
                          : "and asked for a client certificate; none is set");
      return false;
    }
    quiet_from = GetTickCount() - since;
  }
}

bool TlsSession::flush() noexcept {
  while (out_begin_ < out_end_) {
    const int32_t sent =
        socket_send(socket_, std::span(out_).subspan(out_begin_, out_end_ - out_begin_));
    if (sent < 0) {
      failed_ = true;
      return false;
    }
    if (sent == 0) return false;
    out_begin_ += static_cast<std::size_t>(sent);
  }
  return true;
}

int32_t TlsSession::send(std::span<const uint8_t> bytes) noexcept {
  if (failed_) return kSocketFailed;
  // A record still on its way holds the caller's first bytes: they count as
  // taken once it is all sent.
  if (out_begin_ < out_end_) {
    if (!flush()) return failed_ ? kSocketFailed : kWouldBlock;
    return static_cast<int32_t>(out_plain_);
  }
  if (bytes.empty()) return kWouldBlock;
  const std::size_t room = out_.size() - sizes_.cbHeader - sizes_.cbTrailer;
  const std::size_t length =
      std::min({bytes.size(), static_cast<std::size_t>(sizes_.cbMaximumMessage), room});
  std::memcpy(out_.data() + sizes_.cbHeader, bytes.data(), length);
  SecBuffer buffers[4] = {};
  buffers[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, out_.data()};
  buffers[1] = {static_cast<ULONG>(length), SECBUFFER_DATA, out_.data() + sizes_.cbHeader};
  buffers[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, out_.data() + sizes_.cbHeader + length};
  buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
  SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
  if (s_.sspi->EncryptMessage(&context_, 0, &desc, 0) != SEC_E_OK) {
    failed_ = true;
    return kSocketFailed;
  }
  out_begin_ = 0;
  out_end_ = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
  out_plain_ = length;
  if (!flush()) return failed_ ? kSocketFailed : kWouldBlock;
  return static_cast<int32_t>(length);
}

int32_t TlsSession::receive(std::span<uint8_t> into) noexcept {
  if (into.empty()) return kWouldBlock;
  for (;;) {
    if (plain_begin_ < plain_end_) {
      const std::size_t n = std::min(into.size(), plain_end_ - plain_begin_);
      std::memcpy(into.data(), plain_.data() + plain_begin_, n);
      plain_begin_ += n;
      return static_cast<int32_t>(n);
    }
    if (failed_) return kSocketFailed;
    SECURITY_STATUS status = SEC_E_INCOMPLETE_MESSAGE;
    SecBuffer buffers[4] = {};
    // The record's content type, in the clear before TLS 1.3.
    const uint8_t record_type = in_[0];
    if (in_used_ > 0) {
      buffers[0] = {static_cast<ULONG>(in_used_), SECBUFFER_DATA, in_.data()};
      buffers[1] = {0, SECBUFFER_EMPTY, nullptr};
      buffers[2] = {0, SECBUFFER_EMPTY, nullptr};
      buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      status = s_.sspi->DecryptMessage(&context_, &desc, 0, nullptr);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      if (in_used_ == in_.size()) {
        failed_ = true;
        return kSocketFailed;
      }
      const int32_t got = socket_receive(socket_, std::span(in_).subspan(in_used_));
      if (got == kWouldBlock) return kWouldBlock;
      if (got < 0) {
        failed_ = true;
        return kSocketFailed;
      }
      in_used_ += static_cast<std::size_t>(got);
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
      failed_ = true;  // close_notify (SEC_I_CONTEXT_EXPIRED) or any error
      return kSocketFailed;
    }
    const SecBuffer* data = nullptr;
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA) data = &b;
      if (b.BufferType == SECBUFFER_EXTRA) extra = &b;
    }
    plain_begin_ = 0;
    plain_end_ = 0;
    if (data != nullptr && data->cbBuffer > 0) {
      plain_end_ = std::min<std::size_t>(data->cbBuffer, plain_.size());
      std::memcpy(plain_.data(), data->pvBuffer, plain_end_);
    }
    const std::size_t rest =
        extra != nullptr ? std::min<std::size_t>(extra->cbBuffer, in_used_) : 0;
    std::memmove(in_.data(), in_.data() + in_used_ - rest, rest);
    in_used_ = rest;
    // An alert that gives no data ends the session: Windows reports
    // close_notify as SEC_I_CONTEXT_EXPIRED, Wine as an empty SEC_E_OK.
    if (status == SEC_E_OK && plain_end_ == 0 && record_type == kAlertRecord) {
      failed_ = true;
      return kSocketFailed;
    }
    if (status == SEC_I_RENEGOTIATE) {
      // A post-handshake message (a TLS 1.3 ticket or key update): the SSPI
      // takes it through InitializeSecurityContext, with what followed it.
      const SECURITY_STATUS again = step(nullptr, GetTickCount() + 5000);
      if (again != SEC_E_OK && again != SEC_E_INCOMPLETE_MESSAGE) {
        failed_ = true;
        return kSocketFailed;
      }
    }
  }
}

bool TlsSession::pending() const noexcept {
  if (plain_begin_ < plain_end_) return true;
  // A whole record waiting: its 5-byte header gives its length.
  if (in_used_ < 5) return false;
  const std::size_t length = (static_cast<std::size_t>(in_[3]) << 8) | in_[4];
  return in_used_ >= 5 + length;
}

void TlsSession::describe(std::span<char> out) const noexcept {
  put(out, "%s", text_);
}

void TlsSession::shutdown() noexcept {
  if (!have_context_ || failed_ || s_.sspi->ApplyControlToken == nullptr) return;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc control_desc = {SECBUFFER_VERSION, 1, &control};
  if (s_.sspi->ApplyControlToken(&context_, &control_desc) != SEC_E_OK) return;
  SecBuffer output = {static_cast<ULONG>(token_.size()), SECBUFFER_TOKEN, token_.data()};
  SecBufferDesc output_desc = {SECBUFFER_VERSION, 1, &output};
  ULONG attributes = 0;
  const SECURITY_STATUS status = s_.sspi->InitializeSecurityContextA(
      &credentials_, &context_, nullptr, kContextFlags, 0, 0, nullptr, 0, &context_, &output_desc,
      &attributes, nullptr);
  if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && output.cbBuffer > 0 &&
      output.cbBuffer <= token_.size()) {
    socket_send(socket_, std::span(token_).first(output.cbBuffer));  // as far as it goes now
  }
}

TlsSession* tls_connect(int32_t socket, const char* host, const TlsFiles& files,
                        uint32_t timeout_ms, std::span<char> reason) noexcept {
  put(reason, "%s", "");
  const DWORD deadline = GetTickCount() + timeout_ms;
  if (host == nullptr || *host == '\0') {
    put(reason, "no host name");
    return nullptr;
  }
  auto* session = new (std::nothrow) TlsSession(socket);
  if (session == nullptr) {
    put(reason, "out of memory");
    return nullptr;
  }
  if (!session->connect(host, files, deadline, reason)) {
    delete session;
    return nullptr;
  }
  return session;
}

int32_t tls_send(TlsSession& session, std::span<const uint8_t> bytes) noexcept {
  return session.send(bytes);
}

int32_t tls_receive(TlsSession& session, std::span<uint8_t> into) noexcept {
  return session.receive(into);
}

bool tls_pending(const TlsSession& session) noexcept {
  return session.pending();
}

void tls_describe(const TlsSession& session, std::span<char> out) noexcept {
  session.describe(out);
}

void tls_close(TlsSession* session) noexcept {
  if (session == nullptr) return;
  session->shutdown();
  delete session;
}

}  // namespace vorkand::link::net
