// WinSCard, loaded with LoadLibraryA the first time a PC/SC port is opened, so
// the DLL's import table names only KERNEL32 and the C runtime.
#include <windows.h>

#include "link/pcsc/pcsc_api.h"
#include "link/pcsc/pcsc_bind.h"

namespace vorkand::link::pcsc {

const Functions* system_functions() noexcept {
  static const Functions* const loaded = load_functions(
      []() noexcept { return ::LoadLibraryA("winscard.dll"); },
      // FARPROC to a generic function pointer; bind_functions gives each its own type.
      [](HMODULE library, const char* name) noexcept {
        return reinterpret_cast<void (*)()>(::GetProcAddress(library, name));
      },
      [](HMODULE library) noexcept { ::FreeLibrary(library); });
  return loaded;
}

}  // namespace vorkand::link::pcsc
