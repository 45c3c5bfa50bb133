#include "cli/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorkand::cli {
namespace {

std::variant<std::string, FileError> read_all(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) return text;
    if (count < 0) {
      if (errno == EINTR) continue;
      return FileError{std::strerror(errno)};
    }
    text.append(buffer, static_cast<std::size_t>(count));
  }
}

}  // namespace

std::variant<std::string, FileError> read_text_file(const std::string& path) {
  if (path == "-") return read_all(STDIN_FILENO);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return FileError{"missing", true};
    if (errno == EACCES) return FileError{"permission denied"};
    return FileError{std::strerror(errno)};
  }
  struct stat info {};
  std::variant<std::string, FileError> result = FileError{"not a regular file"};
  if (::fstat(fd, &info) != 0) {
    result = FileError{std::strerror(errno)};
  } else if (S_ISDIR(info.st_mode)) {
    result = FileError{"a directory, not a file"};
  } else if (S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode)) {
    result = read_all(fd);
  }
  ::close(fd);
  return result;
}

bool input_is_terminal() {
  return ::isatty(STDIN_FILENO) == 1;
}

}  // namespace vorkand::cli
