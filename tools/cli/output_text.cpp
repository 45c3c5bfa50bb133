// The output for people: the layout of each command, with colours on a
// terminal (status words by outcome, the names of ATR fields).
#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "cli/output.h"
#include "cli/status_words.h"
#include "common/hex.h"

namespace vorkand::cli {
namespace {

std::string hex(std::span<const uint8_t> bytes) {
  return common::to_hex(bytes);
}

// "data  HEX  |text|" for up to 16 bytes; a longer answer as a dump, 16
// bytes a row after their offset, each line after the first `indent`ed.
std::string data_note(const Bytes& data, std::string_view indent = "") {
  constexpr std::size_t kRow = 16;
  if (data.size() <= kRow) return fmt::format("data  {}  |{}|", hex(data), common::printable(data));
  std::string text = "data";
  for (std::size_t at = 0; at < data.size(); at += kRow) {
    const auto row = std::span(data).subspan(at, std::min(kRow, data.size() - at));
    if (at != 0) text += fmt::format("\n{}    ", indent);
    text += fmt::format("  {:04X}  {:<47}  |{}|", at, hex(row), common::printable(row));
  }
  return text;
}

class TextOutput final : public Output {
 public:
  explicit TextOutput(bool colour) : colour_(colour) {}

  int finish(int status) override { return status; }

  void demo_started(const std::string& device, const std::string& port) override {
    fmt::print("vorkand demo: the simulated reader is on {}, mapped to {} ({})\n\n", device, port,
               port_variable(port));
  }

  void demo_step(const DemoStep& step) override {
    fmt::print("[{}] {}\n", step.number, step.title);
    for (const auto& event : step.frames) fmt::print("      {}\n", sim::format_trace(event, false));
    for (const auto& note : step.notes) fmt::print("    {}\n", note);
    if (step.sw) fmt::print("    status {}\n", sw(*step.sw));
    std::fflush(stdout);
  }

  void demo_finished(bool ok) override {
    if (ok) fmt::print("\ndemo finished: every step succeeded\n");
  }

  void sim_ready(const std::string& device, const std::string& port) override {
    fmt::print("vorkand sim: a simulated reader on {}\n", device);
    fmt::print("export {}={}\n", port_variable(port), device);
    fmt::print("(Ctrl-C stops it)\n");
    std::fflush(stdout);
  }

  void replay_ready(const std::string& device, const std::string& port, std::size_t frames,
                    const std::string& recorded_port, const std::string& path) override {
    fmt::print("vorkand sim: replaying {} frames sent to {} from {} on {}\n", frames, recorded_port,
               path, device);
    fmt::print("export {}={}\n", port_variable(port), device);
    fmt::print("(Ctrl-C stops it)\n");
    std::fflush(stdout);
  }

  void replay_finished(const std::string& summary, bool) override { fmt::print("{}\n", summary); }

  void sim_frame(const sim::TraceEvent& event) override {
    fmt::print("{}\n", sim::format_trace(event, true));
    std::fflush(stdout);
  }

  void atr(const AtrReport& report) override {
    fmt::print("ATR  {}\n", hex(report.atr));
    for (const auto& line : describe_atr(report.info)) fmt::print("     {}\n", field_line(line));
    if (!report.list_read) {
      fmt::print("no list of known cards: {} is missing (--atr-list FILE names one)\n",
                 report.list_path);
    } else if (report.matches.empty()) {
      fmt::print("not in the list of known cards ({})\n", report.list_path);
    } else {
      fmt::print("known cards ({}):\n", report.list_path);
      for (const AtrMatch& match : report.matches) {
        fmt::print("     {}\n", match.pattern);
        for (const auto& text : match.descriptions) fmt::print("       {}\n", paint(text, kCyan));
      }
    }
  }

  // A status word the library gave in place of the card's is the command's
  // error, said once there; the card's answers are results.
  void status(uint16_t) override {}

  void power_up(const Bytes& atr, uint16_t value) override {
    if (is_reader_error(value)) return;
    fmt::print("ATR   {}\nSW    {}\n", hex(atr), sw(value));
  }

  void apdu(const Bytes& apdu, const Bytes& data, uint16_t value) override {
    if (is_reader_error(value)) return;
    fmt::print("APDU  {}\n", hex(apdu));
    if (!data.empty()) fmt::print("{}\n", data_note(data));
    fmt::print("SW    {}\n", sw(value));
  }

  void script_line(const ScriptResult& result) override {
    if (is_reader_error(result.sw)) return;
    fmt::print("{:>4}  {}\n", result.line, result.command);
    // A power-up's answer is its ATR, as `send` labels it.
    if (result.command == "power-up") {
      fmt::print("      ATR {}\n", hex(result.data));
    } else if (!result.data.empty()) {
      fmt::print("      {}\n", data_note(result.data, "      "));
    }
    const std::string mark = result.expected.empty() ? ""
                             : result.ok             ? "  " + paint("[ok]", kGreen)
                                                     : "  " + paint("[MISMATCH]", kRed);
    fmt::print("      SW {}{}\n", sw(result.sw), mark);
    std::fflush(stdout);  // a script read from a pipe or typed is answered at once
  }

  void script_summary(int checked, int mismatches) override {
    fmt::print("{} checked, {} mismatch{}\n", checked, mismatches, mismatches == 1 ? "" : "es");
  }

  void des(bool, const std::vector<Bytes>& blocks) override {
    for (const Bytes& block : blocks) fmt::print("{}\n", hex(block));
  }

  void readers(const std::vector<PortState>& ports, const PcscReport& pcsc) override {
    for (const PortState& port : ports) {
      // A device that opens says nothing of a reader behind it: only a reset
      // (--probe) does.
      std::string state;
      if (!port.opens) {
        state =
            paint(port.why.empty() ? "cannot be opened" : "cannot be opened: " + port.why, kRed);
      } else if (!port.reader_answers) {
        state = paint("device opens; reader not checked", kGreen);
      } else {
        state = *port.reader_answers
                    ? paint("device opens; the reader answers its reset", kGreen)
                    : paint("device opens; reader reset: " + port.reader_state, kRed);
      }
      fmt::print("{}  {}  {}  {}\n", paint(port.port, kCyan), port.mapping,
                 port.source.empty() ? "default" : port.source, state);
    }
    if (!pcsc.available) {
      fmt::print("PC/SC: {}\n", pcsc.note);
      return;
    }
    if (pcsc.readers.empty()) fmt::print("PC/SC: no readers\n");
    // Numbered as -r N picks them.
    for (std::size_t i = 0; i < pcsc.readers.size(); ++i) {
      const PcscReader& reader = pcsc.readers[i];
      std::string state;
      for (const auto& word : reader.state) state += (state.empty() ? "" : ", ") + word;
      fmt::print("{}: pcsc:{}  {}{}{}\n", paint(std::to_string(i), kCyan), reader.name, state,
                 reader.atr.empty() ? "" : "  ATR ", hex(reader.atr));
    }
  }

  void version(const std::string& tool, const std::string& library) override {
    fmt::print("vorkand {} (library {})\n", tool, library);
  }

  void watch_event(const ReaderEvent& event, std::chrono::system_clock::time_point at) override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    const bool coming = event.event.ends_with("added") || event.event.ends_with("inserted");
    const bool going = event.event.ends_with("removed");
    fmt::print("{:%H:%M:%S}.{:03}  {}  {}{}{}{}\n", fmt::localtime(seconds), ms.count() % 1000,
               paint(event.reader, kCyan),
               coming  ? paint(event.event, kGreen)
               : going ? paint(event.event, kYellow)
                       : event.event,
               event.detail.empty() ? ""
               : event.event != "maps to"
                   ? ": " + event.detail
                   : fmt::format(" {} ({})", event.detail,
                                 event.source.empty() ? "default" : event.source),
               event.atr.empty() ? "" : "  ATR ", hex(event.atr));
    std::fflush(stdout);
  }

 protected:
  void record_error(int, const std::string&) override {}

 private:
  static constexpr const char* kGreen = "32";
  static constexpr const char* kYellow = "33";
  static constexpr const char* kRed = "31";
  static constexpr const char* kCyan = "36";

  std::string paint(const std::string& text, const char* colour) const {
    if (!colour_) return text;
    return fmt::format("\x1b[{}m{}\x1b[0m", colour, text);
  }

  std::string sw(uint16_t value) const {
    const SwClass kind = classify_sw(value);
    const char* colour = kind == SwClass::success   ? kGreen
                         : kind == SwClass::warning ? kYellow
                                                    : kRed;
    return paint(format_sw(value), colour) + "  " + status_meaning(value);
  }

  // A line of the ATR's decoding with its label coloured ("TA1", "ETU",
  // "historical") and a wrong TCK in red.
  std::string field_line(const std::string& line) const {
    if (!colour_ || line.empty() || line[0] == ' ') return line;
    const auto end = line.find(' ');
    std::string rest = line.substr(end);
    if (const auto wrong = rest.find("WRONG"); wrong != std::string::npos) {
      rest = rest.substr(0, wrong) + paint(rest.substr(wrong), kRed);
    }
    return paint(line.substr(0, end), kCyan) + rest;
  }

  bool colour_;
};

}  // namespace

std::unique_ptr<Output> make_text_output(bool colour) {
  return std::make_unique<TextOutput>(colour);
}

}  // namespace vorkand::cli
