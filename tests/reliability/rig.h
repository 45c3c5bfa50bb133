// What the long runs (the fault campaign, the soak) set up around the
// library: simulated readers on pseudo-terminals, Debian's ser2net serving
// them on loopback (raw, Telnet with COM-PORT-OPTION, each also inside TLS),
// a CA and a server certificate made with the openssl tool, the process's
// own descriptors, threads and memory, and the typical calls through the C
// exports with their results as text.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/hex.h"
#include "loopback_socket.h"
#include "sim/pty_simulator.h"
#include "simulator.h"
#include "test_pki.h"
#include "vorkand.h"

namespace vorkand::rig {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

inline bool run_quietly(const std::string& command) {
  return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

inline int free_port() {
  return test::LoopbackSocket(AF_INET, 0).port();
}

// A scratch directory, removed with everything in it.
class Scratch {
 public:
  explicit Scratch(const char* what) {
    std::string pattern = std::string("/tmp/vorkand-") + what + "-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
  }
  ~Scratch() {
    if (!dir_.empty() && std::getenv("VORKAND_KEEP_SCRATCH") == nullptr)
      run_quietly("rm -rf " + dir_);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  bool ok() const { return !dir_.empty(); }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

// A CA and a server certificate for 127.0.0.1 signed by it.
struct Pki : test::TestPki {
  Pki() { leaf("server", "127.0.0.1", "IP:127.0.0.1"); }
  // A client certificate signed by the CA, for servers that ask for one.
  bool client() { return leaf("client", "vorkand-client"); }
  std::string ssl() const { return TestPki::ssl("server"); }
};

inline const char* ser2net_program() {
  for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return nullptr;
}

// ser2net in the foreground with one accepter per device, chardelay off
// (the campaign measures the library, not ser2net's pacing).
class Ser2net {
 public:
  struct Accepter {
    std::string stack;   // "telnet(rfc2217),tcp", "tcp", with ssl(...) inside for TLS
    std::string device;  // the simulator's pseudo-terminal
    int port = 0;
  };

  Ser2net(const Scratch& scratch, std::vector<Accepter> accepters)
      : accepters_(std::move(accepters)) {
    const std::string config = scratch.file("ser2net-" + std::to_string(::getpid()) + "-" +
                                            std::to_string(instance_++) + ".yaml");
    std::ofstream out(config);
    int n = 0;
    for (Accepter& a : accepters_) {
      a.port = free_port();
      out << "connection: &reader" << n++ << "\n"
          << "  accepter: " << a.stack << ",127.0.0.1," << a.port << "\n"
          << "  connector: serialdev," << a.device << ",9600e81,local\n"
          << "  options:\n    chardelay: false\n";
    }
    out.close();
    if (ser2net_program() == nullptr) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl(ser2net_program(), "ser2net", "-n", "-c", config.c_str(), nullptr);
      ::_exit(127);
    }
    // Ready once every accepter takes a connection.
    const auto give_up = Clock::now() + 5s;
    for (const Accepter& a : accepters_) {
      while (Clock::now() < give_up && !accepts(a.port)) std::this_thread::sleep_for(20ms);
    }
  }
  ~Ser2net() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;
  bool started() const { return pid_ > 0; }
  int port(std::size_t i) const { return accepters_[i].port; }

 private:
  static bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
  }
  static inline int instance_ = 0;
  std::vector<Accepter> accepters_;
  pid_t pid_ = -1;
};

// vorkand-serve serving one reader on a loopback port of its own choosing
// (read from its log's "listening on" line).
class ServeProcess {
 public:
  ServeProcess(const std::string& program, std::vector<std::string> args) {
    std::array<int, 2> out{};
    if (::pipe2(out.data(), O_CLOEXEC) != 0) return;
    args.insert(args.begin(), {program, "--listen", "127.0.0.1:0"});
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 2);
      ::dup2(out[1], 1);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    log_ = ::fdopen(out[0], "r");
    std::array<char, 1024> line{};
    const auto give_up = Clock::now() + 10s;
    while (port_ == 0 && Clock::now() < give_up && std::fgets(line.data(), line.size(), log_)) {
      const std::string_view text(line.data());
      const auto at = text.find("listening on 127.0.0.1:");
      if (at != std::string_view::npos) port_ = std::atoi(line.data() + at + 23);
    }
    // The rest of the log is read and dropped, so that the server never
    // blocks on a full pipe.
    drain_ = std::thread([this] {
      std::array<char, 1024> rest{};
      while (std::fgets(rest.data(), rest.size(), log_)) {
      }
    });
  }
  ~ServeProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (drain_.joinable()) drain_.join();
    if (log_ != nullptr) std::fclose(log_);
  }
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;
  bool started() const { return port_ != 0; }
  uint16_t port() const { return static_cast<uint16_t>(port_); }

 private:
  pid_t pid_ = -1;
  FILE* log_ = nullptr;
  int port_ = 0;
  std::thread drain_;
};

// The process's own resources, from /proc/self.
struct Resources {
  int descriptors = 0;
  int threads = 0;
  long rss_kib = 0;
};

inline Resources resources() {
  Resources r;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++r.descriptors;
    }
    ::closedir(dir);
    --r.descriptors;  // the directory's own
  }
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("Threads:")) r.threads = std::atoi(line.c_str() + 8);
    if (line.starts_with("VmRSS:")) r.rss_kib = std::atol(line.c_str() + 6);
  }
  return r;
}

inline std::string sw_text(int32_t sw) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(sw) & 0xFFFFu);
  return text;
}

// One call's result: the status word and any data, as "9000 3B 95 ...".
inline std::string result(int32_t sw, std::span<const uint8_t> data = {}) {
  return sw_text(sw) + (data.empty() ? "" : " " + common::to_hex(data));
}

// The status words the library promises (vorkand.h), beside the card's own.
inline bool promised_library_sw(uint16_t sw) {
  return sw == 0x9000 || sw == 0xFFFF || sw == 0x6200 || sw == 0x6201 || sw == 0x6FF0;
}

// A call timed: its result text and how long it took.
struct Timed {
  std::string text;
  uint16_t sw = 0;
  Clock::duration took{};
};

template <typename Call>
Timed timed(Call call) {
  const auto start = Clock::now();
  Timed t;
  const auto [sw, text] = call();
  t.took = Clock::now() - start;
  t.sw = static_cast<uint16_t>(sw);
  t.text = text;
  return t;
}

inline Timed reset_reader(int32_t h) {
  return timed([&] {
    const int32_t sw = CT_reset(h);
    return std::pair{sw, result(sw)};
  });
}

inline Timed power_up(int32_t h) {
  return timed([&] {
    std::array<uint8_t, 252> atr{};
    uint8_t length = 0;
    const int32_t sw = ICC_reset(h, &length, atr.data());
    return std::pair{sw, result(sw, std::span(atr).first(length))};
  });
}

inline Timed apdu(int32_t h, const Bytes& command) {
  return timed([&] {
    std::array<uint8_t, 250> response{};
    uint8_t length = 0;
    const int32_t sw = ICC_tsi_api(h, static_cast<int32_t>(command.size()), command.data(), &length,
                                   response.data());
    return std::pair{sw, result(sw, std::span(response).first(length))};
  });
}

inline Bytes hex(std::string_view text) {
  return common::parse_hex(text).value();
}

}  // namespace vorkand::rig
