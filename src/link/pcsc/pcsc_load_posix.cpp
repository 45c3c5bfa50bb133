// pcsc-lite, loaded with dlopen the first time a PC/SC port is opened: the
// library itself does not link it, so it loads and drives serial ports on a
// machine without PC/SC.
#include <dlfcn.h>

#include "link/pcsc/pcsc_api.h"
#include "link/pcsc/pcsc_bind.h"

namespace vorkand::link::pcsc {
namespace {

const Functions* load() noexcept {
  void* library = ::dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  static Functions functions{};
  const bool bound = bind_functions(functions, [library](const char* name) noexcept {
    return reinterpret_cast<void (*)()>(::dlsym(library, name));
  });
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
