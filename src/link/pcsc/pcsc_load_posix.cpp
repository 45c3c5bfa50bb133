// pcsc-lite, loaded with dlopen the first time a PC/SC port is opened: the
// library itself does not link it, so it loads and drives serial ports on a
// machine without PC/SC.
#include <dlfcn.h>

#include "link/pcsc/pcsc_api.h"
#include "link/pcsc/pcsc_bind.h"

namespace vorkand::link::pcsc {

const Functions* system_functions() noexcept {
  static const Functions* const loaded =
      load_functions([]() noexcept { return ::dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL); },
                     [](void* library, const char* name) noexcept {
                       return reinterpret_cast<void (*)()>(::dlsym(library, name));
                     },
                     [](void* library) noexcept { ::dlclose(library); });
  return loaded;
}

}  // namespace vorkand::link::pcsc
