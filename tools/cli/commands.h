// The commands of the `vorkand` tool, one file each. Each file adds its
// command and the command's options to the parser (add_*); `main` parses and
// runs the command chosen. A command reports through the context's output and
// returns the exit status: 0 success, 1 a reader or card error, 2 a usage
// error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/output.h"

namespace CLI {
class App;
}

namespace vorkand::cli {

// What every command gets from the global options.
struct Context {
  std::string port = "COM1";  // upper case, COM1..COM4
  std::string atr_list;       // the list of known cards; empty: the system's
  Output& out;
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
  bool power_up = false;         // power the card up before the first APDU
  bool no_power_up = false;      // never power up unasked, even when the reader refuses
  bool no_get_response = false;  // hand 61 xx and 6C xx on as they come
};

struct ScriptSettings {
  std::string path;  // "-": standard input
  bool strict = false;
  bool no_power_up = false;
  bool no_get_response = false;
};

struct WatchSettings {
  std::optional<std::size_t> count;  // stop after this many events
  std::optional<int> probe_serial;   // seconds between power-ups on the COM ports
};

struct ReadersSettings {
  bool probe = false;  // each COM port that opens gets a reader reset (CT_reset)
  bool names = false;  // only the PC/SC readers' mappings, one a line
};

struct DesSettings {
  std::string direction;  // encrypt or decrypt
  std::string key;
  std::vector<std::string> blocks;
};

// A command as the parser knows it: its subcommand, whose options hold what
// was typed once the command line is parsed, and what runs it then.
struct Command {
  CLI::App* app = nullptr;
  std::function<int(const Context&)> run;
  // The words after the command are the command's to judge, not the parser's
  // (a command that only says it does not run here).
  bool takes_any_words = false;
};

// Each adds the command, with its options, to `app`.
Command add_demo(CLI::App& app);
Command add_sim(CLI::App& app);
Command add_atr(CLI::App& app);
Command add_send(CLI::App& app);
Command add_script(CLI::App& app);
Command add_des(CLI::App& app);
Command add_readers(CLI::App& app);
Command add_watch(CLI::App& app);

// The commands that run on Linux only, as the help describes them.
inline constexpr const char* kDemoAbout = "the library's typical use against the simulator";
inline constexpr const char* kSimAbout = "run the simulated reader for other programs until Ctrl-C";
inline constexpr const char* kWatchAbout =
    "one line per PC/SC reader or card coming or going, until Ctrl-C";

// The flags send and script share.
inline constexpr const char* kGetResponseHelp = "whole answers (the default)";
inline constexpr const char* kNoGetResponseHelp =
    "hand on 61 xx and 6C xx as the card gives them (by default the rest of 61 xx is fetched "
    "with GET RESPONSE, and on 6C xx the APDU is sent again with Le xx)";
inline constexpr const char* kNoPowerUpHelp =
    "leave the card as it is (by default, when the reader refuses a first APDU because the "
    "card is not powered, the card is powered up and the APDU sent again)";

int run_demo(const Context& context, const SimSettings& settings);
int run_sim(const Context& context, const SimSettings& settings);
int run_replay(const Context& context, const SimSettings& settings);
// `typed`: the ATR's hex words from the command line; empty: the card's.
int run_atr(const Context& context, const std::vector<std::string>& typed);
int run_send(const Context& context, const SendSettings& settings);
int run_script(const Context& context, const ScriptSettings& settings);
int run_des(const Context& context, const DesSettings& settings);
int run_readers(const Context& context, const ReadersSettings& settings);
int run_watch(const Context& context, const WatchSettings& settings);

}  // namespace vorkand::cli
