// Environment variables on Windows.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "link/environment.h"

namespace vorkand::link {

Setting environment(const char* name, std::span<char> out) noexcept {
  if (out.empty()) return Setting::too_long;
  out[0] = '\0';
  const DWORD length = GetEnvironmentVariableA(name, out.data(), static_cast<DWORD>(out.size()));
  // 0: unset or empty; a length of out.size() or more: it does not fit.
  if (length == 0) return Setting::unset;
  if (length >= out.size()) {
    out[0] = '\0';
    return Setting::too_long;
  }
  out[length] = '\0';
  return Setting::set;
}

}  // namespace vorkand::link
