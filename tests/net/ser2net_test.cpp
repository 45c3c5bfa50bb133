// End to end: the shared library, through its C exports, against Debian's
// ser2net on loopback, with simulated readers on pseudo-terminals behind it.
// Skipped when ser2net is not installed (scripts/deps test installs it).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback_socket.h"
#include "sim/card_file.h"
#include "sim/card_model.h"
#include "sim/hex.h"
#include "sim/pty_simulator.h"
#include "vorkand.h"

namespace vorkand::sim {
namespace {

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
    auto started =
        PtySimulator::start(ReaderModel(CardModel(std::move(card), 1)), std::move(options));
    if (auto* error = std::get_if<std::string>(&started)) ADD_FAILURE() << *error;
    sim_ = std::move(std::get<0>(started));
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

}  // namespace
}  // namespace vorkand::sim
