// Environment variables on POSIX.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/environment.h"

namespace vorkand::link {

Setting environment(const char* name, std::span<char> out, std::span<char> source) noexcept {
  if (!source.empty()) source[0] = '\0';
  if (out.empty()) return Setting::too_long;
  out[0] = '\0';
  // A host may run privileged: its environment is not to be trusted then.
  const char* value = ::secure_getenv(name);
  if (value == nullptr || *value == '\0') return Setting::unset;
  const std::size_t length = std::strlen(value);
  if (length >= out.size()) return Setting::too_long;
  std::memcpy(out.data(), value, length + 1);
  if (!source.empty()) std::snprintf(source.data(), source.size(), "%s", name);
  return Setting::set;
}

}  // namespace vorkand::link
