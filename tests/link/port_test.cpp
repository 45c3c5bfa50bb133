// The POSIX port through the library's exports, on pseudo-terminals and
// plain files: names, exclusive use, handles, line settings, and the frame
// exchange on a real line.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "link/exchange.h"
#include "link/serial/posix_line_settings.h"
#include "link/serial/serial_device.h"
#include "pty_pair.h"
#include "vorkand.h"

namespace vorkand::link {
namespace {

using test::answer_next_frame;
using test::PtyPair;
using Bytes = std::vector<uint8_t>;

const Bytes kReset{0x80, 0x00, 0x04, 0x80, 0x62, 0x00, 0x00, 0x00};
const Bytes kStatus{0x80, 0x00, 0x02, 0x90, 0x00, 0x00};

int open_descriptors() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the directory's own descriptor
}

bool is_open(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

// A temporary regular file, removed at the end.
class TempFile {
 public:
  TempFile() {
    char name[] = "/tmp/vorkand-port-XXXXXX";
    const int fd = ::mkstemp(name);
    ::close(fd);
    path_ = name;
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Maps COM1..COM4 for one test and removes the mapping afterwards.
class PortTest : public ::testing::Test {
 protected:
  void map(int index, const std::string& path) {
    ::setenv(("VORKAND_COM" + std::to_string(index)).c_str(), path.c_str(), 1);
  }
  void TearDown() override {
    for (int i = 1; i <= 4; ++i) ::unsetenv(("VORKAND_COM" + std::to_string(i)).c_str());
  }
  int32_t exchange(int32_t handle, const Bytes& frame) {
    serial::SerialDevice port(handle);
    SystemClock clock;
    return exchange_frame(port, clock, frame, reply);
  }

  std::array<uint8_t, kMaxReply> reply{};
};

// --- Line settings and device names (no device needed) ----------------------

TEST(LineSettings, ReaderLineOnTopOfACookedTerminal) {
  termios cooked{};
  cooked.c_iflag = ICRNL | IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNCR | INLCR | BRKINT | PARMRK;
  cooked.c_oflag = OPOST | ONLCR;
  cooked.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  cooked.c_cflag = CS7 | CSTOPB | PARODD | CRTSCTS | HUPCL;
  cooked.c_cc[VMIN] = 1;
  cooked.c_cc[VTIME] = 5;
  ::cfsetispeed(&cooked, B115200);
  ::cfsetospeed(&cooked, B115200);

  const termios t = serial::line_settings(cooked);
  EXPECT_EQ(::cfgetispeed(&t), B9600);
  EXPECT_EQ(::cfgetospeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & PARENB) << "even parity";
  EXPECT_FALSE(t.c_cflag & PARODD) << "even parity";
  EXPECT_FALSE(t.c_cflag & CSTOPB) << "1 stop bit";
  EXPECT_FALSE(t.c_cflag & CRTSCTS) << "no hardware handshake";
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(t.c_cflag & HUPCL, static_cast<tcflag_t>(HUPCL)) << "other settings stay";
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u) << "no XON/XOFF";
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK | BRKINT | PARMRK), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(LineSettings, OnlyParityMayBeLostOnTheWayIn) {
  const termios wanted = serial::line_settings(termios{});
  termios applied = wanted;
  applied.c_cflag &= ~PARENB;  // what a pseudo-terminal keeps
  EXPECT_TRUE(serial::settings_took(wanted, applied));
  applied = wanted;
  ::cfsetospeed(&applied, B19200);
  EXPECT_FALSE(serial::settings_took(wanted, applied));
  applied = wanted;
  applied.c_iflag |= IXON;
  EXPECT_FALSE(serial::settings_took(wanted, applied));
  applied = wanted;
  applied.c_cflag |= CSTOPB;
  EXPECT_FALSE(serial::settings_took(wanted, applied));
}

TEST_F(PortTest, ComNamesMapToTheEnvironmentReadAtEachCallElseTtyS) {
  std::array<char, 64> path{};
  ASSERT_TRUE(serial::com_device_path(4, path));
  EXPECT_STREQ(path.data(), "/dev/ttyS3");
  map(4, "/dev/pts/77");
  ASSERT_TRUE(serial::com_device_path(4, path));
  EXPECT_STREQ(path.data(), "/dev/pts/77");
  map(4, "");
  ASSERT_TRUE(serial::com_device_path(4, path));
  EXPECT_STREQ(path.data(), "/dev/ttyS3");
  map(4, std::string(100, 'x'));
  EXPECT_FALSE(serial::com_device_path(4, path)) << "a path that does not fit is refused";
  EXPECT_FALSE(serial::com_device_path(5, path));
}

// --- Names and failed opens --------------------------------------------------

TEST_F(PortTest, RefusedNamesTouchNoDeviceAndAFailedOpenLeavesNothingOpen) {
  // Every COM port maps to a regular file watched for opens: a refused name
  // must not open it; COM3 opens it but cannot configure it.
  TempFile file;
  for (int i = 1; i <= 4; ++i) map(i, file.path());
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, file.path().c_str(), IN_OPEN), 0);
  const auto opens = [watch] {
    int n = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t r; (r = ::read(watch, buffer, sizeof buffer)) > 0;) {
      for (char* p = buffer; p < buffer + r;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        n += (event->mask & IN_OPEN) != 0;
        p += sizeof(inotify_event) + event->len;
      }
    }
    return n;
  };

  const int before = open_descriptors();
  for (const char* name :
       {"COM5", "COM0", "COM10", "COM1:", "", " COM1", "COM1 ", "CO", "/dev/tty"}) {
    EXPECT_EQ(CT_open(name), 0) << '"' << name << '"';
  }
  EXPECT_EQ(CT_open(nullptr), 0);
  EXPECT_EQ(opens(), 0) << "a refused name opened the device";

  EXPECT_EQ(CT_open("COM3"), 0) << "a regular file is no serial port";
  EXPECT_EQ(opens(), 1);
  EXPECT_EQ(open_descriptors(), before);
  const int probe = ::open(file.path().c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(::flock(probe, LOCK_EX | LOCK_NB), 0) << "the failed open left its lock behind";
  ::close(probe);

  map(2, "/nonexistent/vorkand-port");
  EXPECT_EQ(CT_open("COM2"), 0);
  EXPECT_EQ(open_descriptors(), before);
  ::close(watch);
}

TEST_F(PortTest, LowerCaseNameOpensAndTheLineIsSet) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  map(2, pty.path());
  const int32_t handle = CT_open("com2");
  ASSERT_GT(handle, 0);

  termios t{};
  ASSERT_EQ(::tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(CT_close(handle), 0);
}

// --- Exclusive use ------------------------------------------------------------

TEST_F(PortTest, OpenPortIsRefusedToEveryoneElseAndStaysUsable) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  map(1, pty.path());
  const int32_t handle = CT_open("COM1");
  ASSERT_GT(handle, 0);
  int exclusive = 0;
  ASSERT_EQ(::ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);

  EXPECT_EQ(CT_open("COM1"), 0) << "second open in this process";
  EXPECT_EQ(serial::open_device(pty.path().c_str()), 0);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(CT_open("COM1") == 0 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "another process opened the port";

  // The refused opens changed nothing for the owner.
  Bytes frame;
  std::thread reader = answer_next_frame(pty, kStatus, &frame);
  EXPECT_EQ(exchange(handle, kReset), 6);
  reader.join();
  EXPECT_EQ(frame, kReset);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), kStatus);

  EXPECT_EQ(CT_close(handle), 0);
  ASSERT_EQ(::ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0) << "the terminal stayed exclusive after the close";

  // Closed, the port opens again (the terminal is raw already this time).
  const int32_t again = CT_open("COM1");
  EXPECT_GT(again, 0);
  EXPECT_EQ(CT_close(again), 0);
}

// --- Handles ------------------------------------------------------------------

TEST_F(PortTest, OnlyOpenHandlesOfTheLibraryAreClosed) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  map(4, pty.path());
  const int32_t handle = CT_open("COM4");
  ASSERT_GT(handle, 0);
  EXPECT_EQ(CT_close(handle), 0);
  EXPECT_EQ(CT_close(handle), -1) << "closed twice";
  EXPECT_EQ(CT_close(0), -1);
  EXPECT_EQ(CT_close(-1), -1);

  const int own = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GT(own, 0);
  EXPECT_EQ(CT_close(own), -1);
  EXPECT_TRUE(is_open(own)) << "the library closed a descriptor it did not open";
  ::close(own);
}

TEST_F(PortTest, HandleClosedBehindTheLibrarysBackIsRememberedOnceWhenReused) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  map(4, pty.path());
  const int32_t first = CT_open("COM4");
  ASSERT_GT(first, 0);
  // The host closes the library's descriptor itself; the next open reuses it.
  ::ioctl(first, TIOCNXCL);
  ::close(first);
  const int32_t second = CT_open("COM4");
  ASSERT_EQ(second, first);
  EXPECT_EQ(CT_close(second), 0);

  const int own = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(own, second);
  EXPECT_EQ(CT_close(own), -1);
  EXPECT_TRUE(is_open(own)) << "the library closed a descriptor it did not open";
  ::close(own);
}

TEST_F(PortTest, TheTwoHundredFiftySeventhOpenPortIsRefused) {
  // 256 ports, each with a pseudo-terminal pair of the test's own and a wake
  // pipe: about 1300 descriptors.
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 1500)
    GTEST_SKIP() << "too few descriptors allowed";
  std::vector<std::unique_ptr<PtyPair>> ptys;
  std::vector<int32_t> handles;
  for (int i = 0; i < 257; ++i) {
    ptys.push_back(std::make_unique<PtyPair>());
    ASSERT_TRUE(ptys.back()->ok());
    map(1, ptys.back()->path());
    const int32_t handle = CT_open("COM1");
    if (i < 256) {
      ASSERT_GT(handle, 0) << i;
      handles.push_back(handle);
    } else {
      EXPECT_EQ(handle, 0) << "the table holds 256 open ports";
    }
  }
  // The refused port was left closed: it opens once a slot is free.
  EXPECT_EQ(CT_close(handles.back()), 0);
  handles.back() = CT_open("COM1");
  EXPECT_GT(handles.back(), 0);
  for (const int32_t handle : handles) EXPECT_EQ(CT_close(handle), 0);
}

TEST_F(PortTest, HandleIsNeverZeroEvenWhenDescriptorZeroIsFree) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  map(1, pty.path());
  const int saved_stdin = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
  ::close(0);
  const int before = open_descriptors();
  const int32_t handle = CT_open("COM1");
  const bool zero_left_free = !is_open(0);
  const int after = open_descriptors();
  if (saved_stdin >= 0) ::dup2(saved_stdin, 0), ::close(saved_stdin);
  ASSERT_GT(handle, 0);
  EXPECT_TRUE(zero_left_free);
  EXPECT_EQ(after, before + 3);  // the port and the two ends of its wake pipe
  EXPECT_EQ(CT_close(handle), 0);
}

// --- The exchange on a real line ---------------------------------------------

TEST_F(PortTest, StaleInputIsGoneBeforeTheFrameGoesOut) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  map(1, pty.path());
  const int32_t handle = CT_open("COM1");
  ASSERT_GT(handle, 0);
  const Bytes late{0x80, 0x00, 0x02, 0x62, 0x00, 0x00};
  ASSERT_TRUE(pty.send(late));
  ASSERT_TRUE(pty.wait_queued(static_cast<int>(late.size())));

  std::thread reader = answer_next_frame(pty, kStatus);
  EXPECT_EQ(exchange(handle, kReset), 6);
  reader.join();
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), kStatus);
  EXPECT_EQ(CT_close(handle), 0);
}

TEST_F(PortTest, DeadLineEndsTheExchangeAtOnce) {
  using Clock = std::chrono::steady_clock;
  // Hung up while the exchange waits for the reply.
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  map(1, pty.path());
  const int32_t handle = CT_open("COM1");
  ASSERT_GT(handle, 0);
  std::thread reader([&pty] {
    pty.receive_frame();
    pty.close_master();
  });
  auto start = Clock::now();
  EXPECT_EQ(exchange(handle, kReset), 0);
  reader.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << "waited for the silence limit";

  // Hung up before the write.
  start = Clock::now();
  EXPECT_EQ(exchange(handle, kReset), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(CT_close(handle), 0);
}

TEST_F(PortTest, SilentLineEndsJustAfterFiveSecondsWithoutSpinning) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  map(1, pty.path());
  const int32_t handle = CT_open("COM1");
  ASSERT_GT(handle, 0);
  timespec cpu_start{}, cpu_end{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_start);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(exchange(handle, kReset), 0);
  const auto waited = std::chrono::steady_clock::now() - start;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_end);
  EXPECT_GT(waited, std::chrono::milliseconds(5000));
  EXPECT_LT(waited, std::chrono::milliseconds(7000));
  // A busy loop would burn the whole five seconds.
  EXPECT_LT(cpu_end.tv_sec - cpu_start.tv_sec, 2);
  EXPECT_EQ(pty.receive(kReset.size()), kReset);
  EXPECT_EQ(CT_close(handle), 0);
}

}  // namespace
}  // namespace vorkand::link
