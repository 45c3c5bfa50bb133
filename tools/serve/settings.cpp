#include "settings.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cstring>
#include <set>

namespace vorkand::serve {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_loopback(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) && v6.sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

}  // namespace

std::optional<Fingerprint> parse_fingerprint(std::string_view text) {
  Fingerprint fingerprint{};
  std::size_t count = 0;
  int high = -1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':') {
      // Colons only between pairs.
      if (high >= 0 || i == 0 || i + 1 == text.size()) return std::nullopt;
      continue;
    }
    const int digit = hex_digit(c);
    if (digit < 0) return std::nullopt;
    if (high < 0) {
      high = digit;
    } else {
      if (count == fingerprint.size()) return std::nullopt;
      fingerprint[count++] = static_cast<uint8_t>(high << 4 | digit);
      high = -1;
    }
  }
  if (high >= 0 || count != fingerprint.size()) return std::nullopt;
  return fingerprint;
}

std::string fingerprint_text(const Fingerprint& fingerprint) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const uint8_t byte : fingerprint) {
    if (!text.empty()) text += ':';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

ConfigResult parse_config(std::string_view text, std::string_view file_name) {
  ConfigResult result;
  int line_number = 0;
  std::set<std::string, std::less<>> seen_keys;
  std::set<std::string, std::less<>> names;
  auto fail = [&](const std::string& what) {
    result.readers.clear();
    result.error = std::string(file_name) + ":" + std::to_string(line_number) + ": " + what;
    return result;
  };
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    line = trim(line);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail("a section header is [NAME]");
      const std::string_view name = trim(line.substr(1, line.size() - 2));
      if (name.empty()) return fail("a section needs a name: [NAME]");
      for (const char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
          return fail("section names are letters, digits, '-', '_' and '.'");
      }
      if (!names.emplace(name).second) return fail("section [" + std::string(name) + "] again");
      ReaderSettings settings;
      settings.name = name;
      settings.line = line_number;
      result.readers.push_back(std::move(settings));
      seen_keys.clear();
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return fail("expected KEY = VALUE or [NAME]");
    const std::string_view key = trim(line.substr(0, equals));
    const std::string_view value = trim(line.substr(equals + 1));
    if (result.readers.empty())
      return fail("'" + std::string(key) + "' before the first [section]");
    ReaderSettings& settings = result.readers.back();
    if (value.empty()) return fail("'" + std::string(key) + "' has no value");
    if (key == "allow") {
      const auto fingerprint = parse_fingerprint(value);
      if (!fingerprint)
        return fail(
            "allow: not a SHA-256 fingerprint (32 hex pairs, as openssl x509 "
            "-fingerprint -sha256 prints them)");
      settings.allow.push_back(*fingerprint);
      continue;
    }
    std::string* field = key == "listen"      ? &settings.listen
                         : key == "reader"    ? &settings.reader
                         : key == "cert"      ? &settings.cert
                         : key == "key"       ? &settings.key
                         : key == "client-ca" ? &settings.client_ca
                                              : nullptr;
    if (field == nullptr)
      return fail("unknown key '" + std::string(key) +
                  "' (the keys are listen, reader, cert, key, client-ca and allow)");
    if (!seen_keys.emplace(key).second)
      return fail("'" + std::string(key) + "' again in this section");
    *field = value;
  }
  line_number = 0;
  for (const ReaderSettings& settings : result.readers) {
    line_number = settings.line;
    if (settings.listen.empty()) return fail("[" + settings.name + "] has no listen = HOST:PORT");
    if (settings.reader.empty()) return fail("[" + settings.name + "] has no reader = MAPPING");
  }
  if (result.readers.empty()) {
    line_number = std::max(line_number, 1);
    return fail("no [section]: nothing to serve");
  }
  return result;
}

std::optional<std::string> resolve_listen(std::string_view listen, ListenAddress& out) {
  std::string host;
  std::string_view port_text;
  if (listen.starts_with('[')) {
    const std::size_t close = listen.find(']');
    if (close == std::string_view::npos || close + 1 >= listen.size() || listen[close + 1] != ':')
      return "listen " + std::string(listen) + ": write an IPv6 address as [ADDRESS]:PORT";
    host = listen.substr(1, close - 1);
    port_text = listen.substr(close + 2);
  } else {
    const std::size_t colon = listen.rfind(':');
    if (colon == std::string_view::npos || listen.find(':') != colon)
      return "listen " + std::string(listen) + ": expected HOST:PORT ([ADDRESS]:PORT for IPv6)";
    host = listen.substr(0, colon);
    port_text = listen.substr(colon + 1);
  }
  unsigned port = 0;
  if (port_text.empty() || port_text.size() > 5)
    return "listen " + std::string(listen) + ": no port";
  for (const char c : port_text) {
    if (c < '0' || c > '9') return "listen " + std::string(listen) + ": the port is a number";
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port > 65535 || host.empty())
    return "listen " + std::string(listen) + ": expected HOST:PORT with PORT 0 to 65535";

  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0 || found == nullptr)
    return "listen " + std::string(listen) + ": " + ::gai_strerror(status);
  const addrinfo* chosen = found;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      chosen = a;
      break;
    }
  }
  out = {};
  std::memcpy(&out.address, chosen->ai_addr, chosen->ai_addrlen);
  out.size = chosen->ai_addrlen;
  ::freeaddrinfo(found);
  std::array<char, INET6_ADDRSTRLEN> name{};
  if (out.address.ss_family == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(out.address);
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    ::inet_ntop(AF_INET6, &v6.sin6_addr, name.data(), name.size());
    out.text = "[" + std::string(name.data()) + "]:" + std::to_string(port);
  } else if (out.address.ss_family == AF_INET) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(out.address);
    v4.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_ntop(AF_INET, &v4.sin_addr, name.data(), name.size());
    out.text = std::string(name.data()) + ":" + std::to_string(port);
  } else {
    return "listen " + std::string(listen) + ": neither IPv4 nor IPv6";
  }
  out.loopback = is_loopback(out.address);
  return std::nullopt;
}

std::optional<std::string> check_settings(const ReaderSettings& settings,
                                          const ListenAddress& address) {
  const std::string who = "[" + settings.name + "] ";
  if (settings.reader.empty()) return who + "no reader to serve: give --reader MAPPING";
  const int given = !settings.cert.empty() + !settings.key.empty() + !settings.client_ca.empty();
  if (given == 0) {
    if (!settings.allow.empty())
      return who +
             "--allow narrows the client certificates TLS accepts: it needs --cert, --key "
             "and --client-ca";
    if (!address.loopback)
      return who + "listen " + address.text +
             ": plain TCP is served on loopback addresses only (127.0.0.0/8, ::1: for an SSH "
             "tunnel); anywhere else clients must prove who they are: give --cert, --key and "
             "--client-ca for TLS with client certificates";
    return std::nullopt;
  }
  if (given != 3)
    return who +
           "TLS needs all three of --cert, --key and --client-ca: the server's certificate, "
           "its key, and the CA that client certificates must verify against (missing: " +
           (settings.cert.empty() ? "--cert " : "") + (settings.key.empty() ? "--key " : "") +
           (settings.client_ca.empty() ? "--client-ca" : "") + ")";
  return std::nullopt;
}

}  // namespace vorkand::serve
