// End to end: the shared library, through its C exports, reaches readers that
// vorkand-serve serves over tcp:// and tls://, and sees what a host of the
// reader itself sees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/hex.h"
#include "serve_pki.h"
#include "serve_process.h"
#include "simulator.h"
#include "vorkand.h"

namespace vorkand::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

// A simulated reader on a pseudo-terminal, with the frames the host sent it.
class Reader {
 public:
  Reader() {
    sim::PtyOptions options;
    options.trace = [this](const sim::TraceEvent& event) {
      if (event.direction != sim::TraceEvent::Direction::to_reader) return;
      const std::lock_guard lock(mutex_);
      frames_.push_back(common::to_hex(event.bytes));
    };
    sim_ = start_simulator(std::move(options));
  }
  const std::string& path() const { return sim_->device_path(); }
  std::vector<std::string> frames() {
    const std::lock_guard lock(mutex_);
    return std::exchange(frames_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> frames_;
  std::unique_ptr<sim::PtySimulator> sim_;
};

std::string answer(int32_t sw, std::span<const uint8_t> data) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(sw));
  return std::string(text) + (data.empty() ? "" : " " + common::to_hex(data));
}

std::string tsi(int32_t handle, std::string_view apdu) {
  const Bytes bytes = common::parse_hex(apdu).value();
  std::array<uint8_t, 256> response{};
  uint8_t length = 0;
  const int32_t sw = ICC_tsi_api(handle, static_cast<int32_t>(bytes.size()), bytes.data(), &length,
                                 response.data());
  return answer(sw, std::span(response).first(length));
}

// The typical use on an open handle, every result in order.
std::vector<std::string> typical_use(int32_t handle) {
  std::vector<std::string> results;
  results.push_back(answer(CT_reset(handle), {}));
  std::array<uint8_t, 256> atr{};
  uint8_t atr_length = 0;
  results.push_back(
      answer(ICC_reset(handle, &atr_length, atr.data()), std::span(atr).first(atr_length)));
  for (const char* apdu :
       {"00 A4 00 0C 02 50 00", "00 A4 00 0C 02 50 01", "00 B0 00 00 00", "00 B0 00 06 04",
        "80 14 00 00 01 01", "00 B0 00 00 05", "00 B0 00 30 01", "00 20 00 00 04 31 32 33 34"}) {
    results.push_back(tsi(handle, apdu));
  }
  return results;
}

// The certificates, made once for every test of the program.
const ServePki& shared_pki() {
  static const ServePki pki;
  return pki;
}

// COM1 mapped to `mapping`, opened.
int32_t open_com1(const std::string& mapping) {
  ::setenv("VORKAND_COM1", mapping.c_str(), 1);
  return CT_open("COM1");
}

// The library's TLS files for a client with certificate NAME (none: "").
void client_files(const ServePki& pki, const std::string& name) {
  ::setenv("VORKAND_TLS_CA", pki.file("ca.crt").c_str(), 1);
  if (name.empty()) {
    ::unsetenv("VORKAND_TLS_CERT");
    ::unsetenv("VORKAND_TLS_KEY");
  } else {
    ::setenv("VORKAND_TLS_CERT", pki.file(name + ".crt").c_str(), 1);
    ::setenv("VORKAND_TLS_KEY", pki.file(name + ".key").c_str(), 1);
  }
}

TEST(ServeTest, ASerialReaderServedOverTlsAndTcpAnswersAsOnItsOwnPort) {
  const ServePki& pki = shared_pki();
  ASSERT_TRUE(pki.ok());
  Reader reader;
  const int32_t direct = open_com1(reader.path());
  ASSERT_NE(direct, 0);
  const auto expected = typical_use(direct);
  EXPECT_EQ(CT_close(direct), 0);
  const auto expected_frames = reader.frames();
  ASSERT_EQ(expected[4].substr(0, 4), "9000");

  const std::string trace = pki.file("serve.trace");
  std::remove(trace.c_str());
  ServeProcess tls(
      with_tls(pki, {"--listen", "127.0.0.1:0", "--reader", reader.path(), "--trace", trace}));
  ServeProcess plain({"--listen", "127.0.0.1:0", "--reader", reader.path()});
  ASSERT_NE(tls.port(), 0) << tls.log();
  ASSERT_NE(plain.port(), 0) << plain.log();
  client_files(pki, "client");
  for (const auto& [mapping, server] :
       {std::pair{"tls://127.0.0.1:" + std::to_string(tls.port()), &tls},
        std::pair{"tcp://127.0.0.1:" + std::to_string(plain.port()), &plain}}) {
    const int32_t handle = open_com1(mapping);
    ASSERT_NE(handle, 0) << mapping << "\n" << server->log();
    EXPECT_EQ(typical_use(handle), expected) << mapping;
    EXPECT_EQ(CT_close(handle), 0);
    // The reader saw the very frames a host on its own port sends.
    EXPECT_EQ(reader.frames(), expected_frames) << mapping;
    // One line for the connection, one for its close with the frame count.
    EXPECT_NE(server->wait_for(" connected"), "") << server->log();
    const std::string closed = server->wait_for(" closed: client left");
    EXPECT_NE(closed.find("; " + std::to_string(expected_frames.size()) + " frames in "),
              std::string::npos)
        << server->log();
  }
  // The frame trace has every frame, the PIN of VERIFY masked.
  std::ifstream in(trace);
  const std::string traced((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(traced.find(" > 00 49 09 00 20 00 00 04 ** ** ** ** 00\n"), std::string::npos)
      << traced;
  EXPECT_EQ(traced.find("31 32 33 34"), std::string::npos) << traced;
  const std::string connected = tls.log();
  EXPECT_NE(connected.find("client CN=desk host, SHA-256 " + pki.fingerprint("client")),
            std::string::npos)
      << connected;
}

// A host in a process of its own (serve_client.c) holding COM1 as mapped now.
class Holder {
 public:
  Holder() {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::execl(VORKAND_SERVE_CLIENT, "serve_client", nullptr);
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = ::fdopen(out[0], "r");
  }
  ~Holder() {
    if (to_ >= 0) ::close(to_);
    if (from_ != nullptr) std::fclose(from_);
    kill();
  }
  // The next line the host printed.
  std::string line() {
    char text[128] = {};
    if (from_ == nullptr || std::fgets(text, sizeof text, from_) == nullptr) return "";
    std::string got = text;
    if (!got.empty() && got.back() == '\n') got.pop_back();
    return got;
  }
  void say(const std::string& command) {
    [[maybe_unused]] const ssize_t put = ::write(to_, (command + "\n").data(), command.size() + 1);
  }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int wait() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  FILE* from_ = nullptr;
};

TEST(ServeTest, ClientsWithoutTheRightCertificateAndSecondClientsAreRefused) {
  const ServePki& pki = shared_pki();
  ASSERT_TRUE(pki.ok());
  Reader reader;
  ServeProcess tls(with_tls(pki, {"--listen", "127.0.0.1:0", "--reader", reader.path()}));
  ServeProcess narrowed(with_tls(pki, {"--listen", "127.0.0.1:0", "--reader", reader.path(),
                                       "--allow", pki.fingerprint("second")}));
  ServeProcess plain({"--listen", "127.0.0.1:0", "--reader", reader.path()});
  ASSERT_NE(tls.port(), 0) << tls.log();
  ASSERT_NE(narrowed.port(), 0) << narrowed.log();
  ASSERT_NE(plain.port(), 0) << plain.log();
  const auto at = [](const char* scheme, ServeProcess& server) {
    return scheme + std::string("127.0.0.1:") + std::to_string(server.port());
  };

  struct Case {
    const char* what;
    std::string mapping;
    const char* certificate;  // the client's, "" for none
    ServeProcess* server;
    std::string logged;  // in the server's refusal line
  };
  for (const Case& c : {
           Case{"no client certificate", at("tls://", tls), "", &tls,
                "refused: TLS handshake failed"},
           Case{"a certificate from another CA", at("tls://", tls), "stranger", &tls,
                "refused: TLS handshake failed"},
           Case{"a fingerprint not allowed", at("tls://", narrowed), "client", &narrowed,
                "fingerprint is not allowed (client CN=desk host, SHA-256 " +
                    pki.fingerprint("client")},
       }) {
    client_files(pki, c.certificate);
    EXPECT_EQ(open_com1(c.mapping), 0) << c.what;
    EXPECT_NE(c.server->wait_for(c.logged), "") << c.what << "\n" << c.server->log();
  }
  // The allowed certificate is served.
  client_files(pki, "second");
  int32_t handle = open_com1(at("tls://", narrowed));
  EXPECT_NE(handle, 0) << narrowed.log();
  EXPECT_EQ(CT_reset(handle), 0x9000);
  EXPECT_EQ(CT_close(handle), 0);

  // A plain client on the TLS listener opens (TCP connects), and its first
  // frame ends the connection at once, not after the silence limit.
  handle = open_com1(at("tcp://", tls));
  ASSERT_NE(handle, 0);
  const auto start = SteadyClock::now();
  EXPECT_EQ(CT_reset(handle), 0xFFFF);
  EXPECT_LT(SteadyClock::now() - start, 2s);
  EXPECT_EQ(CT_close(handle), 0);
  EXPECT_NE(tls.wait_for("refused: TLS handshake failed"), "") << tls.log();

  // A second client while one is served, over TLS and over plain TCP; once
  // the first has closed, the reader is free at once.
  client_files(pki, "client");
  for (ServeProcess* server : {&tls, &plain}) {
    const std::string mapping = at(server == &tls ? "tls://" : "tcp://", *server);
    ::setenv("VORKAND_COM1", mapping.c_str(), 1);
    Holder first;
    ASSERT_EQ(first.line(), "open 9000") << mapping << "\n" << server->log();
    EXPECT_EQ(CT_open("COM1"), 0) << mapping;
    EXPECT_NE(server->wait_for("refused: the reader is in use by 127.0.0.1:"), "");
    first.say("close");
    EXPECT_EQ(first.wait(), 0);
    EXPECT_NE(server->wait_for(" closed: client left"), "") << server->log();
    handle = CT_open("COM1");
    EXPECT_NE(handle, 0) << mapping << "\n" << server->log();
    EXPECT_EQ(CT_close(handle), 0);
    // A host that opens again right after its close is served: the server
    // takes the close before it looks at the new connection.
    for (int again = 0; again < 5; ++again) {
      handle = CT_open("COM1");
      EXPECT_NE(handle, 0) << again << "\n" << server->log();
      EXPECT_EQ(CT_reset(handle), 0x9000) << again;
      EXPECT_EQ(CT_close(handle), 0);
    }
    // Before the other server opens the same reader.
    EXPECT_NE(server->wait_for(" closed: client left"), "") << server->log();
  }
}

TEST(ServeTest, WhatIsRefusedAtStartSaysWhy) {
  const ServePki& pki = shared_pki();
  ASSERT_TRUE(pki.ok());
  const std::string open_key = pki.file("open.key");
  ASSERT_EQ(std::system(("cp " + pki.file("server.key") + " " + open_key).c_str()), 0);
  ::chmod(open_key.c_str(), 0644);
  const std::string config = pki.file("serve.conf");
  std::ofstream(config) << "[desk]\nlisten = 127.0.0.1:0\nreader = /dev/null\nspeed = 9600\n";
  struct Case {
    std::vector<std::string> arguments;
    const char* said;
  };
  for (const Case& c : {
           Case{{"--listen", "0.0.0.0:0", "--reader", "/dev/null"},
                "plain TCP is served on loopback addresses only"},
           Case{{"--listen", "127.0.0.1:0", "--reader", "/dev/null", "--cert",
                 pki.file("server.crt"), "--key", pki.file("server.key")},
                "TLS needs all three of --cert, --key and --client-ca"},
           Case{{"--listen", "127.0.0.1:0", "--reader", "/dev/null", "--cert",
                 pki.file("server.crt"), "--key", open_key, "--client-ca", pki.file("ca.crt")},
                "readable by others (mode 0644)"},
           Case{{"--listen", "127.0.0.1:0", "--reader", "/dev/null", "--allow", "AB:CD"},
                "not a SHA-256 fingerprint"},
           Case{{"--config", config}, "serve.conf:4: unknown key 'speed'"},
       }) {
    ServeProcess server(c.arguments);
    EXPECT_EQ(server.exit_status(), 2) << c.said;
    EXPECT_NE(server.log().find(c.said), std::string::npos) << server.log();
    EXPECT_EQ(server.log().find("listening"), std::string::npos) << server.log();
  }
}

TEST(ServeTest, AClientThatWasKilledOrVanishedFreesTheReader) {
  Reader reader;
  ServeProcess server({"--listen", "127.0.0.1:0", "--reader", reader.path(), "--keepalive", "4"});
  ASSERT_NE(server.port(), 0) << server.log();
  ::setenv("VORKAND_COM1", ("tcp://127.0.0.1:" + std::to_string(server.port())).c_str(), 1);
  int32_t handle = 0;

  // Killed: its system closes the connection, the reader is free at once.
  Holder killed;
  ASSERT_EQ(killed.line(), "open 9000");
  killed.kill();
  EXPECT_NE(server.wait_for(" closed: client left"), "") << server.log();
  handle = CT_open("COM1");
  ASSERT_NE(handle, 0) << server.log();
  EXPECT_EQ(CT_close(handle), 0);
  EXPECT_NE(server.wait_for(" closed: client left"), "") << server.log();

  // Vanished: nothing more arrives from its side until the server's
  // keepalive asks (and finds no connection there), within the 4 s bound.
  Holder vanished;
  ASSERT_EQ(vanished.line(), "open 9000");
  vanished.say("vanish");
  const auto gone = SteadyClock::now();
  if (vanished.line() != "vanished 1") GTEST_SKIP() << "no TCP repair mode (needs CAP_NET_ADMIN)";
  EXPECT_EQ(CT_open("COM1"), 0);  // still held
  EXPECT_NE(server.wait_for(" closed: connection lost", 8s), "") << server.log();
  EXPECT_LT(SteadyClock::now() - gone, 6s);
  handle = CT_open("COM1");
  ASSERT_NE(handle, 0) << server.log();
  EXPECT_EQ(CT_reset(handle), 0x9000);
  EXPECT_EQ(CT_close(handle), 0);
}

}  // namespace
}  // namespace vorkand::test
