// Placeholder until the POSIX port lands.
#include "link/system_port.h"

namespace vorkand::link {

int32_t open_com_port(int, const char*) noexcept {
  return 0;
}
int32_t open_device(const char*) noexcept {
  return 0;
}
bool close_port(int32_t) noexcept {
  return false;
}
bool SystemPort::write_all(std::span<const uint8_t>) noexcept {
  return false;
}
int32_t SystemPort::bytes_waiting() noexcept {
  return -1;
}
int32_t SystemPort::read(std::span<uint8_t>) noexcept {
  return -1;
}
Port::Wait SystemPort::wait_readable(uint32_t) noexcept {
  return Wait::failed;
}
void SystemPort::discard_input() noexcept {}
uint32_t SystemClock::now_ms() noexcept {
  return 0;
}

}  // namespace vorkand::link
