// Opening COM1..COM4: the port's mapping chooses the kind of port, and each
// kind opens its own channel. A mapping with none of the kinds' prefixes is a
// serial device (on POSIX its path, unset: /dev/ttyS<n-1>; on Windows the port
// is opened by the name as given).
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "link/channel.h"
#include "link/environment.h"
#include "link/net/address.h"
#include "link/net/net_channel.h"
#include "link/pcsc/pcsc_channel.h"
#include "link/system_port.h"

namespace vorkand::link {
namespace {

// A serial port of the system; the handle is its descriptor (POSIX) or its
// HANDLE (Windows).
class SerialChannel final : public Channel {
 public:
  SerialChannel(int32_t handle, int index, const char* name_as_given) noexcept
      : Channel(handle), index_(index), port_(handle), transport_(port_, clock_) {
    std::snprintf(name_.data(), name_.size(), "%s", name_as_given);
  }
  Transport& transport() noexcept override { return transport_; }
  bool close() noexcept override { return close_port(handle()); }
  void cancel() noexcept override { port_.cancel(); }
  void describe(std::span<char> out) const noexcept override {
    if (out.empty()) return;
    std::array<char, kMaxDescribedDevice> device{};
    if (!com_device_name(index_, name_.data(), device))
      std::snprintf(device.data(), device.size(), "?");
    std::snprintf(out.data(), out.size(), "serial port %s, 9600 baud 8E1, no flow control",
                  device.data());
  }

 private:
  static constexpr std::size_t kMaxDescribedDevice = 4096;
  int index_;
  std::array<char, 8> name_{};
  SystemPort port_;
  SystemClock clock_;
  SerialTransport transport_;
};

Channel* open_serial(int index, const char* name_as_given) noexcept {
  const int32_t handle = open_com_port(index, name_as_given);
  if (handle == 0) return nullptr;
  Channel* channel = new (std::nothrow) SerialChannel(handle, index, name_as_given);
  if (channel == nullptr) close_port(handle);
  return channel;
}

// A kind of port other than the serial device, chosen by the mapping's prefix.
// `open` gets the whole mapping and returns the channel, or nullptr with
// nothing left open.
struct PortKind {
  std::string_view prefix;
  Channel* (*open)(const char* mapping) noexcept;
};

constexpr std::array kKinds{
    PortKind{pcsc::kPcscPrefix, pcsc::open_pcsc},      // a PC/SC reader: pcsc:NAME
    PortKind{net::kRfc2217Prefix, net::open_rfc2217},  // rfc2217://HOST:PORT
    PortKind{net::kTcpPrefix, net::open_tcp},          // tcp://HOST:PORT
};

// Longest mapping accepted; a longer one opens nothing.
constexpr std::size_t kMaxMapping = 4096;

}  // namespace

bool com_mapping(int index, std::span<char> out) noexcept {
  if (index < 1 || index > 4 || out.empty()) return false;
  char variable[] = "VORKAND_COM0";
  variable[sizeof variable - 2] = static_cast<char>('0' + index);
  return environment(variable, out) != Setting::too_long;
}

Channel* open_channel(int index, const char* name_as_given) noexcept {
  std::array<char, kMaxMapping> mapping{};
  if (!com_mapping(index, mapping)) return nullptr;
  const std::string_view mapped(mapping.data());
  for (const PortKind& kind : kKinds) {
    if (mapped.starts_with(kind.prefix)) return kind.open(mapping.data());
  }
  return open_serial(index, name_as_given);
}

}  // namespace vorkand::link
