// The PC/SC readers the system's pcscd knows, with their card state and
// ATR. pcsc-lite is loaded at run time: without it, or without pcscd, the
// report says so.
#pragma once

#include "cli/output.h"

namespace vorkand::cli {

PcscReport list_pcsc_readers();

}  // namespace vorkand::cli
