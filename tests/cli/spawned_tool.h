// Running the built tool from the tests: a file's contents, and the tool
// started in the background with its standard output on a pipe (`vorkand
// sim`), killed if the test ends before it stops it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace vorkand::sim {

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class SpawnedTool {
 public:
  // `argv` ends with nullptr; argv[0] is the tool.
  explicit SpawnedTool(const char* const* argv) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ) !=
        0) {
      pid_ = 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    output_ = ::fdopen(out[0], "r");
  }
  ~SpawnedTool() {
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    if (output_ != nullptr) std::fclose(output_);
  }
  SpawnedTool(const SpawnedTool&) = delete;
  SpawnedTool& operator=(const SpawnedTool&) = delete;

  bool started() const { return pid_ > 0 && output_ != nullptr; }

  // The next line of its standard output with its newline; empty at the end.
  std::string line() {
    std::string text;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, output_) != nullptr) {
      text += chunk;
      if (text.back() == '\n') break;
    }
    return text;
  }

  // Sends SIGTERM and waits for it: its wait status, or nothing when the
  // wait failed. rest() then has what it wrote after the lines read.
  std::optional<int> stop() {
    ::kill(pid_, SIGTERM);
    int c = 0;
    while ((c = std::fgetc(output_)) != EOF) rest_ += static_cast<char>(c);
    int status = 0;
    const bool waited = ::waitpid(pid_, &status, 0) == pid_;
    pid_ = 0;
    if (!waited) return std::nullopt;
    return status;
  }
  const std::string& rest() const { return rest_; }

 private:
  pid_t pid_ = 0;
  FILE* output_ = nullptr;
  std::string rest_;
};

}  // namespace vorkand::sim
