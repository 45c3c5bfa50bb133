// The soak: mixed use for a long time (--seconds, default one hour) over four
// kinds of port at once, with the frame trace on and rotating:
//   COM1  a simulated reader on a pseudo-terminal
//   COM2  another behind ser2net, rfc2217://
//   COM3  another behind ser2net inside TLS, tls://
//   COM4  the virtual card behind a private pcscd, pcsc: (when VICC_READER
//         names its reader: run under tests/pcsc/vicc/private-pcscd-vicc)
// Six threads take whichever port is free, open it, run a session of random
// length (reader reset, power-up, SELECT, READ BINARY, VERIFY, GET
// CHALLENGE) and close it again, pausing a little between calls and
// between sessions (--pause-ms) as a host does. Every result must equal the port's first
// session's, byte for byte (GET CHALLENGE: its status word), and no call may
// take longer than the silence limit. Every --sample seconds the threads
// finish their sessions and wait while descriptors, threads and RSS are
// read; from the first sample after 1000 calls on, descriptors and threads
// must stay exactly as they were and RSS within --rss-slack KiB, and each
// trace file within its limit (VORKAND_TRACE_MAX) by one line.
//
// Prints one line per sample and a summary; exit status 0 when everything
// held, 1 otherwise, 77 when ser2net or the openssl tool is missing.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>

#include "rig.h"

namespace {

using namespace vorkand::rig;
using vorkand::sim::PtySimulator;

constexpr uint64_t kTraceMax = 1 << 20;
constexpr std::size_t kMaxTraceLine = 1280;

struct Port {
  Port(const char* n, const char* k) : name(n), kind(k) {}
  const char* name;
  std::string kind;
  std::vector<Bytes> commands;  // after reset and power-up, in this order, repeated
  std::mutex owner;
  // The first session's results, by step.
  std::mutex golden_lock;
  std::map<std::string, std::string> golden;
  std::atomic<long> sessions{0}, calls{0}, mismatches{0}, open_failures{0}, open_retries{0};
  std::atomic<long> longest_us{0};
  std::string longest_step;  // under golden_lock
};

struct Options {
  int seconds = 3600;
  int sample = 30;
  long rss_slack_kib = 4096;
  int threads = 6;
  unsigned pause_ms = 20;  // most a thread waits between sessions (a tenth between calls)
};

class Soak {
 public:
  Soak(std::vector<Port*> ports, Options options) : ports_(std::move(ports)), options_(options) {}

  bool run(const std::string& trace_path) {
    const auto end = Clock::now() + std::chrono::seconds(options_.seconds);
    std::vector<std::thread> workers;
    for (int i = 0; i < options_.threads; ++i)
      workers.emplace_back([this, i] { work(static_cast<unsigned>(i) + 1); });
    bool ok = true;
    std::optional<Resources> baseline;
    long max_rss = 0;
    while (Clock::now() < end) {
      std::this_thread::sleep_for(
          std::min<Clock::duration>(std::chrono::seconds(options_.sample), end - Clock::now()));
      const Resources now = quiet_sample();
      const auto traces = trace_sizes(trace_path);
      const long calls = total_calls();
      release();
      max_rss = std::max(max_rss, now.rss_kib);
      std::printf(
          "sample t=%llds calls=%ld fds=%d threads=%d rss=%ldKiB trace=%llu+%lluB\n",
          static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                                     Clock::now() - (end - std::chrono::seconds(options_.seconds)))
                                     .count()),
          calls, now.descriptors, now.threads, now.rss_kib,
          static_cast<unsigned long long>(traces.first),
          static_cast<unsigned long long>(traces.second));
      std::fflush(stdout);
      if (traces.first > kTraceMax + kMaxTraceLine || traces.second > kTraceMax + kMaxTraceLine) {
        std::printf("FAIL: a trace file passed its limit\n");
        ok = false;
      }
      if (!baseline && calls >= 1000) {
        baseline = now;
        continue;
      }
      if (baseline) {
        if (now.descriptors != baseline->descriptors || now.threads != baseline->threads ||
            now.rss_kib > baseline->rss_kib + options_.rss_slack_kib) {
          std::printf("FAIL: resources moved from fds=%d threads=%d rss=%ldKiB\n",
                      baseline->descriptors, baseline->threads, baseline->rss_kib);
          ok = false;
        }
      }
    }
    stop_ = true;
    release();
    for (std::thread& t : workers) t.join();
    const Resources last = resources();
    std::printf("\nsoak: %d s, %d threads over %zu ports\n", options_.seconds, options_.threads,
                ports_.size());
    std::printf("%-8s %-10s %9s %9s %11s %11s %9s %12s  %s\n", "port", "kind", "sessions", "calls",
                "mismatches", "open fails", "retries", "longest ms", "(call)");
    for (Port* p : ports_) {
      std::printf("%-8s %-10s %9ld %9ld %11ld %11ld %9ld %12.1f  %s\n", p->name, p->kind.c_str(),
                  p->sessions.load(), p->calls.load(), p->mismatches.load(),
                  p->open_failures.load(), p->open_retries.load(), p->longest_us.load() / 1000.0,
                  p->longest_step.c_str());
      if (p->mismatches != 0 || p->open_failures != 0 || p->sessions == 0) ok = false;
      if (p->longest_us > 5'000'000) ok = false;
    }
    if (baseline) {
      std::printf(
          "resources after 1000 calls: fds=%d threads=%d rss=%ldKiB; at the end (workers "
          "joined): fds=%d threads=%d rss=%ldKiB; highest rss %ldKiB\n",
          baseline->descriptors, baseline->threads, baseline->rss_kib, last.descriptors,
          last.threads, last.rss_kib, max_rss);
      if (last.descriptors != baseline->descriptors) ok = false;
    } else {
      std::printf("FAIL: fewer than 1000 calls\n");
      ok = false;
    }
    const auto traces = trace_sizes(trace_path);
    std::printf("trace: %llu + %llu bytes (limit %llu per file)\n",
                static_cast<unsigned long long>(traces.first),
                static_cast<unsigned long long>(traces.second),
                static_cast<unsigned long long>(kTraceMax));
    std::printf("soak: %s\n", ok ? "PASSED" : "FAILED");
    return ok;
  }

 private:
  static std::pair<uint64_t, uint64_t> trace_sizes(const std::string& path) {
    std::error_code e1, e2;
    const auto a = std::filesystem::file_size(path, e1);
    const auto b = std::filesystem::file_size(path + ".1", e2);
    return {e1 ? 0 : a, e2 ? 0 : b};
  }
  long total_calls() const {
    long n = 0;
    for (const Port* p : ports_) n += p->calls;
    return n;
  }

  // Waits until every worker is between sessions, then samples.
  Resources quiet_sample() {
    std::unique_lock lock(mutex_);
    pause_ = true;
    idle_changed_.wait(lock, [&] { return idle_ == options_.threads; });
    return resources();
  }
  void release() {
    std::lock_guard lock(mutex_);
    pause_ = false;
    resume_.notify_all();
  }
  // Between sessions: waits while the sampler looks.
  bool between_sessions() {
    std::unique_lock lock(mutex_);
    if (!pause_) return !stop_;
    ++idle_;
    idle_changed_.notify_all();
    resume_.wait(lock, [&] { return !pause_ || stop_; });
    --idle_;
    return !stop_;
  }

  void note(Port& p, const std::string& step, const Timed& t, bool compare_data = true) {
    ++p.calls;
    const long us = std::chrono::duration_cast<std::chrono::microseconds>(t.took).count();
    const std::string text = compare_data ? t.text : t.text.substr(0, 4);
    std::lock_guard lock(p.golden_lock);
    if (us > p.longest_us) {
      p.longest_us = us;
      p.longest_step = step;
    }
    const auto [at, fresh] = p.golden.emplace(step, text);
    if (!fresh && at->second != text) {
      if (++p.mismatches <= 5)
        std::printf("%s: %s gave %s, first %s\n", p.name, step.c_str(), text.c_str(),
                    at->second.c_str());
    }
  }

  void session(Port& p, std::mt19937& random) {
    int32_t h = 0;
    const auto give_up = Clock::now() + 5s;
    for (;;) {
      h = CT_open(p.name);
      if (h != 0 || Clock::now() > give_up) break;
      ++p.open_retries;  // ser2net letting go of the last connection
      std::this_thread::sleep_for(20ms);
    }
    if (h == 0) {
      ++p.open_failures;
      return;
    }
    ++p.sessions;
    note(p, "CT_reset", reset_reader(h));
    note(p, "ICC_reset", power_up(h));
    const int rounds = static_cast<int>(random() % 12) + 1;
    for (int r = 0; r < rounds; ++r) {
      for (std::size_t i = 0; i < p.commands.size(); ++i) {
        const Bytes& c = p.commands[i];
        const bool challenge = c.size() > 1 && c[1] == 0x84;
        note(p, "apdu " + std::to_string(i), apdu(h, c), !challenge);
        std::this_thread::sleep_for(
            std::chrono::microseconds(random() % (options_.pause_ms * 100)));
      }
      if (random() % 8 == 0) break;  // closed early, now and then
    }
    if (CT_close(h) != 0) ++p.mismatches;
  }

  void work(unsigned seed) {
    std::mt19937 random(seed);
    while (between_sessions()) {
      Port* chosen = nullptr;
      const std::size_t first = random() % ports_.size();
      for (std::size_t k = 0; k < ports_.size() && chosen == nullptr; ++k) {
        Port* p = ports_[(first + k) % ports_.size()];
        if (p->owner.try_lock()) chosen = p;
      }
      if (chosen == nullptr) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      session(*chosen, random);
      chosen->owner.unlock();
      // A host between sessions; the machine is shared.
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % options_.pause_ms));
    }
  }

  std::vector<Port*> ports_;
  Options options_;
  std::mutex mutex_;
  std::condition_variable idle_changed_, resume_;
  int idle_ = 0;
  bool pause_ = false;
  bool stop_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    const long value = std::atol(argv[i + 1]);
    if (flag == "--seconds") options.seconds = static_cast<int>(value);
    if (flag == "--sample") options.sample = static_cast<int>(value);
    if (flag == "--rss-slack") options.rss_slack_kib = value;
    if (flag == "--threads") options.threads = static_cast<int>(value);
    if (flag == "--pause-ms") options.pause_ms = static_cast<unsigned>(std::max(1L, value));
  }
  ::signal(SIGPIPE, SIG_IGN);
  Scratch scratch("soak");
  Pki pki;
  if (!scratch.ok() || !pki.ok() || ser2net_program() == nullptr) {
    std::printf("soak: SKIPPED (needs ser2net and the openssl tool)\n");
    return 77;
  }
  auto direct = vorkand::test::start_simulator();
  auto telnet = vorkand::test::start_simulator();
  auto tls = vorkand::test::start_simulator();
  if (!direct || !telnet || !tls) return 1;
  Ser2net server(scratch, {{"telnet(rfc2217),tcp", telnet->device_path()},
                           {pki.ssl() + ",tcp", tls->device_path()}});
  if (!server.started()) return 1;

  const std::string trace = scratch.file("trace.log");
  ::setenv("VORKAND_TRACE", trace.c_str(), 1);
  ::setenv("VORKAND_TRACE_MAX", std::to_string(kTraceMax).c_str(), 1);
  ::setenv("VORKAND_TLS_CA", pki.file("ca.crt").c_str(), 1);
  ::setenv("VORKAND_COM1", direct->device_path().c_str(), 1);
  ::setenv("VORKAND_COM2", ("rfc2217://127.0.0.1:" + std::to_string(server.port(0))).c_str(), 1);
  ::setenv("VORKAND_COM3", ("tls://127.0.0.1:" + std::to_string(server.port(1))).c_str(), 1);

  const std::vector<Bytes> sim_commands{hex("00 A4 00 00 02 50 00"), hex("00 A4 00 00 02 50 01"),
                                        hex("00 B0 00 00 00"), hex("00 20 00 00 04 31 32 33 34"),
                                        hex("00 84 00 00 08")};
  Port pty("COM1", "pty"), rfc("COM2", "rfc2217"), tlsp("COM3", "tls"), pcsc("COM4", "pcsc");
  for (Port* p : {&pty, &rfc, &tlsp}) p->commands = sim_commands;
  std::vector<Port*> ports{&pty, &rfc, &tlsp};
  if (const char* reader = std::getenv("VICC_READER")) {
    ::setenv("VORKAND_COM4", (std::string("pcsc:") + reader).c_str(), 1);
    pcsc.commands = {hex("00 A4 00 0C 02 2F 01"), hex("00 B0 00 00 05"),
                     hex("00 20 00 00 04 31 32 33 34"), hex("00 84 00 00 08")};
    ports.push_back(&pcsc);
  } else {
    std::printf("soak: no virtual card (VICC_READER unset): pcsc: left out\n");
  }
  Soak soak(ports, options);
  return soak.run(trace) ? 0 : 1;
}
