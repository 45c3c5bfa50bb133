// The server's log: one line per event on standard error (the journal under
// systemd), each written whole with one write, so lines of several readers'
// threads never interleave.
#pragma once

#include <string_view>

namespace vorkand::serve {

void log_line(std::string_view text) noexcept;

}  // namespace vorkand::serve
