// Environment variables on POSIX.
#include <cstdlib>
#include <cstring>

#include "link/environment.h"

namespace vorkand::link {

Setting environment(const char* name, std::span<char> out) noexcept {
  if (out.empty()) return Setting::too_long;
  out[0] = '\0';
  // A host may run privileged: its environment is not to be trusted then.
  const char* value = ::secure_getenv(name);
  if (value == nullptr || *value == '\0') return Setting::unset;
  const std::size_t length = std::strlen(value);
  if (length >= out.size()) return Setting::too_long;
  std::memcpy(out.data(), value, length + 1);
  return Setting::set;
}

}  // namespace vorkand::link
