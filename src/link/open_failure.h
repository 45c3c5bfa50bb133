// Why CT_open failed, in a few words for the trace ("connection refused",
// "no reader matches \"CCID\" (readers: ...)"): a fixed buffer on the opening
// call's stack that the opener of each kind of port fills where it gives up.
// The first reason set stays: the deepest cause is named, not its echo.
#pragma once

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vorkand::link {

class OpenFailure {
 public:
  static constexpr std::size_t kRoom = 512;

#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  void
  say(const char* format, ...) noexcept {
    if (text_[0] != '\0') return;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text_.data(), text_.size(), format, arguments);
    va_end(arguments);
  }
  bool empty() const noexcept {
    return text_[0] == '\0';
  }
  const char* text() const noexcept {
    return text_.data();
  }

  // What the port was mapped to (a device path, "pcsc:NAME", an address).
  void set_device(const char* device) noexcept {
    const std::size_t length = std::min(std::strlen(device), device_.size() - 1);
    std::memcpy(device_.data(), device, length);
    device_[length] = '\0';
  }
  const char* device() const noexcept {
    return device_.data();
  }

 private:
  std::array<char, kRoom> text_{};
  std::array<char, kRoom> device_{};
};

}  // namespace vorkand::link
