// What the commands report, and the two ways of writing it: text for people
// (coloured on a terminal) and one JSON object for programs. A command tells
// the output what happened; it never asks which kind of output it has.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/apdu_text.h"
#include "cli/atr.h"
#include "cli/atr_list.h"
#include "cli/pcsc_watch.h"
#include "cli/port_names.h"
#include "sim/pty_simulator.h"

namespace vorkand::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct DemoStep {
  int number = 0;
  std::string title;
  std::vector<sim::TraceEvent> frames;
  std::vector<std::string> notes;
  std::optional<uint16_t> sw;
};

struct AtrReport {
  Bytes atr;
  uint16_t sw = 0;  // the power-up's; none for an ATR typed on the command line
  bool typed = false;
  AtrInfo info;
  std::string list_path;  // the list of known cards looked in
  bool list_read = false;
  std::vector<AtrMatch> matches;
};

struct ScriptResult {
  int line = 0;
  std::string command;  // the APDU in hex, "power-up" or "reset-reader"
  Bytes data;
  uint16_t sw = 0;
  std::string expected;  // empty: not checked
  bool ok = true;
};

struct PortState {
  std::string port;     // COM1
  std::string mapping;  // what it maps to
  std::string source;   // where the mapping comes from; empty: the default
  bool opens = false;
  std::string why;  // when it does not open
  // When it opens: whether a reader answered a reset (nothing: not probed).
  std::optional<bool> reader_answers;
  std::string reader_state;  // the reset's status word and meaning, when probed
};

struct PcscReader {
  std::string name;
  std::vector<std::string> state;  // "present", "in use", ...
  Bytes atr;
};

struct PcscReport {
  bool available = false;
  std::string note;  // why not, when not available
  std::vector<PcscReader> readers;
};

class Output {
 public:
  virtual ~Output() = default;

  // An error: one line "vorkand: <message>" on standard error; JSON output
  // also carries it in its object. Returns `status`.
  int fail(int status, const std::string& message);
  // Ends the command: JSON output writes its object. Returns `status`.
  virtual int finish(int status) = 0;

  virtual void demo_started(const std::string& device, const std::string& port) = 0;
  virtual void demo_step(const DemoStep& step) = 0;
  virtual void demo_finished(bool ok) = 0;
  virtual void sim_ready(const std::string& device, const std::string& port) = 0;
  virtual void sim_frame(const sim::TraceEvent& event) = 0;
  // `vorkand sim --replay`: the device that plays `frames` frames the trace
  // `path` recorded on `recorded_port`, and at the end how they compared.
  virtual void replay_ready(const std::string& device, const std::string& port, std::size_t frames,
                            const std::string& recorded_port, const std::string& path) = 0;
  virtual void replay_finished(const std::string& summary, bool matched) = 0;
  virtual void atr(const AtrReport& report) = 0;
  virtual void status(uint16_t sw) = 0;
  virtual void power_up(const Bytes& atr, uint16_t sw) = 0;
  virtual void apdu(const Bytes& apdu, const Bytes& data, uint16_t sw) = 0;
  virtual void script_line(const ScriptResult& result) = 0;
  virtual void script_summary(int checked, int mismatches) = 0;
  virtual void des(bool encrypt, const std::vector<Bytes>& blocks) = 0;
  virtual void readers(const std::vector<PortState>& ports, const PcscReport& pcsc) = 0;
  virtual void version(const std::string& tool, const std::string& library) = 0;
  // `vorkand watch`: one line each, written at once.
  virtual void watch_event(const ReaderEvent& event, std::chrono::system_clock::time_point at) = 0;

 protected:
  virtual void record_error(int status, const std::string& message) = 0;
};

// Text on standard output; `colour` adds ANSI colours to status words and
// ATR fields.
std::unique_ptr<Output> make_text_output(bool colour);
std::unique_ptr<Output> make_json_output();

// "90 00  success"
std::string sw_text(uint16_t sw);

// JSON string body with quotes, backslashes and control characters escaped.
std::string json_escape(const std::string& text);

}  // namespace vorkand::cli
