#include <stdlib.h>
#include <unistd.h>

#include "cli/system.h"

namespace vorkand::cli {

void set_variable(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

bool colour_wanted() {
  const char* no_colour = secure_getenv("NO_COLOR");
  return ::isatty(STDOUT_FILENO) == 1 && (no_colour == nullptr || *no_colour == '\0');
}

}  // namespace vorkand::cli
