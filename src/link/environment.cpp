// The environment's COM port mappings, the same on every platform.
#include "link/environment.h"

namespace vorkand::link {

bool com_mapping(int index, std::span<char> out, std::span<char> source) noexcept {
  if (!source.empty()) source[0] = '\0';
  if (index < 1 || index > 4 || out.empty()) return false;
  char variable[] = "VORKAND_COM0";
  variable[sizeof variable - 2] = static_cast<char>('0' + index);
  return environment(variable, out, source) != Setting::too_long;
}

}  // namespace vorkand::link
