// Network readers inside TLS, and many network readers at once, through
// Debian's ser2net on loopback:
//
//   tls_round_trips   a frame round trip over rfc2217s:// (TLS 1.3, chardelay
//                     off) against rfc2217://, and over tls:// against
//                     tcp://, each to an instant responder behind a
//                     pseudo-terminal, alternating, in one run; and the time
//                     to open rfc2217s:// and rfc2217:// (connect, handshake,
//                     negotiation), alternating, a close and a pause between
//   many_readers/N    N `vorkand sim --line-time` readers behind one ser2net,
//                     each driven from its own thread over rfc2217:// with
//                     READ BINARY of a file whose text is that reader's own;
//                     every answer is checked. Reports the aggregate
//                     exchanges/s against N times the rate of N = 1 (the
//                     first run).
//
// The certificates are made with the openssl tool. Needs ser2net and the
// tool (skipped without).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

#include "card/card.h"
#include "link/channel.h"
#include "link/net/net_channel.h"
#include "loopback_socket.h"
#include "measure.h"
#include "pty_pair.h"
#include "responder.h"
#include "sim_process.h"
#include "test_pki.h"

namespace {

using vorkand::bench::median_us;
using vorkand::bench::Responder;
using vorkand::bench::SimProcess;
using vorkand::link::Channel;
using vorkand::link::kMaxReply;
using vorkand::test::PtyPair;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const Bytes kReset{0x80, 0x00, 0x04, 0x80, 0x62, 0x00, 0x00, 0x00};

bool run(const std::string& command) {
  return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

int free_port() {
  return vorkand::test::LoopbackSocket(AF_INET, 0).port();
}

// A CA and a server certificate for 127.0.0.1.
struct Certificates : vorkand::test::TestPki {
  Certificates() { leaf("server", "127.0.0.1", "IP:127.0.0.1"); }
};

// ser2net in the foreground with the given connections ("connection:" blocks).
class Ser2net {
 public:
  explicit Ser2net(const std::string& config_text) {
    config_ = "/tmp/vorkand-tls-bench-" + std::to_string(::getpid()) + ".yaml";
    std::ofstream(config_) << config_text;
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl("/usr/sbin/ser2net", "ser2net", "-n", "-c", config_.c_str(), nullptr);
      ::_exit(127);
    }
  }
  ~Ser2net() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::remove(config_.c_str());
  }

 private:
  std::string config_;
  pid_t pid_ = -1;
};

std::string connection(int n, const std::string& accepter, int port, const std::string& device,
                       bool chardelay) {
  return "connection: &c" + std::to_string(n) + "\n  accepter: " + accepter + ",127.0.0.1," +
         std::to_string(port) + "\n  connector: serialdev," + device + ",9600e81,local\n" +
         (chardelay ? "" : "  options:\n    chardelay: false\n");
}

// Opens `mapping`, retried while ser2net starts or lets go of the device.
Channel* open_retried(Channel* (*open)(const char*, vorkand::link::OpenFailure&) noexcept,
                      const std::string& mapping) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    vorkand::link::OpenFailure why;
    if (Channel* channel = open(mapping.c_str(), why)) return channel;
    std::this_thread::sleep_for(50ms);
  }
  return nullptr;
}

void close_channel(Channel* channel) {
  if (channel == nullptr) return;
  channel->close();
  delete channel;
}

bool exchange(Channel* channel) {
  std::array<uint8_t, kMaxReply> reply{};
  return channel->transport().exchange(kReset, reply) == 6;
}

void tls_round_trips(benchmark::State& state) {
  if (::access("/usr/sbin/ser2net", X_OK) != 0) return state.SkipWithError("no ser2net");
  const Certificates certificates;
  if (!certificates.ok()) return state.SkipWithError("no certificates (the openssl tool?)");
  std::array<PtyPair, 4> ptys;
  std::vector<std::unique_ptr<Responder>> responders;
  for (auto& pty : ptys) responders.push_back(std::make_unique<Responder>(pty.master()));
  const int plain_port = free_port();
  const int tls_port = free_port();
  const int tcp_port = free_port();
  const int raw_tls_port = free_port();
  const std::string ssl = certificates.ssl("server");
  const Ser2net server(
      connection(0, "telnet(rfc2217),tcp", plain_port, ptys[0].path(), false) +
      connection(1, "telnet(rfc2217)," + ssl + ",tcp", tls_port, ptys[1].path(), false) +
      connection(2, "tcp", tcp_port, ptys[2].path(), false) +
      connection(3, ssl + ",tcp", raw_tls_port, ptys[3].path(), false));
  ::setenv("VORKAND_TLS_CA", certificates.file("ca.crt").c_str(), 1);
  const std::string plain_mapping = "rfc2217://127.0.0.1:" + std::to_string(plain_port);
  const std::string tls_mapping = "rfc2217s://127.0.0.1:" + std::to_string(tls_port);
  Channel* plain = open_retried(vorkand::link::net::open_rfc2217, plain_mapping);
  Channel* tls = open_retried(vorkand::link::net::open_rfc2217s, tls_mapping);
  Channel* tcp =
      open_retried(vorkand::link::net::open_tcp, "tcp://127.0.0.1:" + std::to_string(tcp_port));
  Channel* raw_tls =
      open_retried(vorkand::link::net::open_tls, "tls://127.0.0.1:" + std::to_string(raw_tls_port));
  if (plain == nullptr || tls == nullptr || tcp == nullptr || raw_tls == nullptr) {
    for (Channel* channel : {plain, tls, tcp, raw_tls}) close_channel(channel);
    return state.SkipWithError("ser2net did not come up");
  }
  std::array<std::vector<double>, 4> samples;
  const auto time = [](auto&& call, std::vector<double>& into) {
    const auto start = Clock::now();
    const bool ok = call();
    into.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    return ok;
  };
  bool ok = true;
  for (auto _ : state) {
    ok = ok && time([&] { return exchange(plain); }, samples[0]) &&
         time([&] { return exchange(tls); }, samples[1]) &&
         time([&] { return exchange(tcp); }, samples[2]) &&
         time([&] { return exchange(raw_tls); }, samples[3]);
  }
  for (Channel* channel : {plain, tls, tcp, raw_tls}) close_channel(channel);
  if (!ok) return state.SkipWithError("no reply");

  // Opens, alternating; ser2net needs a moment to let go of a device.
  std::array<std::vector<double>, 2> opens;
  for (int round = 0; round < 20 && ok; ++round) {
    std::this_thread::sleep_for(100ms);
    Channel* a = nullptr;
    Channel* b = nullptr;
    ok = time(
             [&] {
               vorkand::link::OpenFailure why;
               a = vorkand::link::net::open_rfc2217(plain_mapping.c_str(), why);
               return a != nullptr;
             },
             opens[0]) &&
         time(
             [&] {
               vorkand::link::OpenFailure why;
               b = vorkand::link::net::open_rfc2217s(tls_mapping.c_str(), why);
               return b != nullptr;
             },
             opens[1]);
    close_channel(a);
    close_channel(b);
  }
  ::unsetenv("VORKAND_TLS_CA");
  if (!ok) return state.SkipWithError("an open failed");
  state.counters["rfc2217_median_us"] = median_us(samples[0]);
  state.counters["rfc2217s_median_us"] = median_us(samples[1]);
  state.counters["rfc2217s_vs_rfc2217"] = median_us(samples[1]) / median_us(samples[0]);
  state.counters["tcp_median_us"] = median_us(samples[2]);
  state.counters["tls_median_us"] = median_us(samples[3]);
  state.counters["tls_vs_tcp"] = median_us(samples[3]) / median_us(samples[2]);
  state.counters["open_rfc2217_median_ms"] = median_us(opens[0]) / 1e3;
  state.counters["open_rfc2217s_median_ms"] = median_us(opens[1]) / 1e3;
  state.counters["open_rfc2217s_vs_rfc2217"] = median_us(opens[1]) / median_us(opens[0]);
}
BENCHMARK(tls_round_trips)->UseRealTime()->Iterations(2000)->Unit(benchmark::kMillisecond);

double g_one_reader_rate = 0;  // exchanges/s of N = 1

void many_readers(benchmark::State& state) {
  if (::access("/usr/sbin/ser2net", X_OK) != 0) return state.SkipWithError("no ser2net");
  const auto n = static_cast<std::size_t>(state.range(0));
  char dir[] = "/tmp/vorkand-many-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return state.SkipWithError("no scratch directory");
  std::vector<std::string> texts;
  std::vector<std::unique_ptr<SimProcess>> sims;
  std::string config;
  std::vector<int> ports;
  for (std::size_t i = 0; i < n; ++i) {
    char text[64];
    std::snprintf(text, sizeof text, "reader %02zu of %02zu", i, n);
    texts.emplace_back(text);
    const std::string card = std::string(dir) + "/" + std::to_string(i) + ".card";
    std::ofstream(card) << "atr t0\nef 3F00/2F00 \"" << text << "\"\n";
    sims.push_back(std::make_unique<SimProcess>(card));
    if (sims.back()->device().empty()) return state.SkipWithError("vorkand sim did not start");
    ports.push_back(free_port());
    config += connection(static_cast<int>(i), "telnet(rfc2217),tcp", ports.back(),
                         sims.back()->device(), true);
  }
  const Ser2net server(config);

  std::atomic<std::size_t> ready{0};
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> wrong{0};
  std::atomic<std::size_t> failed{0};
  std::vector<std::size_t> counts(n, 0);
  double seconds = 0;
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < n; ++i) {
      threads.emplace_back([&, i] {
        Channel* channel = open_retried(vorkand::link::net::open_rfc2217,
                                        "rfc2217://127.0.0.1:" + std::to_string(ports[i]));
        std::array<uint8_t, 256> buffer{};
        uint8_t length = 0;
        const uint8_t select[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00};
        const uint8_t read[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
        bool ok = channel != nullptr &&
                  vorkand::card::reset_reader(channel->transport()) == 0x9000 &&
                  vorkand::card::power_up(channel->transport(), &length, buffer.data()) == 0x9000 &&
                  vorkand::card::transparent_command(channel->transport(), sizeof select, select,
                                                     &length, buffer.data())
                          .status == 0x9000;
        if (!ok) ++failed;
        ++ready;
        while (!go) std::this_thread::sleep_for(1ms);
        while (ok && !stop) {
          const auto result = vorkand::card::transparent_command(channel->transport(), sizeof read,
                                                                 read, &length, buffer.data());
          if (result.status != 0x9000) {
            ++failed;
            break;
          }
          if (std::string(reinterpret_cast<const char*>(buffer.data()), length) != texts[i]) {
            ++wrong;
          }
          ++counts[i];
        }
        close_channel(channel);
      });
    }
    while (ready < n) std::this_thread::sleep_for(1ms);
    const auto start = Clock::now();
    go = true;
    std::this_thread::sleep_for(5s);
    stop = true;
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& thread : threads) thread.join();
  }
  run(std::string("rm -rf ") + dir);
  std::size_t total = 0;
  for (const std::size_t count : counts) total += count;
  // The last exchange of each thread may end after `seconds`: a little over.
  const double rate = static_cast<double>(total) / seconds;
  if (n == 1) g_one_reader_rate = rate;
  state.counters["exchanges_per_s"] = rate;
  state.counters["per_reader"] = rate / static_cast<double>(n);
  state.counters["wrong_answers"] = static_cast<double>(wrong);
  state.counters["failed_readers"] = static_cast<double>(failed);
  if (g_one_reader_rate > 0) {
    state.counters["vs_n_times_one"] = rate / (static_cast<double>(n) * g_one_reader_rate);
  }
}
BENCHMARK(many_readers)
    ->ArgName("n")
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Arg(64)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
