// CT_open on Windows. The reason of a failed open is not read back from the
// library's trace here: the tool's own look at the COM port (port_names_win32.cpp)
// explains it where it can.
#include "cli/open_reason.h"
#include "vorkand.h"

namespace vorkand::cli {

Opened open_with_reason(const std::string& port) {
  return Opened{.handle = CT_open(port.c_str()), .reason = {}};
}

}  // namespace vorkand::cli
