// Each command's output for the built-in card (challenge seed 1), compared
// exactly with golden/<name>.txt: stdout, then stderr, then the exit status.
// VORKAND_UPDATE_GOLDEN=1 rewrites the files instead.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "replay/replay.h"
#include "sim/card_file.h"
#include "sim/pty_simulator.h"
#include "simulator.h"
#include "spawned_tool.h"

namespace vorkand::sim {
namespace {

using replay::parse_recording;
using replay::Recording;
using replay::Replay;

std::string quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs the tool, with `env` ("NAME=value") added to its environment and
// `input` as its standard input; its output as the golden files record it.
std::string run_tool(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                     const std::string& input = "/dev/null") {
  const std::string out = ::testing::TempDir() + "vorkand_golden_out";
  const std::string err = ::testing::TempDir() + "vorkand_golden_err";
  std::string command = "env";
  for (const auto& setting : env) command += " " + quote(setting);
  command += " " + quote(VORKAND_CLI);
  for (const auto& arg : args) command += " " + quote(arg);
  command += " >" + quote(out) + " 2>" + quote(err) + " <" + quote(input);
  const int status = std::system(command.c_str());
  const int exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::string record =
      slurp(out) + "--- stderr\n" + slurp(err) + "--- exit " + std::to_string(exit_code) + "\n";
  // The pseudo-terminal's number changes from run to run.
  record = std::regex_replace(record, std::regex("/dev/pts/[0-9]+"), "/dev/pts/N");
  record = std::regex_replace(record, std::regex("process [0-9]+"), "process N");
  // Scripts are named by their place in the source tree.
  for (auto at = record.find(VORKAND_SCRIPT_DIR); at != std::string::npos;
       at = record.find(VORKAND_SCRIPT_DIR)) {
    record.replace(at, std::string_view(VORKAND_SCRIPT_DIR).size(), "data");
  }
  return record;
}

void check(const std::string& name, const std::string& actual) {
  const std::string path = std::string(VORKAND_GOLDEN_DIR) + "/" + name + ".txt";
  if (std::getenv("VORKAND_UPDATE_GOLDEN")) {
    std::ofstream(path, std::ios::binary) << actual;
    return;
  }
  EXPECT_EQ(slurp(path), actual) << "golden file " << path;
}

// A fresh simulator with the built-in card, the given ATR and seed 1.
class GoldenTest : public ::testing::Test {
 protected:
  void start(std::string_view atr = "t0") {
    CardProfile card = default_card();
    card.atr = parse_atr_choice(atr).value();
    sim_ = test::start_simulator({}, std::move(card));
    ASSERT_NE(sim_, nullptr);
  }
  std::string with_device(std::vector<std::string> args, const std::string& input = "/dev/null") {
    args.insert(args.begin(), {"--device", sim_->device_path()});
    return run_tool(args, {}, input);
  }
  // A reader that plays the recorded reader side of data/<name>.
  void replay(const std::string& name) {
    auto recording = parse_recording(slurp(VORKAND_SCRIPT_DIR "/" + name));
    ASSERT_TRUE(std::holds_alternative<Recording>(recording));
    replay_ = std::make_shared<Replay>(std::get<Recording>(std::move(recording)));
    PtyOptions options;
    options.responder = [played = replay_](const std::vector<uint8_t>& frame) {
      const Replay::Answer answer = played->answer(frame);
      return Answer{answer.bytes, answer.hang_up};
    };
    sim_ = test::start_simulator(std::move(options));
    ASSERT_NE(sim_, nullptr);
  }
  std::unique_ptr<PtySimulator> sim_;
  std::shared_ptr<Replay> replay_;
};

TEST_F(GoldenTest, Demo) {
  check("demo", run_tool({"demo", "--seed", "1"}));
  check("demo_json", run_tool({"--json", "demo", "--seed", "1"}));
  check("demo_t1", run_tool({"--port", "com3", "demo", "--seed", "2", "--atr", "t1"}));
}

TEST_F(GoldenTest, Atr) {
  start();
  const std::string list = VORKAND_SCRIPT_DIR "/known-atrs.txt";
  check("atr", with_device({"atr", "--atr-list", list}));
  check("atr_json", with_device({"--json", "atr", "--atr-list", list}));
  check("atr_no_list", with_device({"--atr-list", "/nonexistent/list.txt", "atr"}));
  start("t1");
  check("atr_t1", with_device({"--port", "COM2", "atr", "--atr-list", list}));
  // Typed on the command line: no device, no status word; where a bad one breaks.
  check("atr_typed_json",
        run_tool({"--json", "atr", "--atr-list", list, "3B:95:11", "80 01", "766F726B6164"}));
  check("atr_typed_malformed", run_tool({"atr", "--atr-list", list, "3B F0 11 22 33 81"}));
}

TEST_F(GoldenTest, Send) {
  start();
  check("send", with_device({"send", "00A4000C025000", "00 A4 00 0C 02 50 01", "00B0000000",
                             "00A4000C027777", "00B0000000"}));
  start();
  check("send_json", with_device({"--json", "send", "--power-up", "00A4000C025000",
                                  "00A4000C025002", "00 20 00 00 04 31 32 33 34", "00B000000A"}));
  start();
  check("send_command", with_device({"send", "--direction", "1", "--protocol", "0", "0084000008"}));
}

// A reader that splits a 256-byte answer (250 bytes and 61 06 after the
// library's own GET RESPONSE) and asks for another Le (6C 12): one whole
// answer each, unasked, as a hex dump; the final warning 62 82 is no failure.
TEST_F(GoldenTest, SendGetResponse) {
  replay("long-answers.trace");
  check("send_get_response", with_device({"send", "00CA010000", "00B0000020"}));
  EXPECT_FALSE(replay_->difference()) << replay_->summary();
}

TEST_F(GoldenTest, Script) {
  start();
  check("script", with_device({"script", VORKAND_SCRIPT_DIR "/card.script"}));
  start();
  check("script_json", with_device({"--json", "script", VORKAND_SCRIPT_DIR "/card.script"}));
}

// Standard input ("-") in the full syntax, and --strict failing a
// line that expects nothing on 6A 82; a directory is a usage error.
TEST_F(GoldenTest, ScriptFromStandardInput) {
  start();
  check("script_stdin_strict",
        with_device({"script", "--strict", "-"}, VORKAND_SCRIPT_DIR "/stdin.script"));
  check("error_script_directory", run_tool({"script", VORKAND_SCRIPT_DIR}));
}

// The ports' mappings as the environment gives them, and no pcscd.
TEST_F(GoldenTest, Readers) {
  start();
  const std::vector<std::string> env{"VORKAND_COM1=" + sim_->device_path(),
                                     "VORKAND_COM2=/nonexistent/tty", "VORKAND_COM3=/dev/null",
                                     "VORKAND_COM4=tcp://127.0.0.1:9",
                                     "PCSCLITE_CSOCK_NAME=/nonexistent/pcscd.comm"};
  check("readers", run_tool({"readers"}, env));
  check("readers_json", run_tool({"readers", "--json"}, env));
}

// The tool's standard output on a pseudo-terminal, as a user sees it.
std::string run_on_terminal(const std::vector<std::string>& args, bool no_colour) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(master, 0);
  ::grantpt(master);
  ::unlockpt(master);
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, slave, 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> words{VORKAND_CLI};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string_view(*e).rfind("NO_COLOR=", 0) != 0) env.push_back(*e);
  }
  std::string no_colour_setting = "NO_COLOR=1";
  if (no_colour) env.push_back(no_colour_setting.data());
  env.push_back(nullptr);
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, VORKAND_CLI, &actions, nullptr, argv.data(), env.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(slave);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;) output.append(buffer, n);
  ::waitpid(pid, nullptr, 0);
  ::close(master);
  return output;
}

// Typed at a prompt on a terminal: each line is answered before the next is
// typed (a tool reading to the end first never prompts again), and help,
// reset and exit work there.
TEST_F(GoldenTest, ScriptAtAPromptAnswersEachLineAsTyped) {
  start();
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ::grantpt(master);
  ::unlockpt(master);
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : {0, 1, 2}) posix_spawn_file_actions_adddup2(&actions, slave, fd);
  std::string device = sim_->device_path();
  const char* argv[] = {VORKAND_CLI, "--device", device.c_str(), "script", "-", nullptr};
  pid_t pid = 0;
  ASSERT_EQ(
      posix_spawn(&pid, VORKAND_CLI, &actions, nullptr, const_cast<char* const*>(argv), environ),
      0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(slave);
  std::string seen;
  // What the terminal shows up to `text`, waiting 10 s at most.
  const auto until = [&](const std::string& text) {
    for (int waits = 0; seen.find(text) == std::string::npos && waits < 100; ++waits) {
      pollfd ready{master, POLLIN, 0};
      if (::poll(&ready, 1, 100) != 1) continue;
      char buffer[1024];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
      seen = std::regex_replace(seen, std::regex("\x1b\\[[0-9;]*m"), "");
    }
    const auto at = seen.find(text);
    std::string shown = seen.substr(0, at == std::string::npos ? seen.size() : at + text.size());
    seen.erase(0, shown.size());
    return shown;
  };
  const auto type = [&](const std::string& line) {
    ASSERT_EQ(::write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  };
  EXPECT_NE(until("vorkand> ").find("vorkand> "), std::string::npos);
  type("help\n");
  EXPECT_NE(until("vorkand> ").find("reset-reader          reset the reader"), std::string::npos);
  type("Reset\n");
  EXPECT_NE(until("vorkand> ").find("SW 90 00  success  [ok]"), std::string::npos);
  type("00 A4 00 0C \\\n");
  EXPECT_NE(until("...> ").find("...> "), std::string::npos);
  type("02 50 09 -> 90 00\n");
  EXPECT_NE(until("vorkand> ").find("6A 82  file or application not found  [MISMATCH]"),
            std::string::npos);
  type("not hex\n");
  EXPECT_NE(until("vorkand> ").find("(standard input):5: unknown word 'not'"), std::string::npos);
  type("EXIT\n");
  EXPECT_NE(until("2 checked, 1 mismatch").find("2 checked"), std::string::npos);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  ::close(master);
}

TEST_F(GoldenTest, ColoursOnATerminalUnlessNoColor) {
  const auto args = [this] {
    return std::vector<std::string>{"--device", sim_->device_path(), "send", "--power-up",
                                    "00A4000C025009"};
  };
  start();
  const std::string coloured = run_on_terminal(args(), false);
  EXPECT_NE(coloured.find("\x1b[32m90 00\x1b[0m  success"), std::string::npos) << coloured;
  EXPECT_NE(coloured.find("\x1b[31m6A 82\x1b[0m  file or application not found"), std::string::npos)
      << coloured;
  start();
  const std::string plain = run_on_terminal(args(), true);
  EXPECT_EQ(plain.find('\x1b'), std::string::npos) << plain;
  EXPECT_NE(plain.find("SW    6A 82  file or application not found"), std::string::npos) << plain;
}

// `vorkand sim` on its own: its first line names the device; another run of
// the tool uses it; SIGTERM ends it with status 0.
TEST_F(GoldenTest, SimServesOtherPrograms) {
  const char* argv[] = {VORKAND_CLI, "--port", "COM4", "--json", "sim", "--seed", "1", nullptr};
  SpawnedTool sim(argv);
  ASSERT_TRUE(sim.started());
  std::string line = sim.line();
  if (line.ends_with('\n')) line.pop_back();
  std::smatch match;
  const std::regex first_line(
      R"re(\{"ok":true,"device":"(/dev/pts/[0-9]+)","variable":"VORKAND_COM4"\})re");
  ASSERT_TRUE(std::regex_match(line, match, first_line)) << line;
  const std::string device = match[1];
  check("sim_atr", run_tool({"--port", "COM4", "--device", device, "--atr-list",
                             VORKAND_SCRIPT_DIR "/known-atrs.txt", "atr"}));
  const std::optional<int> status = sim.stop();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST_F(GoldenTest, Des) {
  check("des", run_tool({"des", "encrypt", "--key", "0123456789ABCDEF", "4E6F772069732074",
                         "4E6F7720 69732074 4E6F7720 69732074"}));
  check("des_json", run_tool({"--json", "des", "decrypt", "--key", "01 23 45 67 89 AB CD EF",
                              "3FA40E8A984D4815"}));
}

TEST_F(GoldenTest, ErrorsAreOneLineWithTheirExitStatus) {
  check("error_des_key", run_tool({"des", "encrypt", "--key", "0123", "0000000000000000"}));
  check("error_des_block", run_tool({"des", "decrypt", "--key", "0123456789ABCDEF", "0011"}));
  check("error_port", run_tool({"--port", "COM5", "atr"}));
  check("error_send_apdu", run_tool({"--device", "/dev/null", "send", "00A4"}));
  check("error_no_command", run_tool({}));
  check("error_script_line", run_tool({"script", VORKAND_SCRIPT_DIR "/bad.script"}));
  check("error_no_reader", run_tool({"--device", "/nonexistent/tty", "atr"}));
  check("error_no_reader_json", run_tool({"--device", "/nonexistent/tty", "atr", "--json"}));
  check("error_unknown_command", run_tool({"frob"}));
  check("error_unknown_option", run_tool({"atr", "--frob"}));
  check("error_direction", run_tool({"send", "--direction", "2", "00B0000000"}));
  // The tool's own words for what an option takes, never the parser's.
  check("error_option_value", run_tool({"sim", "--busy", "30"}));
  check("error_apdu_too_long", run_tool({"send", "00B00000" + std::string(296 * 2, '0')}));
  // Where an APDU breaks, before anything is opened: its hex, its Lc.
  check("error_apdu_case", run_tool({"send", "00A4000C023F00", "0020000104313233"}));
  check("error_apdu_hex", run_tool({"send", "00 A4 0x 00"}));
  check("atr_typed_wrong_tck", run_tool({"atr", "--atr-list", "/nonexistent", "3B 80 01 00"}));
  check("version", run_tool({"--version"}));
}

// A port another process holds is named busy, with the holder.
TEST_F(GoldenTest, BusyPortNamesItsHolder) {
  start();
  const int fd = ::open(sim_->device_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  check("error_busy", with_device({"atr"}));
  ::close(fd);
}

}  // namespace
}  // namespace vorkand::sim
