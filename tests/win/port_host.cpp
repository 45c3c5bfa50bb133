// The Win32 serial port on its own, below the frame exchange: opened on COM1
// (a pseudo-terminal under Wine, with e2e_wine.py's scripted reader on the
// other side), then written, waited on, read, purged and closed.
// Prints one line per check; exits 0 when all hold.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

#include "link/clock.h"
#include "link/serial/serial_device.h"

namespace {

using vorkand::link::BytePort;
using vorkand::link::SystemClock;
using vorkand::link::serial::SerialDevice;

int g_failures = 0;

void check(const char* what, bool ok) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++g_failures;
}

constexpr std::array<uint8_t, 8> kReaderReset{0x80, 0x00, 0x04, 0x80, 0x62, 0x00, 0x00, 0x00};
constexpr std::array<uint8_t, 6> kStatusOk{0x80, 0x00, 0x02, 0x90, 0x00, 0x00};
constexpr std::array<uint8_t, 9> kPoll{0x00, 0x49, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
// The scripted reader answers a poll in two pieces, 50 ms apart.
constexpr std::array<uint8_t, 10> kData{0x00, 0x4F, 0x06, 0xDE, 0xAD, 0xBE, 0xEF, 0x90, 0x00, 0x00};

// Gathers exactly `into.size()` bytes, waiting at most 2 s for each arrival.
bool gather(BytePort& port, std::span<uint8_t> into) {
  std::size_t have = 0;
  while (have < into.size()) {
    if (port.wait_readable(2000) != BytePort::Wait::readable) return false;
    const int32_t n = port.read(into.subspan(have));
    if (n < 0) return false;
    have += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main() {
  check("a COM port that does not exist is not opened",
        vorkand::link::serial::open_com_device(9, "COM9") == 0);

  const int32_t handle = vorkand::link::serial::open_com_device(1, "COM1");
  check("COM1 opens and takes 9600 8E1", handle != 0 && handle != -1);
  if (handle == 0) return 1;
  SerialDevice port(handle);
  SystemClock clock;

  const uint32_t before = clock.now_ms();
  check("a silent line times out", port.wait_readable(50) == BytePort::Wait::timeout);
  check("... after the time given, not before", clock.now_ms() - before >= 50);
  check("nothing is waiting", port.bytes_waiting() == 0);

  std::array<uint8_t, kStatusOk.size()> status{};
  check("a whole frame is written", port.write_all(kReaderReset));
  check("the reader's reply is read", gather(port, status) && status == kStatusOk);

  check("a second frame is written", port.write_all(kReaderReset));
  Sleep(300);
  check("its reply waits unread", port.bytes_waiting() == static_cast<int32_t>(kStatusOk.size()));
  port.discard_input();
  check("discard_input drops it", port.bytes_waiting() == 0);

  std::array<uint8_t, kData.size()> data{};
  check("a poll is written", port.write_all(kPoll));
  Sleep(300);
  check("both pieces of the reply are waiting",
        port.bytes_waiting() == static_cast<int32_t>(kData.size()));
  check("a read takes no more than asked", port.read(std::span(data).first(3)) == 3);
  check("the rest stays waiting", port.bytes_waiting() == 7);
  check("a read takes only what is waiting", port.read(std::span(data).subspan(3)) == 7);
  check("the reply came whole and in order", data == kData);

  check("close_device closes", vorkand::link::serial::close_device(handle));
  check("close_device refuses a closed handle", !vorkand::link::serial::close_device(handle));
  check("close_device refuses 0", !vorkand::link::serial::close_device(0));

  // A port that is gone fails at once instead of looking silent.
  const uint32_t dead_since = clock.now_ms();
  check("a closed port reports failure on the query", port.bytes_waiting() < 0);
  check("... on a read", port.read(data) < 0);
  check("... on a wait", port.wait_readable(3000) == BytePort::Wait::failed);
  check("... at once", clock.now_ms() - dead_since < 1000);
  check("... on a write", !port.write_all(kPoll));

  const int32_t by_path = vorkand::link::serial::open_device("\\\\.\\COM1");
  check("open_device opens the port by its device path", by_path != 0);
  check("... and closes it", by_path != 0 && vorkand::link::serial::close_device(by_path));

  return g_failures == 0 ? 0 : 1;
}
