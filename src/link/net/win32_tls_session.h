// What the four parts of the Windows TLS share: the system's TLS libraries as
// loaded (win32_tls_library.cpp), and the session, whose jobs are split by
// file: credentials (win32_tls_credentials.cpp), the server's certificate
// (win32_tls_verify.cpp), the handshake and the records (win32_tls.cpp).
#pragma once

#define WIN32_LEAN_AND_MEAN
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // SCH_CREDENTIALS
#include <windows.h>

#include <subauth.h>
#include <wincrypt.h>

#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "link/net/socket.h"
#include "link/net/tls.h"

namespace vorkand::link::net {

// A TLS record: 5 header bytes and at most 2^14 + 2048 bytes of ciphertext.
constexpr std::size_t kRecordMax = 5 + 16384 + 2048;
constexpr std::size_t kPlainMax = 16384;
constexpr std::size_t kTokenMax = 16384;
constexpr std::size_t kFileMax = 32768;
constexpr uint8_t kAlertRecord = 21;  // a TLS record's content type
constexpr uint8_t kHandshakeRecord = 22;
constexpr uint8_t kCertificateMessage = 11;  // a handshake message's type
// How long an open waits at most for the server's verdict on the client's
// certificate, and how long the server may stay quiet after the handshake (or
// its session tickets) before its silence counts as taking the certificate.
constexpr uint32_t kVerdictMs = 1000;
constexpr uint32_t kQuietMs = 300;
constexpr DWORD kIgnoreUnknownCa = 0x00000100;  // SECURITY_FLAG_IGNORE_UNKNOWN_CA (wininet.h)
constexpr DWORD kModernProtocols = SP_PROT_TLS1_2 | SP_PROT_TLS1_3;
constexpr DWORD kOldClientProtocols =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_STREAM |
                                ISC_REQ_USE_SUPPLIED_CREDS | ISC_REQ_MANUAL_CRED_VALIDATION;

struct System {
  bool ready = false;
  PSecurityFunctionTableA sspi = nullptr;
  decltype(&::CertOpenStore) open_store = nullptr;
  decltype(&::CertCloseStore) close_store = nullptr;
  decltype(&::CertAddStoreToCollection) add_to_collection = nullptr;
  decltype(&::CertAddEncodedCertificateToStore) add_encoded = nullptr;
  decltype(&::CertCreateCertificateContext) create_certificate = nullptr;
  decltype(&::CertFreeCertificateContext) free_certificate = nullptr;
  decltype(&::CertFindCertificateInStore) find_certificate = nullptr;
  decltype(&::CertSetCertificateContextProperty) set_property = nullptr;
  decltype(&::CryptStringToBinaryA) string_to_binary = nullptr;
  decltype(&::CryptDecodeObjectEx) decode = nullptr;
  decltype(&::CertCreateCertificateChainEngine) create_engine = nullptr;
  decltype(&::CertFreeCertificateChainEngine) free_engine = nullptr;
  decltype(&::CertGetCertificateChain) get_chain = nullptr;
  decltype(&::CertFreeCertificateChain) free_chain = nullptr;
  decltype(&::CertVerifyCertificateChainPolicy) verify_policy = nullptr;
  decltype(&::CertFindExtension) find_extension = nullptr;
  decltype(&::CertNameToStrA) name_to_string = nullptr;
  decltype(&::CryptHashCertificate2) hash_certificate2 = nullptr;  // optional (Vista)
  decltype(&::CryptHashCertificate) hash_certificate = nullptr;
  decltype(&::CryptAcquireContextW) acquire_provider = nullptr;
  decltype(&::CryptImportKey) import_key = nullptr;
  decltype(&::CryptDestroyKey) destroy_key = nullptr;
  decltype(&::CryptReleaseContext) release_provider = nullptr;
};

template <typename F>
bool find(HMODULE module, const char* name, F& out) noexcept {
  out = module == nullptr
            ? nullptr
            : reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return out != nullptr;
}

// Loaded once, on the first TLS open; thread-safe. The libraries stay loaded.
const System& tls_system() noexcept;

void put(std::span<char> out, const char* format, auto... values) noexcept {
  if (!out.empty()) std::snprintf(out.data(), out.size(), format, values...);
}

// The time left until `deadline` (a GetTickCount value), 0 once it is passed.
inline uint32_t left(DWORD deadline) noexcept {
  const auto remaining = static_cast<int32_t>(deadline - GetTickCount());
  return remaining > 0 ? static_cast<uint32_t>(remaining) : 0;
}

// Sends all of `bytes` by `deadline`.
bool send_all(int32_t socket, std::span<const uint8_t> bytes, DWORD deadline) noexcept;

// The bytes of the first PEM block at or after `from` whose label is
// `label` ("CERTIFICATE"), decoded into `der`; the offset after its end line,
// or 0 when there is none or it does not decode.
std::size_t pem_block(const System& s, std::span<const char> text, std::size_t from,
                      const char* label, std::span<BYTE> der, DWORD& der_size) noexcept;

class TlsSession {
 public:
  explicit TlsSession(int32_t socket) noexcept : socket_(socket) {}
  ~TlsSession() noexcept;
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  bool connect(const char* host, const TlsFiles& files, DWORD deadline,
               std::span<char> reason) noexcept;
  int32_t send(std::span<const uint8_t> bytes) noexcept;
  int32_t receive(std::span<uint8_t> into) noexcept;
  bool pending() const noexcept;
  void describe(std::span<char> out) const noexcept;
  void shutdown() noexcept;

 private:
  bool read_file(const char* path, std::span<char> reason) noexcept;
  bool load_ca(const char* path, std::span<char> reason) noexcept;
  bool load_client(const TlsFiles& files, std::span<char> reason) noexcept;
  bool acquire_credentials(std::span<char> reason) noexcept;
  bool handshake(const char* host, DWORD deadline, std::span<char> reason) noexcept;
  // One InitializeSecurityContext step over in_; sends its token. The status.
  SECURITY_STATUS step(const char* host, DWORD deadline) noexcept;
  bool verify(const char* host, DWORD deadline, std::span<char> reason) noexcept;
  bool verdict(bool certificate_set, DWORD deadline, std::span<char> reason) noexcept;
  bool from_ca_file(const CERT_CHAIN_CONTEXT& chain) const noexcept;
  const BYTE* rsa_in_pkcs8(DWORD size, DWORD& rsa_size) noexcept;
  bool host_address(const char* host, std::span<BYTE> out, DWORD& size) const noexcept;
  bool names_address(PCCERT_CONTEXT certificate, std::span<const BYTE> address) noexcept;
  bool names_host(PCCERT_CONTEXT certificate, const char* host) noexcept;
  const CERT_ALT_NAME_INFO* alt_names(PCCERT_CONTEXT certificate) noexcept;
  void note(PCCERT_CONTEXT certificate) noexcept;
  void forget_key() noexcept;
  bool flush() noexcept;

  const System& s_ = tls_system();
  int32_t socket_;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool have_credentials_ = false;
  bool have_context_ = false;
  bool failed_ = false;
  bool certificate_asked_ = false;  // the server asked for a client certificate
  HCERTSTORE ca_store_ = nullptr;
  PCCERT_CONTEXT client_ = nullptr;
  wchar_t container_[64] = {};
  bool have_container_ = false;
  SecPkgContext_StreamSizes sizes_{};
  char text_[320] = {};  // what describe() writes

  // Ciphertext received and not yet decrypted.
  std::array<uint8_t, kRecordMax> in_{};
  std::size_t in_used_ = 0;
  // Plaintext decrypted and not yet given.
  std::array<uint8_t, kPlainMax> plain_{};
  std::size_t plain_begin_ = 0;
  std::size_t plain_end_ = 0;
  // One encrypted record not yet fully sent, and the plaintext bytes it holds.
  std::array<uint8_t, kRecordMax> out_{};
  std::size_t out_begin_ = 0;
  std::size_t out_end_ = 0;
  std::size_t out_plain_ = 0;
  // Handshake tokens, and the files read before the handshake.
  std::array<uint8_t, kTokenMax> token_{};
  std::array<char, kFileMax> file_{};
  std::size_t file_size_ = 0;
  std::array<BYTE, kFileMax> der_{};
  alignas(16) std::array<BYTE, kFileMax> decoded_{};
};

}  // namespace vorkand::link::net
