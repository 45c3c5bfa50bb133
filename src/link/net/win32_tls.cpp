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

#include "link/net/tls.h"

namespace vorkand::link::net {
namespace {

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

System load() noexcept {
  System s;
  HMODULE secur32 = LoadLibraryExA("secur32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  HMODULE crypt32 = LoadLibraryExA("crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  HMODULE advapi32 = LoadLibraryExA("advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  INIT_SECURITY_INTERFACE_A init = nullptr;
  if (!find(secur32, "InitSecurityInterfaceA", init)) return s;
  s.sspi = init();
  if (s.sspi == nullptr) return s;
  find(crypt32, "CryptHashCertificate2", s.hash_certificate2);
  s.ready = find(crypt32, "CertOpenStore", s.open_store) &&
            find(crypt32, "CertCloseStore", s.close_store) &&
            find(crypt32, "CertAddStoreToCollection", s.add_to_collection) &&
            find(crypt32, "CertAddEncodedCertificateToStore", s.add_encoded) &&
            find(crypt32, "CertCreateCertificateContext", s.create_certificate) &&
            find(crypt32, "CertFreeCertificateContext", s.free_certificate) &&
            find(crypt32, "CertFindCertificateInStore", s.find_certificate) &&
            find(crypt32, "CertSetCertificateContextProperty", s.set_property) &&
            find(crypt32, "CryptStringToBinaryA", s.string_to_binary) &&
            find(crypt32, "CryptDecodeObjectEx", s.decode) &&
            find(crypt32, "CertCreateCertificateChainEngine", s.create_engine) &&
            find(crypt32, "CertFreeCertificateChainEngine", s.free_engine) &&
            find(crypt32, "CertGetCertificateChain", s.get_chain) &&
            find(crypt32, "CertFreeCertificateChain", s.free_chain) &&
            find(crypt32, "CertVerifyCertificateChainPolicy", s.verify_policy) &&
            find(crypt32, "CertFindExtension", s.find_extension) &&
            find(crypt32, "CertNameToStrA", s.name_to_string) &&
            find(crypt32, "CryptHashCertificate", s.hash_certificate) &&
            find(advapi32, "CryptAcquireContextW", s.acquire_provider) &&
            find(advapi32, "CryptImportKey", s.import_key) &&
            find(advapi32, "CryptDestroyKey", s.destroy_key) &&
            find(advapi32, "CryptReleaseContext", s.release_provider) &&
            s.sspi->AcquireCredentialsHandleA != nullptr &&
            s.sspi->InitializeSecurityContextA != nullptr &&
            s.sspi->QueryContextAttributesA != nullptr && s.sspi->EncryptMessage != nullptr &&
            s.sspi->DecryptMessage != nullptr && s.sspi->DeleteSecurityContext != nullptr &&
            s.sspi->FreeCredentialsHandle != nullptr;
  return s;
}

// Loaded once, on the first TLS open; thread-safe. The libraries stay loaded.
const System& tls_system() noexcept {
  static const System loaded = load();
  return loaded;
}

void put(std::span<char> out, const char* format, auto... values) noexcept {
  if (!out.empty()) std::snprintf(out.data(), out.size(), format, values...);
}

// The time left until `deadline` (a GetTickCount value), 0 once it is passed.
uint32_t left(DWORD deadline) noexcept {
  const auto remaining = static_cast<int32_t>(deadline - GetTickCount());
  return remaining > 0 ? static_cast<uint32_t>(remaining) : 0;
}

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

// The bytes of the first PEM block at or after `from` whose label is
// `label` ("CERTIFICATE"), decoded into `der`; the offset after its end line,
// or 0 when there is none or it does not decode.
std::size_t pem_block(const System& s, std::span<const char> text, std::size_t from,
                      const char* label, std::span<BYTE> der, DWORD& der_size) noexcept {
  char begin[64];
  char end[64];
  std::snprintf(begin, sizeof begin, "-----BEGIN %s-----", label);
  std::snprintf(end, sizeof end, "-----END %s-----", label);
  const std::string_view all(text.data(), text.size());
  const std::size_t start = all.find(begin, from);
  if (start == std::string_view::npos) return 0;
  const std::size_t stop = all.find(end, start);
  if (stop == std::string_view::npos) return 0;
  const std::size_t after = stop + std::strlen(end);
  der_size = static_cast<DWORD>(der.size());
  if (!s.string_to_binary(text.data() + start, static_cast<DWORD>(after - start),
                          CRYPT_STRING_BASE64HEADER, der.data(), &der_size, nullptr, nullptr)) {
    return 0;
  }
  return after;
}

}  // namespace

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

TlsSession::~TlsSession() noexcept {
  forget_key();
  if (have_context_) s_.sspi->DeleteSecurityContext(&context_);
  if (have_credentials_) s_.sspi->FreeCredentialsHandle(&credentials_);
  if (client_ != nullptr) s_.free_certificate(client_);
  if (ca_store_ != nullptr) s_.close_store(ca_store_, 0);
}

bool TlsSession::read_file(const char* path, std::span<char> reason) noexcept {
  // As O_NOFOLLOW: a symbolic link or junction is opened as itself, and refused.
  // Only a file on disk is read: a pipe or a device could hold the open.
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    put(reason, "cannot open %s (error %lu)", path, static_cast<unsigned long>(GetLastError()));
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  bool ok =
      GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) != 0 &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
      info.nFileSizeHigh == 0 && info.nFileSizeLow < file_.size();
  DWORD got = 0;
  ok = ok && ReadFile(h, file_.data(), info.nFileSizeLow, &got, nullptr) != 0 &&
       got == info.nFileSizeLow;
  CloseHandle(h);
  if (!ok) {
    put(reason, "cannot read %s: not a plain file of at most %u bytes", path,
        static_cast<unsigned>(file_.size() - 1));
    return false;
  }
  file_size_ = got;
  file_[got] = '\0';
  return true;
}

bool TlsSession::load_ca(const char* path, std::span<char> reason) noexcept {
  if (!read_file(path, reason)) return false;
  ca_store_ = s_.open_store(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  if (ca_store_ == nullptr) {
    put(reason, "cannot make a certificate store");
    return false;
  }
  const auto text = std::span<const char>(file_).first(file_size_);
  int count = 0;
  DWORD size = 0;
  for (std::size_t at = 0; (at = pem_block(s_, text, at, "CERTIFICATE", der_, size)) != 0;) {
    if (!s_.add_encoded(ca_store_, X509_ASN_ENCODING, der_.data(), size, CERT_STORE_ADD_ALWAYS,
                        nullptr)) {
      put(reason, "%s: a certificate that does not parse", path);
      return false;
    }
    ++count;
  }
  if (count == 0) {
    put(reason, "%s: no PEM certificate", path);
    return false;
  }
  return true;
}

bool TlsSession::load_client(const TlsFiles& files, std::span<char> reason) noexcept {
  if (files.cert_file == nullptr || files.key_file == nullptr) {
    put(reason, "a client certificate needs both a certificate and a key file");
    return false;
  }
  if (!read_file(files.cert_file, reason)) return false;
  DWORD size = 0;
  if (pem_block(s_, std::span<const char>(file_).first(file_size_), 0, "CERTIFICATE", der_, size) ==
          0 ||
      (client_ = s_.create_certificate(X509_ASN_ENCODING, der_.data(), size)) == nullptr) {
    put(reason, "%s: no PEM certificate", files.cert_file);
    return false;
  }

  // The key, as PKCS #8 or as PKCS #1, decoded to a CryptoAPI private key blob.
  // Whatever happens from here on, the buffers that held its bytes are wiped.
  struct Wipe {
    TlsSession& session;
    ~Wipe() {
      SecureZeroMemory(session.decoded_.data(), session.decoded_.size());
      SecureZeroMemory(session.der_.data(), session.der_.size());
      SecureZeroMemory(session.file_.data(), session.file_.size());
    }
  } const wipe{*this};
  if (!read_file(files.key_file, reason)) return false;
  const auto text = std::span<const char>(file_).first(file_size_);
  const BYTE* rsa = nullptr;
  DWORD rsa_size = 0;
  DWORD info_size = static_cast<DWORD>(decoded_.size());
  if (pem_block(s_, text, 0, "PRIVATE KEY", der_, size) != 0) {
    // The key info is decoded into the upper half, the blob into the lower.
    info_size /= 2;
    auto* info = reinterpret_cast<CRYPT_PRIVATE_KEY_INFO*>(decoded_.data() + decoded_.size() / 2);
    if (s_.decode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, PKCS_PRIVATE_KEY_INFO, der_.data(), size,
                  CRYPT_DECODE_NOCOPY_FLAG, nullptr, info, &info_size)) {
      if (info->Algorithm.pszObjId != nullptr &&
          std::strcmp(info->Algorithm.pszObjId, szOID_RSA_RSA) == 0) {
        rsa = info->PrivateKey.pbData;
        rsa_size = info->PrivateKey.cbData;
      }
    } else {
      rsa = rsa_in_pkcs8(size, rsa_size);
    }
    if (rsa == nullptr) {
      put(reason, "%s: not an unencrypted RSA key", files.key_file);
      return false;
    }
  } else if (pem_block(s_, text, 0, "RSA PRIVATE KEY", der_, size) != 0) {
    rsa = der_.data();
    rsa_size = size;
  } else {
    put(reason, "%s: not an unencrypted RSA key", files.key_file);
    return false;
  }
  DWORD blob_size = static_cast<DWORD>(decoded_.size() / 2);
  if (!s_.decode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, rsa, rsa_size, 0,
                 nullptr, decoded_.data(), &blob_size)) {
    put(reason, "%s: not an unencrypted RSA key (error 0x%lx)", files.key_file,
        static_cast<unsigned long>(GetLastError()));
    return false;
  }

  // A key container for this session alone, named by process and session.
  char name[64];
  std::snprintf(name, sizeof name, "vorkand-tls-%lu-%p",
                static_cast<unsigned long>(GetCurrentProcessId()), static_cast<void*>(this));
  MultiByteToWideChar(CP_ACP, 0, name, -1, container_, static_cast<int>(std::size(container_)));
  HCRYPTPROV provider = 0;
  if (!s_.acquire_provider(&provider, container_, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                           CRYPT_NEWKEYSET)) {
    // A container of an earlier process that ended without deleting it.
    s_.acquire_provider(&provider, container_, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                        CRYPT_DELETEKEYSET);
    if (!s_.acquire_provider(&provider, container_, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                             CRYPT_NEWKEYSET)) {
      put(reason, "cannot make a key container (error %lu)",
          static_cast<unsigned long>(GetLastError()));
      return false;
    }
  }
  have_container_ = true;
  HCRYPTKEY key = 0;
  const bool imported = s_.import_key(provider, decoded_.data(), blob_size, 0, 0, &key) != 0;
  if (imported) s_.destroy_key(key);
  // Releasing the provider stores the key in the container.
  s_.release_provider(provider, 0);
  if (!imported) {
    put(reason, "%s: the key does not import (error %lu)", files.key_file,
        static_cast<unsigned long>(GetLastError()));
    return false;
  }
  CRYPT_KEY_PROV_INFO where{};
  where.pwszContainerName = container_;
  where.pwszProvName = const_cast<LPWSTR>(MS_ENHANCED_PROV_W);
  where.dwProvType = PROV_RSA_FULL;
  where.dwKeySpec = AT_KEYEXCHANGE;
  if (!s_.set_property(client_, CERT_KEY_PROV_INFO_PROP_ID, 0, &where)) {
    put(reason, "cannot link the client key to its certificate");
    return false;
  }
  return true;
}

// True when the chain ends in one of the CA file's certificates.
bool TlsSession::from_ca_file(const CERT_CHAIN_CONTEXT& chain) const noexcept {
  if (chain.cChain == 0 || chain.rgpChain[0]->cElement == 0) return false;
  const CERT_SIMPLE_CHAIN& simple = *chain.rgpChain[0];
  PCCERT_CONTEXT root = simple.rgpElement[simple.cElement - 1]->pCertContext;
  PCCERT_CONTEXT found =
      s_.find_certificate(ca_store_, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
  if (found == nullptr) return false;
  s_.free_certificate(found);
  return true;
}

// For decoders without PKCS_PRIVATE_KEY_INFO (Wine 8): the RSAPrivateKey in
// the PrivateKeyInfo in der_ (`size` bytes), found with the generic decoders
// in the upper half of decoded_. Null when it is not an RSA key.
const BYTE* TlsSession::rsa_in_pkcs8(DWORD size, DWORD& rsa_size) noexcept {
  // AlgorithmIdentifier { rsaEncryption, NULL }, as every encoder writes it.
  static constexpr BYTE kRsaAlgorithm[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                           0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
  BYTE* upper = decoded_.data() + decoded_.size() / 2;
  const DWORD half = static_cast<DWORD>(decoded_.size() / 4);
  DWORD sequence_size = half;
  if (!s_.decode(X509_ASN_ENCODING, X509_SEQUENCE_OF_ANY, der_.data(), size,
                 CRYPT_DECODE_NOCOPY_FLAG, nullptr, upper, &sequence_size)) {
    return nullptr;
  }
  const auto* fields = reinterpret_cast<const CRYPT_SEQUENCE_OF_ANY*>(upper);
  if (fields->cValue < 3 || fields->rgValue[1].cbData != sizeof kRsaAlgorithm ||
      std::memcmp(fields->rgValue[1].pbData, kRsaAlgorithm, sizeof kRsaAlgorithm) != 0) {
    return nullptr;
  }
  BYTE* octets = upper + half;
  DWORD octets_size = half;
  if (!s_.decode(X509_ASN_ENCODING, X509_OCTET_STRING, fields->rgValue[2].pbData,
                 fields->rgValue[2].cbData, CRYPT_DECODE_NOCOPY_FLAG, nullptr, octets,
                 &octets_size)) {
    return nullptr;
  }
  const auto* key = reinterpret_cast<const CRYPT_DATA_BLOB*>(octets);
  rsa_size = key->cbData;
  return key->pbData;
}

void TlsSession::forget_key() noexcept {
  if (!have_container_) return;
  HCRYPTPROV provider = 0;
  s_.acquire_provider(&provider, container_, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  have_container_ = false;
}

bool TlsSession::acquire_credentials(std::span<char> reason) noexcept {
  PCCERT_CONTEXT certificates[1] = {client_};
  const DWORD count = client_ != nullptr ? 1 : 0;
  const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS |
                      SCH_CRED_NO_SERVERNAME_CHECK | SCH_USE_STRONG_CRYPTO;
  TimeStamp expiry{};
  char package[] = UNISP_NAME_A;

  // Windows 10 1809 and later: SCH_CREDENTIALS, the only way to TLS 1.3.
  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols = kOldClientProtocols;
  SCH_CREDENTIALS modern{};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.cCreds = count;
  modern.paCred = certificates;
  modern.dwFlags = flags;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &parameters;
  SECURITY_STATUS status =
      s_.sspi->AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &modern,
                                         nullptr, nullptr, &credentials_, &expiry);
  // A system that takes SCH_CREDENTIALS but not its list of disabled
  // protocols (Wine 8) would still offer the old ones: not those.
  SecPkgCred_SupportedProtocols supported{};
  if (status == SEC_E_OK &&
      (s_.sspi->QueryCredentialsAttributesA == nullptr ||
       s_.sspi->QueryCredentialsAttributesA(&credentials_, SECPKG_ATTR_SUPPORTED_PROTOCOLS,
                                            &supported) != SEC_E_OK ||
       (supported.grbitProtocol & kOldClientProtocols) != 0)) {
    s_.sspi->FreeCredentialsHandle(&credentials_);
    status = SEC_E_ALGORITHM_MISMATCH;
  }
  // Earlier systems (and Wine): SCHANNEL_CRED with the protocols named, first
  // with TLS 1.3 and then without, for systems that reject what they lack.
  for (const DWORD protocols : {static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT),
                                static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT)}) {
    if (status == SEC_E_OK) break;
    SCHANNEL_CRED classic{};
    classic.dwVersion = SCHANNEL_CRED_VERSION;
    classic.cCreds = count;
    classic.paCred = certificates;
    classic.grbitEnabledProtocols = protocols;
    classic.dwFlags = flags;
    status = s_.sspi->AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                                &classic, nullptr, nullptr, &credentials_, &expiry);
  }
  if (status != SEC_E_OK) {
    put(reason, "TLS credentials refused (0x%08lx)", static_cast<unsigned long>(status));
    return false;
  }
  have_credentials_ = true;
  return true;
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

bool TlsSession::host_address(const char* host, std::span<BYTE> out, DWORD& size) const noexcept {
  // ws2_32 is loaded already: the socket is connected.
  using Parse = INT(WINAPI*)(INT, PCSTR, PVOID);
  Parse parse = nullptr;
  if (!find(GetModuleHandleA("ws2_32.dll"), "inet_pton", parse)) return false;
  if (parse(2 /* AF_INET */, host, out.data()) == 1) {
    size = 4;
    return true;
  }
  if (parse(23 /* AF_INET6 */, host, out.data()) == 1) {
    size = 16;
    return true;
  }
  return false;
}

// The certificate's subjectAltName, decoded into decoded_; null when it has none.
const CERT_ALT_NAME_INFO* TlsSession::alt_names(PCCERT_CONTEXT certificate) noexcept {
  const CERT_INFO* info = certificate->pCertInfo;
  PCERT_EXTENSION extension =
      s_.find_extension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (extension == nullptr) return nullptr;
  DWORD size = static_cast<DWORD>(decoded_.size());
  if (!s_.decode(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                 extension->Value.cbData, CRYPT_DECODE_NOCOPY_FLAG, nullptr, decoded_.data(),
                 &size)) {
    return nullptr;
  }
  return reinterpret_cast<const CERT_ALT_NAME_INFO*>(decoded_.data());
}

namespace {

// `pattern` (a DNS name of a certificate, in UTF-16) against `host`, letters
// in any case: equal, or "*." and the rest equal to `host` after its first
// label, with at least two labels after the wildcard. No other wildcard.
bool dns_name_matches(const wchar_t* pattern, const char* host) noexcept {
  const auto lower = [](unsigned c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
  const auto same = [&](const wchar_t* p, const char* h) {
    for (; *p != L'\0' && *h != '\0'; ++p, ++h) {
      if (*p == L'*' || lower(static_cast<unsigned>(*p)) !=
                            lower(static_cast<unsigned>(static_cast<unsigned char>(*h))))
        return false;
    }
    return *p == L'\0' && *h == '\0';
  };
  if (pattern[0] != L'*') return same(pattern, host);
  if (pattern[1] != L'.') return false;
  const wchar_t* rest = pattern + 2;
  int dots = 0;
  for (const wchar_t* p = rest; *p != L'\0'; ++p) dots += *p == L'.' ? 1 : 0;
  const char* after = std::strchr(host, '.');
  return dots >= 1 && after != nullptr && after != host && same(rest, after + 1);
}

}  // namespace

bool TlsSession::names_host(PCCERT_CONTEXT certificate, const char* host) noexcept {
  const CERT_ALT_NAME_INFO* names = alt_names(certificate);
  if (names == nullptr) return false;
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && entry.pwszDNSName != nullptr &&
        dns_name_matches(entry.pwszDNSName, host)) {
      return true;
    }
  }
  return false;
}

bool TlsSession::names_address(PCCERT_CONTEXT certificate, std::span<const BYTE> address) noexcept {
  const CERT_ALT_NAME_INFO* names = alt_names(certificate);
  if (names == nullptr) return false;
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
        entry.IPAddress.cbData == address.size() &&
        std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0) {
      return true;
    }
  }
  return false;
}

bool TlsSession::verify(const char* host, DWORD deadline, std::span<char> reason) noexcept {
  PCCERT_CONTEXT server = nullptr;
  if (s_.sspi->QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server) !=
          SEC_E_OK ||
      server == nullptr) {
    put(reason, "the server sent no certificate");
    return false;
  }
  // With a CA file: an engine whose only roots are the file's certificates
  // (Windows 7 with its updates, and later). Where engines lack that (Wine 8),
  // the chain is built by the system's engine with the file's certificates at
  // hand, and its root must then be one of them: the one error allowed is
  // that the system does not trust that root. Fetching certificates from the
  // network (missing issuers, the system's root updates) has the time that
  // is left; with a CA file nothing is fetched.
  HCERTCHAINENGINE engine = nullptr;
  HCERTSTORE both = nullptr;
  const uint32_t remaining = left(deadline);
  CERT_CHAIN_ENGINE_CONFIG config{};
  config.cbSize = sizeof config;
  config.hExclusiveRoot = ca_store_;
  config.dwUrlRetrievalTimeout = std::max<uint32_t>(remaining, 1);
  const bool exclusive = ca_store_ != nullptr && s_.create_engine(&config, &engine) != 0;
  if (engine == nullptr) {
    config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot);
    config.hExclusiveRoot = nullptr;
    if (!s_.create_engine(&config, &engine)) engine = nullptr;
  }
  if (ca_store_ != nullptr && !exclusive) {
    both = s_.open_store(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (both != nullptr) {
      s_.add_to_collection(both, server->hCertStore, 0, 0);
      s_.add_to_collection(both, ca_store_, 0, 0);
    }
  }
  const DWORD fetch =
      ca_store_ != nullptr || engine == nullptr ? CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL : 0;
  bool ok = remaining > 0 && (ca_store_ == nullptr || exclusive || both != nullptr);
  if (!ok)
    put(reason, remaining == 0 ? "handshake timed out" : "cannot build chains to the CA file");
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (ok) {
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    if (!s_.get_chain(engine, server, nullptr, both != nullptr ? both : server->hCertStore, &para,
                      fetch, nullptr, &chain)) {
      put(reason, "certificate verify failed: no chain (error %lu)",
          static_cast<unsigned long>(GetLastError()));
      ok = false;
    }
  }
  const bool private_root = ok && ca_store_ != nullptr && from_ca_file(*chain);
  const bool allow_unknown_root = private_root && !exclusive;
  if (ok) {
    DWORD errors = chain->TrustStatus.dwErrorStatus;
    if (allow_unknown_root) errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
      put(reason, "certificate verify failed: certificate has expired or is not yet valid");
      ok = false;
    } else if ((errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) != 0 ||
               (ca_store_ != nullptr && !private_root)) {
      put(reason, "certificate verify failed: unable to get local issuer certificate");
      ok = false;
    } else if (errors != CERT_TRUST_NO_ERROR) {
      put(reason, "certificate verify failed (trust status 0x%08lx)",
          static_cast<unsigned long>(errors));
      ok = false;
    }
  }
  std::array<BYTE, 16> address{};
  DWORD address_size = 0;
  const bool by_address = ok && host_address(host, address, address_size);
  if (ok) {
    wchar_t name[256];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, host, -1, name, 256) == 0) {
      name[0] = L'\0';
    }
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // Names are matched by the policy; an address is matched below, as the
    // policy does not match addresses everywhere.
    ssl.pwszServerName = by_address ? nullptr : name;
    ssl.fdwChecks = allow_unknown_root ? kIgnoreUnknownCa : 0;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = allow_unknown_root ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!by_address && name[0] == L'\0') {
      put(reason, "certificate verify failed: host name mismatch");
      ok = false;
    } else if (!s_.verify_policy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
      put(reason, "certificate verify failed: policy not checked");
      ok = false;
    } else if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
      put(reason, "certificate verify failed: host name mismatch");
      ok = false;
    } else if (status.dwError != 0) {
      put(reason, "certificate verify failed (0x%08lx)",
          static_cast<unsigned long>(status.dwError));
      ok = false;
    } else if (by_address && !names_address(server, std::span(address).first(address_size))) {
      put(reason, "certificate verify failed: IP address mismatch");
      ok = false;
    } else if (!by_address && !names_host(server, host)) {
      put(reason, "certificate verify failed: host name mismatch");
      ok = false;
    }
  }
  if (ok) note(server);
  if (chain != nullptr) s_.free_chain(chain);
  if (engine != nullptr) s_.free_engine(engine);
  if (both != nullptr) s_.close_store(both, 0);
  s_.free_certificate(server);
  return ok;
}

// What describe() writes: version, cipher, subject, fingerprint.
void TlsSession::note(PCCERT_CONTEXT certificate) noexcept {
  SecPkgContext_ConnectionInfo connection{};
  s_.sspi->QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &connection);
  const char* version = (connection.dwProtocol & SP_PROT_TLS1_3) != 0 ? "TLS 1.3" : "TLS 1.2";
  char cipher[64] = "";
  SecPkgContext_CipherInfo info{};
  info.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
  if (s_.sspi->QueryContextAttributesA(&context_, SECPKG_ATTR_CIPHER_INFO, &info) == SEC_E_OK &&
      info.szCipherSuite[0] != L'\0') {
    WideCharToMultiByte(CP_UTF8, 0, info.szCipherSuite, -1, cipher, sizeof cipher, nullptr,
                        nullptr);
    // Wine names the hash it does not know "<unknown>": leave that out.
    if (char* unknown = std::strstr(cipher, "_<unknown>"); unknown != nullptr) *unknown = '\0';
  } else {
    // Systems without the suite's name (Wine): the bulk cipher and its strength.
    const char* bulk = "cipher";
    switch (connection.aiCipher) {
      case CALG_AES_128:
      case CALG_AES_192:
      case CALG_AES_256:
      case CALG_AES:
        bulk = "AES";
        break;
      case CALG_3DES:
        bulk = "3DES";
        break;
      default:
        break;
    }
    std::snprintf(cipher, sizeof cipher, "%s-%lu", bulk,
                  static_cast<unsigned long>(connection.dwCipherStrength));
  }
  char subject[128] = "";
  s_.name_to_string(X509_ASN_ENCODING, &certificate->pCertInfo->Subject,
                    CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, subject, sizeof subject);
  BYTE hash[32];
  DWORD hash_size = sizeof hash;
  const bool hashed = (s_.hash_certificate2 != nullptr &&
                       s_.hash_certificate2(L"SHA256", 0, nullptr, certificate->pbCertEncoded,
                                            certificate->cbCertEncoded, hash, &hash_size)) ||
                      ((hash_size = sizeof hash),
                       s_.hash_certificate(0, CALG_SHA_256, 0, certificate->pbCertEncoded,
                                           certificate->cbCertEncoded, hash, &hash_size));
  char fingerprint[3 * sizeof hash] = "";
  std::size_t at = 0;
  for (DWORD i = 0; hashed && i < hash_size && i < sizeof hash; ++i) {
    at += static_cast<std::size_t>(std::snprintf(fingerprint + at, sizeof fingerprint - at,
                                                 "%s%02X", i == 0 ? "" : ":", hash[i]));
  }
  std::snprintf(text_, sizeof text_, "%s %s, server %s, SHA-256 %s", version, cipher, subject,
                fingerprint);
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
