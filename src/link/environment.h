// The environment variables the library reads, read at each call. One source
// file per platform reads a variable (posix_environment.cpp,
// win32_environment.cpp). On Windows a variable that is unset or empty falls
// back to its key in vorkand.ini beside the DLL (see win32_environment.cpp).
#pragma once

#include <cstdint>
#include <span>

namespace vorkand::link {

enum class Setting : uint8_t { unset, set, too_long };

// Writes the value of environment variable `name` into `out`, zero-terminated
// (set); unset when it is unset or empty; too_long when it does not fit (then
// `out` is empty). Never read in a setuid or setgid program (POSIX).
// `source`, when given, gets where a set value came from, zero-terminated:
// the variable's name, or the file, section and key ("C:\\x\\vorkand.ini
// [ports] COM1"); empty otherwise.
Setting environment(const char* name, std::span<char> out, std::span<char> source = {}) noexcept;

// Writes the value of the environment variable VORKAND_COM<index> into `out`,
// zero-terminated; an empty string when it is unset or empty. False when
// `index` is out of range 1..4 or the value does not fit. `source` as for
// environment().
bool com_mapping(int index, std::span<char> out, std::span<char> source = {}) noexcept;

}  // namespace vorkand::link
