#include "link/trace/trace_output.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

#include "link/trace/trace_file.h"

namespace vorkand::link {

class TraceOutput {
 public:
  std::array<char, 4096> path{};
  std::array<char, 4096 + 2> rotated{};  // path ".1"
  TraceFile file = kNoTraceFile;
  bool rotates = false;  // a regular file
  uint64_t size = 0;     // where this process's last write ended
  uint64_t limit = 0;
  uint64_t dropped = 0;  // lines not written since the last one that was
  bool stopped = false;  // the file could not rotate: nothing more goes into it
  std::array<char, 256> stop_reason{};
  int users = 0;
  TraceOutput* next = nullptr;
};

namespace {

// The open outputs, and the one lock for them and their lines: two handles
// writing into one file never mix their lines.
std::mutex& output_lock() noexcept {
  static std::mutex lock;
  return lock;
}
TraceOutput*& first_output() noexcept {
  static TraceOutput* first = nullptr;
  return first;
}

void copy_text(std::span<char> out, std::string_view text) noexcept {
  if (out.empty()) return;
  const std::size_t length = std::min(text.size(), out.size() - 1);
  std::memcpy(out.data(), text.data(), length);
  out[length] = '\0';
}

// "TIME PORT HANDLE " of `line`, for a line of the trace's own in its name.
std::string_view prefix_of(std::span<const char> line) noexcept {
  const std::string_view text(line.data(), line.size());
  std::size_t at = 0;
  for (int field = 0; field < 3; ++field) {
    at = text.find(' ', at);
    if (at == std::string_view::npos) return {};
    ++at;
  }
  return text.substr(0, at);
}

// A line of the trace's own: `prefix`, then the text, then a newline, cut to fit.
struct NoticeLine {
  std::array<char, 512> text{};
  std::size_t length = 0;
  template <typename... Values>
  NoticeLine(std::string_view prefix, const char* format, const Values&... values) noexcept {
    const int body = std::snprintf(text.data(), text.size() - 1, "%.*s",
                                   static_cast<int>(prefix.size()), prefix.data());
    length = body < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(body), text.size() - 2);
    const int rest =
        std::snprintf(text.data() + length, text.size() - 1 - length, format, values...);
    if (rest > 0) length = std::min(length + static_cast<std::size_t>(rest), text.size() - 2);
    text[length++] = '\n';
  }
  std::span<const char> view() const noexcept { return {text.data(), length}; }
};

// Writes `line` at once; when lines were dropped before it, a line saying how
// many goes out with it, in the same write. A pipe that cannot take it now
// drops it and counts it.
bool write_line(TraceOutput& output, std::span<const char> line, std::span<char> reason) noexcept {
  std::array<char, 512 + 1536> joined{};
  std::span<const char> text = line;
  if (output.dropped > 0) {
    const NoticeLine notice(
        prefix_of(line), "trace dropped %llu line%s: the file could not take them at once",
        static_cast<unsigned long long>(output.dropped), output.dropped == 1 ? "" : "s");
    const auto first = notice.view();
    if (first.size() + line.size() <= joined.size()) {
      std::memcpy(joined.data(), first.data(), first.size());
      std::memcpy(joined.data() + first.size(), line.data(), line.size());
      text = std::span<const char>(joined).first(first.size() + line.size());
    }
  }
  switch (write_trace_file(output.file, text, reason)) {
    case TraceWrite::written:
      output.dropped = 0;
      if (!output.rotates || !trace_file_end(output.file, output.size)) output.size += text.size();
      return true;
    case TraceWrite::full:
      ++output.dropped;
      return true;
    case TraceWrite::failed:
      break;
  }
  return false;
}

// Stops the output for good, with one last line in the file saying why when
// it still has room for one.
void stop_output(TraceOutput& output, std::span<const char> line, const char* why,
                 std::span<char> reason) noexcept {
  output.stopped = true;
  copy_text(output.stop_reason, why);
  const NoticeLine last(prefix_of(line), "trace stopped: %s; nothing more is written to %s", why,
                        output.path.data());
  if (output.file != kNoTraceFile && output.size + last.length <= 2 * output.limit)
    write_trace_file(output.file, last.view(), reason);
  copy_text(reason, why);
}

// The line about to be written would take the file past its limit: under
// the lock that the processes sharing the file rotate under, follow a
// rotation another process made, or rotate, or stop when the file cannot be
// renamed. False when the line must not be written, with the reason in
// `reason` once the output stopped.
bool make_room(TraceOutput& output, std::span<const char> line, std::span<const char> header,
               std::span<char> reason) noexcept {
  if (!lock_trace_file(output.file)) {
    // Another process holds the lock for longer than a rotation takes: no
    // wait, and no line past twice the limit.
    if (output.size + line.size() <= 2 * output.limit) return true;
    ++output.dropped;
    return false;
  }
  const TraceFile locked = output.file;
  bool write = true;
  std::array<char, 256> why{};
  if (trace_file_moved(output.file, output.path.data())) {
    // Another process rotated it: go on in the new file.
    const TraceFile reopened = open_trace_file(output.path.data(), why);
    if (reopened == kNoTraceFile) {
      std::array<char, 320> text{};
      std::snprintf(text.data(), text.size(), "cannot open it again after a rotation: %s",
                    why.data());
      stop_output(output, line, text.data(), reason);
      write = false;
    } else {
      output.file = reopened;
    }
  }
  if (write && !regular_trace_file_size(output.file, output.size)) output.size = 0;
  if (write && output.size > 0 && output.size + line.size() > output.limit) {
    if (!rename_trace_file(output.path.data(), output.rotated.data(), why)) {
      std::array<char, 4400> text{};
      std::snprintf(text.data(), text.size(), "cannot rename it to %s: %s", output.rotated.data(),
                    why.data());
      stop_output(output, line, text.data(), reason);
      write = false;
    } else if (const TraceFile fresh = open_trace_file(output.path.data(), why);
               fresh == kNoTraceFile) {
      std::array<char, 320> text{};
      std::snprintf(text.data(), text.size(), "cannot open a new file after a rotation: %s",
                    why.data());
      stop_output(output, line, text.data(), reason);
      write = false;
    } else {
      if (output.file != locked) close_trace_file(output.file);
      output.file = fresh;
      output.size = 0;
      if (!header.empty() && !write_line(output, header, reason)) write = false;
    }
  }
  unlock_trace_file(locked);
  if (output.file != locked) close_trace_file(locked);
  return write;
}

}  // namespace

TraceOutput* acquire_trace_output(const char* path, uint64_t limit,
                                  std::span<char> reason) noexcept {
  const std::lock_guard lock(output_lock());
  for (TraceOutput* output = first_output(); output != nullptr; output = output->next) {
    if (std::strcmp(output->path.data(), path) == 0) {
      ++output->users;
      output->limit = limit;
      return output;
    }
  }
  const std::size_t length = std::strlen(path);
  const TraceFile file = open_trace_file(path, reason);
  if (file == kNoTraceFile) return nullptr;
  auto* output = new (std::nothrow) TraceOutput;
  if (output == nullptr) {
    close_trace_file(file);
    std::snprintf(reason.data(), reason.size(), "out of memory");
    return nullptr;
  }
  output->file = file;
  output->limit = limit;
  output->users = 1;
  std::memcpy(output->path.data(), path, std::min(length, output->path.size() - 1));
  // A path without room for ".1" is never rotated.
  output->rotates = length + 2 < output->rotated.size() && length < output->path.size() &&
                    regular_trace_file_size(file, output->size);
  if (output->rotates) {
    std::memcpy(output->rotated.data(), path, length);
    std::memcpy(output->rotated.data() + length, ".1", 3);
  }
  output->next = first_output();
  first_output() = output;
  return output;
}

void release_trace_output(TraceOutput* output) noexcept {
  if (output == nullptr) return;
  const std::lock_guard lock(output_lock());
  if (--output->users > 0) return;
  for (TraceOutput** at = &first_output(); *at != nullptr; at = &(*at)->next) {
    if (*at == output) {
      *at = output->next;
      break;
    }
  }
  close_trace_file(output->file);
  delete output;
}

bool write_trace_output(TraceOutput& output, std::span<const char> line,
                        std::span<const char> header, std::span<char> reason) noexcept {
  const std::lock_guard lock(output_lock());
  if (output.file == kNoTraceFile || output.stopped) {
    copy_text(reason, output.stopped ? output.stop_reason.data() : "the file could not be opened");
    return false;
  }
  if (output.rotates && output.limit != 0 && output.size + line.size() > output.limit &&
      !make_room(output, line, header, reason)) {
    return !output.stopped;
  }
  return write_line(output, line, reason);
}

}  // namespace vorkand::link
