// The PC/SC functions the library calls, bound by name in the system's PC/SC
// library: one list and one way of loading for every platform. Each
// platform's loader (pcsc_load_posix.cpp, pcsc_load_win32.cpp) gives how to
// open the library, look a name up and close it.
#pragma once

#include <type_traits>

#include "link/pcsc/pcsc_api.h"

namespace vorkand::link::pcsc {

// Fills every function of `functions` with `lookup(name)`, the address of the
// function of that name as `void (*)()`, or nullptr. False when one is missing.
template <typename Lookup>
bool bind_functions(Functions& functions, Lookup lookup) noexcept {
  const auto bind = [&](const char* name, auto& function) noexcept {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(lookup(name));
    return function != nullptr;
  };
  // The functions that take or give reader names have the platform's
  // narrow-character spelling (VORKAND_SCARD_NARROW, see pcsc_types_*.h).
  return bind("SCardEstablishContext", functions.establish_context) &&
         bind("SCardReleaseContext", functions.release_context) &&
         bind("SCardListReaders" VORKAND_SCARD_NARROW, functions.list_readers) &&
         bind("SCardConnect" VORKAND_SCARD_NARROW, functions.connect) &&
         bind("SCardReconnect", functions.reconnect) &&
         bind("SCardDisconnect", functions.disconnect) &&
         bind("SCardTransmit", functions.transmit) &&
         bind("SCardStatus" VORKAND_SCARD_NARROW, functions.status) &&
         bind("SCardGetStatusChange" VORKAND_SCARD_NARROW, functions.get_status_change);
}

// The system's PC/SC functions from the library `open()` gives (null: none),
// looked up with `symbol(library, name)`; when one is missing the library is
// closed with `close(library)` and there are none. The table and the library
// stay for the life of the process: channels hold its functions.
template <typename Open, typename Symbol, typename Close>
const Functions* load_functions(Open open, Symbol symbol, Close close) noexcept {
  const auto library = open();
  if (library == nullptr) return nullptr;
  static Functions functions{};
  if (!bind_functions(functions,
                      [&](const char* name) noexcept { return symbol(library, name); })) {
    close(library);
    return nullptr;
  }
  return &functions;
}

}  // namespace vorkand::link::pcsc
