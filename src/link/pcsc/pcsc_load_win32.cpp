// WinSCard, loaded from System32 the first time a PC/SC port is opened, so
// the DLL's import table names only KERNEL32 and the C runtime.
#include <windows.h>

#include "link/pcsc/pcsc_api.h"
#include "link/pcsc/pcsc_bind.h"

namespace vorkand::link::pcsc {
namespace {

const Functions* load() noexcept {
  // From System32 only: a winscard.dll planted beside the host is never loaded.
  HMODULE library = ::LoadLibraryExA("winscard.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) return nullptr;
  static Functions functions{};
  // FARPROC to a generic function pointer; bind_functions gives each its own type.
  const bool bound = bind_functions(functions, [library](const char* name) noexcept {
    return reinterpret_cast<void (*)()>(::GetProcAddress(library, name));
  });
  if (!bound) {
    ::FreeLibrary(library);
    return nullptr;
  }
  // Kept loaded for the life of the process: channels hold its functions.
  return &functions;
}

}  // namespace

const Functions* system_functions() noexcept {
  static const Functions* const loaded = load();
  return loaded;
}

}  // namespace vorkand::link::pcsc
