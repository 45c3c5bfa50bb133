// A serial device as a channel: the device, the system's clock and the frame
// exchange over them. The handle is the device's descriptor (POSIX) or its
// HANDLE (Windows).
#pragma once

#include "link/channel.h"
#include "link/open_failure.h"

namespace vorkand::link::serial {

// Opens COM port `index` (1..4) as the serial device it stands for
// (`name_as_given` being the caller's own spelling of "COMn"), or with `index`
// 0 the device at the path `name_as_given`. Returns the channel (allocated;
// the caller owns it), or nullptr with nothing left open and the reason in `why`.
Channel* open_serial(int index, const char* name_as_given, OpenFailure& why) noexcept;

}  // namespace vorkand::link::serial
