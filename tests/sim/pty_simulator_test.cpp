// The pseudo-terminal loop on its own: a test program opens the slave side
// raw and plays the host, so each fault shows as the bytes that arrive.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "common/hex.h"
#include "sim/card_file.h"
#include "sim/pty_simulator.h"
#include "simulator.h"

namespace vorkand::sim {
namespace {

using common::parse_hex;
using common::to_hex;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::start_simulator;

// The host's end: the slave opened raw.
class Host {
 public:
  explicit Host(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~Host() {
    if (fd_ >= 0) ::close(fd_);
  }
  void write(std::string_view hex) {
    const auto bytes = parse_hex(hex).value();
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Everything that arrives until `quiet` passes without a byte; each
  // arrival as one hex string.
  std::vector<std::string> arrivals(std::chrono::milliseconds quiet = 300ms) {
    std::vector<std::string> result;
    uint8_t buffer[512];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) return result;
      if (p.revents & (POLLHUP | POLLERR)) {
        result.push_back("HANGUP");
        return result;
      }
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return result;
      result.push_back(to_hex(std::span<const uint8_t>(buffer, static_cast<std::size_t>(n))));
    }
  }
  std::string reply() {
    std::string all;
    for (const auto& a : arrivals()) all += (all.empty() ? "" : " ") + a;
    return all;
  }

 private:
  int fd_;
};

TEST(PtySimulator, AnswersFramesAndTracesBothDirections) {
  std::mutex mutex;
  std::vector<std::string> trace;
  PtyOptions options;
  options.trace = [&](const TraceEvent& event) {
    std::lock_guard lock(mutex);
    trace.push_back(format_trace(event, false));
  };
  auto sim = start_simulator(std::move(options));
  {
    Host host(sim->device_path());
    // Two frames in one write, and one frame in two writes.
    host.write("80 00 04 80 62 00 00 00 80 00 04 80 60");
    host.write("00 00 00");
    EXPECT_EQ(host.reply(), "80 00 02 90 00 00 80 00 02 90 00 00");
  }
  // The host closed its side; the simulator keeps the device for the next one.
  Host again(sim->device_path());
  again.write("80 00 04 80 61 00 00 00");
  EXPECT_EQ(again.reply(), "70 00 0B 3B 95 11 80 01 76 6F 72 6B 61 64 00");
  EXPECT_EQ(sim->frames_received(), 3);
  sim->stop();
  std::lock_guard lock(mutex);
  EXPECT_EQ(trace, (std::vector<std::string>{
                       "host -> reader  80 00 04 80 62 00 00 00",
                       "reader -> host  80 00 02 90 00 00",
                       "host -> reader  80 00 04 80 60 00 00 00",
                       "reader -> host  80 00 02 90 00 00",
                       "host -> reader  80 00 04 80 61 00 00 00",
                       "reader -> host  70 00 0B 3B 95 11 80 01 76 6F 72 6B 61 64 00",
                   }));
}

TEST(PtySimulator, InjectsEachFault) {
  auto sim = start_simulator();
  sim->add_fault({Fault::Kind::silence, 1, {}, {}});
  sim->add_fault({Fault::Kind::split, 2, {{2, 0ms}, {3, 200ms}, {0, 200ms}}, {}});
  sim->add_fault({Fault::Kind::stray, 3, {}, {0xEE, 0xFF}});
  sim->add_fault({Fault::Kind::overlong, 4, {}, {}});
  Host host(sim->device_path());
  host.write("80 00 04 80 62 00 00 00");
  EXPECT_EQ(host.arrivals(), std::vector<std::string>{});
  host.write("80 00 04 80 61 00 00 00");
  EXPECT_EQ(host.arrivals(600ms),
            (std::vector<std::string>{"70 00", "0B 3B 95", "11 80 01 76 6F 72 6B 61 64 00"}));
  host.write("80 00 04 80 62 00 00 00");
  EXPECT_EQ(host.reply(), "80 00 02 90 00 00 EE FF");
  host.write("80 00 04 80 62 00 00 00");
  EXPECT_EQ(host.reply().size(), 300u * 3 - 1);
  // A garbage start is dropped after a second of quiet; the next frame is answered.
  host.write("80 00");
  std::this_thread::sleep_for(1200ms);
  host.write("80 00 04 80 62 00 00 00");
  EXPECT_EQ(host.reply(), "80 00 02 90 00 00");
}

TEST(PtySimulator, HangsUpAndStopsPromptly) {
  auto sim = start_simulator();
  sim->add_fault({Fault::Kind::hang_up, 2, {}, {}});
  Host host(sim->device_path());
  host.write("80 00 04 80 62 00 00 00");
  EXPECT_EQ(host.reply(), "80 00 02 90 00 00");
  host.write("80 00 04 80 62 00 00 00");
  EXPECT_EQ(host.arrivals(), std::vector<std::string>{"HANGUP"});
  const auto before = Clock::now();
  sim->stop();
  sim->stop();
  EXPECT_LT(Clock::now() - before, 1s);
}

TEST(PtySimulator, PacesRepliesLikeA9600BaudLine) {
  PtyOptions options;
  options.line_time = true;
  auto sim = start_simulator(std::move(options));
  Host host(sim->device_path());
  const auto before = Clock::now();
  host.write("80 00 04 80 61 00 00 00");
  const auto arrivals = host.arrivals(100ms);
  // 8 bytes in and 15 out at about 1.146 ms a byte, the reply in pieces of 8.
  EXPECT_GE(Clock::now() - before, 23 * 1146us);
  EXPECT_GE(arrivals.size(), 2u);
}

TEST(PtySimulator, ReadsFaultsWrittenAsText) {
  const auto split = parse_fault("split@3:2,5/50");
  ASSERT_TRUE(split);
  EXPECT_EQ(split->kind, Fault::Kind::split);
  EXPECT_EQ(split->frame, 3);
  ASSERT_EQ(split->chunks.size(), 3u);
  EXPECT_EQ(split->chunks[0].bytes, 2u);
  EXPECT_EQ(split->chunks[0].delay_before, 0ms);
  EXPECT_EQ(split->chunks[1].bytes, 5u);
  EXPECT_EQ(split->chunks[1].delay_before, 50ms);
  EXPECT_EQ(split->chunks[2].bytes, 0u);  // the rest
  EXPECT_EQ(parse_fault("split@1:4")->chunks[1].delay_before, 200ms);
  EXPECT_EQ(parse_fault("stray@0:EE FF")->stray, (std::vector<uint8_t>{0xEE, 0xFF}));
  EXPECT_EQ(parse_fault("hangup@7")->kind, Fault::Kind::hang_up);
  EXPECT_EQ(parse_fault("silence@2")->kind, Fault::Kind::silence);
  EXPECT_EQ(parse_fault("overlong@1")->kind, Fault::Kind::overlong);
  for (const char* bad : {"silence", "silence@", "silence@x", "silence@1:2", "stray@1",
                          "split@1:", "split@1:0", "split@1:2/x", "melt@1", "hangup@-1"}) {
    EXPECT_FALSE(parse_fault(bad)) << bad;
  }
}

}  // namespace
}  // namespace vorkand::sim
