// The channel opener: for COM1..COM4, the port's mapping chooses the kind of
// port, and each kind opens its own channel. A mapping with none of the kinds' prefixes is a
// serial device (on POSIX its path, unset: /dev/ttyS<n-1>; on Windows a port
// name such as COM7, unset: the port by the name as given).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "link/channel_opener.h"
#include "link/environment.h"
#include "link/handles.h"
#include "link/net/address.h"
#include "link/net/net_channel.h"
#include "link/pcsc/pcsc_channel.h"
#include "link/serial/serial_channel.h"
#include "link/serial/serial_device.h"

namespace vorkand::link {
namespace {

// A kind of port other than the serial device, chosen by the mapping's prefix.
// `open` gets the whole mapping and returns the channel, or nullptr with
// nothing left open and the reason in its OpenFailure.
struct PortKind {
  std::string_view prefix;
  Channel* (*open)(const char* mapping, OpenFailure& why) noexcept;
};

// A PC/SC reader has no number of its own from the system: it gets one
// that no open port holds.
Channel* open_pcsc(const char* mapping, OpenFailure& why) noexcept {
  return pcsc::open_pcsc(mapping, unused_handle(), why);
}

constexpr std::array kKinds{
    PortKind{pcsc::kPcscPrefix, open_pcsc},            // a PC/SC reader: pcsc:NAME
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
    if (serial::com_device_name(index, name_as_given, mapping)) why.set_device(mapping.data());
    channel = serial::open_serial(index, name_as_given, why);
  }
  if (channel != nullptr) channel->set_mapped_by(source.data());
  return channel;
}

Channel* open_mapped(const char* mapping, OpenFailure& why) noexcept {
  why.set_device(mapping);
  if (const PortKind* kind = kind_of(mapping)) return kind->open(mapping, why);
  return serial::open_serial(0, mapping, why);
}

}  // namespace vorkand::link
