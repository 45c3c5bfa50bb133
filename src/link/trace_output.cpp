#include "link/trace_output.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "link/trace_file.h"

namespace vorkand::link {

class TraceOutput {
 public:
  std::array<char, 4096> path{};
  std::array<char, 4096 + 2> rotated{};  // path ".1"
  TraceFile file = kNoTraceFile;
  bool rotates = false;  // a regular file
  uint64_t size = 0;     // bytes in the file now
  uint64_t limit = 0;
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

bool write_counted(TraceOutput& output, std::span<const char> text,
                   std::span<char> reason) noexcept {
  if (!write_trace_file(output.file, text, reason)) return false;
  output.size += text.size();
  return true;
}

// Renames the file to PATH.1 and opens a new PATH, under the lock.
bool rotate(TraceOutput& output, std::span<char> reason) noexcept {
  close_trace_file(output.file);
  output.file = kNoTraceFile;
  // When the rename fails, the old file is reopened and grows on.
  const bool renamed = rename_trace_file(output.path.data(), output.rotated.data(), reason);
  output.file = open_trace_file(output.path.data(), reason);
  if (output.file == kNoTraceFile) return false;
  if (!renamed || !regular_trace_file_size(output.file, output.size)) output.size = 0;
  return true;
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
  if (output.file == kNoTraceFile) {
    std::snprintf(reason.data(), reason.size(), "the file could not be opened again");
    return false;
  }
  if (output.rotates && output.limit != 0 && output.size > 0 &&
      output.size + line.size() > output.limit) {
    if (!rotate(output, reason)) return false;
    if (!header.empty() && !write_counted(output, header, reason)) return false;
  }
  return write_counted(output, line, reason);
}

}  // namespace vorkand::link
