// End to end: the shared library, through its C exports, reaches readers that
// vorkand-serve serves over tcp:// and tls://, and sees what a host of the
// reader itself sees.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <array>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serve_process.h"
#include "sim/hex.h"
#include "simulator.h"
#include "test_pki.h"
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
      frames_.push_back(sim::to_hex(event.bytes));
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
  return std::string(text) + (data.empty() ? "" : " " + sim::to_hex(data));
}

std::string tsi(int32_t handle, std::string_view apdu) {
  const Bytes bytes = sim::parse_hex(apdu).value();
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

// COM1 mapped to `mapping`, opened.
int32_t open_com1(const std::string& mapping) {
  ::setenv("VORKAND_COM1", mapping.c_str(), 1);
  return CT_open("COM1");
}

// The library's TLS files for a client with certificate NAME (none: "").
void client_files(const TestPki& pki, const std::string& name) {
  ::setenv("VORKAND_TLS_CA", pki.file("ca.crt").c_str(), 1);
  if (name.empty()) {
    ::unsetenv("VORKAND_TLS_CERT");
    ::unsetenv("VORKAND_TLS_KEY");
  } else {
    ::setenv("VORKAND_TLS_CERT", pki.file(name + ".crt").c_str(), 1);
    ::setenv("VORKAND_TLS_KEY", pki.file(name + ".key").c_str(), 1);
  }
}

// `arguments` and the server's TLS files.
std::vector<std::string> with_tls(const TestPki& pki, std::vector<std::string> arguments) {
  for (const std::string& a :
       {std::string("--cert"), pki.file("server.crt"), std::string("--key"), pki.file("server.key"),
        std::string("--client-ca"), pki.file("ca.crt")})
    arguments.push_back(a);
  return arguments;
}

TEST(ServeTest, ASerialReaderServedOverTlsAndTcpAnswersAsOnItsOwnPort) {
  const TestPki pki;
  ASSERT_TRUE(pki.ok());
  Reader reader;
  const int32_t direct = open_com1(reader.path());
  ASSERT_NE(direct, 0);
  const auto expected = typical_use(direct);
  EXPECT_EQ(CT_close(direct), 0);
  const auto expected_frames = reader.frames();
  ASSERT_EQ(expected[4].substr(0, 4), "9000");

  ServeProcess tls(with_tls(pki, {"--listen", "127.0.0.1:0", "--reader", reader.path()}));
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
  const std::string connected = tls.log();
  EXPECT_NE(connected.find("client CN=desk host, SHA-256 " + pki.fingerprint("client")),
            std::string::npos)
      << connected;
}

}  // namespace
}  // namespace vorkand::test
