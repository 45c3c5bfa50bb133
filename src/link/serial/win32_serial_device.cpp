// The Windows serial device behind the byte port seam.
//
// A port is opened by the name as the caller gave it ("COM1", "com1", ...),
// or, when VORKAND_COMn (or vorkand.ini) maps it to another port ("COM7",
// "\\.\COM12", any case), by that port's device name \\.\COMn; a mapping
// that names no port opens nothing. Either way without sharing, so a second
// open of a port in use fails. Its settings are
// fetched, changed by the mode string "baud=9600 parity=E data=8 stop=1" (which
// also turns XON/XOFF and hardware flow control off) and put back; nothing
// else is set: no time-outs, queue sizes or modem lines. Reads take only the
// bytes ClearCommError reports waiting, so they never block, whatever the
// port's time-outs are.
//
// The handle: a kernel HANDLE always fits in 32 bits (sign-extended), also in
// a 64-bit process, so it travels through the C boundary as an int32_t.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "link/environment.h"
#include "link/serial/serial_device.h"

namespace vorkand::link::serial {
namespace {

// How long wait_readable sleeps between two polls of the input queue: short
// against the 5000 ms silence limit, long enough to leave the processor idle.
constexpr DWORD kPollPauseMs = 1;

HANDLE to_handle(int32_t handle) noexcept {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

// 0 when `h` cannot travel as a 32-bit value (never expected of a kernel handle).
int32_t from_handle(HANDLE h) noexcept {
  const auto value = static_cast<int32_t>(reinterpret_cast<intptr_t>(h));
  return to_handle(value) == h ? value : 0;
}

// The number of received bytes waiting, or -1 when the port refused the query
// (closed, removed, not a serial port). Also clears any pending line error, so
// that reception goes on after a parity, framing or overrun error.
int32_t queued_input(HANDLE h) noexcept {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(h, &errors, &status)) return -1;
  return static_cast<int32_t>(status.cbInQue);
}

// Applies the reader's line settings on top of what the port has.
bool configure(HANDLE h) noexcept {
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(h, &dcb)) return false;
  if (!BuildCommDCBA("baud=9600 parity=E data=8 stop=1", &dcb)) return false;
  return SetCommState(h, &dcb) != 0;
}

// Opens and configures; the handle, or 0 with nothing left open and the
// reason in `why` when given.
int32_t open_and_configure(const char* name, OpenFailure* why) noexcept {
  OpenFailure ignored;
  OpenFailure& failure = why != nullptr ? *why : ignored;
  if (name == nullptr) return 0;
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      failure.say("missing");
    } else if (error == ERROR_ACCESS_DENIED) {
      // A COM port another program holds answers "access denied".
      failure.say("busy or permission denied");
    } else if (error == ERROR_SHARING_VIOLATION) {
      failure.say("busy");
    } else {
      failure.say("could not be opened (error %lu)", static_cast<unsigned long>(error));
    }
    return 0;
  }
  const int32_t handle = from_handle(h);
  if (handle == 0 || !configure(h)) {
    failure.say("could not be set up as a serial port");
    CloseHandle(h);
    return 0;
  }
  return handle;
}

// "\\.\COMn" for a mapping that names port n (1..255): "COM7", "com12",
// "\\.\COM7"; false for anything else.
bool port_device_name(std::string_view mapping, std::span<char> out) noexcept {
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  if (mapping.starts_with(kDevicePrefix)) mapping.remove_prefix(kDevicePrefix.size());
  if (mapping.size() < 4 || mapping.size() > 6) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if ((mapping[i] | 0x20) != "com"[i]) return false;
  }
  const std::string_view digits = mapping.substr(3);
  unsigned number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  if (digits[0] == '0' || number > 255) return false;
  const int written = std::snprintf(out.data(), out.size(), "\\\\.\\COM%u", number);
  return written > 0 && static_cast<std::size_t>(written) < out.size();
}

}  // namespace

bool com_device_name(int index, const char* name_as_given, std::span<char> out) noexcept {
  if (out.empty() || name_as_given == nullptr) return false;
  std::array<char, 4096> mapping{};
  if (!com_mapping(index, mapping)) return false;
  if (mapping[0] != '\0') return port_device_name(mapping.data(), out);
  const std::size_t length = std::strlen(name_as_given);
  if (length >= out.size()) return false;
  std::memcpy(out.data(), name_as_given, length + 1);
  return true;
}

int32_t open_com_device(int index, const char* name_as_given, OpenFailure* why) noexcept {
  std::array<char, 32> device{};
  if (!com_device_name(index, name_as_given, device)) {
    if (why != nullptr) why->say("not a COM port name");
    return 0;
  }
  return open_and_configure(device.data(), why);
}

int32_t open_device(const char* path, OpenFailure* why) noexcept {
  return open_and_configure(path, why);
}

bool close_device(int32_t handle) noexcept {
  if (handle == 0) return false;
  return CloseHandle(to_handle(handle)) != 0;
}

SerialDevice::SerialDevice(int32_t handle) noexcept : handle_(handle) {}

SerialDevice::~SerialDevice() = default;

// A wait polls the input queue every millisecond and looks at the flag each time.
void SerialDevice::cancel() noexcept {
  cancelled_.store(true, std::memory_order_relaxed);
}

bool SerialDevice::write_all(std::span<const uint8_t> bytes) noexcept {
  if (cancelled_.load(std::memory_order_relaxed)) return false;
  HANDLE h = to_handle(handle_);
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(bytes.size());
    if (!WriteFile(h, bytes.data(), chunk, &written, nullptr)) return false;
    // A write that takes nothing would repeat forever: treat it as refused.
    if (written == 0 || written > chunk) return false;
    bytes = bytes.subspan(written);
  }
  return true;
}

int32_t SerialDevice::bytes_waiting() noexcept {
  return queued_input(to_handle(handle_));
}

int32_t SerialDevice::read(std::span<uint8_t> into) noexcept {
  HANDLE h = to_handle(handle_);
  const int32_t waiting = queued_input(h);
  if (waiting <= 0) return waiting;
  // Only bytes already waiting: ReadFile returns at once with them.
  const auto wanted = static_cast<DWORD>(std::min(static_cast<std::size_t>(waiting), into.size()));
  if (wanted == 0) return 0;
  DWORD got = 0;
  if (!ReadFile(h, into.data(), wanted, &got, nullptr)) return -1;
  return static_cast<int32_t>(got);
}

BytePort::Wait SerialDevice::wait_readable(uint32_t timeout_ms) noexcept {
  HANDLE h = to_handle(handle_);
  const DWORD start = GetTickCount();
  for (;;) {
    if (cancelled_.load(std::memory_order_relaxed)) return Wait::failed;
    const int32_t waiting = queued_input(h);
    if (waiting < 0) return Wait::failed;
    if (waiting > 0) return Wait::readable;
    // Unsigned difference: a wrap of the tick counter does not disturb it.
    if (static_cast<DWORD>(GetTickCount() - start) >= timeout_ms) return Wait::timeout;
    Sleep(kPollPauseMs);
  }
}

void SerialDevice::discard_input() noexcept {
  PurgeComm(to_handle(handle_), PURGE_RXCLEAR);
}

}  // namespace vorkand::link::serial
