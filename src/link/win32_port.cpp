// The Windows serial port behind the Port seam.
//
// A port is opened by the name as the caller gave it ("COM1", "com1", ...),
// without sharing, so a second open of a port in use fails. Its settings are
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
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "link/system_port.h"

namespace vorkand::link {
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

// Opens and configures; the handle, or 0 with nothing left open.
int32_t open_and_configure(const char* name) noexcept {
  if (name == nullptr) return 0;
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return 0;
  const int32_t handle = from_handle(h);
  if (handle == 0 || !configure(h)) {
    CloseHandle(h);
    return 0;
  }
  return handle;
}

}  // namespace

bool com_device_name(int /*index*/, const char* name_as_given, std::span<char> out) noexcept {
  if (out.empty() || name_as_given == nullptr) return false;
  const std::size_t length = std::strlen(name_as_given);
  if (length >= out.size()) return false;
  std::memcpy(out.data(), name_as_given, length + 1);
  return true;
}

int32_t open_com_port(int /*index*/, const char* name_as_given) noexcept {
  return open_and_configure(name_as_given);
}

int32_t open_device(const char* path) noexcept {
  return open_and_configure(path);
}

bool close_port(int32_t handle) noexcept {
  if (handle == 0) return false;
  return CloseHandle(to_handle(handle)) != 0;
}

SystemPort::SystemPort(int32_t handle) noexcept : handle_(handle) {}

SystemPort::~SystemPort() = default;

// A wait polls the input queue every millisecond and looks at the flag each time.
void SystemPort::cancel() noexcept {
  cancelled_.store(true, std::memory_order_relaxed);
}

bool SystemPort::write_all(std::span<const uint8_t> bytes) noexcept {
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

int32_t SystemPort::bytes_waiting() noexcept {
  return queued_input(to_handle(handle_));
}

int32_t SystemPort::read(std::span<uint8_t> into) noexcept {
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

Port::Wait SystemPort::wait_readable(uint32_t timeout_ms) noexcept {
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

void SystemPort::discard_input() noexcept {
  PurgeComm(to_handle(handle_), PURGE_RXCLEAR);
}

uint32_t SystemClock::now_ms() noexcept {
  return GetTickCount();
}

}  // namespace vorkand::link
