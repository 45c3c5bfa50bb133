// A serial device as a channel.
#include "link/serial/serial_channel.h"

#include <array>
#include <cstdio>
#include <new>

#include "link/clock.h"
#include "link/serial/serial_device.h"
#include "link/transport.h"

namespace vorkand::link::serial {
namespace {

class SerialChannel final : public Channel {
 public:
  // `index` 0: a device opened by path, `name_as_given` being that path.
  SerialChannel(int32_t handle, int index, const char* name_as_given) noexcept
      : Channel(handle), index_(index), device_(handle), transport_(device_, clock_) {
    std::snprintf(name_.data(), name_.size(), "%s", name_as_given);
  }
  Transport& transport() noexcept override { return transport_; }
  bool close() noexcept override { return close_device(handle()); }
  // The device wakes its waits through a pipe (POSIX) or a flag (Windows) of
  // its own, never through the descriptor.
  void cancel(bool) noexcept override { device_.cancel(); }
  void describe(std::span<char> out) const noexcept override {
    if (out.empty()) return;
    std::array<char, kMaxDescribedDevice> device{};
    if (index_ == 0)
      std::snprintf(device.data(), device.size(), "%s", name_.data());
    else if (!com_device_name(index_, name_.data(), device))
      std::snprintf(device.data(), device.size(), "?");
    std::snprintf(out.data(), out.size(), "serial port %s, 9600 baud 8E1, no flow control",
                  device.data());
  }

 private:
  static constexpr std::size_t kMaxDescribedDevice = 4096;
  int index_;
  std::array<char, kMaxDescribedDevice> name_{};
  SerialDevice device_;
  SystemClock clock_;
  BytePortTransport transport_;
};

}  // namespace

Channel* open_serial(int index, const char* name_as_given, OpenFailure& why) noexcept {
  const int32_t handle =
      index == 0 ? open_device(name_as_given, &why) : open_com_device(index, name_as_given, &why);
  if (handle == 0) return nullptr;
  Channel* channel = new (std::nothrow) SerialChannel(handle, index, name_as_given);
  if (channel == nullptr) {
    why.say("out of memory");
    close_device(handle);
  }
  return channel;
}

}  // namespace vorkand::link::serial
