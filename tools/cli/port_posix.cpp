// Where a port leads on POSIX systems, and why it would not open.
#include <fmt/format.h>
#include <stdlib.h>

#include "cli/device_check.h"
#include "cli/port.h"

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

std::string open_failure(const std::string& mapping) {
  // The other kinds of port (PC/SC readers, network ports) are the
  // library's to reach; only a device path can be examined here.
  if (mapping.empty() || mapping[0] != '/') return {};
  return why_device_fails(mapping);
}

}  // namespace vorkand::cli
