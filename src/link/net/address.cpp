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

// A part that inet_aton would read as a number: decimal, octal (leading 0)
// or hexadecimal (0x).
bool numeric_part(std::string_view part) noexcept {
  bool (*digit)(char) = is_digit;
  if (part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    part.remove_prefix(2);
    digit = is_hex;
  }
  if (part.empty()) return false;
  for (const char c : part) {
    if (!digit(c)) return false;
  }
  return true;
}

// Whether `host` has the shape of an IPv4 address in any form the resolver
// takes: every dot-separated part a number (a trailing dot allowed).
bool looks_numeric(std::string_view host) noexcept {
  if (host.ends_with('.')) host.remove_suffix(1);
  for (std::size_t at = 0; at <= host.size();) {
    std::size_t dot = host.find('.', at);
    if (dot == std::string_view::npos) dot = host.size();
    const std::string_view part = host.substr(at, dot - at);
    if (!numeric_part(part)) return false;
    at = dot + 1;
  }
  return true;
}

// Exactly four decimal numbers 0..255 without leading zeros.
bool dotted_decimal(std::string_view host) noexcept {
  int parts = 0;
  for (std::size_t at = 0; at <= host.size(); ++parts) {
    std::size_t dot = host.find('.', at);
    if (dot == std::string_view::npos) dot = host.size();
    const std::string_view part = host.substr(at, dot - at);
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    int value = 0;
    for (const char c : part) {
      if (!is_digit(c)) return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return false;
    at = dot + 1;
  }
  return parts == 4;
}

}  // namespace

bool parse_net_address(std::string_view mapping, NetAddress& out, const char** why) noexcept {
  const char* ignored = nullptr;
  const char*& reason = why != nullptr ? *why : ignored;
  reason = "not HOST:PORT (a name, an IPv4 address or [IPv6], and a port 1 to 65535)";
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
    parsed.numeric = true;
    if (host.find(':') == std::string_view::npos || !copy_host(host, ipv6_char, parsed)) {
      return false;
    }
  } else {
    const std::size_t colon = mapping.find(':');
    if (colon == std::string_view::npos) return false;
    host = mapping.substr(0, colon);
    port = mapping.substr(colon + 1);
    if (!copy_host(host, name_char, parsed)) return false;
    if (looks_numeric(host) && !dotted_decimal(host)) {
      reason =
          "not a dotted-decimal IPv4 address (four numbers 0 to 255, no leading zeros; octal, "
          "hexadecimal and short forms are refused)";
      return false;
    }
    parsed.numeric = dotted_decimal(host);
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
