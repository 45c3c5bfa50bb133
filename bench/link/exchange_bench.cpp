// The frame exchange on a pseudo-terminal against the floor of the same line:
//
//   raw_round_trip        write the 8-byte reset frame, read the 6-byte reply
//   exchange_round_trip   the same through exchange_frame (discard, write,
//                         poll, gather, complete)
//   both_interleaved      the two alternated in one loop; reports the median
//                         of each and their ratio
//   traced_interleaved    the exchange with the frame trace on (into a file
//                         without a limit) alternated with it off; reports
//                         both medians and their ratio: what tracing costs
//                         per frame
//   trace_limit_interleaved  the traced exchange into a regular file with the
//                         64 MiB size limit alternated with the same into a
//                         file without a limit: what the size check costs
//                         (the end of each write looked up, so that processes
//                         sharing the file keep its bound)
//   exported_interleaved  CT_reset (one reset frame, through the C boundary
//                         and the handle table) alternated with the raw
//                         round trip on another line: median of each, ratio
//   silent_line_cpu       one exchange on a line that never answers: the CPU
//                         it burns while it waits out the 5 s silence
//
// A reader thread on the master answers every frame at once.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/exchange.h"
#include "link/serial/serial_device.h"
#include "link/trace/trace.h"
#include "measure.h"
#include "pty_pair.h"
#include "vorkand.h"

namespace {

using vorkand::bench::cpu_ms;
using vorkand::bench::median_us;
using vorkand::link::kMaxReply;
using vorkand::test::PtyPair;
using Bytes = std::vector<uint8_t>;

const Bytes kReset{0x80, 0x00, 0x04, 0x80, 0x62, 0x00, 0x00, 0x00};
const Bytes kStatus{0x80, 0x00, 0x02, 0x90, 0x00, 0x00};

// The library's port on a pseudo-terminal, with a reader that answers every
// 8-byte frame with the 6-byte status reply.
class Line {
 public:
  Line() {
    handle_ = vorkand::link::serial::open_device(pty_.path().c_str());
    port_.emplace(handle_);
    reader_ = std::thread([this] {
      while (!stop_) {
        pollfd entry{pty_.master(), POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0) continue;
        if (pty_.receive(kReset.size()).size() == kReset.size()) pty_.send(kStatus);
      }
    });
  }
  ~Line() {
    stop_ = true;
    reader_.join();
    port_.reset();
    vorkand::link::serial::close_device(handle_);
  }
  bool ok() const { return pty_.ok() && handle_ > 0; }
  int32_t handle() const { return handle_; }

  // The floor: one write and reads until the 6 bytes are in.
  bool raw_round_trip() {
    if (::write(handle_, kReset.data(), kReset.size()) != static_cast<ssize_t>(kReset.size())) {
      return false;
    }
    std::array<uint8_t, 16> in{};
    std::size_t got = 0;
    while (got < kStatus.size()) {
      pollfd entry{handle_, POLLIN, 0};
      if (::poll(&entry, 1, 5000) <= 0) return false;
      const ssize_t r = ::read(handle_, in.data() + got, kStatus.size() - got);
      if (r > 0) got += static_cast<std::size_t>(r);
    }
    return true;
  }

  // Through the port as a channel holds it, for the life of the handle.
  bool exchange_round_trip(vorkand::link::ExchangeObserver* observer = nullptr) {
    vorkand::link::SystemClock clock;
    std::array<uint8_t, kMaxReply> reply{};
    return vorkand::link::exchange_frame(*port_, clock, kReset, reply, observer) == 6;
  }

 private:
  PtyPair pty_;
  int32_t handle_ = 0;
  std::optional<vorkand::link::serial::SerialDevice> port_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

void raw_round_trip(benchmark::State& state) {
  Line line;
  if (!line.ok()) return state.SkipWithError("no pseudo-terminal");
  for (auto _ : state) {
    if (!line.raw_round_trip()) return state.SkipWithError("no reply");
  }
}
BENCHMARK(raw_round_trip)->UseRealTime();

void exchange_round_trip(benchmark::State& state) {
  Line line;
  if (!line.ok()) return state.SkipWithError("no pseudo-terminal");
  for (auto _ : state) {
    if (!line.exchange_round_trip()) return state.SkipWithError("no reply");
  }
}
BENCHMARK(exchange_round_trip)->UseRealTime();

void both_interleaved(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  Line line;
  if (!line.ok()) return state.SkipWithError("no pseudo-terminal");
  std::vector<double> raw, exchange;
  for (auto _ : state) {
    auto t0 = Clock::now();
    const bool raw_ok = line.raw_round_trip();
    auto t1 = Clock::now();
    const bool exchange_ok = line.exchange_round_trip();
    auto t2 = Clock::now();
    if (!raw_ok || !exchange_ok) return state.SkipWithError("no reply");
    raw.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    exchange.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  state.counters["raw_median_us"] = median_us(raw);
  state.counters["exchange_median_us"] = median_us(exchange);
  state.counters["ratio"] = median_us(exchange) / median_us(raw);
}
BENCHMARK(both_interleaved)->UseRealTime()->Iterations(2000);

void exported_interleaved(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  Line line;
  if (!line.ok()) return state.SkipWithError("no pseudo-terminal");
  // A second line of the same kind for the library to open as COM1.
  PtyPair pty;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      pollfd entry{pty.master(), POLLIN, 0};
      if (::poll(&entry, 1, 50) <= 0) continue;
      if (pty.receive(kReset.size()).size() == kReset.size()) pty.send(kStatus);
    }
  });
  ::setenv("VORKAND_COM1", pty.path().c_str(), 1);
  const int32_t handle = CT_open("COM1");
  std::vector<double> raw, exported;
  for (auto _ : state) {
    if (handle == 0) break;
    auto t0 = Clock::now();
    const bool raw_ok = line.raw_round_trip();
    auto t1 = Clock::now();
    const bool exported_ok = CT_reset(handle) == 0x9000;
    auto t2 = Clock::now();
    if (!raw_ok || !exported_ok) break;
    raw.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    exported.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  CT_close(handle);
  stop = true;
  reader.join();
  if (exported.empty()) return state.SkipWithError("no reply");
  state.counters["raw_median_us"] = median_us(raw);
  state.counters["exported_median_us"] = median_us(exported);
  state.counters["ratio"] = median_us(exported) / median_us(raw);
}
BENCHMARK(exported_interleaved)->UseRealTime()->Iterations(2000);

void traced_interleaved(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  Line line;
  // A trace takes regular files and FIFOs only (not /dev/null).
  char directory[] = "/tmp/vorkand-trace-bench-XXXXXX";
  if (!line.ok() || ::mkdtemp(directory) == nullptr) {
    return state.SkipWithError("no pseudo-terminal or no temporary folder");
  }
  const std::string path = std::string(directory) + "/trace.log";
  std::array<char, 128> reason{};
  auto* file = vorkand::link::acquire_trace_output(path.c_str(), 0, reason);
  std::vector<double> off, on;
  if (file != nullptr) {
    vorkand::link::Trace trace(file, path.c_str(), line.handle(), "COM1", false);
    for (auto _ : state) {
      auto t0 = Clock::now();
      const bool off_ok = line.exchange_round_trip();
      auto t1 = Clock::now();
      const bool on_ok = line.exchange_round_trip(&trace);
      auto t2 = Clock::now();
      if (!off_ok || !on_ok) break;
      off.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
      on.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
  }
  ::unlink(path.c_str());
  ::rmdir(directory);
  if (on.empty()) return state.SkipWithError("no trace file or no reply");
  state.counters["off_median_us"] = median_us(off);
  state.counters["on_median_us"] = median_us(on);
  state.counters["ratio"] = median_us(on) / median_us(off);
}
BENCHMARK(traced_interleaved)->UseRealTime()->Iterations(2000);

void trace_limit_interleaved(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  Line line;
  char directory[] = "/tmp/vorkand-trace-bench-XXXXXX";
  if (!line.ok() || ::mkdtemp(directory) == nullptr) {
    return state.SkipWithError("no pseudo-terminal or no temporary folder");
  }
  const std::string limited = std::string(directory) + "/limited.log";
  const std::string unlimited = std::string(directory) + "/unlimited.log";
  std::array<char, 128> reason{};
  auto* with_limit = vorkand::link::acquire_trace_output(limited.c_str(), 64u << 20, reason);
  auto* without = vorkand::link::acquire_trace_output(unlimited.c_str(), 0, reason);
  std::vector<double> off, on;
  if (with_limit != nullptr && without != nullptr) {
    vorkand::link::Trace checked(with_limit, limited.c_str(), line.handle(), "COM1", false);
    vorkand::link::Trace unchecked(without, unlimited.c_str(), line.handle(), "COM1", false);
    for (auto _ : state) {
      auto t0 = Clock::now();
      const bool off_ok = line.exchange_round_trip(&unchecked);
      auto t1 = Clock::now();
      const bool on_ok = line.exchange_round_trip(&checked);
      auto t2 = Clock::now();
      if (!off_ok || !on_ok) break;
      off.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
      on.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
  } else {
    if (with_limit != nullptr) vorkand::link::release_trace_output(with_limit);
    if (without != nullptr) vorkand::link::release_trace_output(without);
  }
  ::unlink(limited.c_str());
  ::unlink(unlimited.c_str());
  ::rmdir(directory);
  if (on.empty()) return state.SkipWithError("no trace file or no reply");
  state.counters["unlimited_median_us"] = median_us(off);
  state.counters["limited_median_us"] = median_us(on);
  state.counters["ratio"] = median_us(on) / median_us(off);
}
BENCHMARK(trace_limit_interleaved)->UseRealTime()->Iterations(4000);

void silent_line_cpu(benchmark::State& state) {
  PtyPair pty;  // nobody answers on the master
  const int32_t handle = vorkand::link::serial::open_device(pty.path().c_str());
  if (!pty.ok() || handle <= 0) return state.SkipWithError("no pseudo-terminal");
  double cpu = 0;
  for (auto _ : state) {
    vorkand::link::serial::SerialDevice port(handle);
    vorkand::link::SystemClock clock;
    std::array<uint8_t, kMaxReply> reply{};
    const double start = cpu_ms();
    const int32_t count = vorkand::link::exchange_frame(port, clock, kReset, reply);
    cpu += cpu_ms() - start;
    if (count != 0) state.SkipWithError("a silent line answered");
  }
  state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations());
  vorkand::link::serial::close_device(handle);
}
BENCHMARK(silent_line_cpu)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
