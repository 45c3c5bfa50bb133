#include "cli/commands.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <signal.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <utility>
#include <variant>

#include "card/card.h"
#include "cli/atr.h"
#include "cli/status_words.h"
#include "link/frame.h"
#include "link/posix_settings.h"
#include "sim/card_file.h"
#include "sim/hex.h"
#include "sim/pty_simulator.h"
#include "vorkand.h"

namespace vorkand::cli {
namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(std::span<const uint8_t> bytes) {
  return sim::to_hex(bytes);
}

// The reader-level results of the library, as opposed to the card's answers.
bool is_reader_error(uint16_t sw) {
  return sw == card::kSwNoReply || sw == card::kSwBusy || sw == card::kSwRefused ||
         sw == card::kSwOutOfForm;
}

std::string sw_text(uint16_t sw) {
  return format_sw(sw) + "  " + status_meaning(sw);
}

std::string sw_json(uint16_t sw) {
  return fmt::format(R"("sw":"{:04X}","meaning":"{}")", sw, json_escape(status_meaning(sw)));
}

// Opens the port; prints the error line itself, naming the device the
// library tried.
std::optional<int32_t> open_port(const Context& context) {
  const int32_t handle = CT_open(context.port.c_str());
  if (handle != 0) return handle;
  std::array<char, 256> device{};
  if (!link::com_device_path(context.port[3] - '0', device)) device[0] = '\0';
  fail(kExitFailure,
       fmt::format("cannot open {} ({}): missing, busy or not a serial port; use --device PATH "
                   "or run `vorkand sim`",
                   context.port, device.data()));
  return std::nullopt;
}

// An APDU as the commands take it: 4 to 251 hex bytes, as the library sends.
std::optional<Bytes> parse_apdu(std::string_view text) {
  auto apdu = sim::parse_hex(text);
  if (!apdu || apdu->size() < 4 || apdu->size() > 251) return std::nullopt;
  return apdu;
}

const char* direction_name(const sim::TraceEvent& event) {
  return event.direction == sim::TraceEvent::Direction::to_reader ? "to_reader" : "to_host";
}

// {"ok":true,"<name>":[item,item,...]}
void print_json_results(bool ok, std::string_view name, const std::vector<std::string>& items) {
  fmt::print("{{\"ok\":{},\"{}\":[{}]}}\n", ok, name, fmt::join(items, ","));
}

struct Exchange {
  Bytes data;
  uint16_t sw = 0;
};

Exchange transparent(int32_t handle, const Bytes& apdu) {
  std::array<uint8_t, 256> response{};
  uint8_t length = 0;
  const auto sw = static_cast<uint16_t>(ICC_tsi_api(handle, static_cast<int32_t>(apdu.size()),
                                                    apdu.data(), &length, response.data()));
  return Exchange{Bytes(response.begin(), response.begin() + length), sw};
}

Exchange power_up(int32_t handle) {
  std::array<uint8_t, 256> atr{};
  uint8_t length = 0;
  const auto sw = static_cast<uint16_t>(ICC_reset(handle, &length, atr.data()));
  return Exchange{Bytes(atr.begin(), atr.begin() + length), sw};
}

// The card described by the settings, or an error message.
std::variant<sim::CardProfile, std::string> card_for(const SimSettings& settings) {
  std::variant<sim::CardProfile, std::string> card = sim::default_card();
  if (!settings.card_file.empty()) card = sim::load_card_file(settings.card_file);
  if (auto* profile = std::get_if<sim::CardProfile>(&card); profile && !settings.atr.empty()) {
    auto atr = sim::parse_atr_choice(settings.atr);
    if (!atr) return std::string("--atr wants t0, t1 or 2 to 252 hex bytes");
    profile->atr = std::move(*atr);
  }
  return card;
}

std::variant<std::unique_ptr<sim::PtySimulator>, std::string> start_simulator(
    const SimSettings& settings, const sim::CardProfile& card, sim::TraceSink trace) {
  const uint64_t seed = settings.seed ? *settings.seed : std::random_device{}();
  sim::ReaderOptions reader;
  reader.busy_polls = settings.busy_polls;
  reader.strict_head = settings.strict_head;
  sim::PtyOptions pty;
  pty.line_time = settings.line_time;
  for (const std::string& text : settings.faults) pty.faults.push_back(*sim::parse_fault(text));
  pty.trace = std::move(trace);
  return sim::PtySimulator::start(sim::ReaderModel(sim::CardModel(card, seed), reader),
                                  std::move(pty));
}

// Collects the simulator's trace so the demo can print each step's frames.
class FrameLog {
 public:
  sim::TraceSink sink() {
    return [this](const sim::TraceEvent& event) {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
    };
  }
  std::vector<sim::TraceEvent> drain() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<sim::TraceEvent> events_;
};

// One step of the demo, printed as text at once or gathered for JSON.
class DemoPrinter {
 public:
  DemoPrinter(bool json, FrameLog& log) : json_(json), log_(log) {}

  void step(const std::string& title, std::optional<uint16_t> sw,
            const std::vector<std::string>& notes) {
    const auto frames = log_.drain();
    ++number_;
    if (!json_) {
      fmt::print("[{}] {}\n", number_, title);
      for (const auto& event : frames) fmt::print("      {}\n", sim::format_trace(event, false));
      for (const auto& note : notes) fmt::print("    {}\n", note);
      if (sw) fmt::print("    status {}\n", sw_text(*sw));
      std::fflush(stdout);
      return;
    }
    std::string item =
        fmt::format(R"({{"step":{},"title":"{}","frames":[)", number_, json_escape(title));
    for (std::size_t i = 0; i < frames.size(); ++i) {
      item += fmt::format(R"({}{{"direction":"{}","bytes":"{}"}})", i ? "," : "",
                          direction_name(frames[i]), sim::to_hex(frames[i].bytes, ""));
    }
    item += "],\"notes\":[";
    for (std::size_t i = 0; i < notes.size(); ++i) {
      item += fmt::format(R"({}"{}")", i ? "," : "", json_escape(notes[i]));
    }
    item += "]";
    if (sw) item += "," + sw_json(*sw);
    item += "}";
    items_.push_back(std::move(item));
  }

  void finish(bool ok) {
    if (json_) print_json_results(ok, "steps", items_);
  }

 private:
  bool json_;
  FrameLog& log_;
  int number_ = 0;
  std::vector<std::string> items_;
};

std::string apdu_note(const Bytes& apdu) {
  return "APDU  " + hex(apdu);
}

std::string data_note(const Bytes& data) {
  return fmt::format("data  {}  |{}|", hex(data), sim::printable(data));
}

}  // namespace

int fail(int status, const std::string& message) {
  fmt::print(stderr, "vorkand: {}\n", message);
  return status;
}

std::string json_escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out;
}

// The library's typical use, step by step, against the simulator in this
// process: open, reader reset, power-up, SELECT and READ BINARY, GET
// CHALLENGE and INTERNAL AUTHENTICATE, a protocol switch, close.
int run_demo(const Context& context, const SimSettings& settings) {
  auto card = card_for(settings);
  if (auto* error = std::get_if<std::string>(&card)) return fail(kExitUsage, *error);
  const sim::CardProfile profile = std::get<sim::CardProfile>(card);
  FrameLog log;
  auto started = start_simulator(settings, profile, log.sink());
  if (auto* error = std::get_if<std::string>(&started)) {
    return fail(kExitFailure, "cannot start the simulator: " + *error);
  }
  auto& simulator = std::get<0>(started);
  const std::string variable = "VORKAND_" + context.port;
  setenv(variable.c_str(), simulator->device_path().c_str(), 1);

  DemoPrinter out(context.json, log);
  if (!context.json) {
    fmt::print("vorkand demo: the simulated reader is on {}, mapped to {} ({})\n\n",
               simulator->device_path(), context.port, variable);
  }
  const auto stop = [&](const std::string& message) {
    out.finish(false);
    return fail(kExitFailure, message);
  };

  const int32_t handle = CT_open(context.port.c_str());
  out.step(fmt::format("CT_open(\"{}\"): open the port, 9600 baud 8E1", context.port), std::nullopt,
           {handle ? "handle opened" : "failed"});
  if (handle == 0) return stop(fmt::format("CT_open({}) failed", context.port));
  int status = kExitOk;
  const auto check = [&](uint16_t sw, uint16_t expected, const std::string& what) {
    if (sw == expected || status != kExitOk) return sw == expected;
    status =
        fail(kExitFailure, fmt::format("{}: expected {}, got {} ({})", what, format_sw(expected),
                                       format_sw(sw), status_meaning(sw)));
    return false;
  };

  do {
    const auto reset_sw = static_cast<uint16_t>(CT_reset(handle));
    out.step("CT_reset: reset the reader", reset_sw, {});
    if (!check(reset_sw, 0x9000, "CT_reset")) break;

    const Exchange atr = power_up(handle);
    std::vector<std::string> notes{"ATR   " + hex(atr.data)};
    const AtrInfo info = decode_atr(atr.data);
    for (const auto& line : describe_atr(info)) notes.push_back("      " + line);
    out.step("ICC_reset: power up the card and read its ATR", atr.sw, notes);
    if (!check(atr.sw, 0x9000, "ICC_reset")) break;

    struct Command {
      const char* title;
      Bytes apdu;
    };
    const Command selects[] = {
        {"ICC_tsi_api: SELECT the DF 5000", {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x00}},
        {"ICC_tsi_api: SELECT the EF 5001", {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01}},
    };
    bool ok = true;
    for (const Command& command : selects) {
      const Exchange result = transparent(handle, command.apdu);
      out.step(command.title, result.sw, {apdu_note(command.apdu)});
      ok = check(result.sw, 0x9000, command.title);
      if (!ok) break;
    }
    if (!ok) break;

    const Bytes read{0x00, 0xB0, 0x00, 0x00, 0x00};
    Exchange result = transparent(handle, read);
    out.step("ICC_tsi_api: READ BINARY", result.sw, {apdu_note(read), data_note(result.data)});
    if (!check(result.sw, 0x9000, "READ BINARY")) break;

    const Bytes challenge_apdu{0x00, 0x84, 0x00, 0x00, 0x08};
    const Exchange challenge = transparent(handle, challenge_apdu);
    out.step("ICC_tsi_api: GET CHALLENGE", challenge.sw,
             {apdu_note(challenge_apdu), "data  " + hex(challenge.data)});
    if (!check(challenge.sw, 0x9000, "GET CHALLENGE")) break;
    if (challenge.data.size() != 8) {
      status = fail(kExitFailure, "GET CHALLENGE gave no 8-byte challenge");
      break;
    }

    Bytes authenticate{0x00, 0x88, 0x00, 0x00, 0x08};
    authenticate.insert(authenticate.end(), challenge.data.begin(), challenge.data.end());
    result = transparent(handle, authenticate);
    std::array<uint8_t, 8> expected{};
    DesEncrypt(expected.data(), challenge.data.data(), profile.key.data());
    const bool matches = result.data == Bytes(expected.begin(), expected.end());
    out.step("ICC_tsi_api: INTERNAL AUTHENTICATE (the card encrypts the challenge)", result.sw,
             {apdu_note(authenticate), "data  " + hex(result.data),
              fmt::format("DesEncrypt(challenge, card key {}) = {}: {}", hex(profile.key),
                          hex(expected), matches ? "the card's answer matches" : "MISMATCH")});
    if (!check(result.sw, 0x9000, "INTERNAL AUTHENTICATE")) break;
    if (!matches) {
      status = fail(kExitFailure, "INTERNAL AUTHENTICATE does not match DesEncrypt");
      break;
    }

    const uint8_t target = sim::first_protocol(atr.data) == sim::Protocol::t0 ? 1 : 0;
    const Bytes switch_apdu{0x80, 0x14, 0x00, 0x00, 0x01, target};
    result = transparent(handle, switch_apdu);
    out.step(fmt::format("ICC_tsi_api: switch the protocol to T={}", target), result.sw,
             {apdu_note(switch_apdu)});
    if (!check(result.sw, 0x9000, "protocol switch")) break;

    result = transparent(handle, read);
    out.step(fmt::format("ICC_tsi_api: READ BINARY again, card frames now head {:02X}",
                         target == 1 ? 0x00 : 0x40),
             result.sw, {apdu_note(read), data_note(result.data)});
    check(result.sw, 0x9000, "READ BINARY");
  } while (false);

  const int32_t closed = CT_close(handle);
  out.step("CT_close: close the port", std::nullopt, {closed == 0 ? "closed" : "failed"});
  if (closed != 0 && status == kExitOk) status = fail(kExitFailure, "CT_close failed");
  out.finish(status == kExitOk);
  if (!context.json && status == kExitOk) fmt::print("\ndemo finished: every step succeeded\n");
  return status;
}

int run_sim(const Context& context, const SimSettings& settings) {
  if (!settings.replay.empty()) return run_replay(context, settings);
  auto card = card_for(settings);
  if (auto* error = std::get_if<std::string>(&card)) return fail(kExitUsage, *error);
  for (const std::string& text : settings.faults) {
    if (!sim::parse_fault(text)) {
      return fail(kExitUsage, fmt::format("--fault '{}': silence@N, hangup@N, overlong@N, "
                                          "stray@N:HEX or split@N:SIZE,...[/MS]",
                                          text));
    }
  }

  // Block the stop signals before the simulator's thread starts, so that
  // they reach only sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::mutex print_mutex;
  sim::TraceSink trace;
  if (settings.trace) {
    trace = [&print_mutex, json = context.json](const sim::TraceEvent& event) {
      std::lock_guard lock(print_mutex);
      if (json) {
        fmt::print(R"({{"ms":{:.3f},"direction":"{}","bytes":"{}"}})"
                   "\n",
                   event.ms, direction_name(event), sim::to_hex(event.bytes, ""));
      } else {
        fmt::print("{}\n", sim::format_trace(event, true));
      }
      std::fflush(stdout);
    };
  }
  auto started = start_simulator(settings, std::get<sim::CardProfile>(card), trace);
  if (auto* error = std::get_if<std::string>(&started)) {
    return fail(kExitFailure, "cannot start the simulator: " + *error);
  }
  auto& simulator = std::get<0>(started);
  {
    std::lock_guard lock(print_mutex);
    const std::string& path = simulator->device_path();
    if (context.json) {
      fmt::print(R"({{"device":"{}","variable":"VORKAND_{}"}})"
                 "\n",
                 path, context.port);
    } else {
      fmt::print("vorkand sim: a simulated reader on {}\n", path);
      fmt::print("export VORKAND_{}={}\n", context.port, path);
      fmt::print("(Ctrl-C stops it)\n");
    }
    std::fflush(stdout);
  }
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  simulator->stop();
  return kExitOk;
}

int run_atr(const Context& context) {
  const auto handle = open_port(context);
  if (!handle) return kExitFailure;
  const Exchange atr = power_up(*handle);
  CT_close(*handle);
  if (atr.sw != 0x9000) {
    if (context.json)
      fmt::print("{{{}}}\n", sw_json(atr.sw));
    else
      fmt::print("status {}\n", sw_text(atr.sw));
    return fail(kExitFailure, "power-up failed: " + sw_text(atr.sw));
  }
  const AtrInfo info = decode_atr(atr.data);
  if (context.json) {
    std::string protocols;
    for (std::size_t i = 0; i < info.protocols.size(); ++i) {
      protocols += fmt::format("{}{}", i ? "," : "", info.protocols[i]);
    }
    std::string interface;
    for (const AtrLevel& level : info.levels) {
      const std::pair<const char*, const std::optional<uint8_t>&> fields[] = {
          {"TA", level.ta}, {"TB", level.tb}, {"TC", level.tc}, {"TD", level.td}};
      for (const auto& [name, value] : fields) {
        if (!value) continue;
        interface += fmt::format(R"({}"{}{}":"{:02X}")", interface.empty() ? "" : ",", name,
                                 level.number, *value);
      }
    }
    fmt::print(R"({{"atr":"{}",{},"ts":"{:02X}","t0":"{:02X}","interface":{{{}}},"protocols":[{}],)"
               R"("historical":"{}","tck":{},"tck_ok":{},"error":"{}"}})"
               "\n",
               sim::to_hex(atr.data, ""), sw_json(atr.sw), info.ts, info.t0, interface, protocols,
               sim::to_hex(info.historical, ""),
               info.tck ? fmt::format("\"{:02X}\"", *info.tck) : std::string("null"),
               info.tck_ok ? "true" : "false", json_escape(info.error));
  } else {
    fmt::print("ATR  {}\n", hex(atr.data));
    for (const auto& line : describe_atr(info)) fmt::print("     {}\n", line);
  }
  return info.error.empty() ? kExitOk : fail(kExitFailure, "malformed ATR: " + info.error);
}

int run_send(const Context& context, const SendSettings& settings) {
  std::vector<Bytes> apdus;
  for (const std::string& text : settings.apdus) {
    auto apdu = parse_apdu(text);
    if (!apdu) {
      return fail(
          kExitUsage,
          fmt::format("'{}' is not an APDU (4 to 251 hex bytes, one APDU an argument)", text));
    }
    apdus.push_back(std::move(*apdu));
  }
  const auto handle = open_port(context);
  if (!handle) return kExitFailure;
  int status = kExitOk;
  std::vector<std::string> items;
  if (settings.power_up) {
    const Exchange atr = power_up(*handle);
    if (context.json) {
      items.push_back(
          fmt::format(R"({{"power_up":"{}",{}}})", sim::to_hex(atr.data, ""), sw_json(atr.sw)));
    } else {
      fmt::print("ATR   {}\nSW    {}\n", hex(atr.data), sw_text(atr.sw));
    }
    if (atr.sw != 0x9000) {
      status = fail(kExitFailure, "power-up failed: " + sw_text(atr.sw));
      apdus.clear();
    }
  }
  const bool by_arguments = settings.direction || settings.protocol;
  for (const Bytes& apdu : apdus) {
    Exchange result;
    if (by_arguments) {
      std::array<uint8_t, 256> response{};
      uint8_t length = 0;
      const int direction = settings.direction
                                ? *settings.direction
                                : (card::mode_for_ins(apdu[1]) == link::kModeOut ? 1 : 0);
      const int protocol = settings.protocol ? *settings.protocol : 0;
      result.sw =
          static_cast<uint16_t>(ICC_command(*handle, static_cast<int32_t>(apdu.size()), apdu.data(),
                                            &length, response.data(), direction, protocol));
      result.data.assign(response.begin(), response.begin() + length);
    } else {
      result = transparent(*handle, apdu);
    }
    if (context.json) {
      items.push_back(fmt::format(R"({{"apdu":"{}","data":"{}",{}}})", sim::to_hex(apdu, ""),
                                  sim::to_hex(result.data, ""), sw_json(result.sw)));
    } else {
      fmt::print("APDU  {}\n", hex(apdu));
      if (!result.data.empty()) fmt::print("{}\n", data_note(result.data));
      fmt::print("SW    {}\n", sw_text(result.sw));
    }
    if (result.sw != 0x9000 && status == kExitOk) {
      status = fail(kExitFailure,
                    fmt::format("{}: {} {}", hex(apdu),
                                is_reader_error(result.sw) ? "reader error" : "card answered",
                                sw_text(result.sw)));
      if (is_reader_error(result.sw)) break;
    }
  }
  CT_close(*handle);
  if (context.json) print_json_results(status == kExitOk, "results", items);
  return status;
}

namespace {

struct ScriptLine {
  int number = 0;
  enum class Kind : uint8_t { apdu, power_up, reset_reader } kind = Kind::apdu;
  Bytes apdu;
  std::string expected;  // four hex digits or '?', empty: not checked
};

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::variant<std::vector<ScriptLine>, std::string> parse_script(std::istream& in) {
  std::vector<ScriptLine> lines;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    std::string_view line = text;
    line = trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    ScriptLine item;
    item.number = number;
    if (line == "power-up") {
      item.kind = ScriptLine::Kind::power_up;
    } else if (line == "reset-reader") {
      item.kind = ScriptLine::Kind::reset_reader;
    } else {
      const auto arrow = line.find("->");
      auto apdu = parse_apdu(trim(line.substr(0, arrow)));
      if (!apdu) {
        return fmt::format("line {}: not an APDU (4 to 251 hex bytes)", number);
      }
      item.apdu = std::move(*apdu);
      if (arrow != std::string_view::npos) {
        for (char c : line.substr(arrow + 2)) {
          if (c == ' ' || c == '\t') continue;
          if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '?') {
            return fmt::format("line {}: the expected status word is 4 hex digits or ?", number);
          }
          item.expected += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (item.expected.size() != 4) {
          return fmt::format("line {}: the expected status word is 4 hex digits or ?", number);
        }
      }
    }
    lines.push_back(std::move(item));
  }
  return lines;
}

bool sw_matches(uint16_t sw, const std::string& expected) {
  const std::string actual = fmt::format("{:04X}", sw);
  for (std::size_t i = 0; i < 4; ++i) {
    if (expected[i] != '?' && expected[i] != actual[i]) return false;
  }
  return true;
}

}  // namespace

int run_script(const Context& context, const std::string& path) {
  std::ifstream in(path);
  if (!in) return fail(kExitUsage, path + ": cannot read");
  auto parsed = parse_script(in);
  if (auto* error = std::get_if<std::string>(&parsed))
    return fail(kExitUsage, path + ": " + *error);
  const auto& lines = std::get<0>(parsed);

  const auto handle = open_port(context);
  if (!handle) return kExitFailure;
  int mismatches = 0, checked = 0;
  bool reader_failed = false;
  std::vector<std::string> items;
  for (const ScriptLine& line : lines) {
    Exchange result;
    std::string what;
    switch (line.kind) {
      case ScriptLine::Kind::power_up:
        result = power_up(*handle);
        what = "power-up";
        break;
      case ScriptLine::Kind::reset_reader:
        result.sw = static_cast<uint16_t>(CT_reset(*handle));
        what = "reset-reader";
        break;
      case ScriptLine::Kind::apdu:
        result = transparent(*handle, line.apdu);
        what = hex(line.apdu);
        break;
    }
    // Reader commands are expected to succeed; APDUs as the script says.
    const std::string expected = line.kind == ScriptLine::Kind::apdu ? line.expected : "9000";
    const bool has_expectation = !expected.empty();
    const bool ok = !has_expectation || sw_matches(result.sw, expected);
    checked += has_expectation ? 1 : 0;
    if (!ok) {
      ++mismatches;
      fmt::print(stderr, "vorkand: {}:{}: {}: expected {} {}, got {}\n", path, line.number, what,
                 expected.substr(0, 2), expected.substr(2), sw_text(result.sw));
    }
    if (context.json) {
      items.push_back(fmt::format(
          R"({{"line":{},"command":"{}","data":"{}",{},"expected":{},)"
          R"("ok":{}}})",
          line.number, what, sim::to_hex(result.data, ""), sw_json(result.sw),
          has_expectation ? "\"" + expected + "\"" : std::string("null"), ok ? "true" : "false"));
    } else {
      fmt::print("{:>4}  {}\n", line.number, what);
      if (!result.data.empty()) fmt::print("      {}\n", data_note(result.data));
      fmt::print("      SW {}{}\n", sw_text(result.sw),
                 !has_expectation ? ""
                 : ok             ? "  [ok]"
                                  : "  [MISMATCH]");
    }
    // A reader that stopped answering would only cost each later line the
    // silence limit.
    if (result.sw == card::kSwNoReply) {
      reader_failed = true;
      fail(kExitFailure, fmt::format("{}:{}: the reader stopped answering", path, line.number));
      break;
    }
  }
  CT_close(*handle);
  if (context.json) {
    fmt::print(R"({{"ok":{},"checked":{},"mismatches":{},"results":[{}]}})"
               "\n",
               mismatches == 0 && !reader_failed, checked, mismatches, fmt::join(items, ","));
  } else {
    fmt::print("{} checked, {} mismatch{}\n", checked, mismatches, mismatches == 1 ? "" : "es");
  }
  return mismatches == 0 && !reader_failed ? kExitOk : kExitFailure;
}

int run_des(const Context& context, bool encrypt, const std::string& key_text,
            const std::vector<std::string>& blocks) {
  const auto key = sim::parse_hex(key_text);
  if (!key || key->size() != 8) return fail(kExitUsage, "--key wants exactly 8 hex bytes");
  std::vector<Bytes> outputs;
  for (const std::string& text : blocks) {
    const auto data = sim::parse_hex(text);
    if (!data || data->empty() || data->size() % 8 != 0) {
      return fail(kExitUsage,
                  fmt::format("'{}' is not whole 8-byte blocks of hex (ECB, no padding)", text));
    }
    Bytes out(data->size());
    for (std::size_t at = 0; at < data->size(); at += 8) {
      if (encrypt)
        DesEncrypt(out.data() + at, data->data() + at, key->data());
      else
        DesDecrypt(out.data() + at, data->data() + at, key->data());
    }
    outputs.push_back(std::move(out));
  }
  if (context.json) {
    fmt::print("{{\"{}\":[", encrypt ? "encrypted" : "decrypted");
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      fmt::print("{}\"{}\"", i ? "," : "", sim::to_hex(outputs[i], ""));
    }
    fmt::print("]}}\n");
  } else {
    for (const Bytes& out : outputs) fmt::print("{}\n", hex(out));
  }
  return kExitOk;
}

}  // namespace vorkand::cli
