// vorkand-serve as a child process for the tests: started with the arguments
// given, its log (standard error) read line by line, stopped with SIGTERM.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace vorkand::test {

class ServeProcess {
 public:
  explicit ServeProcess(const std::vector<std::string>& arguments) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(pipe[1], 2);
      std::vector<char*> argv{const_cast<char*>(VORKAND_SERVE_PATH)};
      for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(VORKAND_SERVE_PATH, argv.data());
      ::_exit(127);
    }
    ::close(pipe[1]);
    log_ = pipe[0];
  }
  ~ServeProcess() {
    stop();
    if (log_ >= 0) ::close(log_);
  }
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;

  // The next log line that contains `text` (earlier ones are kept in
  // lines()), or "" when none came within `within` or the process ended.
  std::string wait_for(const std::string& text,
                       std::chrono::milliseconds within = std::chrono::milliseconds(5000)) {
    const auto until = std::chrono::steady_clock::now() + within;
    for (;;) {
      for (std::size_t i = seen_; i < lines_.size(); ++i) {
        if (lines_[i].find(text) != std::string::npos) {
          seen_ = i + 1;
          return lines_[i];
        }
      }
      seen_ = lines_.size();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) return "";
    }
  }
  // The port of the n-th "listening on HOST:PORT" line.
  int port(std::size_t n = 0) {
    while (ports_.size() <= n) {
      const std::string line = wait_for("listening on ");
      if (line.empty()) return 0;
      const auto at = line.find("listening on ") + 13;
      const auto space = line.find(' ', at);
      const std::string address = line.substr(at, space - at);
      ports_.push_back(std::atoi(address.substr(address.rfind(':') + 1).c_str()));
    }
    return ports_[n];
  }
  // Waits for the process to end by itself: its exit status, or -1.
  int exit_status(std::chrono::milliseconds within = std::chrono::milliseconds(5000)) {
    const auto until = std::chrono::steady_clock::now() + within;
    while (pid_ > 0 && std::chrono::steady_clock::now() < until) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        while (read_some(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      read_some(20);
    }
    return -1;
  }
  // Every line so far.
  std::string log() {
    while (read_some(0)) {
    }
    std::string all;
    for (const std::string& line : lines_) all += line + "\n";
    return all;
  }
  pid_t pid() const { return pid_; }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  bool read_some(int timeout_ms) {
    if (log_ < 0) return false;
    pollfd ready{log_, POLLIN, 0};
    if (::poll(&ready, 1, timeout_ms) <= 0) return false;
    char buffer[4096];
    const ssize_t got = ::read(log_, buffer, sizeof buffer);
    if (got <= 0) return false;
    partial_.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
      lines_.push_back(partial_.substr(0, end));
      partial_.erase(0, end + 1);
    }
    return true;
  }

  pid_t pid_ = -1;
  int log_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
  std::size_t seen_ = 0;
  std::vector<int> ports_;
};

}  // namespace vorkand::test
