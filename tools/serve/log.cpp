#include "log.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace vorkand::serve {

void log_line(std::string_view text) noexcept {
  static std::mutex mutex;
  try {
    std::string line = "vorkand-serve: ";
    line.append(text);
    line += '\n';
    const std::lock_guard lock(mutex);
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t wrote = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return;
      done += static_cast<std::size_t>(wrote);
    }
  } catch (...) {
  }
}

}  // namespace vorkand::serve
