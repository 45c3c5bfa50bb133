// A frame round trip to a reader behind ser2net on loopback, against raw TCP
// round trips of the same 8-byte frame and 6-byte reply, all in one loop:
//
//   library_rfc2217   the library's exchange over rfc2217:// (Telnet, purge
//                     request before each frame) -> ser2net -> pty -> responder
//   library_tcp       the same over tcp:// (raw bytes)
//   raw_via_ser2net   a bare socket: write 8, read 6, through ser2net's raw
//                     TCP accepter to the same kind of responder
//   raw_via_telnet    the same bare socket through ser2net's RFC 2217 accepter
//                     (no negotiation; these frames hold no 0xFF), the
//                     baseline of library_rfc2217
//   raw_direct        a bare socket against a socket responder (no ser2net,
//                     no pseudo-terminal): the floor of loopback TCP
//
//   silent_network_cpu  the CPU one exchange burns while it waits out the 5 s
//                     silence limit on a connection that sends nothing (0), or
//                     only Telnet NOPs every 10 ms (1)
//
// Run with ser2net's chardelay (a wait of at least 1 ms for more serial bytes
// before it sends what it has; on by default) off, where the figures show the
// client's share, and on. Reports the median of each and the ratios. Needs
// ser2net (skipped without).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/channel.h"
#include "link/channel_opener.h"
#include "link/clock.h"
#include "link/exchange.h"
#include "link/net/network_port.h"
#include "link/net/socket.h"
#include "loopback_socket.h"
#include "measure.h"
#include "pty_pair.h"
#include "responder.h"

namespace {

using vorkand::bench::cpu_ms;
using vorkand::bench::median_us;
using vorkand::bench::Responder;
using vorkand::link::kMaxReply;
using vorkand::test::PtyPair;
using Bytes = std::vector<uint8_t>;

const Bytes kReset{0x80, 0x00, 0x04, 0x80, 0x62, 0x00, 0x00, 0x00};
const Bytes kStatus{0x80, 0x00, 0x02, 0x90, 0x00, 0x00};

void no_delay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Reads exactly `n` bytes from a descriptor, waiting with poll.
bool read_exactly(int fd, uint8_t* into, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 5000) <= 0) return false;
    const ssize_t r = ::read(fd, into + got, n - got);
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

// ser2net serving three pseudo-terminals with responders behind them.
class Bench {
 public:
  explicit Bench(bool chardelay) {
    for (auto& pty : ptys_) {
      if (!pty.ok()) return;
      responders_.push_back(std::make_unique<Responder>(pty.master()));
    }
    const char* stacks[] = {"telnet(rfc2217),tcp", "tcp", "tcp", "telnet(rfc2217),tcp"};
    const std::string config = "/tmp/vorkand-ser2net-bench-" + std::to_string(::getpid()) + ".yaml";
    std::ofstream out(config);
    for (int i = 0; i < 4; ++i) {
      ports_[i] = vorkand::test::LoopbackSocket(AF_INET, 0).port();
      out << "connection: &c" << i << "\n  accepter: " << stacks[i] << ",127.0.0.1," << ports_[i]
          << "\n  connector: serialdev," << ptys_[i].path() << ",9600e81,local\n"
          << "  options:\n    chardelay: " << (chardelay ? "true" : "false") << "\n";
    }
    out.close();
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl("/usr/sbin/ser2net", "ser2net", "-n", "-c", config.c_str(), nullptr);
      ::_exit(127);
    }
    // Library channels, retried while ser2net starts.
    ::setenv("VORKAND_COM1", ("rfc2217://127.0.0.1:" + std::to_string(ports_[0])).c_str(), 1);
    ::setenv("VORKAND_COM2", ("tcp://127.0.0.1:" + std::to_string(ports_[1])).c_str(), 1);
    for (int attempt = 0; attempt < 100 && rfc2217_ == nullptr; ++attempt) {
      rfc2217_ = vorkand::link::open_channel(1, "COM1");
      if (rfc2217_ == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    tcp_ = vorkand::link::open_channel(2, "COM2");
    raw_via_ser2net_ = connect_to(ports_[2]);
    raw_via_telnet_ = connect_to(ports_[3]);
    // The server's opening verbs come first: take them out of the way.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::array<uint8_t, 256> opening{};
    while (::recv(raw_via_telnet_, opening.data(), opening.size(), MSG_DONTWAIT) > 0) {
    }
    // The direct floor: a socket responder.
    raw_direct_ = connect_to(listener_.port());
    direct_server_ = ::accept(listener_.fd(), nullptr, nullptr);
    no_delay(direct_server_);
    responders_.push_back(std::make_unique<Responder>(direct_server_));
    std::remove(config.c_str());
  }
  ~Bench() {
    for (auto* channel : {rfc2217_, tcp_}) {
      if (channel == nullptr) continue;
      channel->close();
      delete channel;
    }
    for (int fd : {raw_via_ser2net_, raw_via_telnet_, raw_direct_}) {
      if (fd >= 0) ::close(fd);
    }
    if (direct_server_ >= 0) ::shutdown(direct_server_, SHUT_RDWR);
    responders_.clear();
    if (direct_server_ >= 0) ::close(direct_server_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool ok() const {
    return rfc2217_ != nullptr && tcp_ != nullptr && raw_via_ser2net_ >= 0 &&
           raw_via_telnet_ >= 0 && raw_direct_ >= 0;
  }

  static bool exchange(vorkand::link::Channel* channel) {
    std::array<uint8_t, kMaxReply> reply{};
    return channel->transport().exchange(kReset, reply) == 6;
  }
  static bool raw(int fd) {
    if (::write(fd, kReset.data(), kReset.size()) != static_cast<ssize_t>(kReset.size())) {
      return false;
    }
    std::array<uint8_t, 6> in{};
    return read_exactly(fd, in.data(), in.size());
  }
  bool library_rfc2217() { return exchange(rfc2217_); }
  bool library_tcp() { return exchange(tcp_); }
  bool raw_via_ser2net() { return raw(raw_via_ser2net_); }
  bool raw_via_telnet() { return raw(raw_via_telnet_); }
  bool raw_direct() { return raw(raw_direct_); }

 private:
  static int connect_to(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return -1;
    }
    no_delay(fd);
    return fd;
  }

  std::array<PtyPair, 4> ptys_;
  std::vector<std::unique_ptr<Responder>> responders_;
  std::array<int, 4> ports_{};
  pid_t pid_ = -1;
  vorkand::link::Channel* rfc2217_ = nullptr;
  vorkand::link::Channel* tcp_ = nullptr;
  int raw_via_ser2net_ = -1;
  int raw_via_telnet_ = -1;
  int raw_direct_ = -1;
  vorkand::test::LoopbackSocket listener_;  // the direct floor's
  int direct_server_ = -1;
};

void ser2net_round_trips(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  if (::access("/usr/sbin/ser2net", X_OK) != 0) return state.SkipWithError("no ser2net");
  Bench bench(state.range(0) != 0);
  if (!bench.ok()) return state.SkipWithError("ser2net did not come up");
  std::array<std::vector<double>, 5> samples;
  const auto time = [](auto&& call, std::vector<double>& into) {
    const auto start = Clock::now();
    const bool ok = call();
    into.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    return ok;
  };
  for (auto _ : state) {
    const bool ok = time([&] { return bench.library_rfc2217(); }, samples[0]) &&
                    time([&] { return bench.library_tcp(); }, samples[1]) &&
                    time([&] { return bench.raw_via_ser2net(); }, samples[2]) &&
                    time([&] { return bench.raw_via_telnet(); }, samples[3]) &&
                    time([&] { return bench.raw_direct(); }, samples[4]);
    if (!ok) return state.SkipWithError("no reply");
  }
  const double rfc2217 = median_us(samples[0]);
  const double tcp = median_us(samples[1]);
  const double via = median_us(samples[2]);
  const double via_telnet = median_us(samples[3]);
  const double direct = median_us(samples[4]);
  state.counters["rfc2217_median_us"] = rfc2217;
  state.counters["tcp_median_us"] = tcp;
  state.counters["raw_via_ser2net_median_us"] = via;
  state.counters["raw_via_telnet_median_us"] = via_telnet;
  state.counters["raw_direct_median_us"] = direct;
  state.counters["rfc2217_vs_raw_via_telnet"] = rfc2217 / via_telnet;
  state.counters["tcp_vs_raw_via_ser2net"] = tcp / via;
  state.counters["rfc2217_vs_raw_direct"] = rfc2217 / direct;
}
BENCHMARK(ser2net_round_trips)
    ->ArgName("chardelay")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Iterations(2000)
    ->Unit(benchmark::kMillisecond);

void silent_network_cpu(benchmark::State& state) {
  const vorkand::test::LoopbackSocket listener;
  const int32_t socket = vorkand::link::net::socket_connect("127.0.0.1", listener.port(), 1000);
  const int server = ::accept(listener.fd(), nullptr, nullptr);
  if (socket == 0 || server < 0) return state.SkipWithError("no loopback connection");
  std::atomic<bool> stop{false};
  std::thread nops([&] {
    const uint8_t nop[] = {0xFF, 0xF1};
    while (state.range(0) != 0 && !stop) {
      if (::write(server, nop, sizeof nop) != sizeof nop) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  double cpu = 0;
  for (auto _ : state) {
    vorkand::link::SystemClock clock;
    vorkand::link::net::NetworkPort network(
        socket, vorkand::link::net::NetworkPort::Protocol::telnet, clock);
    std::array<uint8_t, kMaxReply> reply{};
    const double start = cpu_ms();
    const int32_t count = vorkand::link::exchange_frame(network, clock, kReset, reply);
    cpu += cpu_ms() - start;
    if (count != 0) state.SkipWithError("a silent connection answered");
  }
  stop = true;
  nops.join();
  state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations());
  vorkand::link::net::socket_close(socket);
  ::close(server);
}
BENCHMARK(silent_network_cpu)
    ->ArgName("nops")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
