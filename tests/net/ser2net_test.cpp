// End to end: the shared library, through its C exports, against Debian's
// ser2net on loopback, with simulated readers on pseudo-terminals behind it.
// Skipped when ser2net is not installed (scripts/deps test installs it).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/hex.h"
#include "loopback_socket.h"
#include "sim/card_file.h"
#include "sim/card_model.h"
#include "sim/pty_simulator.h"
#include "simulator.h"
#include "test_pki.h"
#include "vorkand.h"

namespace vorkand::sim {
namespace {

using common::parse_hex;
using common::to_hex;

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

const char* ser2net_program() {
  for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return nullptr;
}

// A TCP port on the loopback address of `family` that nobody listens on
// (free a moment ago).
int free_port(int family) {
  return test::LoopbackSocket(family, 0).port();
}

// A simulated reader on a pseudo-terminal, with the frames the host sent it.
class Simulator {
 public:
  explicit Simulator(CardProfile card = default_card()) {
    PtyOptions options;
    options.trace = [this](const TraceEvent& event) {
      if (event.direction != TraceEvent::Direction::to_reader) return;
      std::lock_guard lock(mutex_);
      frames_.push_back(to_hex(event.bytes));
    };
    sim_ = test::start_simulator(std::move(options), std::move(card));
  }
  PtySimulator& sim() { return *sim_; }
  const std::string& path() const { return sim_->device_path(); }
  std::vector<std::string> frames() {
    std::lock_guard lock(mutex_);
    return std::exchange(frames_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> frames_;
  std::unique_ptr<PtySimulator> sim_;
};

// ser2net in the foreground, serving each simulator on a port of its own:
// "telnet(rfc2217),tcp,127.0.0.1,P", "tcp,127.0.0.1,P" or on ::1.
class Ser2net {
 public:
  struct Accepter {
    std::string stack;  // "telnet(rfc2217),tcp" or "tcp"
    std::string host;   // "127.0.0.1" or "::1"
    Simulator* simulator;
    int port = 0;
    std::string options = {};  // more lines of the connection's "options:"
  };

  explicit Ser2net(std::vector<Accepter> accepters) : accepters_(std::move(accepters)) {
    char dir[] = "/tmp/vorkand-ser2net-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return;
    config_ = std::string(dir) + "/ser2net.yaml";
    std::ofstream config(config_);
    int n = 0;
    for (Accepter& a : accepters_) {
      a.port = free_port(a.host == "::1" ? AF_INET6 : AF_INET);
      config << "connection: &reader" << n++ << "\n"
             << "  accepter: " << a.stack << "," << a.host << "," << a.port << "\n"
             << "  connector: serialdev," << a.simulator->path() << ",9600e81,local\n";
      if (!a.options.empty()) config << "  options:\n" << a.options;
    }
    config.close();
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl(ser2net_program(), "ser2net", "-n", "-c", config_.c_str(), nullptr);
      ::_exit(127);
    }
  }
  ~Ser2net() {
    stop();
    if (!config_.empty()) {
      std::remove(config_.c_str());
      ::rmdir(config_.substr(0, config_.rfind('/')).c_str());
    }
  }
  bool started() const { return pid_ > 0; }
  int port(std::size_t i) const { return accepters_[i].port; }
  std::string mapping(std::size_t i, const std::string& host = "") const {
    const Accepter& a = accepters_[i];
    const std::string scheme = a.stack == "tcp" ? "tcp://" : "rfc2217://";
    const std::string name = !host.empty() ? host : a.host == "::1" ? "[::1]" : a.host;
    return scheme + name + ":" + std::to_string(a.port);
  }
  // Ends ser2net at once, as a crash or a pulled cable would.
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  std::vector<Accepter> accepters_;
  std::string config_;
  pid_t pid_ = -1;
};

// Maps `port` to `mapping` and opens it, retrying while ser2net is still
// starting up or letting go of the device after the last close.
int32_t open_mapped(const char* port, const std::string& mapping) {
  ::setenv((std::string("VORKAND_") + port).c_str(), mapping.c_str(), 1);
  const auto give_up = SteadyClock::now() + 5s;
  for (;;) {
    const int32_t handle = CT_open(port);
    if (handle != 0 || SteadyClock::now() > give_up) return handle;
    std::this_thread::sleep_for(50ms);
  }
}

std::string answer(uint16_t sw, std::span<const uint8_t> data) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", sw);
  return std::string(text) + (data.empty() ? "" : " " + to_hex(data));
}

std::string tsi(int32_t handle, std::string_view apdu) {
  const Bytes bytes = parse_hex(apdu).value();
  std::array<uint8_t, 256> response{};
  uint8_t length = 0;
  const auto sw = static_cast<uint16_t>(ICC_tsi_api(handle, static_cast<int32_t>(bytes.size()),
                                                    bytes.data(), &length, response.data()));
  return answer(sw, std::span(response).first(length));
}

// The typical use, every result in order.
std::vector<std::string> typical_use(int32_t handle) {
  std::vector<std::string> results;
  results.push_back(answer(static_cast<uint16_t>(CT_reset(handle)), {}));
  std::array<uint8_t, 256> atr{};
  uint8_t atr_length = 0;
  results.push_back(answer(static_cast<uint16_t>(ICC_reset(handle, &atr_length, atr.data())),
                           std::span(atr).first(atr_length)));
  for (const char* apdu :
       {"00 A4 00 0C 02 50 00", "00 A4 00 0C 02 50 01", "00 B0 00 00 00", "00 B0 00 06 04",
        "80 14 00 00 01 01", "00 B0 00 00 05", "00 B0 00 30 01", "00 20 00 00 04 31 32 33 34"}) {
    results.push_back(tsi(handle, apdu));
  }
  return results;
}

class Ser2netTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ser2net_program() == nullptr) GTEST_SKIP() << "ser2net is not installed";
  }
};

TEST_F(Ser2netTest, TheTypicalUseGivesWhatThePseudoTerminalGives) {
  Simulator a, b, c;
  Ser2net server({{"telnet(rfc2217),tcp", "127.0.0.1", &a},
                  {"tcp", "127.0.0.1", &b},
                  {"telnet(rfc2217),tcp", "::1", &c}});
  ASSERT_TRUE(server.started());

  const int32_t direct = open_mapped("COM4", a.path());
  ASSERT_NE(direct, 0);
  const auto expected = typical_use(direct);
  EXPECT_EQ(CT_close(direct), 0);
  const auto expected_frames = a.frames();
  EXPECT_EQ(expected[4], "9000 " + to_hex(Bytes{'H', 'e', 'l', 'l', 'o', ' ', 'f', 'r', 'o', 'm',
                                                ' ', 't', 'h', 'e', ' ', 'c', 'a', 'r', 'd'}));

  struct Way {
    const char* port;
    std::string mapping;
    Simulator* simulator;
  };
  for (const Way& way :
       {Way{"COM1", server.mapping(0), &a}, Way{"COM2", server.mapping(1, "localhost"), &b},
        Way{"COM3", server.mapping(2), &c}}) {
    const int32_t handle = open_mapped(way.port, way.mapping);
    ASSERT_NE(handle, 0) << way.mapping;
    EXPECT_EQ(typical_use(handle), expected) << way.mapping;
    EXPECT_EQ(CT_close(handle), 0) << way.mapping;
    // The reader saw the very frames it sees on a local port.
    EXPECT_EQ(way.simulator->frames(), expected_frames) << way.mapping;
  }
}

TEST_F(Ser2netTest, FFBytesPassIntactBothWays) {
  CardProfile card = default_card();
  card.files.push_back({{0x3F00, 0x5000, 0x5004}, false, false, Bytes(240, 0x00)});
  Simulator a(card);
  Ser2net server({{"telnet(rfc2217),tcp", "127.0.0.1", &a}});
  ASSERT_TRUE(server.started());
  const int32_t handle = open_mapped("COM1", server.mapping(0));
  ASSERT_NE(handle, 0);
  ASSERT_EQ(answer(static_cast<uint16_t>(CT_reset(handle)), {}), "9000");
  std::array<uint8_t, 256> atr{};
  uint8_t atr_length = 0;
  ASSERT_EQ(ICC_reset(handle, &atr_length, atr.data()), 0x9000);  // T=0: card frames head 40
  const std::string ff240 = to_hex(Bytes(240, 0xFF));
  EXPECT_EQ(tsi(handle, "00 A4 00 0C 02 50 00"), "9000");
  EXPECT_EQ(tsi(handle, "00 A4 00 0C 02 50 04"), "9000");
  a.frames();
  EXPECT_EQ(tsi(handle, "FF D6 00 00 F0 " + ff240), "6E00");  // class FF: the card's own refusal
  EXPECT_EQ(tsi(handle, "00 D6 00 00 F0 " + ff240), "9000");
  EXPECT_EQ(tsi(handle, "00 B0 00 00 F0"), "9000 " + ff240);
  // Each frame reached the reader once, exactly: no 0xFF doubled on the line.
  EXPECT_EQ(a.frames(), (std::vector<std::string>{"40 49 F5 FF D6 00 00 F0 " + ff240 + " 00",
                                                  "40 49 F5 00 D6 00 00 F0 " + ff240 + " 00",
                                                  "40 4F 05 00 B0 00 00 F0 00"}));
  EXPECT_EQ(CT_close(handle), 0);
}

TEST_F(Ser2netTest, AServerStoppedMidExchangeEndsItAtOnce) {
  Simulator a;
  Ser2net server({{"telnet(rfc2217),tcp", "127.0.0.1", &a}});
  ASSERT_TRUE(server.started());
  const int32_t handle = open_mapped("COM1", server.mapping(0));
  ASSERT_NE(handle, 0);
  ASSERT_EQ(answer(static_cast<uint16_t>(CT_reset(handle)), {}), "9000");
  a.sim().add_fault({Fault::Kind::silence, 0, {}, {}});  // no reply from now on
  const auto start = SteadyClock::now();
  auto call = std::async(std::launch::async, [&] { return tsi(handle, "00 B0 00 00 00"); });
  std::this_thread::sleep_for(300ms);
  server.stop();
  EXPECT_EQ(call.get(), "FFFF");
  // Well before the 5 s silence limit.
  EXPECT_LT(SteadyClock::now() - start, 2s);
  EXPECT_EQ(answer(static_cast<uint16_t>(CT_reset(handle)), {}), "FFFF");
  EXPECT_EQ(CT_close(handle), 0);
}

TEST_F(Ser2netTest, AnAddressOpensOnceAndAnUnreachableOneIsRefusedQuickly) {
  Simulator a;
  Ser2net server({{"telnet(rfc2217),tcp", "127.0.0.1", &a}});
  ASSERT_TRUE(server.started());
  const int32_t first = open_mapped("COM1", server.mapping(0));
  ASSERT_NE(first, 0);
  // The same address, as written and by another name: refused at once.
  for (const std::string& mapping : {server.mapping(0), server.mapping(0, "localhost"),
                                     "tcp://127.0.0.1:" + std::to_string(server.port(0))}) {
    ::setenv("VORKAND_COM2", mapping.c_str(), 1);
    EXPECT_EQ(CT_open("COM2"), 0) << mapping;
  }
  EXPECT_EQ(answer(static_cast<uint16_t>(CT_reset(first)), {}), "9000");
  EXPECT_EQ(CT_close(first), 0);
  const int32_t again = open_mapped("COM2", server.mapping(0));
  EXPECT_NE(again, 0);
  EXPECT_EQ(CT_close(again), 0);

  // Nobody listening (IPv4 and IPv6), and a listener that never answers the
  // negotiation.
  const test::LoopbackSocket silent(AF_INET, 4);
  ASSERT_NE(silent.port(), 0);
  struct Case {
    std::string mapping;
    std::chrono::milliseconds within;
  };
  for (const Case& c : {Case{"rfc2217://127.0.0.1:" + std::to_string(free_port(AF_INET)), 500ms},
                        Case{"tcp://[::1]:" + std::to_string(free_port(AF_INET6)), 500ms},
                        Case{"rfc2217://127.0.0.1:" + std::to_string(silent.port()), 2500ms}}) {
    ::setenv("VORKAND_COM3", c.mapping.c_str(), 1);
    const auto start = SteadyClock::now();
    EXPECT_EQ(CT_open("COM3"), 0) << c.mapping;
    EXPECT_LT(SteadyClock::now() - start, c.within) << c.mapping;
  }
}

// The certificates of the TLS cases: a CA and, signed by it, servers for
// 127.0.0.1 and localhost (valid, expired, for another name) and a client;
// another CA and a server of its. ser2net's clientauth trusts the CA for the
// client's name (its common name) through its authdir.
struct Ser2netPki : test::TestPki {
  Ser2netPki() {
    const std::string san = "IP:127.0.0.1,DNS:localhost";
    ca("other-ca");
    leaf("server", "localhost", san);
    leaf("expired", "localhost", san, "ca", -1);
    leaf("elsewhere", "elsewhere.example", "DNS:elsewhere.example");
    leaf("stranger", "localhost", san, "other-ca");
    leaf("client", "vorkand");
    step(run("mkdir -p " + file("auth/vorkand/allowed_certs") + " && cp " + file("ca.crt") + " " +
             file("auth/vorkand/allowed_certs/") + " && openssl rehash " +
             file("auth/vorkand/allowed_certs")));
  }
};

// The TLS variables of one open; nullptr unsets one.
void tls_files(const char* ca, const char* cert, const char* key) {
  for (const auto& [name, value] :
       {std::pair{"VORKAND_TLS_CA", ca}, std::pair{"VORKAND_TLS_CERT", cert},
        std::pair{"VORKAND_TLS_KEY", key}}) {
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
}

TEST_F(Ser2netTest, OverTlsTheTypicalUseGivesWhatThePlainPortGives) {
  const Ser2netPki pki;
  ASSERT_TRUE(pki.ok());
  Simulator a, b;
  Ser2net server({{"telnet(rfc2217),tcp", "127.0.0.1", &a},
                  {"telnet(rfc2217)," + pki.ssl("server") + ",tcp", "127.0.0.1", &a},
                  {pki.ssl("server") + ",tcp", "127.0.0.1", &b}});
  ASSERT_TRUE(server.started());
  const std::string ca = pki.file("ca.crt");
  tls_files(ca.c_str(), nullptr, nullptr);
  const std::string trace = pki.file("trace.log");
  ::setenv("VORKAND_TRACE", trace.c_str(), 1);

  const int32_t plain = open_mapped("COM1", server.mapping(0));
  ASSERT_NE(plain, 0);
  const auto expected = typical_use(plain);
  EXPECT_EQ(CT_close(plain), 0);
  const auto expected_frames = a.frames();
  for (const auto& [mapping, simulator] :
       {std::pair{"rfc2217s://127.0.0.1:" + std::to_string(server.port(1)), &a},
        std::pair{"tls://localhost:" + std::to_string(server.port(2)), &b}}) {
    const int32_t handle = open_mapped("COM2", mapping);
    ASSERT_NE(handle, 0) << mapping;
    EXPECT_EQ(typical_use(handle), expected) << mapping;
    EXPECT_EQ(CT_close(handle), 0) << mapping;
    EXPECT_EQ(simulator->frames(), expected_frames) << mapping;
  }
  ::unsetenv("VORKAND_TRACE");
  tls_files(nullptr, nullptr, nullptr);

  // The open line names the session and the server's certificate.
  std::ifstream lines(trace);
  std::vector<std::string> opens;
  for (std::string line; std::getline(lines, line);) {
    // Opens retried while ser2net lets go of the device leave "failed" lines.
    if (line.find(" open ") != std::string::npos && line.find(" failed: ") == std::string::npos)
      opens.push_back(line);
  }
  ASSERT_EQ(opens.size(), 3U);
  EXPECT_NE(opens[0].find("rfc2217://127.0.0.1:"), std::string::npos) << opens[0];
  const std::string session =
      ", TLS 1.3 TLS_AES_256_GCM_SHA384, server CN=localhost, SHA-256 " + pki.fingerprint("server");
  EXPECT_NE(opens[1].find(" 9600 8E1" + session), std::string::npos) << opens[1];
  EXPECT_NE(opens[2].find("tls://localhost:" + std::to_string(server.port(2)) + session),
            std::string::npos)
      << opens[2];
}

TEST_F(Ser2netTest, OverTlsOnlyAVerifiedServerOpens) {
  const Ser2netPki pki;
  ASSERT_TRUE(pki.ok());
  const std::string authdir = "    authdir: " + pki.file("auth") + "\n";
  Simulator sims[6];
  Ser2net server({{"telnet(rfc2217)," + pki.ssl("server") + ",tcp", "127.0.0.1", &sims[0]},
                  {"telnet(rfc2217)," + pki.ssl("stranger") + ",tcp", "127.0.0.1", &sims[1]},
                  {"telnet(rfc2217)," + pki.ssl("elsewhere") + ",tcp", "127.0.0.1", &sims[2]},
                  {"telnet(rfc2217)," + pki.ssl("expired") + ",tcp", "127.0.0.1", &sims[3]},
                  {pki.ssl("server", true) + ",tcp", "127.0.0.1", &sims[4], 0, authdir},
                  {"telnet(rfc2217),tcp", "127.0.0.1", &sims[5]}});
  ASSERT_TRUE(server.started());
  const std::string ca = pki.file("ca.crt");
  const std::string cert = pki.file("client.crt");
  const std::string key = pki.file("client.key");
  const std::string open_key = pki.file("open.key");
  std::ifstream in(key);
  std::ofstream(open_key) << in.rdbuf();
  ::chmod(open_key.c_str(), 0644);
  const test::LoopbackSocket silent(AF_INET, 4);  // accepts, never answers
  ASSERT_NE(silent.port(), 0);

  const auto at = [&](const char* scheme, int port) {
    return std::string(scheme) + "127.0.0.1:" + std::to_string(port);
  };
  struct Case {
    const char* what;
    std::string mapping;
    const char* ca;
    const char* cert;
    const char* key;
    bool opens;
  };
  const Case cases[] = {
      {"verified", at("rfc2217s://", server.port(0)), ca.c_str(), nullptr, nullptr, true},
      {"a CA the system does not know", at("rfc2217s://", server.port(0)), nullptr, nullptr,
       nullptr, false},
      {"from another CA", at("rfc2217s://", server.port(1)), ca.c_str(), nullptr, nullptr, false},
      {"for another name", at("rfc2217s://", server.port(2)), ca.c_str(), nullptr, nullptr, false},
      {"expired", at("rfc2217s://", server.port(3)), ca.c_str(), nullptr, nullptr, false},
      {"client certificate required, none given", at("tls://", server.port(4)), ca.c_str(), nullptr,
       nullptr, false},
      {"client certificate given", at("tls://", server.port(4)), ca.c_str(), cert.c_str(),
       key.c_str(), true},
      {"client key readable by others", at("tls://", server.port(4)), ca.c_str(), cert.c_str(),
       open_key.c_str(), false},
      {"client certificate without its key", at("tls://", server.port(4)), ca.c_str(), cert.c_str(),
       nullptr, false},
      {"a plain server", at("rfc2217s://", server.port(5)), ca.c_str(), nullptr, nullptr, false},
      {"a server that never answers", at("rfc2217s://", silent.port()), ca.c_str(), nullptr,
       nullptr, false},
  };
  for (const Case& c : cases) {
    tls_files(c.ca, c.cert, c.key);
    // Retried while ser2net starts: only an open that should work.
    const auto start = SteadyClock::now();
    const int32_t handle = c.opens
                               ? open_mapped("COM1", c.mapping)
                               : (::setenv("VORKAND_COM1", c.mapping.c_str(), 1), CT_open("COM1"));
    EXPECT_EQ(handle != 0, c.opens) << c.what;
    // Within the open's 4.5 s bound.
    EXPECT_LT(SteadyClock::now() - start, 4800ms) << c.what;
    if (handle == 0) continue;
    EXPECT_EQ(answer(static_cast<uint16_t>(CT_reset(handle)), {}), "9000") << c.what;
    EXPECT_EQ(CT_close(handle), 0) << c.what;
    std::this_thread::sleep_for(100ms);  // ser2net lets go of the device
  }
  tls_files(nullptr, nullptr, nullptr);
}

// Between the library and ser2net: forwards one connection both ways and
// keeps every byte that went past.
class Relay {
 public:
  explicit Relay(int target_port) {
    thread_ = std::thread([this, target_port] { run(target_port); });
  }
  ~Relay() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return listener_.port(); }
  std::vector<uint8_t> captured() {
    std::lock_guard lock(mutex_);
    return captured_;
  }

 private:
  // One connection after the other, until stopped.
  void run(int target_port) {
    while (!stop_) {
      pollfd entry{listener_.fd(), POLLIN, 0};
      if (::poll(&entry, 1, 50) <= 0) continue;
      const int client = ::accept(listener_.fd(), nullptr, nullptr);
      if (client >= 0) forward(client, target_port);
    }
  }
  void forward(int client, int target_port) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(target_port));
    if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      std::array<pollfd, 2> ends{pollfd{client, POLLIN, 0}, pollfd{server, POLLIN, 0}};
      std::array<uint8_t, 4096> buffer{};
      bool open = true;
      while (!stop_ && open) {
        if (::poll(ends.data(), ends.size(), 50) <= 0) continue;
        for (std::size_t i = 0; i < ends.size() && open; ++i) {
          if (ends[i].revents == 0) continue;
          const ssize_t got = ::read(ends[i].fd, buffer.data(), buffer.size());
          open = got > 0 &&
                 ::write(ends[1 - i].fd, buffer.data(), static_cast<std::size_t>(got)) == got;
          if (got > 0) {
            std::lock_guard lock(mutex_);
            captured_.insert(captured_.end(), buffer.begin(), buffer.begin() + got);
          }
        }
      }
    }
    ::close(server);
    ::close(client);
  }

  test::LoopbackSocket listener_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<uint8_t> captured_;
  std::thread thread_;
};

TEST_F(Ser2netTest, OverTlsTheConnectionCarriesNoPin) {
  const Ser2netPki pki;
  ASSERT_TRUE(pki.ok());
  Simulator a;
  Ser2net server({{"telnet(rfc2217),tcp", "127.0.0.1", &a},
                  {"telnet(rfc2217)," + pki.ssl("server") + ",tcp", "127.0.0.1", &a}});
  ASSERT_TRUE(server.started());
  tls_files(pki.file("ca.crt").c_str(), nullptr, nullptr);
  const Bytes pin{'1', '2', '3', '4'};
  // The plain connection, for comparison, then the TLS one.
  for (const auto& [scheme, index] : {std::pair{"rfc2217://", 0}, std::pair{"rfc2217s://", 1}}) {
    Relay relay(server.port(index));
    const int32_t handle =
        open_mapped("COM1", std::string(scheme) + "127.0.0.1:" + std::to_string(relay.port()));
    ASSERT_NE(handle, 0) << scheme;
    ASSERT_EQ(answer(static_cast<uint16_t>(CT_reset(handle)), {}), "9000");
    std::array<uint8_t, 256> atr{};
    uint8_t atr_length = 0;
    ASSERT_EQ(ICC_reset(handle, &atr_length, atr.data()), 0x9000);
    EXPECT_EQ(tsi(handle, "00 20 00 00 04 " + to_hex(pin)), "9000");
    EXPECT_EQ(CT_close(handle), 0);
    std::this_thread::sleep_for(100ms);
    const Bytes stream = relay.captured();
    const bool holds_pin =
        std::search(stream.begin(), stream.end(), pin.begin(), pin.end()) != stream.end();
    EXPECT_EQ(holds_pin, index == 0) << scheme << " " << stream.size() << " bytes";
  }
  tls_files(nullptr, nullptr, nullptr);
}

}  // namespace
}  // namespace vorkand::sim
