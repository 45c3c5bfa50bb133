// The longest ATR pcsc-lite carries (its MAX_ATR_SIZE): the room for it in a
// reader state the tool reads, and in what the driver hands pcscd.
#pragma once

#include <cstddef>

namespace vorkand::common {

inline constexpr std::size_t kPcscMaxAtr = 33;

}  // namespace vorkand::common
