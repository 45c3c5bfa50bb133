// A reader that answers at once: every 8-byte frame on `fd` gets the 6-byte
// status reply 80 00 02 90 00 00, on a thread of its own until destroyed.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace vorkand::bench {

class Responder {
 public:
  explicit Responder(int fd) : fd_(fd) {
    thread_ = std::thread([this] {
      static constexpr std::array<uint8_t, 6> kStatus{0x80, 0x00, 0x02, 0x90, 0x00, 0x00};
      std::array<uint8_t, 8> frame{};
      std::size_t got = 0;
      while (!stop_) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0) continue;
        const ssize_t r = ::read(fd_, frame.data() + got, frame.size() - got);
        if (r <= 0) return;
        got += static_cast<std::size_t>(r);
        if (got < frame.size()) continue;
        got = 0;
        if (::write(fd_, kStatus.data(), kStatus.size()) != static_cast<ssize_t>(kStatus.size())) {
          return;
        }
      }
    });
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
  }
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

 private:
  int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vorkand::bench
