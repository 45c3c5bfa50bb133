// The environment variables the library reads, read at each call. One source
// file per platform reads a variable (posix_environment.cpp,
// win32_environment.cpp).
#pragma once

#include <cstdint>
#include <span>

namespace vorkand::link {

enum class Setting : uint8_t { unset, set, too_long };

// Writes the value of environment variable `name` into `out`, zero-terminated
// (set); unset when it is unset or empty; too_long when it does not fit (then
// `out` is empty). Never read in a setuid or setgid program (POSIX).
Setting environment(const char* name, std::span<char> out) noexcept;

// Writes the value of the environment variable VORKAND_COM<index> into `out`,
// zero-terminated; an empty string when it is unset or empty. False when
// `index` is out of range 1..4 or the value does not fit.
bool com_mapping(int index, std::span<char> out) noexcept;

}  // namespace vorkand::link
