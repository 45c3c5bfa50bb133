// The Telnet/COM-PORT-OPTION codec and the network mappings, as pure units.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "hex.h"
#include "link/net/address.h"
#include "link/net/telnet_codec.h"

namespace vorkand::link::net {
namespace {

using ::vorkand::test::Bytes;
using Kind = Incoming::Kind;

using ::vorkand::test::hex;
using ::vorkand::test::to_hex;

// What the decoder made of a stream: data bytes as "D:.." runs, events by name.
std::string decode_all(TelnetDecoder& decoder, const Bytes& stream) {
  std::string out;
  Bytes data;
  const auto flush = [&] {
    if (data.empty()) return;
    out += "D:" + to_hex(data) + "|";
    data.clear();
  };
  for (const uint8_t byte : stream) {
    const Incoming in = decoder.push(byte);
    if (in.kind == Kind::nothing) continue;
    if (in.kind == Kind::data) {
      data.push_back(in.value);
      continue;
    }
    flush();
    static const char* const kNames[] = {"", "", "WILL", "WONT", "DO", "DONT", "SB", "CMD"};
    out += std::string(kNames[static_cast<int>(in.kind)]) + " " + to_hex(Bytes{in.value});
    if (in.kind == Kind::subnegotiation) out += " [" + to_hex(decoder.body()) + "]";
    out += "|";
  }
  flush();
  return out;
}

TEST(TelnetDecoder, TakesStreamsApartWhateverTheirSplit) {
  struct Case {
    const char* stream;
    const char* expected;
  };
  const Case cases[] = {
      {"01 FF FF 02", "D:01 FF 02|"},
      {"41 FF FD 2C 42", "D:41|DO 2C|D:42|"},
      {"FF FB 00 FF FC 01 FF FE 03", "WILL 00|WONT 01|DONT 03|"},
      {"FF FA 2C 65 00 00 25 80 FF F0 0D 00", "SB 2C [65 00 00 25 80]|D:0D 00|"},
      // 0xFF inside a subnegotiation is doubled too.
      {"FF FA 2C 65 00 00 FF FF FF F0", "SB 2C [65 00 00 FF]|"},
      {"FF F1 FF F9 FF F0 55", "CMD F1|CMD F9|CMD F0|D:55|"},
      // A command inside an unfinished subnegotiation ends it; the command counts.
      {"FF FA 2C 01 FF FB 03 66", "WILL 03|D:66|"},
      // The last case leaves a subnegotiation open, mid-escape.
      {"FF FA 2C 65 FF FF FF", ""},
  };
  // One decoder for the whole table: each case starts where the last ended.
  TelnetDecoder decoder;
  for (const Case& c : cases) EXPECT_EQ(decode_all(decoder, hex(c.stream)), c.expected) << c.stream;
}

TEST(TelnetDecoder, KeepsTheStartOfAnOverlongSubnegotiation) {
  TelnetDecoder decoder;
  Bytes stream = hex("FF FA 2C");
  for (int i = 0; i < 100; ++i) stream.push_back(static_cast<uint8_t>(i));
  for (const uint8_t b : hex("FF F0 7E")) stream.push_back(b);
  std::vector<Incoming> events;
  Bytes body;
  for (const uint8_t b : stream) {
    const Incoming in = decoder.push(b);
    if (in.kind == Kind::subnegotiation) body.assign(decoder.body().begin(), decoder.body().end());
    if (in.kind != Kind::nothing) events.push_back(in);
  }
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Kind::subnegotiation);
  ASSERT_EQ(body.size(), TelnetDecoder::kMaxBody);
  EXPECT_EQ(body.back(), TelnetDecoder::kMaxBody - 1);
  EXPECT_EQ(events[1].kind, Kind::data);
  EXPECT_EQ(events[1].value, 0x7E);
}

TEST(TelnetEncoder, DoublesEveryFFAndNeverSplitsAPair) {
  std::array<uint8_t, 16> out{};
  std::size_t written = 0;
  const Bytes data = hex("FF 00 FF FF 0D 0A");
  EXPECT_EQ(escape(data, out, written), data.size());
  EXPECT_EQ(to_hex(std::span(out).first(written)), "FF FF 00 FF FF FF FF 0D 0A");
  // Room for 4: FF FF 00, and the next pair does not fit.
  EXPECT_EQ(escape(data, std::span(out).first(4), written), 2u);
  EXPECT_EQ(written, 3u);

  std::array<uint8_t, kMaxComPortCommand> command{};
  const Bytes baud = hex("00 00 FF FF");
  const std::size_t length = com_port_command(comport::kSetBaudRate, baud, command);
  EXPECT_EQ(to_hex(std::span(command).first(length)), "FF FA 2C 01 00 00 FF FF FF FF FF F0");
  EXPECT_EQ(com_port_command(comport::kSetBaudRate, baud, std::span(command).first(11)), 0u);
}

// Feeds the server's verbs; returns our answers.
std::string answers(ClientNegotiation& negotiation, const Bytes& verbs) {
  TelnetDecoder decoder;
  std::string out;
  for (const uint8_t b : verbs) {
    const Incoming in = decoder.push(b);
    if (in.kind == Kind::subnegotiation) negotiation.take_com_port(decoder.body());
    if (in.kind < Kind::will || in.kind > Kind::dont) continue;
    std::array<uint8_t, ClientNegotiation::kMaxAnswer> answer{};
    const std::size_t length = negotiation.answer(in.kind, in.value, answer);
    if (length > 0) out += (out.empty() ? "" : " ") + to_hex(std::span(answer).first(length));
  }
  return out;
}

TEST(ClientNegotiation, AgreesWithASerialPortServer) {
  struct Case {
    const char* name;
    const char* server;   // verbs from the server after our opening
    const char* answers;  // what we send back
    bool agreed;
    bool refused;
  };
  const Case cases[] = {
      // What a real server sends: suppress-go-ahead both ways, ECHO offered
      // and refused, binary and COM-PORT-OPTION accepted; asked-for options
      // are not answered again.
      {"server's opening", "FF FB 03 FF FD 03 FF FB 01 FF FE 01 FF FD 00 FF FB 00 FF FD 2C",
       "FF FD 03 FF FB 03 FF FE 01", true, false},
      {"agreement repeated",
       "FF FD 00 FF FB 00 FF FD 2C FF FD 00 FF FB 00 FF FD 2C FF FB 03 FF FB 03", "FF FD 03", true,
       false},
      {"unknown options refused", "FF FD 18 FF FB 2C FF FB 05 FF FC 18 FF FE 18",
       "FF FC 18 FF FE 2C FF FE 05", false, false},
      {"COM-PORT-OPTION refused", "FF FD 00 FF FB 00 FF FE 2C", "", false, true},
      {"binary refused", "FF FE 00 FF FB 00 FF FD 2C", "", false, true},
      {"binary withdrawn later", "FF FD 00 FF FB 00 FF FD 2C FF FC 00", "FF FE 00", false, true},
  };
  for (const Case& c : cases) {
    ClientNegotiation negotiation;
    std::array<uint8_t, ClientNegotiation::kOpeningSize> opening{};
    ASSERT_EQ(negotiation.opening(opening), opening.size());
    EXPECT_EQ(to_hex(opening), "FF FB 00 FF FD 00 FF FB 2C");
    EXPECT_EQ(answers(negotiation, hex(c.server)), c.answers) << c.name;
    EXPECT_EQ(negotiation.agreed(), c.agreed) << c.name;
    EXPECT_EQ(negotiation.refused(), c.refused) << c.name;
  }
}

TEST(ClientNegotiation, ChecksEveryLineSettingAcknowledgement) {
  const std::string requests =
      "FF FA 2C 01 00 00 25 80 FF F0 FF FA 2C 02 08 FF F0 FF FA 2C 03 03 FF F0 "
      "FF FA 2C 04 01 FF F0 FF FA 2C 05 01 FF F0";
  const std::string all_acks =
      "FF FA 2C 65 00 00 25 80 FF F0 FF FA 2C 66 08 FF F0 FF FA 2C 67 03 FF F0 "
      "FF FA 2C 68 01 FF F0 FF FA 2C 69 01 FF F0";
  struct Case {
    const char* name;
    std::string server;
    bool acknowledged;
    bool refused;
  };
  const Case cases[] = {
      {"all, with notifications between",
       "FF FA 2C 6B 00 FF F0 " + all_acks + " FF FA 2C 70 01 FF F0", true, false},
      {"stop size missing", all_acks.substr(0, all_acks.find("FF FA 2C 68")), false, false},
      {"parity left at none", "FF FA 2C 67 01 FF F0 " + all_acks, false, true},
      {"another baud rate", "FF FA 2C 65 00 00 4B 00 FF F0", false, true},
      {"an empty acknowledgement", "FF FA 2C 66 FF F0", false, true},
      {"requests echoed back", requests, false, false},
      {"another option's subnegotiation", "FF FA 18 66 08 FF F0", false, false},
  };
  for (const Case& c : cases) {
    ClientNegotiation negotiation;
    std::array<uint8_t, ClientNegotiation::kLineSettingsSize> settings{};
    ASSERT_EQ(negotiation.line_settings(settings), settings.size());
    EXPECT_EQ(to_hex(settings), requests);
    TelnetDecoder decoder;
    for (const uint8_t b : hex(c.server)) {
      const Incoming in = decoder.push(b);
      if (in.kind == Kind::subnegotiation && in.value == telnet::kComPort) {
        negotiation.take_com_port(decoder.body());
      }
    }
    EXPECT_EQ(negotiation.settings_acknowledged(), c.acknowledged) << c.name;
    EXPECT_EQ(negotiation.settings_refused(), c.refused) << c.name;
  }
}

TEST(NetAddress, ParsesOnlyWellFormedMappings) {
  constexpr int kNotDotted = 1;
  struct Case {
    std::string_view mapping;
    const char* key;  // nullptr: refused
    bool telnet;
    bool tls = false;
    int reason = 0;  // kNotDotted: refused as an IPv4 address in another form
  };
  const Case cases[] = {
      {"rfc2217://127.0.0.1:7000", "127.0.0.1:7000", true},
      {"tcp://Reader-Host.example:1", "reader-host.example:1", false},
      {"rfc2217://[::1]:65535", "[::1]:65535", true},
      {"tcp://[FE80::1:2]:2000", "[fe80::1:2]:2000", false},
      {"rfc2217s://Reader.example:7000", "reader.example:7000", true, true},
      {"tls://[::1]:4001", "[::1]:4001", false, true},
      {"rfc2217s://host:07000", nullptr, false},
      {"tls://host", nullptr, false},
      {"tcps://host:7000", nullptr, false},
      {"rfc2217://host:65536", nullptr, false},
      {"rfc2217://host:0", nullptr, false},
      {"rfc2217://host:07000", nullptr, false},
      {"rfc2217://host:", nullptr, false},
      {"rfc2217://host", nullptr, false},
      {"rfc2217://:7000", nullptr, false},
      {"rfc2217://host:7000/", nullptr, false},
      {"rfc2217://host:+700", nullptr, false},
      {"rfc2217://::1:7000", nullptr, false},
      {"rfc2217://[::1]7000", nullptr, false},
      {"rfc2217://[]:7000", nullptr, false},
      {"rfc2217://[host]:7000", nullptr, false},
      {"rfc2217://user@host:7000", nullptr, false},
      {"rfc2217://ho st:7000", nullptr, false},
      {"RFC2217://host:7000", nullptr, false},
      {"udp://host:7000", nullptr, false},
      {"/dev/ttyS0", nullptr, false},
      // IPv4 in dotted decimal only: the resolver reads the other forms as
      // another address than a certificate check would.
      {"tls://127.0.0.255:7000", "127.0.0.255:7000", false, true},
      {"tls://1e100.example:7000", "1e100.example:7000", false, true},
      {"tls://0177.0.0.1:7000", nullptr, false, false, kNotDotted},
      {"tls://127.000.0.1:7000", nullptr, false, false, kNotDotted},
      {"tls://0x7f.0.0.1:7000", nullptr, false, false, kNotDotted},
      {"tls://0X7F000001:7000", nullptr, false, false, kNotDotted},
      {"tls://127.1:7000", nullptr, false, false, kNotDotted},
      {"tls://2130706433:7000", nullptr, false, false, kNotDotted},
      {"tls://127.0.0.1.:7000", nullptr, false, false, kNotDotted},
      {"tls://127.0.0.256:7000", nullptr, false, false, kNotDotted},
      {"tls://1.2.3.4.5:7000", nullptr, false, false, kNotDotted},
  };
  for (const Case& c : cases) {
    NetAddress address;
    const char* why = nullptr;
    const bool parsed = parse_net_address(c.mapping, address, &why);
    EXPECT_EQ(parsed, c.key != nullptr) << c.mapping;
    if (!parsed) {
      ASSERT_NE(why, nullptr) << c.mapping;
      EXPECT_EQ(std::string_view(why).starts_with("not a dotted-decimal"), c.reason == kNotDotted)
          << c.mapping << ": " << why;
    }
    if (!parsed || c.key == nullptr) continue;

    std::array<char, kMaxAddressKey> key{};
    address_key(address, key);
    EXPECT_STREQ(key.data(), c.key) << c.mapping;
    EXPECT_EQ(address.telnet, c.telnet) << c.mapping;
    EXPECT_EQ(address.tls, c.tls) << c.mapping;
  }
  NetAddress address;
  EXPECT_TRUE(parse_net_address("tcp://" + std::string(253, 'a') + ":1", address));
  EXPECT_FALSE(parse_net_address("tcp://" + std::string(254, 'a') + ":1", address));
}

}  // namespace
}  // namespace vorkand::link::net
