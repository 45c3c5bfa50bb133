// The frame gatherer fed arbitrary arrival sequences: sizes, contents, gaps,
// stale input, a hang-up, a refused write, a clock about to wrap. Every run is
// compared with a plain model of the gatherer's promises:
//   - the count is 0 or 4..256, and the reply is complete by its length byte
//     at the first arrival that completes it (whole arrivals are counted);
//   - the caller's 256 bytes hold exactly the gathered bytes, nothing is
//     written past them, and nothing at all when the result is 0;
//   - stale input never becomes part of the reply;
//   - an arrival that carries the count past 256 ends the exchange with 0 and
//     stays unread;
//   - silence of up to 5000 ms is waited out, more ends the exchange within
//     1 ms of the limit; a failed port ends it at once.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "check.h"
#include "fake_port.h"
#include "link/exchange.h"

namespace {

using vorkand::fuzz::check;

struct Arrival {
  uint32_t at_ms;  // after the write
  std::vector<uint8_t> bytes;
};

// The fake port's script: each arrival after the one before, the hang-up
// after the arrivals due by its time.
std::vector<vorkand::test::Event> script(const std::vector<Arrival>& arrivals, bool hang_up,
                                         uint32_t hang_up_ms) {
  std::vector<vorkand::test::Event> events;
  uint32_t last = 0;
  bool hung_up = false;
  for (const auto& a : arrivals) {
    if (hang_up && !hung_up && hang_up_ms < a.at_ms) {
      events.push_back({hang_up_ms - last, {}, true});
      last = hang_up_ms;
      hung_up = true;
    }
    events.push_back({a.at_ms - last, a.bytes, false});
    last = a.at_ms;
  }
  if (hang_up && !hung_up) events.push_back({hang_up_ms > last ? hang_up_ms - last : 0, {}, true});
  return events;
}

constexpr uint32_t kLimit = vorkand::link::kSilenceLimitMs;

uint32_t pick_gap(FuzzedDataProvider& in) {
  // Gaps around the silence limit matter most. A gap of exactly 5001 ms is
  // left out: bytes that land in the very millisecond the limit passes may
  // fairly be taken or not, as on a real line.
  static constexpr std::array<uint32_t, 12> kGaps{0,    1,    2,    10,   2000, 4000,
                                                  4999, 5000, 5002, 5003, 6000, 12000};
  const uint8_t choice = in.ConsumeIntegral<uint8_t>();
  const uint32_t gap = choice < 2 * kGaps.size() ? kGaps[choice % kGaps.size()]
                                                 : in.ConsumeIntegralInRange<uint32_t>(0, 7000);
  return gap == kLimit + 1 ? gap + 1 : gap;
}

struct Expected {
  int32_t count = 0;
  std::vector<uint8_t> reply;
  uint32_t end_min = 0;    // earliest end, ms after the write
  uint32_t end_max = 0;    // latest end
  std::size_t unread = 0;  // bytes that must stay queued
};

Expected model(const std::vector<Arrival>& arrivals, bool hang_up, uint32_t hang_up_ms) {
  Expected e;
  uint32_t last = 0;
  std::vector<uint8_t> gathered;
  for (const auto& a : arrivals) {
    if (a.at_ms - last > kLimit) break;          // silence passed the limit first
    if (hang_up && hang_up_ms < a.at_ms) break;  // the line died first
    if (gathered.size() + a.bytes.size() > vorkand::link::kMaxReply) {
      e.end_min = e.end_max = a.at_ms;
      e.unread = a.bytes.size();
      return e;
    }
    gathered.insert(gathered.end(), a.bytes.begin(), a.bytes.end());
    last = a.at_ms;
    if (gathered.size() >= 3 && gathered.size() >= gathered[2] + 4u) {
      e.count = static_cast<int32_t>(gathered.size());
      e.reply = gathered;
      e.end_min = e.end_max = a.at_ms;
      return e;
    }
  }
  if (hang_up && hang_up_ms <= last + kLimit) {
    e.end_min = e.end_max = std::max(last, hang_up_ms);
  } else {
    e.end_min = last + kLimit + 1;
    e.end_max = last + kLimit + 2;
  }
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);

  const uint8_t flags = in.ConsumeIntegral<uint8_t>();
  const bool write_fails = (flags & 0x1F) == 0x1F;
  const bool hang_up = (flags & 0x20) != 0;
  const bool near_wrap = (flags & 0x40) != 0;
  const uint32_t start = near_wrap ? 0xFFFFFFFFu - in.ConsumeIntegralInRange<uint32_t>(0, 12000)
                                   : in.ConsumeIntegral<uint32_t>();
  const uint32_t hang_up_ms = hang_up ? in.ConsumeIntegralInRange<uint32_t>(0, 20000) : 0;
  const auto stale = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 8));
  auto frame = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(4, 12));

  std::vector<Arrival> arrivals;
  uint32_t at = 0;
  while (in.remaining_bytes() > 0 && arrivals.size() < 300) {
    const uint32_t gap = pick_gap(in);
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, 300);
    auto bytes = in.ConsumeBytes<uint8_t>(n);
    if (bytes.empty()) break;
    at += gap;
    if (gap == 0 && !arrivals.empty()) {  // same instant: one arrival
      arrivals.back().bytes.insert(arrivals.back().bytes.end(), bytes.begin(), bytes.end());
    } else {
      arrivals.push_back({at, std::move(bytes)});
    }
  }

  const Expected expected = write_fails ? Expected{} : model(arrivals, hang_up, hang_up_ms);

  if (std::getenv("VORKAND_FUZZ_TRACE") != nullptr) {
    std::fprintf(stderr, "start %u, write fails %d, hang-up %d at %u, %zu stale\n", start,
                 write_fails, hang_up, hang_up_ms, stale.size());
    for (const auto& a : arrivals)
      std::fprintf(stderr, "  at %u ms: %zu bytes, first %02x %02x %02x\n", a.at_ms, a.bytes.size(),
                   a.bytes[0], a.bytes.size() > 1 ? a.bytes[1] : 0,
                   a.bytes.size() > 2 ? a.bytes[2] : 0);
    std::fprintf(stderr, "expected count %d, end %u..%u ms\n", expected.count, expected.end_min,
                 expected.end_max);
  }

  vorkand::test::FakeClock clock(start);
  vorkand::test::FakePort line(clock);
  line.preload(stale).script(script(arrivals, hang_up, hang_up_ms));
  line.fail_write = write_fails;

  // The caller's reply area is exactly 256 bytes at the end of a heap block:
  // ASan reports any byte written past it.
  const auto reply = std::make_unique<uint8_t[]>(vorkand::link::kMaxReply);
  std::memset(reply.get(), 0xA5, vorkand::link::kMaxReply);
  const auto frame_copy = frame;

  const int32_t count = vorkand::link::exchange_frame(
      line, clock, frame_copy, std::span<uint8_t, vorkand::link::kMaxReply>(reply.get(), 256));

  check(count == 0 || (count >= 4 && count <= 256), "count outside 0 and 4..256", count);
  check(line.frames().size() == (write_fails ? 0u : 1u), "not one write in one exchange",
        long(line.frames().size()));
  check(write_fails || line.frames()[0] == frame, "the frame written is not the frame given");
  check(count == expected.count, "count differs from the model", count, expected.count);
  if (count > 0) {
    check(count >= reply[2] + 4, "incomplete reply delivered", count, reply[2]);
    check(std::memcmp(reply.get(), expected.reply.data(), expected.reply.size()) == 0,
          "reply bytes differ from those that arrived after the write");
  } else {
    for (std::size_t i = 0; i < vorkand::link::kMaxReply; ++i)
      check(reply[i] == 0xA5, "reply area written although the result is 0", long(i));
  }
  if (write_fails) {
    check(clock.ms() == start, "waited after a refused write", long(clock.ms() - start));
    return 0;
  }
  check(line.since_write_ms() >= expected.end_min, "ended too early (ms after the write)",
        line.since_write_ms(), expected.end_min);
  check(line.since_write_ms() <= expected.end_max, "ended too late (ms after the write)",
        line.since_write_ms(), expected.end_max);
  check(line.unread().size() >= expected.unread, "the arrival past 256 bytes was read",
        long(line.unread().size()), long(expected.unread));
  return 0;
}
