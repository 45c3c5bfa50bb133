// The serial device: the operating system's serial port behind the byte port
// seam. One source file per platform implements everything declared here
// (posix_serial_device.cpp, win32_serial_device.cpp).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "link/byte_port.h"
#include "link/open_failure.h"

namespace vorkand::link::serial {

// Writes the device COM port `index` (1..4) opens into `out`, zero-terminated:
// on POSIX the path VORKAND_COMn names (else /dev/ttyS<index-1>), on Windows
// \\.\COMn for a mapping naming port n (else the name as given). False when
// it does not fit, or on Windows when the mapping names no port.
bool com_device_name(int index, const char* name_as_given, std::span<char> out) noexcept;

// Opens COM port `index` (1..4) exclusively and applies the reader's line
// settings (9600 baud, even parity, 8 data bits, 1 stop bit, no flow control,
// raw). `name_as_given` is the caller's own spelling of the name (Windows opens
// by it; POSIX maps the index to VORKAND_COMn or /dev/ttyS<index-1>).
// Returns the handle, never 0, or 0 with nothing left open and the reason in
// `why` when given ("missing", "permission denied", "not a terminal", "busy").
int32_t open_com_device(int index, const char* name_as_given, OpenFailure* why = nullptr) noexcept;

// Opens a device by path with the same exclusive open and line settings.
int32_t open_device(const char* path, OpenFailure* why = nullptr) noexcept;

// Releases the exclusive lock and closes. False when the system refused.
bool close_device(int32_t handle) noexcept;

// A non-owning view of an open device.
class SerialDevice final : public BytePort {
 public:
  explicit SerialDevice(int32_t handle) noexcept;
  ~SerialDevice() override;
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;
  // Wakes a wait on the port, from another thread, and makes every later
  // write and wait fail: the port is about to be closed.
  void cancel() noexcept;
  bool write_all(std::span<const uint8_t> bytes) noexcept override;
  int32_t bytes_waiting() noexcept override;
  int32_t read(std::span<uint8_t> into) noexcept override;
  Wait wait_readable(uint32_t timeout_ms) noexcept override;
  void discard_input() noexcept override;

 private:
  int32_t handle_;
  std::atomic<bool> cancelled_{false};
  // POSIX: a pipe whose read end (wake_[0]) every wait polls too; cancel()
  // writes into it. Unused on Windows, whose waits look at cancelled_.
  std::array<int, 2> wake_{-1, -1};
};

}  // namespace vorkand::link::serial
