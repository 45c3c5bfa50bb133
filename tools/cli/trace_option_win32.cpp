// `vorkand --trace` on Windows: the library's "-" trace goes to the process's
// standard error handle, which the C runtime's descriptor 2 sets; the same
// pipe and thread as on POSIX, through the runtime's descriptors.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <array>
#include <cstdio>

#include "cli/trace_option.h"

namespace vorkand::cli {
namespace {

constexpr int kStandardError = 2;

// The clock of the library's trace lines on Windows.
double monotonic_seconds() {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER now{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return frequency.QuadPart == 0
             ? 0.0
             : static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const int written = ::_write(fd, text.data(), static_cast<unsigned>(text.size()));
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

TraceView::TraceView() : started_(monotonic_seconds()) {
  std::array<int, 2> ends{};
  if (::_pipe(ends.data(), 4096, _O_BINARY | _O_NOINHERIT) != 0) return;
  saved_stderr_ = ::_dup(kStandardError);
  // _dup2 onto descriptor 2 also sets the process's standard error handle.
  if (saved_stderr_ < 0 || ::_dup2(ends[1], kStandardError) != 0) {
    ::_close(ends[0]);
    ::_close(ends[1]);
    if (saved_stderr_ >= 0) ::_close(saved_stderr_);
    saved_stderr_ = -1;
    return;
  }
  ::_close(ends[1]);
  pipe_read_ = ends[0];
  SetEnvironmentVariableA("VORKAND_TRACE", "-");
  thread_ = std::thread([this] { show(); });
}

TraceView::~TraceView() {
  if (saved_stderr_ < 0) return;
  std::fflush(stderr);
  // The last write end goes: the thread reads to the end and stops.
  ::_dup2(saved_stderr_, kStandardError);
  thread_.join();
  ::_close(pipe_read_);
  ::_close(saved_stderr_);
  SetEnvironmentVariableA("VORKAND_TRACE", nullptr);
}

void TraceView::show() {
  std::string pending;
  std::array<char, 4096> chunk{};
  for (;;) {
    const int got = ::_read(pipe_read_, chunk.data(), static_cast<unsigned>(chunk.size()));
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
