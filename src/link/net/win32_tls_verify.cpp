// The Windows TLS session's check of the server's certificate: the chain, to
// the system's roots or to the CA file's alone, the SSL policy, and the host
// in the certificate's subjectAltName; then what the trace says of it.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "link/net/win32_tls_session.h"

namespace vorkand::link::net {

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

}  // namespace vorkand::link::net
