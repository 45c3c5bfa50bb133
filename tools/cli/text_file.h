// Reading a whole text file the user named, refusing what is not a regular
// file (a directory, a device) instead of reading it as empty.
#pragma once

#include <string>
#include <variant>

namespace vorkand::cli {

struct FileError {
  std::string reason;  // "missing", "a directory", "permission denied", ...
  bool missing = false;
};

// The contents, or why they could not be read. "-" reads standard input.
std::variant<std::string, FileError> read_text_file(const std::string& path);

// Standard input is a terminal (someone types the lines).
bool input_is_terminal();

}  // namespace vorkand::cli
