// The library's trace lines as `vorkand --trace` shows them (portable).
#include <fmt/format.h>

#include "cli/trace_option.h"
#include "replay/replay.h"

namespace vorkand::cli {

std::string view_trace_line(std::string_view line, double started_seconds) {
  const auto record = replay::parse_trace_record(line);
  if (!record) return std::string(line);
  const double ms = (record->seconds - started_seconds) * 1000.0;
  if (record->kind == ">") return fmt::format("{:10.3f} ms  host -> reader  {}", ms, record->rest);
  if (record->kind == "<") return fmt::format("{:10.3f} ms  reader -> host  {}", ms, record->rest);
  if (record->kind == "end")
    return fmt::format("{:10.3f} ms  no complete reply: {}", ms, record->rest);
  return {};
}

}  // namespace vorkand::cli
