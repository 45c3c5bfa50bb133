// The frame trace's system services on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "link/trace_file.h"

namespace vorkand::link {
namespace {

// strerror_r comes in two shapes (GNU: returns the text; XSI: fills the buffer).
[[maybe_unused]] const char* error_text(int result, const char* buffer) noexcept {
  return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char* error_text(const char* text, const char*) noexcept {
  return text;
}

void put_reason(int error, std::span<char> reason) noexcept {
  if (reason.empty()) return;
  char buffer[128] = "";
  const char* text = error_text(::strerror_r(error, buffer, sizeof buffer), buffer);
  const std::size_t length = std::min(std::strlen(text), reason.size() - 1);
  std::memcpy(reason.data(), text, length);
  reason[length] = '\0';
}

// Writes all of `text`; 0, or the errno of the failure. A pipe whose reader
// is gone must not kill the host with SIGPIPE: the signal is held back during
// the write, and one the write raised is taken away.
int write_whole(int fd, std::span<const char> text) noexcept {
  sigset_t pipe_signal;
  sigset_t before;
  sigset_t pending;
  ::sigemptyset(&pipe_signal);
  ::sigaddset(&pipe_signal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
  ::sigpending(&pending);
  const bool already_pending = ::sigismember(&pending, SIGPIPE) == 1;

  int error = 0;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      error = written < 0 ? errno : EIO;
      break;
    }
  }
  if (error == EPIPE && !already_pending) {
    const timespec no_wait{};
    ::sigtimedwait(&pipe_signal, nullptr, &no_wait);
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return error;
}

}  // namespace

TraceFile open_trace_file(const char* path, std::span<char> reason) noexcept {
  if (names_standard_error(path)) return STDERR_FILENO;
  // Non-blocking for the open only: a FIFO nobody reads fails at once
  // instead of holding CT_open up.
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    put_reason(errno, reason);
    return kNoTraceFile;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    put_reason(errno, reason);
    ::close(fd);
    return kNoTraceFile;
  }
  return fd;
}

bool write_trace_file(TraceFile file, std::span<const char> text, std::span<char> reason) noexcept {
  const int error = write_whole(static_cast<int>(file), text);
  if (error == 0) return true;
  put_reason(error, reason);
  return false;
}

void close_trace_file(TraceFile file) noexcept {
  if (file != kNoTraceFile && file != STDERR_FILENO) ::close(static_cast<int>(file));
}

bool regular_trace_file_size(TraceFile file, uint64_t& size) noexcept {
  struct stat info {};
  if (file == kNoTraceFile || file == STDERR_FILENO ||
      ::fstat(static_cast<int>(file), &info) != 0 || !S_ISREG(info.st_mode))
    return false;
  size = static_cast<uint64_t>(info.st_size);
  return true;
}

bool rename_trace_file(const char* from, const char* to, std::span<char> reason) noexcept {
  if (::rename(from, to) == 0) return true;
  put_reason(errno, reason);
  return false;
}

uint64_t monotonic_us() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000u +
         static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void utc_now(std::span<char> out) noexcept {
  if (out.empty()) return;
  out[0] = '\0';
  timespec now{};
  tm parts{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0 || ::gmtime_r(&now.tv_sec, &parts) == nullptr) {
    return;
  }
  if (std::strftime(out.data(), out.size(), "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) out[0] = '\0';
}

void warn(std::span<const char> text) noexcept {
  write_whole(STDERR_FILENO, text);
}

}  // namespace vorkand::link
