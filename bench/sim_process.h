// The simulator as its own process, for benchmarks that need readers with a
// real line's pace. The target defines VORKAND_TOOL, the tool's path.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace vorkand::bench {

// `vorkand sim --line-time --card FILE`, its pseudo-terminal read from its
// first line of output.
class SimProcess {
 public:
  explicit SimProcess(const std::string& card_file) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 2);
      ::execl(VORKAND_TOOL, "vorkand", "sim", "--line-time", "--card", card_file.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    char c = 0;
    while (line.size() < 512 && ::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    pipe_ = out[0];  // kept open: the simulator writes more lines
    const auto at = line.rfind(' ');
    if (at != std::string::npos) device_ = line.substr(at + 1);
  }
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (pipe_ >= 0) ::close(pipe_);
  }
  const std::string& device() const { return device_; }

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;
  std::string device_;
};

}  // namespace vorkand::bench
