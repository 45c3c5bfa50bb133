// Where a port leads on POSIX systems, and why it would not open.
#include <fmt/format.h>
#include <stdlib.h>

#include "cli/device_check.h"
#include "cli/port_names.h"

namespace vorkand::cli {

std::string port_mapping(std::string_view port) {
  const char* value = secure_getenv(port_variable(port).c_str());
  if (value != nullptr && *value != '\0') return value;
  return fmt::format("/dev/ttyS{}", port.back() - '1');
}

std::string port_source(std::string_view port) {
  const std::string variable = port_variable(port);
  const char* value = secure_getenv(variable.c_str());
  return value != nullptr && *value != '\0' ? variable : std::string();
}

std::string open_failure(const std::string& mapping, const std::string& library_reason) {
  // Only a device path can be examined here; the other kinds of port (PC/SC
  // readers, network ports) are the library's to reach and explain.
  const bool device = !mapping.empty() && mapping[0] == '/';
  if (!library_reason.empty()) {
    if (device && library_reason == "busy") {
      std::string held = why_device_fails(mapping);
      if (held.starts_with("busy")) return held;
    }
    return library_reason;
  }
  return device ? why_device_fails(mapping) : std::string();
}

}  // namespace vorkand::cli
