// The system services under the frame trace, one source file per platform
// (posix_trace_file.cpp, win32_trace_file.cpp): an append-only file, a
// monotonic clock and the one-line warning on standard error.
#pragma once

#include <cstdint>
#include <span>

namespace vorkand::link {

// An open trace file: a descriptor (POSIX) or a HANDLE (Windows).
using TraceFile = intptr_t;
inline constexpr TraceFile kNoTraceFile = -1;

// Whether a trace path is "-", standard error.
inline bool names_standard_error(const char* path) noexcept {
  return path[0] == '-' && path[1] == '\0';
}

// Opens `path` for appending, creating it readable and writable by its owner
// only; "-" is standard error. Never follows a symbolic link (Windows: a
// reparse point) at the end of the path, and never waits: writes to it never
// block either. A file that exists already is used only when it is a regular
// file or a FIFO that belongs to the effective user and that no other user
// may write, nor, for a regular file, read (Windows: an existing file keeps
// its own access list; a new one gets an owner-only list of its own).
// kNoTraceFile on failure or refusal, with the reason in `reason`.
TraceFile open_trace_file(const char* path, std::span<char> reason) noexcept;

enum class TraceWrite : uint8_t {
  written,  // all of the text
  full,     // nothing: the file (a pipe) could not take it at once
  failed,   // an error, in `reason`
};
// Writes `text` with one write where the system allows it, never waiting.
TraceWrite write_trace_file(TraceFile file, std::span<const char> text,
                            std::span<char> reason) noexcept;

// Closes a file from open_trace_file (standard error stays open).
void close_trace_file(TraceFile file) noexcept;

// The size of `file` in `size` when it is a regular file (the only kind a
// trace rotates); false for standard error, pipes, devices and on failure.
bool regular_trace_file_size(TraceFile file, uint64_t& size) noexcept;

// Where the last write to the regular `file` ended: the file's size then,
// with what other processes appended before it. One cheap system call.
bool trace_file_end(TraceFile file, uint64_t& end) noexcept;

// Takes the lock on `file` that processes sharing it rotate under, waiting
// a few milliseconds at most; false when it stays taken.
bool lock_trace_file(TraceFile file) noexcept;
void unlock_trace_file(TraceFile file) noexcept;

// Whether `path` no longer names the open `file` (another process renamed
// it away, or it was removed).
bool trace_file_moved(TraceFile file, const char* path) noexcept;

// Renames the trace file `from` to `to`, replacing `to`. False on failure,
// with the reason in `reason`.
bool rename_trace_file(const char* from, const char* to, std::span<char> reason) noexcept;

// Microseconds on the system's monotonic clock.
uint64_t monotonic_us() noexcept;

// The date and time now in UTC, "2026-12-08T21:28:00Z", zero-terminated
// (empty when the system cannot tell).
void utc_now(std::span<char> out) noexcept;

// Writes `text` to standard error as it is, ignoring any failure.
void warn(std::span<const char> text) noexcept;

}  // namespace vorkand::link
