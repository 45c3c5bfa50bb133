// `vorkand --trace`: the library traces into standard error (VORKAND_TRACE=-),
// and the tool shows each of its frame lines as milliseconds since the command
// started, direction and bytes. Anything else on stderr passes unchanged.
#pragma once

#include <string>
#include <string_view>
#include <thread>

namespace vorkand::cli {

// One line of the library's trace as the tool shows it, without its newline:
// "     1.234 ms  host -> reader  80 00 ..." for frames, "... ms  no complete
// reply: silence: ..." for an exchange that gave up; empty for the other trace
// lines (header, calls); any other text as it is.
std::string view_trace_line(std::string_view line, double started_seconds);

class TraceView {
 public:
  // Sends stderr through a pipe that a thread reads, and turns the trace on.
  TraceView();
  // Puts stderr back and shows what is left.
  ~TraceView();
  TraceView(const TraceView&) = delete;
  TraceView& operator=(const TraceView&) = delete;

 private:
  void show();
  int saved_stderr_ = -1;
  int pipe_read_ = -1;
  double started_ = 0;
  std::thread thread_;
};

}  // namespace vorkand::cli
