// Where the traces into one file go. Every handle tracing into the same path
// shares one output: one file, one byte count, and one rotation for all of
// them. When a line would take a regular file past its limit, the file is
// renamed to PATH.1 (replacing an older one) and a new PATH begins with the
// header line of the handle writing. Standard error, pipes and devices never
// rotate. The count is kept as lines are written: no look at the file per line.
#pragma once

#include <cstdint>
#include <span>

namespace vorkand::link {

class TraceOutput;

// The default of VORKAND_TRACE_MAX: 64 MiB.
inline constexpr uint64_t kDefaultTraceMax = 64ull * 1024 * 1024;

// The output of `path`: the one this process has open for it, else a new one.
// `limit` bytes per file (0: no limit) holds for it from now on. nullptr, with
// the reason in `reason`, when the file cannot be opened.
TraceOutput* acquire_trace_output(const char* path, uint64_t limit,
                                  std::span<char> reason) noexcept;
// Drops a handle's use of `output`; the last one closes the file.
void release_trace_output(TraceOutput* output) noexcept;
// Writes `line` whole, after a rotation that starts the new file with
// `header` when `line` would take the file past the limit. Lines of all
// outputs go out one at a time. False on failure, with the reason in `reason`.
bool write_trace_output(TraceOutput& output, std::span<const char> line,
                        std::span<const char> header, std::span<char> reason) noexcept;

}  // namespace vorkand::link
