// The few services of the operating system the tool's portable parts need:
// environment variables and the terminal. One source file per platform
// (system_posix.cpp, system_win32.cpp).
#pragma once

#include <string>

namespace vorkand::cli {

// Sets environment variable `name` for this process and the library.
void set_variable(const std::string& name, const std::string& value);

// Colour when standard output is a terminal and NO_COLOR is unset or empty.
bool colour_wanted();

}  // namespace vorkand::cli
