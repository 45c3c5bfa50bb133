// WinSCard, loaded from System32 the first time a PC/SC port is opened, so
// the DLL's import table names only KERNEL32 and the C runtime.
#include <windows.h>

#include "link/pcsc/pcsc_api.h"
#include "link/pcsc/pcsc_bind.h"

namespace vorkand::link::pcsc {

const Functions* system_functions() noexcept {
  static const Functions* const loaded = load_functions(
      // From System32 only: a winscard.dll planted beside the host is never loaded.
      []() noexcept {
        return ::LoadLibraryExA("winscard.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
      },
      // FARPROC to a generic function pointer; bind_functions gives each its own type.
      [](HMODULE library, const char* name) noexcept {
        return reinterpret_cast<void (*)()>(::GetProcAddress(library, name));
      },
      [](HMODULE library) noexcept { ::FreeLibrary(library); });
  return loaded;
}

}  // namespace vorkand::link::pcsc
