// The Windows TLS session's credentials: the CA file as a certificate store,
// the client's certificate with its key in a key container of its own, and
// the SChannel credentials over them.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "link/net/win32_tls_session.h"

namespace vorkand::link::net {

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

}  // namespace vorkand::link::net
