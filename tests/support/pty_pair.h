// A pseudo-terminal for tests and benchmarks that need a real port (POSIX
// only). The library opens the slave by its path; the test plays the reader on
// the master. The pair keeps a slave descriptor of its own open, so the master
// never sees a hang-up when the library closes its descriptor.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace vorkand::test {

class PtyPair {
 public:
  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
      return;
    }
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~PtyPair() {
    close_master();
    if (slave_ >= 0) ::close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  const std::string& path() const { return path_; }
  int master() const { return master_; }
  int slave() const { return slave_; }  // the test's own slave descriptor
  void close_master() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  // The reader's side: send bytes to the library.
  bool send(const std::vector<uint8_t>& bytes) const {
    return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // Reads exactly `n` bytes the library wrote; fewer when `timeout_ms` passes first.
  std::vector<uint8_t> receive(std::size_t n, int timeout_ms = 2000) const {
    std::vector<uint8_t> got;
    while (got.size() < n) {
      pollfd entry{master_, POLLIN, 0};
      if (::poll(&entry, 1, timeout_ms) <= 0) break;
      uint8_t buffer[512];
      const ssize_t r = ::read(master_, buffer, std::min(sizeof buffer, n - got.size()));
      if (r <= 0) break;
      got.insert(got.end(), buffer, buffer + r);
    }
    return got;
  }

  // Reads one frame (head, mode, length, body, trailer) the library wrote.
  std::vector<uint8_t> receive_frame(int timeout_ms = 2000) const {
    std::vector<uint8_t> frame = receive(3, timeout_ms);
    if (frame.size() < 3) return frame;
    const std::vector<uint8_t> rest = receive(frame[2] + 1u, timeout_ms);
    frame.insert(frame.end(), rest.begin(), rest.end());
    return frame;
  }

  // Waits until the slave's input queue holds at least `n` bytes (the master's
  // writes reach it a moment later).
  bool wait_queued(int n, int timeout_ms = 2000) const {
    for (int waited = 0; waited <= timeout_ms; ++waited) {
      int queued = 0;
      if (::ioctl(slave_, FIONREAD, &queued) == 0 && queued >= n) return true;
      ::usleep(1000);
    }
    return false;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// A reader that answers the next frame with `reply` on its own thread, then
// stops. Returns the thread; join it after the exchange.
inline std::thread answer_next_frame(const PtyPair& pty, std::vector<uint8_t> reply,
                                     std::vector<uint8_t>* frame_seen = nullptr) {
  return std::thread([&pty, reply = std::move(reply), frame_seen] {
    std::vector<uint8_t> frame = pty.receive_frame();
    if (frame_seen != nullptr) *frame_seen = frame;
    pty.send(reply);
  });
}

}  // namespace vorkand::test
