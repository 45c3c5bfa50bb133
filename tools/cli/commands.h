// The commands of the `vorkand` tool, each a function that prints its output
// and returns the exit status: 0 success, 1 a reader or card error, 2 a usage
// error. Every error is one line on stderr.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorkand::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Context {
  std::string port = "COM1";  // upper case, COM1..COM4
  bool json = false;
};

struct SimSettings {
  std::string card_file;  // empty: the built-in card
  std::string atr;        // empty: the card's; else t0, t1 or hex
  int busy_polls = 0;
  bool line_time = false;
  bool trace = false;
  bool strict_head = false;
  std::optional<uint64_t> seed;     // challenges; absent: a random seed
  std::vector<std::string> faults;  // as parse_fault reads them
  std::string replay;               // a trace to play back instead of the card
  std::optional<int32_t> replay_handle;
};

struct SendSettings {
  std::vector<std::string> apdus;
  std::optional<int> direction;  // either given: ICC_command instead of ICC_tsi_api
  std::optional<int> protocol;
  bool power_up = false;
};

int run_demo(const Context& context, const SimSettings& settings);
int run_sim(const Context& context, const SimSettings& settings);
int run_replay(const Context& context, const SimSettings& settings);
int run_atr(const Context& context);
int run_send(const Context& context, const SendSettings& settings);
int run_script(const Context& context, const std::string& path);
int run_des(const Context& context, bool encrypt, const std::string& key,
            const std::vector<std::string>& blocks);

// Prints "vorkand: <message>" on stderr and returns `status`.
int fail(int status, const std::string& message);

// JSON string body with quotes and backslashes escaped.
std::string json_escape(const std::string& text);

}  // namespace vorkand::cli
