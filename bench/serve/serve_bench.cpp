// vorkand-serve on loopback:
//
//   serve_round_trips  a frame round trip to an instant responder behind a
//                      pseudo-terminal: directly, through vorkand-serve over
//                      tcp:// and over tls://, alternating in one run; the
//                      server's share is the served median less the direct one
//                      (goal: at most 100 us)
//   served_readers/N   N `vorkand sim --line-time` readers served by one
//                      vorkand-serve --config, each driven from its own thread
//                      over tls:// with READ BINARY of a file whose text is that
//                      reader's own, every answer checked; the aggregate rate
//                      against N times the rate of N = 1 (goal: 0.95 at 16),
//                      and the server's CPU time and peak RSS
//
// The certificates are made with the openssl tool.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "card/card.h"
#include "link/channel.h"
#include "link/channel_opener.h"
#include "link/net/net_channel.h"
#include "measure.h"
#include "pty_pair.h"
#include "responder.h"
#include "serve_pki.h"
#include "serve_process.h"
#include "sim_process.h"

namespace {

using vorkand::bench::median_us;
using vorkand::bench::Responder;
using vorkand::bench::SimProcess;
using vorkand::link::Channel;
using vorkand::test::PtyPair;
using vorkand::test::ServePki;
using vorkand::test::ServeProcess;
using vorkand::test::with_tls;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const Bytes kReset{0x80, 0x00, 0x04, 0x80, 0x62, 0x00, 0x00, 0x00};

void close_channel(Channel* channel) {
  if (channel == nullptr) return;
  channel->close();
  delete channel;
}

Channel* open(const std::string& mapping) {
  vorkand::link::OpenFailure why;
  return vorkand::link::open_mapped(mapping.c_str(), why);
}

void client_files(const ServePki& pki) {
  ::setenv("VORKAND_TLS_CA", pki.file("ca.crt").c_str(), 1);
  ::setenv("VORKAND_TLS_CERT", pki.file("client.crt").c_str(), 1);
  ::setenv("VORKAND_TLS_KEY", pki.file("client.key").c_str(), 1);
}

const ServePki& pki() {
  static const ServePki instance;
  return instance;
}

void serve_round_trips(benchmark::State& state) {
  if (!pki().ok()) return state.SkipWithError("no certificates (the openssl tool?)");
  std::array<PtyPair, 3> ptys;
  std::vector<std::unique_ptr<Responder>> responders;
  for (auto& pty : ptys) responders.push_back(std::make_unique<Responder>(pty.master()));
  ServeProcess plain({"--listen", "127.0.0.1:0", "--reader", ptys[1].path()});
  ServeProcess tls(with_tls(pki(), {"--listen", "127.0.0.1:0", "--reader", ptys[2].path()}));
  if (plain.port() == 0 || tls.port() == 0)
    return state.SkipWithError("vorkand-serve did not start");
  client_files(pki());
  Channel* direct = open(ptys[0].path());
  Channel* tcp = open("tcp://127.0.0.1:" + std::to_string(plain.port()));
  Channel* secure = open("tls://127.0.0.1:" + std::to_string(tls.port()));
  std::array<std::vector<double>, 3> samples;
  bool ok = direct != nullptr && tcp != nullptr && secure != nullptr;
  const auto time = [&](Channel* channel, std::vector<double>& into) {
    std::array<uint8_t, vorkand::link::kMaxReply> reply{};
    const auto start = Clock::now();
    const bool done = channel->transport().exchange(kReset, reply) == 6;
    into.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    return done;
  };
  for (auto _ : state) {
    ok = ok && time(direct, samples[0]) && time(tcp, samples[1]) && time(secure, samples[2]);
  }
  for (Channel* channel : {direct, tcp, secure}) close_channel(channel);
  if (!ok) return state.SkipWithError("no reply");
  const double base = median_us(samples[0]);
  state.counters["direct_median_us"] = base;
  state.counters["served_tcp_median_us"] = median_us(samples[1]);
  state.counters["served_tls_median_us"] = median_us(samples[2]);
  state.counters["tcp_added_us"] = median_us(samples[1]) - base;
  state.counters["tls_added_us"] = median_us(samples[2]) - base;
}
BENCHMARK(serve_round_trips)->UseRealTime()->Iterations(3000)->Unit(benchmark::kMillisecond);

// The process's user + system CPU time in ms, and its peak RSS in KiB.
double cpu_ms_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}
double peak_rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6));
  }
  return 0;
}

double g_one_reader_rate = 0;  // exchanges/s of N = 1

void served_readers(benchmark::State& state) {
  if (!pki().ok()) return state.SkipWithError("no certificates (the openssl tool?)");
  const auto n = static_cast<std::size_t>(state.range(0));
  char dir[] = "/tmp/vorkand-served-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return state.SkipWithError("no scratch directory");
  std::vector<std::string> texts;
  std::vector<std::unique_ptr<SimProcess>> sims;
  std::ostringstream config;
  for (std::size_t i = 0; i < n; ++i) {
    char text[64];
    std::snprintf(text, sizeof text, "reader %02zu of %02zu", i, n);
    texts.emplace_back(text);
    const std::string card = std::string(dir) + "/" + std::to_string(i) + ".card";
    std::ofstream(card) << "atr t0\nef 3F00/2F00 \"" << text << "\"\n";
    sims.push_back(std::make_unique<SimProcess>(card));
    if (sims.back()->device().empty()) return state.SkipWithError("vorkand sim did not start");
    config << "[sim" << i << "]\nlisten = 127.0.0.1:0\nreader = " << sims.back()->device()
           << "\ncert = " << pki().file("server.crt") << "\nkey = " << pki().file("server.key")
           << "\nclient-ca = " << pki().file("ca.crt") << "\n\n";
  }
  const std::string config_file = std::string(dir) + "/serve.conf";
  std::ofstream(config_file) << config.str();
  ServeProcess server({"--config", config_file});
  std::vector<int> ports;
  for (std::size_t i = 0; i < n; ++i) ports.push_back(server.port(i));
  if (ports.back() == 0) return state.SkipWithError("vorkand-serve did not start");
  client_files(pki());

  std::atomic<std::size_t> ready{0};
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> wrong{0};
  std::atomic<std::size_t> failed{0};
  std::vector<std::size_t> counts(n, 0);
  double seconds = 0;
  double cpu = 0;
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < n; ++i) {
      threads.emplace_back([&, i] {
        Channel* channel = open("tls://127.0.0.1:" + std::to_string(ports[i]));
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
          if (std::string(reinterpret_cast<const char*>(buffer.data()), length) != texts[i])
            ++wrong;
          ++counts[i];
        }
        close_channel(channel);
      });
    }
    while (ready < n) std::this_thread::sleep_for(1ms);
    const double cpu_before = cpu_ms_of(server.pid());
    const auto start = Clock::now();
    go = true;
    std::this_thread::sleep_for(5s);
    stop = true;
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    cpu = cpu_ms_of(server.pid()) - cpu_before;
    for (auto& thread : threads) thread.join();
  }
  const double rss = peak_rss_kib(server.pid());
  std::system((std::string("rm -rf ") + dir).c_str());
  std::size_t total = 0;
  for (const std::size_t count : counts) total += count;
  const double rate = static_cast<double>(total) / seconds;
  if (n == 1) g_one_reader_rate = rate;
  state.counters["exchanges_per_s"] = rate;
  state.counters["per_reader"] = rate / static_cast<double>(n);
  state.counters["wrong_answers"] = static_cast<double>(wrong);
  state.counters["failed_readers"] = static_cast<double>(failed);
  state.counters["server_cpu_percent"] = cpu / (seconds * 10.0);
  state.counters["server_peak_rss_kib"] = rss;
  if (g_one_reader_rate > 0) {
    state.counters["vs_n_times_one"] = rate / (static_cast<double>(n) * g_one_reader_rate);
  }
}
BENCHMARK(served_readers)
    ->ArgName("n")
    ->Arg(1)
    ->Arg(16)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
