// Opening COM1..COM4: the port's mapping chooses the kind of port, and each
// kind opens its own channel. A mapping with none of the kinds' prefixes is a
// serial device (on POSIX its path, unset: /dev/ttyS<n-1>; on Windows a port
// name such as COM7, unset: the port by the name as given).
#include <algorithm>
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
  // `index` 0: a device opened by path, `name_as_given` being that path.
  SerialChannel(int32_t handle, int index, const char* name_as_given) noexcept
      : Channel(handle), index_(index), port_(handle), transport_(port_, clock_) {
    std::snprintf(name_.data(), name_.size(), "%s", name_as_given);
  }
  Transport& transport() noexcept override { return transport_; }
  bool close() noexcept override { return close_port(handle()); }
  // The port wakes its waits through a pipe (POSIX) or a flag (Windows) of
  // its own, never through the descriptor.
  void cancel(bool) noexcept override { port_.cancel(); }
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
  SystemPort port_;
  SystemClock clock_;
  SerialTransport transport_;
};

Channel* open_serial(int index, const char* name_as_given, OpenFailure& why) noexcept {
  const int32_t handle =
      index == 0 ? open_device(name_as_given, &why) : open_com_port(index, name_as_given, &why);
  if (handle == 0) return nullptr;
  Channel* channel = new (std::nothrow) SerialChannel(handle, index, name_as_given);
  if (channel == nullptr) {
    why.say("out of memory");
    close_port(handle);
  }
  return channel;
}

// A kind of port other than the serial device, chosen by the mapping's prefix.
// `open` gets the whole mapping and returns the channel, or nullptr with
// nothing left open and the reason in its OpenFailure.
struct PortKind {
  std::string_view prefix;
  Channel* (*open)(const char* mapping, OpenFailure& why) noexcept;
};

constexpr std::array kKinds{
    PortKind{pcsc::kPcscPrefix, pcsc::open_pcsc},      // a PC/SC reader: pcsc:NAME
    PortKind{net::kRfc2217Prefix, net::open_rfc2217},  // rfc2217://HOST:PORT
    PortKind{net::kTcpPrefix, net::open_tcp},          // tcp://HOST:PORT
    // The same inside TLS: rfc2217s://HOST:PORT, tls://HOST:PORT
    PortKind{net::kRfc2217sPrefix, net::open_rfc2217s},
    PortKind{net::kTlsPrefix, net::open_tls},
};

// The kind a mapping's prefix names, or nullptr: a serial device.
const PortKind* kind_of(std::string_view mapping) noexcept {
  const auto kind = std::find_if(kKinds.begin(), kKinds.end(),
                                 [&](const PortKind& k) { return mapping.starts_with(k.prefix); });
  return kind != kKinds.end() ? &*kind : nullptr;
}

// Longest mapping accepted; a longer one opens nothing.
constexpr std::size_t kMaxMapping = 4096;

}  // namespace

bool com_mapping(int index, std::span<char> out, std::span<char> source) noexcept {
  if (!source.empty()) source[0] = '\0';
  if (index < 1 || index > 4 || out.empty()) return false;
  char variable[] = "VORKAND_COM0";
  variable[sizeof variable - 2] = static_cast<char>('0' + index);
  return environment(variable, out, source) != Setting::too_long;
}

Channel* open_channel(int index, const char* name_as_given, OpenFailure& why) noexcept {
  std::array<char, kMaxMapping> mapping{};
  std::array<char, Channel::kMaxMappedBy> source{};
  if (!com_mapping(index, mapping, source)) {
    why.say("the mapping in VORKAND_COM%d is too long", index);
    return nullptr;
  }
  why.set_device(mapping.data());
  Channel* channel = nullptr;
  if (const PortKind* kind = kind_of(mapping.data())) {
    channel = kind->open(mapping.data(), why);
  } else {
    if (com_device_name(index, name_as_given, mapping)) why.set_device(mapping.data());
    channel = open_serial(index, name_as_given, why);
  }
  if (channel != nullptr) channel->set_mapped_by(source.data());
  return channel;
}

Channel* open_mapped(const char* mapping, OpenFailure& why) noexcept {
  why.set_device(mapping);
  if (const PortKind* kind = kind_of(mapping)) return kind->open(mapping, why);
  return open_serial(0, mapping, why);
}

}  // namespace vorkand::link
