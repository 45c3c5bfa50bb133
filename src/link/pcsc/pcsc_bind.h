// The PC/SC functions the library calls, bound by name in the system's PC/SC
// library: one list for every platform. Each platform's loader
// (pcsc_load_posix.cpp, pcsc_load_win32.cpp) gives the lookup.
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

}  // namespace vorkand::link::pcsc
