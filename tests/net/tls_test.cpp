// TLS against a server the test plays with OpenSSL on loopback: which
// certificates a name or an address accepts, TLS files that are not regular
// files, the close_notify a close sends, and a descriptor the host closed
// behind the library's back that the system gives to the next open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/net/socket.h"
#include "link/net/tls.h"
#include "loopback_socket.h"
#include "test_pki.h"
#include "vorkand.h"

namespace vorkand::link::net {
namespace {

using namespace std::chrono_literals;

using Pki = test::TestPki;

// A TLS server on 127.0.0.1 with one certificate. For each connection it
// notes how the session ended: "close_notify", "cut" (the connection closed
// without it) or "no handshake".
class TlsServer {
 public:
  TlsServer(const std::string& cert, const std::string& key)
      : context_(SSL_CTX_new(TLS_server_method())) {
    ok_ = context_ != nullptr &&
          SSL_CTX_use_certificate_file(context_, cert.c_str(), SSL_FILETYPE_PEM) == 1 &&
          SSL_CTX_use_PrivateKey_file(context_, key.c_str(), SSL_FILETYPE_PEM) == 1 &&
          listener_.port() != 0;
    if (ok_) thread_ = std::thread([this] { run(); });
  }
  ~TlsServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    SSL_CTX_free(context_);
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return listener_.port(); }
  // How the next session ended, waiting for it at most `limit` ("" when none did).
  std::string next_ending(std::chrono::milliseconds limit = 3000ms) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [this] { return !endings_.empty(); });
    if (endings_.empty()) return "";
    std::string ending = endings_.front();
    endings_.erase(endings_.begin());
    return ending;
  }

 private:
  void run() {
    // A client that gives up mid-handshake must not end the test with SIGPIPE.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    while (!stop_) {
      pollfd entry{listener_.fd(), POLLIN, 0};
      if (::poll(&entry, 1, 50) <= 0) continue;
      const int client = ::accept(listener_.fd(), nullptr, nullptr);
      if (client < 0) continue;
      const timeval limit{3, 0};
      ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      SSL* ssl = SSL_new(context_);
      SSL_set_fd(ssl, client);
      std::string ending = "no handshake";
      if (SSL_accept(ssl) == 1) {
        std::array<char, 256> buffer{};
        int got = 0;
        while ((got = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()))) > 0) {
        }
        ending = SSL_get_error(ssl, got) == SSL_ERROR_ZERO_RETURN ? "close_notify" : "cut";
      }
      ERR_clear_error();
      SSL_free(ssl);
      ::close(client);
      const std::lock_guard lock(mutex_);
      endings_.push_back(ending);
      changed_.notify_all();
    }
  }

  SSL_CTX* context_;
  test::LoopbackSocket listener_{AF_INET, 4};
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> endings_;
  std::thread thread_;
};

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pki_.ok());
    ASSERT_TRUE(pki_.leaf("good", "localhost", "IP:127.0.0.1,DNS:localhost"));
  }
  void TearDown() override {
    for (const char* name : {"VORKAND_TLS_CA", "VORKAND_TLS_CERT", "VORKAND_TLS_KEY",
                             "VORKAND_TRACE", "VORKAND_COM1", "VORKAND_COM2"})
      ::unsetenv(name);
  }
  Pki pki_;
};

// The name or address a certificate is checked against, through the TLS seam
// (any name can be given there, whatever the resolver knows).
TEST_F(TlsTest, NamesMatchOnlyTheSubjectAltNameAndWholeLabelWildcards) {
  struct Case {
    const char* what;
    const char* cn;
    const char* san;
    const char* host;
    bool accepted;
  };
  const Case cases[] = {
      {"a DNS name in the subjectAltName", "other", "DNS:localhost", "localhost", true},
      {"the common name alone", "localhost", "", "localhost", false},
      {"a whole-label wildcard", "x", "DNS:*.example.test", "foo.example.test", true},
      {"a partial wildcard", "x", "DNS:f*.example.test", "foo.example.test", false},
      {"an IP address in the subjectAltName", "x", "IP:127.0.0.1", "127.0.0.1", true},
  };
  const std::string ca = pki_.file("ca.crt");
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "leaf" + std::to_string(n++);
    ASSERT_TRUE(pki_.leaf(name, c.cn, c.san));
    TlsServer server(pki_.file(name + ".crt"), pki_.file(name + ".key"));
    ASSERT_TRUE(server.ok());
    const int32_t socket = socket_connect("127.0.0.1", server.port(), 2000);
    ASSERT_NE(socket, 0);
    std::array<char, 256> reason{};
    TlsFiles files;
    files.ca_file = ca.c_str();
    TlsSession* session = tls_connect(socket, c.host, files, 3000, reason);
    EXPECT_EQ(session != nullptr, c.accepted) << reason.data();
    if (!c.accepted) {
      EXPECT_TRUE(std::string(reason.data()).starts_with("certificate verify failed"))
          << reason.data();
    }
    tls_close(session);
    socket_close(socket);
  }
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// CT_open through the exports, with the reason of a refusal read from the
// trace. An address is checked as connected to; TLS files must be regular
// files, and a FIFO nobody writes must not hold the open.
TEST_F(TlsTest, OpensRefuseOtherAddressFormsAndFilesThatAreNotRegular) {
  ASSERT_TRUE(pki_.leaf("far", "far", "IP:177.0.0.1"));
  ASSERT_TRUE(pki_.leaf("client", "vorkand", ""));
  const std::string fifo = pki_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string ca = pki_.file("ca.crt");
  const std::string cert = pki_.file("client.crt");
  const std::string key = pki_.file("client.key");
  const std::string trace = pki_.file("trace");
  TlsServer good(pki_.file("good.crt"), pki_.file("good.key"));
  TlsServer far(pki_.file("far.crt"), pki_.file("far.key"));
  ASSERT_TRUE(good.ok() && far.ok());

  struct Case {
    const char* what;
    std::string mapping;
    std::string ca;
    std::string cert;
    std::string key;
    std::string reason;  // empty: opens, and its close sends close_notify
  };
  const std::string at_good = ":" + std::to_string(good.port());
  const std::string at_far = ":" + std::to_string(far.port());
  const Case cases[] = {
      {"verified by address", "tls://127.0.0.1" + at_good, ca, "", "", ""},
      {"verified by name", "tls://localhost" + at_good, ca, cert, key, ""},
      {"an octal address, read by the resolver as 127.0.0.1", "tls://0177.0.0.1" + at_far, ca, "",
       "", "failed: not a dotted-decimal IPv4 address"},
      {"a short address", "tls://127.1" + at_far, ca, "", "", "failed: not a dotted-decimal"},
      {"the address connected to is not the certificate's", "tls://127.0.0.1" + at_far, ca, "", "",
       "failed: TLS: certificate verify failed"},
      {"a FIFO as the CA file", "tls://127.0.0.1" + at_good, fifo, "", "",
       "VORKAND_TLS_CA " + fifo + ": not a regular file"},
      {"a FIFO as the certificate", "tls://127.0.0.1" + at_good, ca, fifo, key,
       "VORKAND_TLS_CERT " + fifo + ": not a regular file"},
      {"a FIFO as the key", "tls://127.0.0.1" + at_good, ca, cert, fifo,
       "VORKAND_TLS_KEY " + fifo + ": not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ::unlink(trace.c_str());
    ::setenv("VORKAND_TRACE", trace.c_str(), 1);
    ::setenv("VORKAND_COM1", c.mapping.c_str(), 1);
    for (const auto& [name, value] :
         {std::pair{"VORKAND_TLS_CA", &c.ca}, std::pair{"VORKAND_TLS_CERT", &c.cert},
          std::pair{"VORKAND_TLS_KEY", &c.key}}) {
      if (value->empty()) {
        ::unsetenv(name);
      } else {
        ::setenv(name, value->c_str(), 1);
      }
    }
    auto opened = std::async(std::launch::async, [] { return CT_open("COM1"); });
    if (opened.wait_for(4800ms) != std::future_status::ready) {
      ADD_FAILURE() << "CT_open still blocked after 4.8 s";
      // A writer that comes and goes lets an open blocked on the FIFO go on.
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (writer >= 0) ::close(writer);
    }
    const int32_t handle = opened.get();
    ::unsetenv("VORKAND_TRACE");
    const std::string lines = read_text(trace);
    if (c.reason.empty()) {
      ASSERT_NE(handle, 0) << lines;
      EXPECT_EQ(CT_close(handle), 0);
      EXPECT_EQ(good.next_ending(), "close_notify");
      continue;
    }
    EXPECT_EQ(handle, 0);
    if (handle != 0) CT_close(handle);
    EXPECT_NE(lines.find(c.reason), std::string::npos) << lines;
  }
}

// The host closes the library's socket itself; the next open gets the same
// number for a connection to another server. Dropping the stale channel
// must leave that connection alone: its server sees no end of it until the
// new handle is closed.
TEST_F(TlsTest, AStaleDescriptorLeavesTheNewConnectionAlone) {
  const test::LoopbackSocket first(AF_INET, 2);
  const test::LoopbackSocket second(AF_INET, 2);
  ASSERT_TRUE(first.port() != 0 && second.port() != 0);
  struct Case {
    const char* what;
    const char* scheme;
  };
  TlsServer server(pki_.file("good.crt"), pki_.file("good.key"));
  ASSERT_TRUE(server.ok());
  ::setenv("VORKAND_TLS_CA", pki_.file("ca.crt").c_str(), 1);
  const Case cases[] = {{"plain TCP", "tcp://"}, {"TLS", "tls://"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool tls = std::string_view(c.scheme) == "tls://";
    ::setenv("VORKAND_COM1", ("tcp://127.0.0.1:" + std::to_string(first.port())).c_str(), 1);
    const int32_t stale = CT_open("COM1");
    ASSERT_NE(stale, 0);
    const int accepted = ::accept(first.fd(), nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    ::close(stale);  // behind the library's back
    ::setenv(
        "VORKAND_COM2",
        (c.scheme + std::string("127.0.0.1:") + std::to_string(tls ? server.port() : second.port()))
            .c_str(),
        1);
    const int32_t fresh = CT_open("COM2");
    ASSERT_NE(fresh, 0);
    if (fresh != stale) {
      CT_close(fresh);
      ::close(accepted);
      GTEST_SKIP() << "the system gave the new socket another number";
    }
    if (tls) {
      // The server would see the session end at once.
      EXPECT_EQ(server.next_ending(300ms), "") << "the new session ended before its close";
      EXPECT_EQ(CT_close(fresh), 0);
      EXPECT_EQ(server.next_ending(), "close_notify");
    } else {
      const int peer = ::accept(second.fd(), nullptr, nullptr);
      ASSERT_GE(peer, 0);
      pollfd entry{peer, POLLIN, 0};
      EXPECT_EQ(::poll(&entry, 1, 300), 0) << "the new connection was shut down";
      EXPECT_EQ(CT_close(fresh), 0);
      EXPECT_EQ(::poll(&entry, 1, 2000), 1);
      ::close(peer);
    }
    ::close(accepted);
  }
}

}  // namespace
}  // namespace vorkand::link::net
