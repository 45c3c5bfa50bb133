// The serial port on POSIX: a terminal device opened non-blocking, locked
// against every other opener, set to the reader's line and waited on with
// poll(), so a silent line costs no CPU.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "link/environment.h"
#include "link/frame.h"
#include "link/posix_descriptor.h"
#include "link/serial/posix_line_settings.h"
#include "link/serial/serial_device.h"

namespace vorkand::link::serial {
namespace {

// Bits that only some systems have; 0 where the system lacks them.
#ifdef IUCLC
constexpr tcflag_t kInputUpperToLower = IUCLC;
#else
constexpr tcflag_t kInputUpperToLower = 0;
#endif
#ifdef CMSPAR
constexpr tcflag_t kMarkSpaceParity = CMSPAR;
#else
constexpr tcflag_t kMarkSpaceParity = 0;
#endif

constexpr tcflag_t kParityBits = PARENB | PARODD | kMarkSpaceParity;

constexpr char kDefaultDevice[] = "/dev/ttyS";

// Copies `text` to `out` at `at`; false when it does not fit with its zero.
bool put(std::span<char> out, std::size_t& at, const char* text) noexcept {
  const std::size_t length = std::strlen(text);
  if (length >= out.size() - at) return false;
  std::memcpy(out.data() + at, text, length + 1);
  at += length;
  return true;
}

bool lock_exclusively(int fd) noexcept {
  // flock() and not only TIOCEXCL: root ignores TIOCEXCL, and the lock also
  // keeps out a second open within this very process. It belongs to this
  // open file and goes away with its last close.
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool apply_line_settings(int fd) noexcept {
  termios current{};
  if (::tcgetattr(fd, &current) != 0) return false;
  const termios wanted = line_settings(current);
  int result;
  do {
    result = ::tcsetattr(fd, TCSANOW, &wanted);
  } while (result != 0 && errno == EINTR);
  // A pseudo-terminal that is already raw refuses with EINVAL when parity is
  // the only change asked for (it cannot keep parity bits); what was applied
  // is judged by reading it back.
  if (result != 0 && errno != EINVAL) return false;
  termios applied{};
  if (::tcgetattr(fd, &applied) != 0) return false;
  return settings_took(wanted, applied);
}

// Releases what open_device took, for a port whose exclusive mode is ours.
bool release(int fd) noexcept {
  // TIOCEXCL belongs to the terminal, not to our descriptor: it stays set
  // while any other descriptor keeps the terminal open (the other side of a
  // pseudo-terminal, a getty), and would then refuse every later open of the
  // port. The lock goes with the close.
  ::ioctl(fd, TIOCNXCL);
  // After EINTR the descriptor is closed all the same on Linux.
  return ::close(fd) == 0 || errno == EINTR;
}

// Waits until the port takes more output; false when it does not within the
// silence limit, reports an error or `wake` becomes readable.
bool wait_writable(int fd, int wake) noexcept {
  std::array<pollfd, 2> entries{pollfd{fd, POLLOUT, 0}, pollfd{wake, POLLIN, 0}};
  const int ready = ::poll(entries.data(), entries.size(), static_cast<int>(kSilenceLimitMs));
  if (ready < 0) return errno == EINTR;
  return ready > 0 && entries[1].revents == 0 && (entries[0].revents & POLLOUT) != 0 &&
         (entries[0].revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

}  // namespace

bool com_device_path(int index, std::span<char> out) noexcept {
  if (!com_mapping(index, out)) return false;
  if (out[0] != '\0') return true;
  std::size_t at = 0;
  const char device_digit[] = {static_cast<char>('0' + index - 1), '\0'};
  return put(out, at, kDefaultDevice) && put(out, at, device_digit);
}

termios line_settings(const termios& current) noexcept {
  termios t = current;
  // Raw: every byte passes as it came, nothing is translated, echoed or
  // taken as a control character. Parity errors are not marked or checked:
  // bytes are delivered as the line received them.
  t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                 kInputUpperToLower | IXON | IXOFF | IXANY);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  // 8 data bits, even parity, 1 stop bit, no hardware handshake; receiver
  // on; carrier and the other modem status lines ignored.
  t.c_cflag &= ~(CSIZE | CSTOPB | PARODD | kMarkSpaceParity | CRTSCTS);
  t.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
  // The descriptor is non-blocking and waited on with poll(): a read takes
  // what is waiting and returns.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  ::cfsetispeed(&t, B9600);
  ::cfsetospeed(&t, B9600);
  return t;
}

bool settings_took(const termios& wanted, const termios& applied) noexcept {
  return applied.c_iflag == wanted.c_iflag && applied.c_oflag == wanted.c_oflag &&
         applied.c_lflag == wanted.c_lflag &&
         (applied.c_cflag & ~kParityBits) == (wanted.c_cflag & ~kParityBits) &&
         ::cfgetispeed(&applied) == ::cfgetispeed(&wanted) &&
         ::cfgetospeed(&applied) == ::cfgetospeed(&wanted) &&
         applied.c_cc[VMIN] == wanted.c_cc[VMIN] && applied.c_cc[VTIME] == wanted.c_cc[VTIME];
}

bool com_device_name(int index, const char* /*name_as_given*/, std::span<char> out) noexcept {
  return com_device_path(index, out);
}

int32_t open_com_device(int index, const char* /*name_as_given*/, OpenFailure* why) noexcept {
  char path[PATH_MAX];
  if (!com_device_path(index, path)) {
    if (why != nullptr) why->say("the device path is too long");
    return 0;
  }
  return open_device(path, why);
}

int32_t open_device(const char* path, OpenFailure* why) noexcept {
  OpenFailure ignored;
  OpenFailure& failure = why != nullptr ? *why : ignored;
  if (path == nullptr || *path == '\0') return 0;
  // Non-blocking: a port without carrier must not hold up the open.
  const int opened = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (opened < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      failure.say("missing");
    } else if (errno == EACCES || errno == EPERM) {
      failure.say("permission denied");
    } else if (errno == EBUSY) {
      failure.say("busy");
    } else {
      failure.say("%s", std::strerror(errno));
    }
    return 0;
  }
  const int fd = move_off_zero(opened);
  if (fd < 0) {
    failure.say("no descriptor left");
    return 0;
  }
  // Lock before touching the line, so a port in use keeps its settings. The
  // exclusive mode is not ours yet, so a failure here closes plainly: clearing
  // it would clear the owner's.
  const bool locked = lock_exclusively(fd);
  if (!locked) {
    failure.say("busy");
  } else if (!::isatty(fd)) {
    failure.say("not a terminal");
  }
  if (!locked || !apply_line_settings(fd) || ::ioctl(fd, TIOCEXCL) != 0) {
    failure.say("could not be set up as a serial port");
    ::close(fd);
    return 0;
  }
  return fd;
}

bool close_device(int32_t handle) noexcept {
  if (handle <= 0) return false;
  return release(handle);
}

SerialDevice::SerialDevice(int32_t handle) noexcept : handle_(handle) {
  // Without the pipe (out of descriptors) a wait cannot be woken: a call in
  // flight on a handle being closed then ends with its silence limit.
  if (::pipe2(wake_.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    wake_ = {-1, -1};
    return;
  }
  // Never in the slots of standard input, output and error, should the host
  // have closed them: what it writes there must not land in the pipe.
  for (int& fd : wake_) {
    if (fd > STDERR_FILENO) continue;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    fd = moved;
  }
}

SerialDevice::~SerialDevice() {
  for (const int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

void SerialDevice::cancel() noexcept {
  cancelled_.store(true, std::memory_order_relaxed);
  // The byte stays unread: every later wait wakes at once too.
  const uint8_t wake = 1;
  if (wake_[1] >= 0) (void)!::write(wake_[1], &wake, 1);
}

bool SerialDevice::write_all(std::span<const uint8_t> bytes) noexcept {
  if (cancelled_.load(std::memory_order_relaxed)) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(handle_, bytes.data() + done, bytes.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_writable(handle_, wake_[0])) return false;
    } else {
      return false;
    }
  }
  return true;
}

int32_t SerialDevice::bytes_waiting() noexcept {
  int waiting = 0;
  if (::ioctl(handle_, FIONREAD, &waiting) != 0) return -1;
  return waiting;
}

int32_t SerialDevice::read(std::span<uint8_t> into) noexcept {
  const std::size_t wanted = std::min<std::size_t>(into.size(), INT32_MAX);
  for (;;) {
    const ssize_t got = ::read(handle_, into.data(), wanted);
    if (got >= 0) return static_cast<int32_t>(got);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) return -1;
  }
}

BytePort::Wait SerialDevice::wait_readable(uint32_t timeout_ms) noexcept {
  // A negative descriptor (no wake pipe) is left out by poll().
  std::array<pollfd, 2> entries{pollfd{handle_, POLLIN, 0}, pollfd{wake_[0], POLLIN, 0}};
  const int ready = ::poll(entries.data(), entries.size(),
                           static_cast<int>(std::min<uint32_t>(timeout_ms, INT_MAX)));
  // An interrupted wait counts as a short one: the caller measures the time.
  if (ready < 0) return errno == EINTR ? Wait::timeout : Wait::failed;
  if (entries[1].revents != 0) return Wait::failed;
  if (ready == 0) return Wait::timeout;
  const pollfd& entry = entries[0];
  if ((entry.revents & POLLNVAL) != 0) return Wait::failed;
  // After a hang-up, what was received can still be read; once it is gone
  // the port is dead (a hung-up terminal keeps reporting itself readable).
  if ((entry.revents & (POLLERR | POLLHUP)) != 0) {
    return bytes_waiting() > 0 ? Wait::readable : Wait::failed;
  }
  return Wait::readable;
}

void SerialDevice::discard_input() noexcept {
  ::tcflush(handle_, TCIFLUSH);
}

}  // namespace vorkand::link::serial
