#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "cli/system.h"

namespace vorkand::cli {

void set_variable(const std::string& name, const std::string& value) {
  // The library reads the process's environment block, not the C runtime's copy.
  SetEnvironmentVariableA(name.c_str(), value.c_str());
}

bool colour_wanted() {
  if (GetEnvironmentVariableA("NO_COLOR", nullptr, 0) > 1) return false;
  // A console that takes ANSI colours: one with virtual terminal processing.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace vorkand::cli
