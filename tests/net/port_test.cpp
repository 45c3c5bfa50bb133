// The network port on real loopback TCP connections, the test playing the
// serial port server: Telnet taken apart in random pieces, negotiation,
// commands that are not input, and a connection closed or reset mid-reply.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "link/channel.h"
#include "link/channel_opener.h"
#include "link/clock.h"
#include "link/exchange.h"
#include "link/net/network_port.h"
#include "link/net/socket.h"
#include "link/net/telnet_codec.h"
#include "loopback_socket.h"

namespace vorkand::link::net {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

Bytes escaped(const Bytes& data) {
  Bytes out(2 * data.size() + 1);
  std::size_t written = 0;
  escape(data, out, written);
  out.resize(written);
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Bytes kPurge{0xFF, 0xFA, 0x2C, 0x0C, 0x01, 0xFF, 0xF0};

// A connection from the library's socket seam to a server end the test holds.
class Connection {
 public:
  Connection() {
    const test::LoopbackSocket listener;
    if (listener.port() == 0) return;
    ours_ = socket_connect("127.0.0.1", listener.port(), 1000);
    server_ = ::accept(listener.fd(), nullptr, nullptr);
    const int on = 1;
    ::setsockopt(server_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~Connection() {
    if (ours_ > 0) socket_close(ours_);
    close_server();
  }
  bool ok() const { return ours_ > 0 && server_ >= 0; }
  int32_t ours() const { return ours_; }

  void send(const Bytes& bytes) const {
    ASSERT_EQ(::write(server_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Sends what the connection takes without waiting; the number of bytes taken.
  std::size_t try_send(std::span<const uint8_t> bytes) const {
    const ssize_t sent = ::send(server_, bytes.data(), bytes.size(), MSG_DONTWAIT);
    if (sent > 0) return static_cast<std::size_t>(sent);
    std::this_thread::yield();
    return 0;
  }
  // Exactly `n` bytes from the library, fewer when it stays silent for 2 s.
  Bytes receive(std::size_t n) const {
    Bytes got(n);
    std::size_t count = 0;
    while (count < n) {
      pollfd entry{server_, POLLIN, 0};
      if (::poll(&entry, 1, 2000) <= 0) break;
      const ssize_t r = ::read(server_, got.data() + count, n - count);
      if (r <= 0) break;
      count += static_cast<std::size_t>(r);
    }
    got.resize(count);
    return got;
  }
  void close_server(bool reset = false) {
    if (server_ < 0) return;
    if (reset) {
      const linger abort{1, 0};
      ::setsockopt(server_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(server_);
    server_ = -1;
  }

 private:
  int32_t ours_ = 0;
  int server_ = -1;
};

TEST(NetworkPort, ExchangesFramesThroughTelnetInRandomPieces) {
  Connection connection;
  ASSERT_TRUE(connection.ok());
  SystemClock clock;
  NetworkPort port(connection.ours(), NetworkPort::Protocol::telnet, clock);
  std::mt19937 random(2217);
  // What a server may put between data bytes: refusals, notifications, NOPs.
  const std::vector<Bytes> commands = {{0xFF, 0xF1},
                                       {0xFF, 0xFC, 0x05},
                                       {0xFF, 0xFA, 0x2C, 0x6B, 0x30, 0xFF, 0xF0},
                                       {0xFF, 0xFA, 0x2C, 0x70, 0x01, 0xFF, 0xF0},
                                       {0xFF, 0xFA, 0x2C, 0x6A, 0xFF, 0xFF, 0xFF, 0xF0}};
  for (int round = 0; round < 40; ++round) {
    Bytes frame{0x40, 0x49, 0x06, 0xFF, 0xD6, 0x00, 0x00, 0x01, 0xFF, 0x00};
    Bytes reply{0x40, 0x49, 0, 0};
    const std::size_t body = round == 0 ? 252 : random() % 40;
    reply[2] = static_cast<uint8_t>(body);
    for (std::size_t i = 0; i < body; ++i) {
      reply.insert(reply.end() - 1, random() % 2 ? uint8_t{0xFF} : static_cast<uint8_t>(random()));
    }
    // The reply as the server sends it: doubled 0xFF, commands in between.
    Bytes stream;
    for (const uint8_t byte : reply) {
      if (random() % 4 == 0) stream = stream + commands[random() % commands.size()];
      stream = stream + escaped({byte});
    }
    std::thread server([&] {
      EXPECT_EQ(connection.receive(kPurge.size() + escaped(frame).size()), kPurge + escaped(frame));
      std::size_t at = 0;
      while (at < stream.size()) {
        const std::size_t size = std::min<std::size_t>(1 + random() % 9, stream.size() - at);
        connection.send(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                              stream.begin() + static_cast<std::ptrdiff_t>(at + size)));
        at += size;
        if (random() % 3 == 0)
          std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
      }
    });
    std::array<uint8_t, kMaxReply> got{};
    const int32_t count = exchange_frame(port, clock, frame, got);
    server.join();
    ASSERT_EQ(count, static_cast<int32_t>(reply.size())) << "round " << round;
    EXPECT_EQ(Bytes(got.begin(), got.begin() + count), reply) << "round " << round;
  }
}

TEST(NetworkPort, NegotiatesOrGivesUpInTime) {
  const Bytes opening{0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x2C};
  const Bytes agree{0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C};
  const Bytes acks{0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0,  //
                   0xFF, 0xFA, 0x2C, 0x66, 0x08, 0xFF, 0xF0,                    //
                   0xFF, 0xFA, 0x2C, 0x67, 0x03, 0xFF, 0xF0,                    //
                   0xFF, 0xFA, 0x2C, 0x68, 0x01, 0xFF, 0xF0,                    //
                   0xFF, 0xFA, 0x2C, 0x69, 0x01, 0xFF, 0xF0};
  const Bytes no_stop_size(acks.begin(), acks.end() - 14);
  struct Case {
    const char* name;
    Bytes answer_to_opening;
    Bytes answer_to_settings;
    bool agreed;
  };
  const Case cases[] = {
      {"agreed", agree, acks, true},
      {"COM-PORT-OPTION refused",
       {0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFE, 0x2C},
       {},
       false},
      {"no answer to the opening", {}, {}, false},
      {"stop size unacknowledged", agree, no_stop_size, false},
  };
  for (const Case& c : cases) {
    Connection connection;
    ASSERT_TRUE(connection.ok());
    SystemClock clock;
    NetworkPort port(connection.ours(), NetworkPort::Protocol::telnet, clock);
    std::thread server([&] {
      EXPECT_EQ(connection.receive(opening.size()), opening) << c.name;
      connection.send(c.answer_to_opening);
      if (!c.answer_to_settings.empty()) {
        EXPECT_EQ(connection.receive(ClientNegotiation::kLineSettingsSize).size(),
                  ClientNegotiation::kLineSettingsSize);
        connection.send(c.answer_to_settings);
      }
    });
    const auto start = SteadyClock::now();
    EXPECT_EQ(port.negotiate(300, 1000), c.agreed) << c.name;
    EXPECT_LT(SteadyClock::now() - start, 900ms) << c.name;
    server.join();
  }
}

TEST(NetworkPort, CommandsAloneAreNoInput) {
  Connection connection;
  ASSERT_TRUE(connection.ok());
  SystemClock clock;
  NetworkPort port(connection.ours(), NetworkPort::Protocol::telnet, clock);
  std::thread server([&] {
    // Commands split across sends, then a flood of them.
    for (int i = 0; i < 10; ++i) {
      connection.send({0xFF, 0xF1, 0xFF, 0xFA, 0x2C, 0x6B});
      std::this_thread::sleep_for(10ms);
      connection.send({0x30, 0xFF, 0xF0});
    }
    const Bytes nops(16384, 0xF1);
    Bytes flood;
    for (const uint8_t nop : nops) flood = flood + Bytes{0xFF, nop};
    const auto until = SteadyClock::now() + 400ms;
    std::size_t at = 0;  // a partial send must not split a command
    while (SteadyClock::now() < until) {
      at = (at + connection.try_send(std::span(flood).subspan(at))) % flood.size();
    }
  });
  const auto start = SteadyClock::now();
  EXPECT_EQ(port.wait_readable(300), BytePort::Wait::timeout);
  EXPECT_GE(SteadyClock::now() - start, 290ms);
  EXPECT_EQ(port.bytes_waiting(), 0);
  // In the flood: still no input, and the wait still ends on time.
  const auto flooded = SteadyClock::now();
  EXPECT_EQ(port.wait_readable(100), BytePort::Wait::timeout);
  EXPECT_LT(SteadyClock::now() - flooded, 300ms);
  EXPECT_EQ(port.bytes_waiting(), 0);
  server.join();
}

TEST(NetworkPort, AClosedOrResetConnectionEndsTheExchangeAtOnce) {
  for (const bool reset : {false, true}) {
    Connection connection;
    ASSERT_TRUE(connection.ok());
    SystemClock clock;
    NetworkPort port(connection.ours(), NetworkPort::Protocol::telnet, clock);
    const Bytes frame{0x80, 0x00, 0x04, 0x80, 0x62, 0x00, 0x00, 0x00};
    std::thread server([&] {
      connection.receive(kPurge.size() + frame.size());
      connection.send({0x80, 0x00, 0x02});  // half a reply, then the end
      std::this_thread::sleep_for(50ms);
      connection.close_server(reset);
    });
    std::array<uint8_t, kMaxReply> reply{};
    const auto start = SteadyClock::now();
    EXPECT_EQ(exchange_frame(port, clock, frame, reply), 0) << reset;
    EXPECT_LT(SteadyClock::now() - start, 1s) << reset;
    server.join();
    EXPECT_FALSE(port.write_all(frame));
    EXPECT_EQ(port.wait_readable(1000), BytePort::Wait::failed);
  }
}

TEST(NetworkPort, RawBytesPassAsTheyAre) {
  Connection connection;
  ASSERT_TRUE(connection.ok());
  SystemClock clock;
  NetworkPort port(connection.ours(), NetworkPort::Protocol::raw, clock);
  EXPECT_TRUE(port.negotiate(100, 100));  // nothing to agree on
  const Bytes frame{0x40, 0x49, 0x02, 0xFF, 0xFF, 0x00};
  const Bytes reply{0x40, 0x49, 0x03, 0xFF, 0xFA, 0xFF, 0x00};
  // What the reader answered the previous client, at once and 30 ms later,
  // never meets the first frame: the port waits for a quiet connection.
  const Bytes late{0x00, 0x4F, 0x02, 0x90, 0x00, 0x00};
  connection.send(late);
  std::thread stale([&] {
    std::this_thread::sleep_for(30ms);
    connection.send(late);
  });
  const auto start = SteadyClock::now();
  EXPECT_TRUE(port.settle(100, 1000));
  EXPECT_GE(SteadyClock::now() - start, 130ms);
  stale.join();
  std::thread server([&] {
    EXPECT_EQ(connection.receive(frame.size()), frame);
    connection.send(reply);
  });
  std::array<uint8_t, kMaxReply> got{};
  ASSERT_EQ(exchange_frame(port, clock, frame, got), static_cast<int32_t>(reply.size()));
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 7), reply);
  server.join();
  // A server that never stops sending costs the limit, no more; a closed
  // connection fails the settling.
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    while (flooding) {
      connection.try_send(late);
      std::this_thread::sleep_for(5ms);
    }
  });
  const auto flood_start = SteadyClock::now();
  EXPECT_TRUE(port.settle(100, 300));
  EXPECT_LT(SteadyClock::now() - flood_start, 900ms);
  flooding = false;
  flood.join();
  connection.close_server();
  EXPECT_FALSE(port.settle(100, 300));
}

TEST(NetworkChannel, DescribesItselfAndHoldsItsAddressUntilClosed) {
  const test::LoopbackSocket listener(AF_INET, 4);
  ASSERT_NE(listener.port(), 0);
  const std::string where = "127.0.0.1:" + std::to_string(listener.port());
  ::setenv("VORKAND_COM1", ("tcp://" + where).c_str(), 1);

  Channel* channel = open_channel(1, "COM1");
  ASSERT_NE(channel, nullptr);
  std::array<char, 64> text{};
  channel->describe(text);
  EXPECT_STREQ(text.data(), ("tcp://" + where).c_str());
  std::array<char, 8> short_text{};
  channel->describe(short_text);
  EXPECT_STREQ(short_text.data(), "tcp://1");
  EXPECT_EQ(open_channel(1, "COM1"), nullptr);  // the address is taken
  EXPECT_TRUE(channel->close());
  delete channel;
  Channel* again = open_channel(1, "COM1");
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(again->close());
  delete again;
  ::unsetenv("VORKAND_COM1");
}

}  // namespace
}  // namespace vorkand::link::net
