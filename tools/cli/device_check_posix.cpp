#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli/device_check.h"

namespace vorkand::cli {
namespace {

// The process holding a lock on the file with this device and inode, from
// /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 00:18:5 0 EOF".
std::string lock_holder(const struct stat& file) {
  std::ifstream locks("/proc/locks");
  std::string line;
  const std::string id =
      fmt::format("{:02x}:{:02x}:{}", major(file.st_dev), minor(file.st_dev), file.st_ino);
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    fields >> number >> kind;
    if (kind == "->") fields >> kind;  // a waiter, listed under the holder
    fields >> mode >> access >> pid >> where;
    if (where != id) continue;
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? fmt::format("process {}", pid) : fmt::format("process {}, {}", pid, name);
  }
  return "another process";
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string why_device_fails(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? "missing" : std::strerror(errno);
  }
  // Device names are often links (/dev/serial/by-id/...): open the device
  // itself, never through a link.
  char* real = ::realpath(path.c_str(), nullptr);
  const std::string device = real != nullptr ? real : path;
  std::free(real);
  const Fd fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) {
    if (errno == EACCES || errno == EPERM) return "permission denied";
    if (errno == EBUSY) return "busy: in use by another application (opened exclusively)";
    return std::strerror(errno);
  }
  if (!::isatty(fd.get())) return "not a terminal";
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      return "busy: in use by another application (" + lock_holder(info) + ")";
    return std::strerror(errno);
  }
  return "could not be set up as a serial port";
}

}  // namespace vorkand::cli
