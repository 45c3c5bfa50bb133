// The library's frame trace end to end: a session traced through the shared
// library and replayed by the simulator, secrets, a trace that cannot be
// written, and two handles on two threads into one file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
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

// `count` SELECTs of the MF on an open handle; false when one failed.
bool selects(int32_t handle, int count) {
  std::array<uint8_t, 256> buffer{};
  uint8_t length = 0;
  const Bytes select = h("00 A4 00 0C 02 3F 00");
  bool all = true;
  for (int i = 0; i < count; ++i)
    all = ICC_tsi_api(handle, 7, select.data(), &length, buffer.data()) == 0x9000 && all;
  return all;
}

// Opens COMn on a fresh simulated reader with VORKAND_TRACE=`trace` (and
// VORKAND_TRACE_MAX=`limit` when not 0), runs `count` SELECTs and closes.
bool traced_selects(const char* port, const std::string& trace, int count, uint64_t limit = 0) {
  auto sim = start_reader(port);
  setenv("VORKAND_TRACE", trace.c_str(), 1);
  if (limit != 0) setenv("VORKAND_TRACE_MAX", std::to_string(limit).c_str(), 1);
  const int32_t handle = CT_open(port);
  unsetenv("VORKAND_TRACE");
  unsetenv("VORKAND_TRACE_MAX");
  const bool ok = handle != 0 && selects(handle, count);
  return CT_close(handle) == 0 && ok;
}

// The longest line the library writes, newline included.
constexpr std::size_t kLongestLine = 1280;

// What a trace file must refuse, and what it must do when it cannot write or
// rotate. Each case prepares its file in a directory of its own, runs a
// traced session and checks the file and standard error. Another user's file
// is made with setpriv, as root only.
TEST(TraceE2e, TheTraceFileIsPrivateNeverBlocksAndKeepsItsBound) {
  const auto other_user = [](const std::string& command) {
    return ::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) == 0 &&
           std::system(("/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups sh -c '" +
                        command + "' 2>/dev/null")
                           .c_str()) == 0;
  };
  struct Case {
    const char* what;
    // Prepares `path` in `dir`; false: the case cannot run here.
    std::function<bool(const std::string& dir, const std::string& path)> prepare;
    // Runs the session and checks what it left; `warnings` is standard error.
    std::function<void(const std::string& path, const std::string& warnings)> check;
    std::function<bool(const std::string& path)> run = [](const std::string& path) {
      return traced_selects("COM1", path, 20);
    };
  };
  const auto refused = [](const char* because) {
    return [because](const std::string& path, const std::string& warnings) {
      EXPECT_EQ(read_file(path), "") << "the trace went into it";
      const auto lines = lines_of(warnings);
      ASSERT_EQ(lines.size(), 1u) << warnings;
      EXPECT_NE(lines[0].find(because), std::string::npos) << lines[0];
    };
  };
  const Case cases[] = {
      {"a file of ours that others may read",
       [](const std::string&, const std::string& path) {
         return ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)) == 0 &&
                ::chmod(path.c_str(), 0644) == 0;
       },
       refused("others may read or write it (mode 0644); refused")},
      {"a file of ours that the group may write",
       [](const std::string&, const std::string& path) {
         return ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)) == 0 &&
                ::chmod(path.c_str(), 0620) == 0;
       },
       refused("(mode 0620); refused")},
      {"a file another user made first in a shared directory",
       [&](const std::string& dir, const std::string& path) {
         return ::chmod(dir.c_str(), 01777) == 0 &&
                other_user("umask 0; : > " + path + " && chmod 666 " + path);
       },
       refused(": ")},
      {"FILE.1 cannot be replaced: the trace stops at twice the limit with a last line",
       [](const std::string&, const std::string& path) {
         return ::mkdir((path + ".1").c_str(), 0700) == 0 &&
                ::close(::open((path + ".1/kept").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)) ==
                    0;
       },
       [](const std::string& path, const std::string& warnings) {
         const std::string text = read_file(path);
         EXPECT_LE(text.size(), 2 * 3000 + kLongestLine);
         const auto lines = lines_of(text);
         ASSERT_FALSE(lines.empty());
         EXPECT_NE(lines.back().find(" trace stopped: cannot rename it to " + path +
                                     ".1: Is a directory; nothing more is written to " + path),
                   std::string::npos)
             << lines.back();
         EXPECT_TRUE(parse_trace_record(lines.back())) << lines.back();
         EXPECT_EQ(lines_of(warnings).size(), 1u) << warnings;
       },
       [](const std::string& path) { return traced_selects("COM1", path, 60, 3000); }},
      {"four processes share one file and each rotates it",
       [](const std::string&, const std::string&) { return true; },
       [](const std::string& path, const std::string& warnings) {
         EXPECT_EQ(warnings, "");
         for (const std::string& file : {path, path + ".1"}) {
           const std::string text = read_file(file);
           EXPECT_LE(text.size(), 2 * 20000 + kLongestLine) << file;
           EXPECT_TRUE(text.ends_with("\n")) << file;
           for (const std::string& line : lines_of(text)) {
             const auto record = parse_trace_record(line);
             ASSERT_TRUE(record) << line;
             EXPECT_NE(record->kind, "trace") << line;
           }
         }
         // FILE.1 was renamed away once full, and took no more than a line of
         // each process after that.
         EXPECT_GE(read_file(path + ".1").size(), 20000 - kLongestLine);
       },
       [](const std::string& path) {
         std::vector<pid_t> children;
         for (const char* port : {"COM1", "COM2", "COM3", "COM4"}) {
           const pid_t child = ::fork();
           if (child == 0) ::_exit(traced_selects(port, path, 150, 20000) ? 0 : 1);
           children.push_back(child);
         }
         bool all = true;
         for (const pid_t child : children) {
           int status = 0;
           all = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                 WEXITSTATUS(status) == 0 && all;
         }
         return all;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    char dir[] = "/tmp/vorkand-trace-file-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/trace";
    if (c.prepare(dir, path)) {
      bool ran = false;
      const std::string warnings = capture_stderr([&] { ran = c.run(path); });
      EXPECT_TRUE(ran) << "a call's result changed";
      c.check(path, warnings);
    } else {
      std::cerr << "skipped here (needs root and setpriv): " << c.what << "\n";
    }
    std::system(("rm -rf " + std::string(dir)).c_str());
  }
}

// A FIFO whose reader never reads: every call goes on at once, the lines the
// pipe cannot take are dropped, and once it is read again the next line that
// goes out says how many.
TEST(TraceE2e, AFifoNobodyReadsDropsLinesAndSaysHowMany) {
  char dir[] = "/tmp/vorkand-trace-fifo-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(::fcntl(reader, F_SETPIPE_SZ, 4096), 4096);
  const auto drain = [&] {
    std::string got;
    std::array<char, 4096> buffer{};
    for (ssize_t n; (n = ::read(reader, buffer.data(), buffer.size())) > 0;)
      got.append(buffer.data(), static_cast<std::size_t>(n));
    return got;
  };

  auto sim = start_reader("COM1");
  setenv("VORKAND_TRACE", fifo.c_str(), 1);
  const int32_t handle = CT_open("COM1");
  unsetenv("VORKAND_TRACE");
  ASSERT_NE(handle, 0);
  auto calls = std::async(std::launch::async, [&] { return selects(handle, 100); });
  std::string seen;
  if (calls.wait_for(5s) != std::future_status::ready) {
    ADD_FAILURE() << "the calls wait for the FIFO's reader";
    while (calls.wait_for(10ms) != std::future_status::ready) seen += drain();
  }
  EXPECT_TRUE(calls.get());
  seen += drain();
  EXPECT_LE(seen.size(), 4096u);
  EXPECT_TRUE(selects(handle, 1));
  EXPECT_EQ(CT_close(handle), 0);
  const std::string after = drain();
  ::close(reader);
  std::system(("rm -rf " + std::string(dir)).c_str());

  const auto lines = lines_of(after);
  ASSERT_GE(lines.size(), 2u) << after;
  const auto notice = parse_trace_record(lines[0]);
  ASSERT_TRUE(notice) << lines[0];
  EXPECT_EQ(notice->kind, "trace");
  EXPECT_TRUE(notice->rest.starts_with("dropped ")) << lines[0];
  EXPECT_GT(std::atoi(notice->rest.c_str() + 8), 100) << lines[0];
  EXPECT_TRUE(notice->rest.ends_with(" lines: the file could not take them at once")) << lines[0];
  for (const std::string& line : lines) EXPECT_TRUE(parse_trace_record(line)) << line;
}

}  // namespace
}  // namespace vorkand::sim
