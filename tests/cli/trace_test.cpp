// The tool's side of the trace: `vorkand --trace` shows the library's frames
// on stderr, and `vorkand sim --replay` plays a recorded session back to
// another run of the tool.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "loopback_socket.h"
#include "sim/card_file.h"
#include "sim/pty_simulator.h"
#include "simulator.h"
#include "spawned_tool.h"

namespace vorkand::sim {
namespace {

struct ToolRun {
  std::string out;
  std::string err;
  int status;
};

// Runs the tool with `environment` ("NAME=value ...", shell words) before it.
ToolRun run_tool(const std::string& environment, const std::string& args) {
  const std::string out = ::testing::TempDir() + "vorkand_trace_out";
  const std::string err = ::testing::TempDir() + "vorkand_trace_err";
  const std::string command =
      environment + " '" + VORKAND_CLI + "' " + args + " >'" + out + "' 2>'" + err + "' </dev/null";
  const int status = std::system(command.c_str());
  return {slurp(out), slurp(err), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

using test::start_simulator;

TEST(ToolTrace, TraceShowsEachFrameWithItsMillisecondsOnStderr) {
  auto sim = start_simulator();
  const ToolRun plain = run_tool("", "--device " + sim->device_path() + " atr");
  const ToolRun traced = run_tool("", "--trace --device " + sim->device_path() + " atr");
  EXPECT_EQ(traced.status, 0);
  EXPECT_EQ(traced.out, plain.out);  // stdout is untouched
  const std::string shown =
      std::regex_replace(traced.err, std::regex(R"( *[0-9]+\.[0-9]{3} ms  )"), "T ms  ");
  EXPECT_EQ(shown,
            "T ms  host -> reader  80 00 04 80 60 00 00 00\n"
            "T ms  reader -> host  80 00 02 90 00 00\n"
            "T ms  host -> reader  80 00 04 80 6B 05 00 00\n"
            "T ms  reader -> host  80 00 02 90 00 00\n"
            "T ms  host -> reader  80 00 04 80 61 00 00 00\n"
            "T ms  reader -> host  70 00 0B 3B 95 11 80 01 76 6F 72 6B 61 64 00\n");
}

TEST(ToolTrace, ReplayPlaysARecordedSessionToAnotherRun) {
  const std::string trace = ::testing::TempDir() + "vorkand_trace_recorded";
  ::unlink(trace.c_str());
  const std::string steps =
      " send --power-up 00A4000C025000 00A4000C025002 0020000104'31323334' "
      "00B000000A";
  std::string recorded_out;
  {
    auto sim = start_simulator();
    const ToolRun recorded =
        run_tool("VORKAND_TRACE='" + trace + "'", "--device " + sim->device_path() + steps);
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    recorded_out = recorded.out;
  }

  const char* argv[] = {VORKAND_CLI, "sim", "--replay", trace.c_str(), nullptr};
  SpawnedTool sim(argv);
  ASSERT_TRUE(sim.started());
  std::string output;
  std::string device;
  while (device.empty()) {
    const std::string text = sim.line();
    if (text.empty()) break;
    output += text;
    if (text.starts_with("export VORKAND_COM1=")) device = text.substr(20, text.size() - 21);
  }
  ASSERT_FALSE(device.empty()) << output;

  // The same steps, another PIN (masked in the recording, so it matches): the same output.
  const ToolRun replayed = run_tool(
      "", "--device " + device + std::regex_replace(steps, std::regex("31323334"), "39393939"));
  EXPECT_EQ(replayed.status, 0) << replayed.err;
  EXPECT_EQ(std::regex_replace(replayed.out, std::regex("39 39 39 39"), "31 32 33 34"),
            recorded_out);

  const std::optional<int> status = sim.stop();
  output += sim.rest();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << output;
  EXPECT_NE(output.find("replay: 7 of 7 frames matched; no difference"), std::string::npos)
      << output;
  ::unlink(trace.c_str());
}

// Each kind of port that does not open: the library's trace says why in its
// "open ... failed:" line, and the tool's error gives the same reason, with a
// trace the user asked for and with none.
TEST(ToolTrace, AFailedOpenSaysWhyInTheTraceAndInTheToolsError) {
  const test::LoopbackSocket closed(AF_INET, 0);  // bound, not listening: refused
  const test::LoopbackSocket silent;              // accepts, never answers
  ASSERT_NE(closed.port(), 0);
  ASSERT_NE(silent.port(), 0);
  const std::string regular = ::testing::TempDir() + "vorkand_not_a_terminal";
  std::ofstream(regular) << "text\n";
  const std::string trace = ::testing::TempDir() + "vorkand_failed_open_trace";
  struct Case {
    std::string device;
    std::string reason;
    std::string environment;
  };
  const Case cases[] = {
      {"/dev/vorkand-no-such-device", "missing", ""},
      {regular, "not a terminal", ""},
      {"tcp://127.0.0.1:" + std::to_string(closed.port()), "connection refused", ""},
      {"rfc2217://127.0.0.1:" + std::to_string(silent.port()),
       "not an RFC 2217 server: no answer to the option negotiation", ""},
      {"pcsc:Any Reader", "no PC/SC service: ", "PCSCLITE_CSOCK_NAME=/nonexistent/pcscd.comm"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    ::unlink(trace.c_str());
    for (const std::string& traced : {std::string(), "VORKAND_TRACE='" + trace + "'"}) {
      const ToolRun run = run_tool(c.environment + " " + traced, "--device '" + c.device + "' atr");
      EXPECT_EQ(run.status, 1);
      EXPECT_TRUE(run.err.starts_with("vorkand: cannot open COM1: " + c.device + ": " + c.reason))
          << run.err;
    }
    // The one line of the traced run.
    const std::string line = slurp(trace);
    EXPECT_TRUE(
        std::regex_match(line, std::regex("[0-9]+\\.[0-9]{6} COM1 0 open vorkand [^\n]+\n")))
        << line;
    EXPECT_NE(line.find(", " + c.device + " failed: " + c.reason), std::string::npos) << line;
  }
  ::unlink(trace.c_str());
  ::unlink(regular.c_str());
}

}  // namespace
}  // namespace vorkand::sim
