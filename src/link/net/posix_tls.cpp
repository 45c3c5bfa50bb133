// TLS over a connected socket with OpenSSL's libssl (libssl.so.3), loaded at run time on the first TLS open.
// Not built yet: every TLS open fails with a reason.
#include <cstdio>

#include "link/net/tls.h"

namespace vorkand::link::net {

class TlsSession {};

TlsSession* tls_connect(int32_t, const char*, const TlsFiles&, uint32_t,
                        std::span<char> reason) noexcept {
  if (!reason.empty()) std::snprintf(reason.data(), reason.size(), "TLS is not available");
  return nullptr;
}

int32_t tls_send(TlsSession&, std::span<const uint8_t>) noexcept { return kSocketFailed; }
int32_t tls_receive(TlsSession&, std::span<uint8_t>) noexcept { return kSocketFailed; }
bool tls_pending(const TlsSession&) noexcept { return false; }

void tls_describe(const TlsSession&, std::span<char> out) noexcept {
  if (!out.empty()) out[0] = '\0';
}

void tls_close(TlsSession* session) noexcept { delete session; }

}  // namespace vorkand::link::net
