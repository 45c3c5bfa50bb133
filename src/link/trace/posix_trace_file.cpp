// The frame trace's system services on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "link/trace/trace_file.h"

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

// Writes all of `text`; 0, or the errno of the failure (EAGAIN when nothing
// could be written at once). A pipe whose reader is gone must not kill the
// host with SIGPIPE: the signal is held back during the write, and one the
// write raised is taken away.
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
      // A pipe takes a line whole or not at all (lines are shorter than
      // PIPE_BUF); never wait for the rest of one.
      if (error == EWOULDBLOCK) error = EAGAIN;
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

void say(std::span<char> reason, const char* format, const auto&... values) noexcept {
  if (!reason.empty() && std::snprintf(reason.data(), reason.size(), format, values...) < 0)
    reason[0] = '\0';
}

// Whether the file just opened may take the trace: a regular file or a FIFO
// of the effective user that no one else may write, nor read when regular. A
// file another user made first under that name (in a shared directory, say)
// could show them every reply, or hold every traced call.
bool acceptable(int fd, std::span<char> reason) noexcept {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    put_reason(errno, reason);
    return false;
  }
  const bool regular = S_ISREG(info.st_mode);
  const auto mode = static_cast<unsigned>(info.st_mode & 07777);
  if (!regular && !S_ISFIFO(info.st_mode)) {
    say(reason, "%s", "not a regular file or a FIFO; refused");
  } else if (info.st_uid != ::geteuid()) {
    say(reason, "belongs to another user (uid %u); refused", static_cast<unsigned>(info.st_uid));
  } else if ((mode & (regular ? 077u : 022u)) != 0) {
    say(reason, "others may %s it (mode %04o); refused, allow its owner alone (chmod 600)",
        regular ? "read or write" : "write", mode);
  } else {
    return true;
  }
  return false;
}

}  // namespace

TraceFile open_trace_file(const char* path, std::span<char> reason) noexcept {
  if (names_standard_error(path)) return STDERR_FILENO;
  // Non-blocking, for the open (a FIFO nobody reads fails at once instead of
  // holding CT_open up) and for every write after it.
  int fd;
  do {
    fd = ::open(
        path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    put_reason(errno, reason);
    return kNoTraceFile;
  }
  if (!acceptable(fd, reason)) {
    ::close(fd);
    return kNoTraceFile;
  }
  return fd;
}

TraceWrite write_trace_file(TraceFile file, std::span<const char> text,
                            std::span<char> reason) noexcept {
  const int error = write_whole(static_cast<int>(file), text);
  if (error == 0) return TraceWrite::written;
  if (error == EAGAIN) return TraceWrite::full;
  put_reason(error, reason);
  return TraceWrite::failed;
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

bool trace_file_end(TraceFile file, uint64_t& end) noexcept {
  // With O_APPEND every write moves the offset to the end it wrote.
  const off_t at = ::lseek(static_cast<int>(file), 0, SEEK_CUR);
  if (at < 0) return false;
  end = static_cast<uint64_t>(at);
  return true;
}

bool lock_trace_file(TraceFile file) noexcept {
  // A few milliseconds at most: another process holds it for a rotation.
  for (int tries = 0; tries < 40; ++tries) {
    if (::flock(static_cast<int>(file), LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    const timespec pause{0, 100'000};
    ::nanosleep(&pause, nullptr);
  }
  return false;
}

void unlock_trace_file(TraceFile file) noexcept {
  ::flock(static_cast<int>(file), LOCK_UN);
}

bool trace_file_moved(TraceFile file, const char* path) noexcept {
  struct stat open_file {};
  struct stat named {};
  if (::fstat(static_cast<int>(file), &open_file) != 0) return true;
  if (::lstat(path, &named) != 0) return true;
  return open_file.st_dev != named.st_dev || open_file.st_ino != named.st_ino;
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
