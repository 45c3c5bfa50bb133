// WinSCard, loaded from System32 the first time a PC/SC port is opened, so
// the DLL's import table names only KERNEL32 and the C runtime.
#include <windows.h>

#include "link/pcsc/pcsc_api.h"

namespace vorkand::link::pcsc {
namespace {

template <typename Function>
bool bind(HMODULE library, const char* name, Function& function) noexcept {
  // FARPROC to the function's own type, through a generic function pointer.
  function =
      reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
  return function != nullptr;
}

const Functions* load() noexcept {
  // From System32 only: a winscard.dll planted beside the host is never loaded.
  HMODULE library = ::LoadLibraryExA("winscard.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) return nullptr;
  static Functions functions{};
  const bool bound = bind(library, "SCardEstablishContext", functions.establish_context) &&
                     bind(library, "SCardReleaseContext", functions.release_context) &&
                     bind(library, "SCardListReadersA", functions.list_readers) &&
                     bind(library, "SCardConnectA", functions.connect) &&
                     bind(library, "SCardReconnect", functions.reconnect) &&
                     bind(library, "SCardDisconnect", functions.disconnect) &&
                     bind(library, "SCardTransmit", functions.transmit) &&
                     bind(library, "SCardStatusA", functions.status) &&
                     bind(library, "SCardGetStatusChangeA", functions.get_status_change);
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
