#include "link/net/address.h"

#include <cstdio>

namespace vorkand::link::net {
namespace {

bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}
bool is_letter(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_hex(char c) noexcept {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
char lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool parse_port(std::string_view text, uint16_t& port) noexcept {
  if (text.empty() || text.size() > 5 || text[0] == '0') return false;
  uint32_t value = 0;
  for (const char c : text) {
    if (!is_digit(c)) return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

bool copy_host(std::string_view host, bool (*allowed)(char), NetAddress& out) noexcept {
  if (host.empty() || host.size() > NetAddress::kMaxHost) return false;
  std::size_t at = 0;
  for (const char c : host) {
    if (!allowed(c)) return false;
    out.host[at++] = lower(c);
  }
  out.host[at] = '\0';
  return true;
}

bool name_char(char c) noexcept {
  return is_letter(c) || is_digit(c) || c == '-' || c == '.';
}
bool ipv6_char(char c) noexcept {
  return is_hex(c) || c == ':' || c == '.';
}

}  // namespace

bool parse_net_address(std::string_view mapping, NetAddress& out) noexcept {
  NetAddress parsed;
  struct Scheme {
    std::string_view prefix;
    bool telnet;
    bool tls;
  };
  constexpr Scheme kSchemes[] = {{kRfc2217Prefix, true, false},
                                 {kTcpPrefix, false, false},
                                 {kRfc2217sPrefix, true, true},
                                 {kTlsPrefix, false, true}};
  const Scheme* scheme = nullptr;
  for (const Scheme& candidate : kSchemes) {
    if (mapping.starts_with(candidate.prefix)) scheme = &candidate;
  }
  if (scheme == nullptr) return false;
  parsed.telnet = scheme->telnet;
  parsed.tls = scheme->tls;
  mapping.remove_prefix(scheme->prefix.size());
  std::string_view host;
  std::string_view port;
  if (mapping.starts_with('[')) {
    const std::size_t close = mapping.find(']');
    if (close == std::string_view::npos || close + 1 >= mapping.size() ||
        mapping[close + 1] != ':') {
      return false;
    }
    host = mapping.substr(1, close - 1);
    port = mapping.substr(close + 2);
    parsed.bracketed = true;
    if (host.find(':') == std::string_view::npos || !copy_host(host, ipv6_char, parsed)) {
      return false;
    }
  } else {
    const std::size_t colon = mapping.find(':');
    if (colon == std::string_view::npos) return false;
    host = mapping.substr(0, colon);
    port = mapping.substr(colon + 1);
    if (!copy_host(host, name_char, parsed)) return false;
  }
  if (!parse_port(port, parsed.port)) return false;
  out = parsed;
  return true;
}

void address_key(const NetAddress& address, std::array<char, kMaxAddressKey>& out) noexcept {
  std::snprintf(out.data(), out.size(), address.bracketed ? "[%s]:%u" : "%s:%u",
                address.host.data(), static_cast<unsigned>(address.port));
}

}  // namespace vorkand::link::net
