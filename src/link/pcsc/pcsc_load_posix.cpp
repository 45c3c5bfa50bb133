// pcsc-lite, loaded with dlopen the first time a PC/SC port is opened: the
// library itself does not link it, so it loads and drives serial ports on a
// machine without PC/SC.
#include <dlfcn.h>

#include "link/pcsc/pcsc_api.h"

namespace vorkand::link::pcsc {
namespace {

template <typename Function>
bool bind(void* library, const char* name, Function& function) noexcept {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

const Functions* load() noexcept {
  void* library = ::dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  static Functions functions{};
  const bool bound = bind(library, "SCardEstablishContext", functions.establish_context) &&
                     bind(library, "SCardReleaseContext", functions.release_context) &&
                     bind(library, "SCardListReaders", functions.list_readers) &&
                     bind(library, "SCardConnect", functions.connect) &&
                     bind(library, "SCardReconnect", functions.reconnect) &&
                     bind(library, "SCardDisconnect", functions.disconnect) &&
                     bind(library, "SCardTransmit", functions.transmit) &&
                     bind(library, "SCardStatus", functions.status) &&
                     bind(library, "SCardGetStatusChange", functions.get_status_change);
  if (!bound) {
    ::dlclose(library);
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
