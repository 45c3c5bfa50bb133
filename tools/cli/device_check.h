// Why a serial device cannot be opened, found by trying what the library
// tries: the path exists, may be opened for reading and writing, is a
// terminal, and is not locked by another process.
#pragma once

#include <string>

namespace vorkand::cli {

// "missing", "permission denied", "not a terminal", "busy: in use by another
// application (process 1234, minicom)", ...; "could not be set up as a serial port" when every
// check passes.
std::string why_device_fails(const std::string& path);

}  // namespace vorkand::cli
