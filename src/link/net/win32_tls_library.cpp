// Loading the system's TLS on Windows: the SSPI from secur32.dll, the
// certificate functions from crypt32.dll and the key functions from
// advapi32.dll, each from the system folder alone, on the first TLS open.
#include "link/net/win32_tls_session.h"

namespace vorkand::link::net {

namespace {

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

}  // namespace

const System& tls_system() noexcept {
  static const System loaded = load();
  return loaded;
}

}  // namespace vorkand::link::net
