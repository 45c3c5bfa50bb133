#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "cli/open_reason.h"
#include "vorkand.h"

namespace vorkand::cli {
namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::string failed_open_reason(std::string_view trace, std::string_view port) {
  // Built by append: an optimised build misreads `" " + string` as an
  // overlapping copy.
  std::string head(" ");
  head.append(port).append(" 0 open ");
  constexpr std::string_view kFailed = " failed: ";
  std::string reason;
  while (!trace.empty()) {
    const auto newline = trace.find('\n');
    const std::string_view line = trace.substr(0, newline);
    trace = newline == std::string_view::npos ? std::string_view{} : trace.substr(newline + 1);
    const auto at = line.find(kFailed);
    if (line.find(head) != std::string_view::npos && at != std::string_view::npos)
      reason = line.substr(at + kFailed.size());
  }
  return reason;
}

Opened open_with_reason(const std::string& port) {
  Opened opened;
  const char* asked = secure_getenv("VORKAND_TRACE");
  if (asked != nullptr) {
    const std::string path = asked;
    opened.handle = CT_open(port.c_str());
    if (opened.handle == 0 && path != "-") opened.reason = failed_open_reason(read_all(path), port);
    return opened;
  }
  const char* tmp = secure_getenv("TMPDIR");
  std::string directory =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vorkand-open-XXXXXX";
  if (::mkdtemp(directory.data()) == nullptr) {
    opened.handle = CT_open(port.c_str());
    return opened;
  }
  const std::string path = directory + "/trace";
  ::setenv("VORKAND_TRACE", path.c_str(), 1);
  opened.handle = CT_open(port.c_str());
  ::unsetenv("VORKAND_TRACE");
  if (opened.handle == 0) opened.reason = failed_open_reason(read_all(path), port);
  ::unlink(path.c_str());
  ::rmdir(directory.c_str());
  return opened;
}

}  // namespace vorkand::cli
