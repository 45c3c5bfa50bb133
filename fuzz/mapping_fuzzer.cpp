// What a COM port's mapping can name, fed arbitrary text:
//   - the port name (COM1..COM4, either case) by a plain model, read from a
//     C string no further than a port name can go;
//   - the network address (rfc2217://, tcp://, rfc2217s://, tls:// HOST:PORT)
//     by a model written from the forms alone: accepted exactly when the
//     model accepts (a host of numbers and dots only in dotted decimal),
//     with the same scheme, host (lower case, no brackets), numeric flag and
//     port; its key "HOST:PORT" parsed again gives the same address;
//   - the PC/SC reader a "pcsc:NAME" chooses among listed names (exactly
//     equal first, else the only one containing NAME, empty: the first),
//     with a reader list that may grow between PC/SC's two list calls and
//     that need not end as PC/SC promises; the chosen name is written into
//     a buffer at the end of its own heap block.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "link/net/address.h"
#include "link/pcsc/card_session.h"
#include "link/reader_wire.h"

namespace {

using vorkand::fuzz::check;
namespace net = vorkand::link::net;
namespace pc = vorkand::link::pcsc;

int model_com_index(std::string_view name) {
  const std::size_t end = name.find('\0');
  if (end != std::string_view::npos) name = name.substr(0, end);
  if (name.size() != 4) return 0;
  for (int i = 0; i < 3; ++i) {
    if ((name[i] & ~0x20) != "COM"[i] || !((name[i] | 0x20) >= 'a' && (name[i] | 0x20) <= 'z'))
      return 0;
  }
  return name[3] >= '1' && name[3] <= '4' ? name[3] - '0' : 0;
}

// Every dot-separated part (one trailing dot aside) a number as the system's
// resolver reads one: decimal, octal, or 0x and hex digits.
bool model_numeric_shape(std::string_view host) {
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = host.find('.', start);
    std::string_view part =
        host.substr(start, dot == std::string_view::npos ? host.npos : dot - start);
    bool hex = false;
    if (part.size() > 2 && part[0] == '0' && (part[1] | 0x20) == 'x') {
      part.remove_prefix(2);
      hex = true;
    }
    if (part.empty()) return false;
    for (char c : part) {
      if (!(hex ? std::isxdigit(static_cast<unsigned char>(c))
                : std::isdigit(static_cast<unsigned char>(c))))
        return false;
    }
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

// Four decimal numbers 0..255, no leading zeros.
bool model_dotted_decimal(std::string_view host) {
  int parts = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = host.find('.', start);
    const std::string_view part =
        host.substr(start, dot == std::string_view::npos ? host.npos : dot - start);
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    for (char c : part)
      if (c < '0' || c > '9') return false;
    if (std::stoi(std::string(part)) > 255) return false;
    ++parts;
    if (dot == std::string_view::npos) return parts == 4;
    start = dot + 1;
  }
}

struct ModelAddress {
  bool telnet, tls, bracketed, numeric;
  std::string host;
  unsigned port;
};

std::optional<ModelAddress> model_address(std::string_view text) {
  ModelAddress a{};
  if (text.starts_with("rfc2217://")) {
    a.telnet = true;
    text.remove_prefix(10);
  } else if (text.starts_with("rfc2217s://")) {
    a.telnet = a.tls = true;
    text.remove_prefix(11);
  } else if (text.starts_with("tcp://")) {
    text.remove_prefix(6);
  } else if (text.starts_with("tls://")) {
    a.tls = true;
    text.remove_prefix(6);
  } else {
    return std::nullopt;
  }
  std::string_view host;
  std::string_view port;
  const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  const auto alnum = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    if (close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
    port = text.substr(close + 2);
    if (host.find(':') == std::string_view::npos) return std::nullopt;
    for (char c : host)
      if (!hex(c) && c != ':' && c != '.') return std::nullopt;
    a.bracketed = a.numeric = true;
  } else {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    for (char c : host)
      if (!alnum(c) && c != '-' && c != '.') return std::nullopt;
    if (!host.empty() && host.size() <= 253) {
      a.numeric = model_dotted_decimal(host);
      if (model_numeric_shape(host) && !a.numeric) return std::nullopt;
    }
  }
  if (host.empty() || host.size() > 253) return std::nullopt;
  if (port.empty() || port.size() > 5 || port[0] == '0') return std::nullopt;
  a.port = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    a.port = a.port * 10 + static_cast<unsigned>(c - '0');
  }
  if (a.port > 65535) return std::nullopt;
  for (char c : host) a.host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return a;
}

void check_address(std::string_view text) {
  net::NetAddress parsed;
  parsed.port = 7;
  const bool ok = net::parse_net_address(text, parsed);
  const auto model = model_address(text);
  check(ok == model.has_value(), "address accepted unlike the model", ok);
  if (!ok) {
    check(parsed.port == 7 && parsed.host[0] == '\0', "a refused address changed the result");
    return;
  }
  check(parsed.telnet == model->telnet && parsed.tls == model->tls, "address scheme");
  check(parsed.bracketed == model->bracketed, "address brackets");
  check(parsed.numeric == model->numeric, "address numeric", parsed.numeric);
  check(parsed.port == model->port, "address port", parsed.port, model->port);
  check(std::string_view(parsed.host.data()) == model->host, "address host");
  std::array<char, net::kMaxAddressKey> key{};
  net::address_key(parsed, key);
  const std::string again = std::string(parsed.tls ? "tls://" : "tcp://") + key.data();
  net::NetAddress reparsed;
  check(net::parse_net_address(again, reparsed), "address key does not parse again");
  check(std::string_view(reparsed.host.data()) == model->host && reparsed.port == parsed.port &&
            reparsed.bracketed == parsed.bracketed,
        "address key parses to another address");
}

// The reader list PC/SC hands out: names, the size it reports, and whether a
// reader arrives between the size query and the copy.
struct ListScript {
  std::string names;  // as PC/SC lays them out, normally "A\0B\0\0"
  std::string grown;  // the list after a reader arrived, if it does
  int calls = 0;
  bool fail_first = false;
};
ListScript* script = nullptr;

pc::Long VORKAND_SCARD_CALL list(pc::Context, const char*, char* out, pc::Dword* length) {
  ListScript& s = *script;
  ++s.calls;
  if (s.fail_first && s.calls == 1) return static_cast<pc::Long>(pc::kNoReadersAvailable);
  // After the first query the list may have grown.
  const std::string& now = (s.calls > 1 && !s.grown.empty()) ? s.grown : s.names;
  if (out == nullptr) {
    *length = static_cast<pc::Dword>(now.size());
    return 0;
  }
  if (*length < now.size()) {
    *length = static_cast<pc::Dword>(now.size());
    return static_cast<pc::Long>(pc::kInsufficientBuffer);
  }
  std::memcpy(out, now.data(), now.size());
  *length = static_cast<pc::Dword>(now.size());
  return 0;
}

// The names of a list as the library should read it: up to the first empty
// name or the reported end.
std::vector<std::string> names_of(const std::string& list) {
  std::vector<std::string> names;
  std::size_t at = 0;
  while (at < list.size() && list[at] != '\0') {
    const std::size_t end = std::min(list.find('\0', at), list.size());
    names.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return names;
}

void check_reader_choice(FuzzedDataProvider& in) {
  ListScript s;
  const uint8_t shape = in.ConsumeIntegral<uint8_t>();
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 6);
  for (std::size_t i = 0; i < count; ++i) {
    s.names += in.ConsumeRandomLengthString(300);
    s.names += '\0';
  }
  if ((shape & 1) == 0) s.names += '\0';  // else the list lacks its final zero
  if (shape & 2) s.grown = s.names.substr(0, s.names.size() - 1) + "Late reader" + '\0' + '\0';
  s.fail_first = (shape & 4) != 0;
  const std::string wanted = in.ConsumeRandomLengthString(300);
  script = &s;

  pc::Functions functions{};
  functions.list_readers = list;
  const std::size_t room = (shape & 8) ? 16 : pc::PcscSession::kMaxReaderName;
  auto chosen = std::make_unique<char[]>(room);
  vorkand::link::OpenFailure why;
  const bool ok = pc::choose_reader(functions, 1, wanted, std::span(chosen.get(), room), why);
  check(s.calls <= 6, "reader list asked for too often", s.calls);
  if (room == pc::PcscSession::kMaxReaderName)
    check(ok || !why.empty(), "a reader refused without a reason");

  // The model: the list the library read last (the grown one, when it grew).
  if (s.fail_first || s.names.empty()) {
    check(!ok, "a reader chosen from no list");
    return;
  }
  const std::vector<std::string> names = names_of(s.grown.empty() ? s.names : s.grown);
  std::optional<std::string> expected;
  int containing = 0;
  for (const std::string& name : names) {
    if (wanted.empty() || name == wanted) {
      expected = name;
      containing = 1;
      break;
    }
    if (name.find(wanted) != std::string::npos) {
      expected = name;
      ++containing;
    }
  }
  const bool model_ok = containing == 1 && expected->size() < room;
  check(ok == model_ok, "reader chosen unlike the model", ok, containing);
  if (ok) check(std::string(chosen.get()) == *expected, "another reader chosen");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The whole input as a port name and as an address, each in a block of its
  // own size (the name zero-terminated, as a C string).
  {
    auto name = std::make_unique<char[]>(size + 1);
    std::memcpy(name.get(), data, size);
    name[size] = '\0';
    const std::string_view text(name.get(), size);
    check(vorkand::link::com_index(name.get()) == model_com_index(text), "port name");
    auto exact = std::make_unique<char[]>(size);
    std::memcpy(exact.get(), data, size);
    check_address(std::string_view(exact.get(), size));
  }
  FuzzedDataProvider in(data, size);
  check_reader_choice(in);
  return 0;
}
