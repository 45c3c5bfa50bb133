#include "cli/trace_option.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vorkand::cli {
namespace {

double monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

TraceView::TraceView() : started_(monotonic_seconds()) {
  std::array<int, 2> ends{};
  if (pipe2(ends.data(), O_CLOEXEC) != 0) return;
  saved_stderr_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved_stderr_ < 0 || dup2(ends[1], STDERR_FILENO) < 0) {
    close(ends[0]);
    close(ends[1]);
    if (saved_stderr_ >= 0) close(saved_stderr_);
    saved_stderr_ = -1;
    return;
  }
  close(ends[1]);
  pipe_read_ = ends[0];
  setenv("VORKAND_TRACE", "-", 1);
  thread_ = std::thread([this] { show(); });
}

TraceView::~TraceView() {
  if (saved_stderr_ < 0) return;
  std::fflush(stderr);
  // The last write end goes: the thread reads to the end and stops.
  dup2(saved_stderr_, STDERR_FILENO);
  thread_.join();
  close(pipe_read_);
  close(saved_stderr_);
  unsetenv("VORKAND_TRACE");
}

void TraceView::show() {
  std::string pending;
  std::array<char, 4096> chunk{};
  for (;;) {
    const ssize_t got = ::read(pipe_read_, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(chunk.data(), static_cast<std::size_t>(got));
    for (auto newline = pending.find('\n'); newline != std::string::npos;
         newline = pending.find('\n')) {
      const std::string shown =
          view_trace_line(std::string_view(pending).substr(0, newline), started_);
      if (!shown.empty()) write_all(saved_stderr_, shown + "\n");
      pending.erase(0, newline + 1);
    }
  }
  if (!pending.empty()) write_all(saved_stderr_, pending);
}

}  // namespace vorkand::cli
