// Descriptors that become port handles on POSIX.
#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace vorkand::link {

// A descriptor 0 would read as CT_open's failure value: moves it up (closing
// 0). The descriptor, or -1 (also when `fd` is -1).
inline int move_off_zero(int fd) noexcept {
  if (fd != 0) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
  ::close(fd);
  return moved;
}

}  // namespace vorkand::link
