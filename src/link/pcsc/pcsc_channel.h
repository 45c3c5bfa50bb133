// A PC/SC reader behind the frame seam: its transport answers the frames a
// serial reader answers (reader reset, the two power-up steps, the ATR request,
// card frames, the protocol switch) from PC/SC calls, so everything above the
// transport runs as it does for a serial reader.
#pragma once

#include <cstdint>
#include <string_view>

#include "link/channel.h"
#include "link/open_failure.h"
#include "link/pcsc/pcsc_api.h"

namespace vorkand::link::pcsc {

// Opens the reader that `wanted` names with the PC/SC services `functions`:
// the reader whose name equals `wanted`, else the only one whose name
// contains it; an empty `wanted` means the first reader listed. Returns the
// channel (allocated; the caller owns it), or nullptr with nothing left open
// when PC/SC is not running, no reader or more than one matches, or this
// process already has the reader open; then the reason is in `why` when given.
// The channel's handle is `handle`: the system gives a reader no number, so
// the caller chooses one that no open port holds.
Channel* open_reader(const Functions& functions, std::string_view wanted, int32_t handle,
                     OpenFailure* why = nullptr) noexcept;

// The port kind for mappings "pcsc:NAME": loads the system's PC/SC services
// and opens NAME with them, as `handle`.
Channel* open_pcsc(const char* mapping, int32_t handle, OpenFailure& why) noexcept;

inline constexpr std::string_view kPcscPrefix = "pcsc:";

}  // namespace vorkand::link::pcsc
