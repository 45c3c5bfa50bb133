// The library's frame trace end to end: a session traced through the shared
// library and replayed by the simulator, secrets, a trace that cannot be
// written, and two handles on two threads into one file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/hex.h"
#include "replay/replay.h"
#include "sim/card_file.h"
#include "sim/pty_simulator.h"
#include "simulator.h"
#include "vorkand.h"

namespace vorkand::sim {
namespace {

using common::parse_hex;
using common::to_hex;
using replay::parse_recording;
using replay::parse_trace_record;
using replay::Recording;
using replay::Replay;

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

Bytes h(std::string_view text) {
  return parse_hex(text).value();
}

std::string read_file(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A fresh path under the test's temporary directory.
std::string temp_path(const char* name) {
  const char* dir = std::getenv("TMPDIR");
  std::string path =
      std::string(dir ? dir : "/tmp") + "/vorkand-trace-" + std::to_string(::getpid()) + "-" + name;
  ::unlink(path.c_str());
  return path;
}

// A simulator on a pseudo-terminal mapped to `port`: the card model (a fresh
// card each time), or `responder` when given.
std::unique_ptr<PtySimulator> start_reader(const char* port, Responder responder = {}) {
  PtyOptions options;
  options.responder = std::move(responder);
  auto sim = test::start_simulator(std::move(options));
  if (!sim) return nullptr;
  setenv((std::string("VORKAND_") + port).c_str(), sim->device_path().c_str(), 1);
  return sim;
}

struct Outcome {
  int32_t result;
  Bytes data;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  return out << std::hex << o.result << " " << to_hex(o.data);
}

// A host's session: reader reset, power-up, a protected file read after
// VERIFY, a challenge, PIN change and unblock (each through ICC_command),
// close. `ef` is the file selected.
std::vector<Outcome> host_session(const char* port, std::string_view ef = "5002") {
  std::vector<Outcome> outcomes;
  const int32_t handle = CT_open(port);
  outcomes.push_back({handle != 0, {}});
  if (handle == 0) return outcomes;
  outcomes.push_back({CT_reset(handle), {}});
  std::array<uint8_t, 256> buffer{};
  uint8_t length = 0;
  outcomes.push_back(
      {ICC_reset(handle, &length, buffer.data()), Bytes(buffer.data(), buffer.data() + length)});
  const auto tsi = [&](std::string_view apdu) {
    const Bytes bytes = h(apdu);
    length = 0;
    const int32_t sw = ICC_tsi_api(handle, static_cast<int32_t>(bytes.size()), bytes.data(),
                                   &length, buffer.data());
    outcomes.push_back({sw, Bytes(buffer.data(), buffer.data() + length)});
  };
  const auto command = [&](std::string_view apdu) {
    const Bytes bytes = h(apdu);
    length = 0;
    const int32_t sw = ICC_command(handle, static_cast<int32_t>(bytes.size()), bytes.data(),
                                   &length, buffer.data(), 0, 0);
    outcomes.push_back({sw, Bytes(buffer.data(), buffer.data() + length)});
  };
  tsi("00 A4 00 0C 02 50 00");
  tsi(std::string("00 A4 00 0C 02 ") + std::string(ef));
  tsi("00 20 00 01 04 31 32 33 34");  // VERIFY "1234"
  tsi("00 B0 00 00 00");
  tsi("00 84 00 00 08");
  command("00 24 00 01 08 31 32 33 34 35 36 37 38");  // CHANGE REFERENCE DATA
  command("00 2C 00 01 04 35 36 37 38");              // RESET RETRY COUNTER
  outcomes.push_back({CT_close(handle), {}});
  return outcomes;
}

// The session on a fresh simulated card, traced into `trace` (empty: untraced).
std::vector<Outcome> traced_session(const std::string& trace) {
  auto sim = start_reader("COM1");
  if (!trace.empty()) setenv("VORKAND_TRACE", trace.c_str(), 1);
  auto outcomes = host_session("COM1");
  unsetenv("VORKAND_TRACE");
  return outcomes;
}

TEST(TraceE2e, TracedSessionReplaysWithIdenticalResultsAndDivergenceNamesItsLine) {
  const std::string trace = temp_path("session");
  const auto recorded = traced_session(trace);
  ASSERT_EQ(recorded.size(), 11u);
  EXPECT_EQ(recorded[5].result, 0x9000);  // the PIN was right
  EXPECT_EQ(to_hex(recorded[6].data), to_hex(h("73 65 63 72 65 74 3A 20 34 32")));

  const std::string text = read_file(trace);
  // The header names what the port was mapped by.
  EXPECT_NE(text.find(" 9600 baud 8E1, no flow control, mapped by VORKAND_COM1\n"),
            std::string::npos)
      << text;
  // The PINs never reach the file: not in the frames, not in the calls.
  EXPECT_EQ(text.find("31 32 33 34"), std::string::npos) << text;
  EXPECT_EQ(text.find("35 36 37 38"), std::string::npos) << text;
  EXPECT_NE(text.find("> 40 49 09 00 20 00 01 04 ** ** ** ** 00"), std::string::npos) << text;
  EXPECT_NE(text.find("call ICC_tsi_api apdu 00 20 00 01 04 ** ** ** ** -> 9000"),
            std::string::npos);
  EXPECT_NE(text.find("call ICC_command apdu 00 24 00 01 08 ** ** ** ** ** ** ** ** direction 0 "
                      "protocol 0 ->"),
            std::string::npos);
  struct stat info {};
  ASSERT_EQ(::stat(trace.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  auto parsed = parse_recording(text);
  ASSERT_TRUE(std::holds_alternative<Recording>(parsed)) << std::get<std::string>(parsed);
  const Recording recording = std::get<Recording>(parsed);

  // The same host steps against the replay: the same results, every frame matched.
  {
    Replay replay(recording);
    auto sim = start_reader("COM1", [&](const Bytes& frame) {
      const auto a = replay.answer(frame);
      return Answer{a.bytes, a.hang_up};
    });
    EXPECT_EQ(host_session("COM1"), recorded);
    EXPECT_FALSE(replay.difference()) << replay.summary();
    EXPECT_EQ(replay.matched(), static_cast<int>(recording.exchanges.size()));
  }

  // A host that selects another file leaves the recording at that frame's line.
  const auto lines = lines_of(text);
  int select_line = 0;
  for (std::size_t i = 0; i < lines.size() && select_line == 0; ++i) {
    if (lines[i].ends_with("> 40 49 07 00 A4 00 0C 02 50 02 00"))
      select_line = static_cast<int>(i) + 1;
  }
  ASSERT_GT(select_line, 0);
  Replay replay(recording);
  auto sim = start_reader("COM1", [&](const Bytes& frame) {
    const auto a = replay.answer(frame);
    return Answer{a.bytes, a.hang_up};
  });
  std::vector<Outcome> diverged;
  std::thread host([&] { diverged = host_session("COM1", "5001"); });
  // The silent reader would hold the host for 5 s a call: stop it once the
  // difference is known, so the host sees a hang-up at once.
  for (int i = 0; i < 400 && !replay.difference(); ++i) std::this_thread::sleep_for(5ms);
  sim->stop();
  host.join();
  ASSERT_TRUE(replay.difference());
  EXPECT_EQ(replay.difference()->line, select_line);
  EXPECT_EQ(replay.difference()->received, "40 49 07 00 A4 00 0C 02 50 01 00");
  ASSERT_GE(diverged.size(), 5u);
  EXPECT_EQ(diverged[4].result, 0xFFFF);
  ::unlink(trace.c_str());
}

// Every command that carries reference data, in two classes, through both
// exports: the data bytes are masked in the call line, in the library's frame
// line and in the simulator's own trace; VORKAND_TRACE_SECRETS=1 shows them.
TEST(TraceE2e, PinDataIsMaskedInEveryTraceUnlessAskedFor) {
  for (const bool show : {false, true}) {
    SCOPED_TRACE(show ? "secrets shown" : "secrets masked");
    std::mutex sim_lock;
    std::string sim_text;
    PtyOptions options;
    options.show_secrets = show;
    options.trace = [&](const TraceEvent& event) {
      const std::lock_guard lock(sim_lock);
      sim_text += format_trace(event, false) + "\n";
    };
    auto sim = test::start_simulator(std::move(options));
    ASSERT_NE(sim, nullptr);
    setenv("VORKAND_COM1", sim->device_path().c_str(), 1);
    const std::string trace = temp_path("pins");
    setenv("VORKAND_TRACE", trace.c_str(), 1);
    if (show) setenv("VORKAND_TRACE_SECRETS", "1", 1);
    const int32_t handle = CT_open("COM1");
    unsetenv("VORKAND_TRACE");
    unsetenv("VORKAND_TRACE_SECRETS");
    ASSERT_NE(handle, 0);
    std::array<uint8_t, 256> buffer{};
    uint8_t length = 0;
    ASSERT_EQ(ICC_reset(handle, &length, buffer.data()), 0x9000);  // T=0: frames head 40

    const std::string data = show ? "31 32 33 34" : "** ** ** **";
    std::vector<std::string> expected_trace;
    std::vector<std::string> expected_sim;
    for (const uint8_t ins : {0x20, 0x21, 0x24, 0x25, 0x26, 0x28, 0x2C, 0x2D}) {
      for (const uint8_t cla : {0x00, 0xA0}) {
        const Bytes apdu{cla, ins, 0x00, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34};
        const std::string shown = to_hex(Bytes(apdu.begin(), apdu.begin() + 5)) + " " + data;
        const std::string frame = "40 49 09 " + shown + " 00";
        ICC_tsi_api(handle, 9, apdu.data(), &length, buffer.data());
        ICC_command(handle, 9, apdu.data(), &length, buffer.data(), 0, 0);
        expected_trace.push_back("call ICC_tsi_api apdu " + shown + " ->");
        expected_trace.push_back("call ICC_command apdu " + shown + " direction 0 protocol 0 ->");
        expected_trace.push_back("> " + frame + "\n");
        expected_sim.push_back("host -> reader  " + frame + "\n");
      }
    }
    EXPECT_EQ(CT_close(handle), 0);
    sim->stop();
    const std::string text = read_file(trace);
    for (const std::string& line : expected_trace)
      EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    for (const std::string& line : expected_sim)
      EXPECT_NE(sim_text.find(line), std::string::npos) << line << "\n" << sim_text;
    if (!show) {
      EXPECT_EQ(text.find("31 32 33 34"), std::string::npos) << text;
      EXPECT_EQ(sim_text.find("31 32 33 34"), std::string::npos) << sim_text;
    }
    ::unlink(trace.c_str());
  }
}

// Runs `f` with stderr going into a file; returns what was written there.
template <typename F>
std::string capture_stderr(F f) {
  const std::string path = temp_path("stderr");
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(file, STDERR_FILENO);
  f();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  std::string text = read_file(path);
  ::unlink(path.c_str());
  return text;
}

TEST(TraceE2e, UnwritableTraceChangesNoResultAndWarnsOnce) {
  const auto untraced = traced_session("");
  // A directory that does not exist and a FIFO nobody reads (the open fails),
  // a full device (every write fails).
  const std::string fifo = temp_path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // And a path too long to take.
  const std::string too_long(5000, 'x');
  for (const std::string& path : {std::string("/nonexistent-vorkand-dir/trace.log"), fifo,
                                  std::string("/dev/full"), too_long}) {
    if (path == "/dev/full" && ::access(path.c_str(), W_OK) != 0) continue;
    std::vector<Outcome> outcomes;
    const std::string warnings = capture_stderr([&] { outcomes = traced_session(path); });
    EXPECT_EQ(outcomes, untraced) << path;
    const auto lines = lines_of(warnings);
    ASSERT_EQ(lines.size(), 1u) << path << ": " << warnings;
    const std::string named = path == too_long ? "(the path in VORKAND_TRACE)" : path;
    EXPECT_TRUE(lines[0].starts_with("vorkand: trace " + named + ": ")) << lines[0];
    EXPECT_NE(lines[0].find("; tracing stopped for handle "), std::string::npos) << lines[0];
  }
  ::unlink(fifo.c_str());

  // Standard error a pipe whose reader is gone: no SIGPIPE, the same results.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(ends[1], STDERR_FILENO);
  const auto outcomes = traced_session("-");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(ends[1]);
  EXPECT_EQ(outcomes, untraced);
}

// Two handles tracing into one file with a small VORKAND_TRACE_MAX: the file
// is renamed to FILE.1 as it passes the limit and a new FILE begins with an
// open line; both handles go on in the new file, none in the old one.
TEST(TraceE2e, TraceSharedByTwoHandlesRotatesAtItsLimit) {
  const std::string trace = temp_path("rotated");
  const std::string rotated = trace + ".1";
  ::unlink(rotated.c_str());
  auto first = start_reader("COM1");
  auto second = start_reader("COM2");
  constexpr uint64_t kLimit = 3000;
  setenv("VORKAND_TRACE", trace.c_str(), 1);
  setenv("VORKAND_TRACE_MAX", std::to_string(kLimit).c_str(), 1);
  const int32_t handles[] = {CT_open("COM1"), CT_open("COM2")};
  unsetenv("VORKAND_TRACE");
  unsetenv("VORKAND_TRACE_MAX");
  ASSERT_NE(handles[0], 0);
  ASSERT_NE(handles[1], 0);
  std::array<uint8_t, 256> buffer{};
  uint8_t length = 0;
  const Bytes select = h("00 A4 00 0C 02 3F 00");
  for (int i = 0; i < 60; ++i) {
    for (const int32_t handle : handles)
      EXPECT_EQ(ICC_tsi_api(handle, 7, select.data(), &length, buffer.data()), 0x9000);
  }
  CT_close(handles[0]);
  CT_close(handles[1]);

  for (const std::string& path : {trace, rotated}) {
    SCOPED_TRACE(path);
    const std::string text = read_file(path);
    EXPECT_LE(text.size(), kLimit);
    EXPECT_GT(text.size(), kLimit / 2);
    const auto lines = lines_of(text);
    ASSERT_FALSE(lines.empty());
    const auto top = parse_trace_record(lines.front());
    ASSERT_TRUE(top);
    EXPECT_EQ(top->kind, "open");
    std::map<int32_t, int> per_handle;
    for (const std::string& line : lines) {
      const auto record = parse_trace_record(line);
      ASSERT_TRUE(record) << line;
      ++per_handle[record->handle];
    }
    EXPECT_GT(per_handle[handles[0]], 5);
    EXPECT_GT(per_handle[handles[1]], 5);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
  ::unlink(trace.c_str());
  ::unlink(rotated.c_str());
}

TEST(TraceE2e, TwoHandlesOnTwoThreadsKeepEveryLineWholeAndItsOwn) {
  const std::string trace = temp_path("threads");
  auto first = start_reader("COM1");
  auto second = start_reader("COM2");
  setenv("VORKAND_TRACE", trace.c_str(), 1);
  constexpr int kRounds = 100;
  // Both open at once (a handle is unique only among open ones). Each thread
  // reads its own length from the MF's EF 2F00, so each frame tells its thread.
  const int32_t handles[] = {CT_open("COM1"), CT_open("COM2")};
  ASSERT_NE(handles[0], 0);
  ASSERT_NE(handles[1], 0);
  const auto session = [](int32_t handle, std::string_view read) {
    std::array<uint8_t, 256> buffer{};
    uint8_t length = 0;
    EXPECT_EQ(ICC_reset(handle, &length, buffer.data()), 0x9000);
    const Bytes select = h("00 A4 00 0C 02 2F 00");
    EXPECT_EQ(ICC_tsi_api(handle, 7, select.data(), &length, buffer.data()), 0x9000);
    const Bytes apdu = h(read);
    for (int i = 0; i < kRounds; ++i) {
      EXPECT_EQ(ICC_tsi_api(handle, 5, apdu.data(), &length, buffer.data()), 0x9000);
    }
  };
  std::thread one([&] { session(handles[0], "00 B0 00 00 03"); });
  std::thread two([&] { session(handles[1], "00 B0 00 00 07"); });
  one.join();
  two.join();
  CT_close(handles[0]);
  CT_close(handles[1]);
  unsetenv("VORKAND_TRACE");

  const std::string text = read_file(trace);
  ASSERT_TRUE(text.ends_with("\n"));
  std::map<int32_t, std::string> port_of;
  std::map<std::string, int> reads;
  for (const std::string& line : lines_of(text)) {
    const auto record = parse_trace_record(line);
    ASSERT_TRUE(record) << line;
    if (record->kind == "open") port_of[record->handle] = record->port;
    ASSERT_EQ(port_of.count(record->handle), 1u) << line;
    EXPECT_EQ(port_of[record->handle], record->port) << line;
    if (record->kind != ">" && record->kind != "<") continue;
    // A whole frame: as many bytes as its length byte says.
    const Bytes bytes = h(record->rest);
    ASSERT_GE(bytes.size(), 4u) << line;
    EXPECT_EQ(bytes.size(), bytes[2] + 4u) << line;
    if (record->kind == ">" && bytes.size() == 9 && bytes[4] == 0xB0) {
      EXPECT_EQ(bytes[7], record->port == "COM1" ? 0x03 : 0x07) << line;
      ++reads[record->port];
    }
  }
  EXPECT_EQ(port_of.size(), 2u);
  EXPECT_EQ(reads["COM1"], kRounds);
  EXPECT_EQ(reads["COM2"], kRounds);
  ::unlink(trace.c_str());
}

}  // namespace
}  // namespace vorkand::sim
