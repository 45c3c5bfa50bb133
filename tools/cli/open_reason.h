// CT_open with the library's reason when it fails: the library writes an
// "open ... failed: REASON" line into its trace, and the tool reads it there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorkand::cli {

// The reason in the last "PORT 0 open ... failed: REASON" line of `trace` for
// `port`; empty when there is none.
std::string failed_open_reason(std::string_view trace, std::string_view port);

struct Opened {
  int32_t handle = 0;
  std::string reason;  // the library's, when the open failed and it said why
};

// CT_open of `port`. With VORKAND_TRACE unset the library traces into a
// private temporary file for the call (removed at once; a port that opened
// keeps writing into it, unseen, until it closes); a trace the user asked for
// into a file is read where it is; a trace on standard error gives no reason.
Opened open_with_reason(const std::string& port);

}  // namespace vorkand::cli
