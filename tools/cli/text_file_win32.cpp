// Reading a text file the user named, on Windows.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/text_file.h"

namespace vorkand::cli {

std::variant<std::string, FileError> read_text_file(const std::string& path) {
  std::ostringstream text;
  if (path == "-") {
    ::_setmode(::_fileno(stdin), _O_BINARY);
    text << std::cin.rdbuf();
    return text.str();
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return FileError{"missing", true};
    if (error == ERROR_ACCESS_DENIED) return FileError{"permission denied"};
    return FileError{"system error " + std::to_string(error)};
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileError{"a directory, not a file"};
  std::ifstream file(path, std::ios::binary);
  if (!file) return FileError{"cannot be read"};
  text << file.rdbuf();
  return text.str();
}

bool input_is_terminal() {
  return _isatty(_fileno(stdin)) != 0;
}

}  // namespace vorkand::cli
