// The output for programs: one JSON object on standard output for each run,
// {"ok":..., <the command's fields>, "error":"..." when it failed}. `vorkand
// sim` and `vorkand watch` stream one object a line instead, each with its
// "ok" first as well.
#include <fmt/chrono.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cstdio>
#include <ctime>
#include <utility>

#include "cli/output.h"
#include "cli/status_words.h"
#include "common/hex.h"

namespace vorkand::cli {
namespace {

std::string hex(std::span<const uint8_t> bytes) {
  return common::to_hex(bytes, "");
}

std::string quoted(const std::string& text) {
  return "\"" + json_escape(text) + "\"";
}

std::string sw_fields(uint16_t sw) {
  return fmt::format(R"("sw":"{:04X}","meaning":{})", sw, quoted(status_meaning(sw)));
}

std::string strings(const std::vector<std::string>& texts) {
  std::vector<std::string> items;
  for (const auto& text : texts) items.push_back(quoted(text));
  return fmt::format("[{}]", fmt::join(items, ","));
}

const char* direction_name(const sim::TraceEvent& event) {
  return event.direction == sim::TraceEvent::Direction::to_reader ? "to_reader" : "to_host";
}

std::string byte_or_null(const std::optional<uint8_t>& value) {
  return value ? fmt::format("\"{:02X}\"", *value) : std::string("null");
}

std::string atr_object(const AtrReport& report) {
  const AtrInfo& info = report.info;
  std::vector<std::string> interface;
  for (const AtrLevel& level : info.levels) {
    const std::pair<const char*, const std::optional<uint8_t>&> bytes[] = {
        {"TA", level.ta}, {"TB", level.tb}, {"TC", level.tc}, {"TD", level.td}};
    for (const auto& [name, value] : bytes) {
      if (value) interface.push_back(fmt::format(R"("{}{}":"{:02X}")", name, level.number, *value));
    }
  }
  std::vector<std::string> fields;
  for (const AtrField& field : atr_fields(info)) {
    fields.push_back(fmt::format(R"({{"name":"{}","byte":"{:02X}","meaning":{}}})", field.name,
                                 field.value, quoted(field.meaning)));
  }
  std::string clock = "null";
  if (const auto rates = clock_rates(info)) {
    clock = fmt::format(
        R"({{"fi":{},"di":{},"fmax_mhz":{:g},"etu_cycles":{:g},"reader_clock_mhz":{:g},)"
        R"("bit_rate":{:.0f},"bit_rate_at_fmax":{:.0f}}})",
        rates->fi, rates->di, rates->fmax_mhz, rates->etu_cycles(), kReaderClockMhz,
        rates->bit_rate(kReaderClockMhz), rates->bit_rate(rates->fmax_mhz));
  }
  const Historical historical = decode_historical(info.historical);
  std::vector<std::string> objects;
  for (const HistoricalObject& object : historical.objects) {
    objects.push_back(fmt::format(R"({{"tag":"{:X}","name":{},"value":"{}","meaning":{}}})",
                                  object.tag, quoted(object.name), hex(object.value),
                                  quoted(object.meaning)));
  }
  std::vector<std::string> matches;
  for (const AtrMatch& match : report.matches) {
    matches.push_back(fmt::format(R"({{"pattern":{},"descriptions":{}}})", quoted(match.pattern),
                                  strings(match.descriptions)));
  }
  return fmt::format(
      R"("atr":"{}",{}"ts":"{:02X}","t0":"{:02X}","interface":{{{}}},"protocols":[{}],)"
      R"("historical":"{}","tck":{},"tck_ok":{},"tck_expected":{},{}"fields":[{}],)"
      R"("clock":{},"historical_bytes":{{"category":"{:02X}","format":{},"objects":[{}],)"
      R"("status":"{}","status_meaning":{},"error":{}}},)"
      R"("known_cards":{{"list":{},"read":{},"matches":[{}]}})",
      hex(report.atr), report.typed ? "" : sw_fields(report.sw) + ",", info.ts, info.t0,
      fmt::join(interface, ","), fmt::join(info.protocols, ","), hex(info.historical),
      byte_or_null(info.tck), info.tck_ok, byte_or_null(info.tck_expected),
      // "error" is the run's own, once: where the ATR breaks is "atr_error".
      info.error.empty() ? std::string() : fmt::format(R"("atr_error":{},)", quoted(info.error)),
      fmt::join(fields, ","), clock, historical.category, quoted(historical.format),
      fmt::join(objects, ","), hex(historical.status), quoted(historical.status_meaning),
      quoted(historical.error), quoted(report.list_path), report.list_read,
      fmt::join(matches, ","));
}

class JsonOutput final : public Output {
 public:
  int finish(int status) override {
    if (streaming_ && error_.empty()) return status;
    std::vector<std::string> parts{fmt::format(R"("ok":{})", status == kExitOk)};
    for (const auto& [key, value] : fields_) {
      parts.push_back(key.empty() ? value : fmt::format(R"("{}":{})", key, value));
    }
    if (!list_.empty()) parts.push_back(fmt::format(R"("{}":[{}])", list_, fmt::join(items_, ",")));
    if (!error_.empty()) {
      parts.push_back(fmt::format(R"("error":{},"exit":{})", quoted(error_), status));
    }
    fmt::print("{{{}}}\n", fmt::join(parts, ","));
    std::fflush(stdout);
    return status;
  }

  void demo_started(const std::string&, const std::string&) override { list_ = "steps"; }

  void demo_step(const DemoStep& step) override {
    std::vector<std::string> frames;
    for (const auto& event : step.frames) {
      frames.push_back(fmt::format(R"({{"direction":"{}","bytes":"{}"}})", direction_name(event),
                                   hex(event.bytes)));
    }
    items_.push_back(fmt::format(R"({{"step":{},"title":{},"frames":[{}],"notes":{}{}}})",
                                 step.number, quoted(step.title), fmt::join(frames, ","),
                                 strings(step.notes), step.sw ? "," + sw_fields(*step.sw) : ""));
  }

  void demo_finished(bool) override {}

  void sim_ready(const std::string& device, const std::string& port) override {
    streaming_ = true;
    fmt::print(R"({{"ok":true,"device":{},"variable":"{}"}})"
               "\n",
               quoted(device), port_variable(port));
    std::fflush(stdout);
  }

  void replay_ready(const std::string& device, const std::string& port, std::size_t frames,
                    const std::string& recorded_port, const std::string& path) override {
    streaming_ = true;
    fmt::print(
        R"({{"ok":true,"device":{},"variable":"{}","replaying":{},"frames":{},"recorded_port":{}}})"
        "\n",
        quoted(device), port_variable(port), quoted(path), frames, quoted(recorded_port));
    std::fflush(stdout);
  }

  void replay_finished(const std::string& summary, bool matched) override {
    fmt::print(R"({{"ok":{},"matched":{},"summary":{}}})"
               "\n",
               matched, matched, quoted(summary));
    std::fflush(stdout);
  }

  void sim_frame(const sim::TraceEvent& event) override {
    fmt::print(R"({{"ok":true,"ms":{:.3f},"direction":"{}","bytes":"{}"}})"
               "\n",
               event.ms, direction_name(event), sim::event_hex(event, ""));
    std::fflush(stdout);
  }

  void atr(const AtrReport& report) override { fields_.emplace_back("", atr_object(report)); }

  void status(uint16_t sw) override {
    fields_.emplace_back("sw", fmt::format("\"{:04X}\"", sw));
    fields_.emplace_back("meaning", quoted(status_meaning(sw)));
  }

  void power_up(const Bytes& atr, uint16_t sw) override {
    list_ = "results";
    items_.push_back(
        fmt::format(R"({{"command":"power-up","atr":"{}",{}}})", hex(atr), sw_fields(sw)));
  }

  void apdu(const Bytes& apdu, const Bytes& data, uint16_t sw) override {
    list_ = "results";
    items_.push_back(
        fmt::format(R"({{"apdu":"{}","data":"{}",{}}})", hex(apdu), hex(data), sw_fields(sw)));
  }

  void script_line(const ScriptResult& result) override {
    list_ = "results";
    // An APDU is "apdu" in hex without spaces, as everywhere; a power-up's
    // answer is its "atr".
    const bool keyword = result.command == "power-up" || result.command == "reset-reader";
    std::string apdu = result.command;
    std::erase(apdu, ' ');
    items_.push_back(fmt::format(
        R"({{"line":{},{},"{}":"{}",{},"expected":{},"ok":{}}})", result.line,
        keyword ? fmt::format(R"("command":{})", quoted(result.command))
                : fmt::format(R"("apdu":"{}")", apdu),
        result.command == "power-up" ? "atr" : "data", hex(result.data), sw_fields(result.sw),
        result.expected.empty() ? std::string("null") : quoted(result.expected), result.ok));
  }

  void script_summary(int checked, int mismatches) override {
    fields_.emplace_back("checked", std::to_string(checked));
    fields_.emplace_back("mismatches", std::to_string(mismatches));
  }

  void des(bool encrypt, const std::vector<Bytes>& blocks) override {
    list_ = encrypt ? "encrypted" : "decrypted";
    for (const Bytes& block : blocks) items_.push_back(fmt::format("\"{}\"", hex(block)));
  }

  void readers(const std::vector<PortState>& ports, const PcscReport& pcsc) override {
    std::vector<std::string> readers;
    for (const PcscReader& reader : pcsc.readers) {
      readers.push_back(fmt::format(R"({{"index":{},"name":{},"device":{},"state":{},"atr":"{}"}})",
                                    readers.size(), quoted(reader.name),
                                    quoted("pcsc:" + reader.name), strings(reader.state),
                                    hex(reader.atr)));
    }
    fields_.emplace_back(
        "pcsc", fmt::format(R"({{"available":{},"note":{},"readers":[{}]}})", pcsc.available,
                            quoted(pcsc.note), fmt::join(readers, ",")));
    list_ = "ports";
    for (const PortState& port : ports) {
      items_.push_back(fmt::format(
          R"({{"port":"{}","mapping":{},"variable":{},"source":{},"opens":{},"why":{},"reader_answers":{}}})",
          port.port, quoted(port.mapping),
          port.source == port_variable(port.port) ? quoted(port.source) : "null",
          port.source.empty() ? "null" : quoted(port.source), port.opens, quoted(port.why),
          port.reader_answers ? (*port.reader_answers ? "true" : "false") : "null"));
    }
  }

  void version(const std::string& tool, const std::string& library) override {
    fields_.emplace_back("version", quoted(tool));
    fields_.emplace_back("library", quoted(library));
  }

  void watch_event(const ReaderEvent& event, std::chrono::system_clock::time_point at) override {
    streaming_ = true;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    // A mapping and where it comes from apart, as `readers` gives them.
    fmt::print(R"({{"ok":true,"time":"{:%Y-%m-%dT%H:%M:%S}.{:03}Z","reader":{},"event":{}{}{}}})"
               "\n",
               fmt::gmtime(seconds), ms.count() % 1000, quoted(event.reader), quoted(event.event),
               event.detail.empty() ? ""
               : event.event != "maps to"
                   ? R"(,"detail":)" + quoted(event.detail)
                   : fmt::format(R"(,"maps_to":{},"source":{})", quoted(event.detail),
                                 event.source.empty() ? "null" : quoted(event.source)),
               event.atr.empty() ? "" : fmt::format(R"(,"atr":"{}")", hex(event.atr)));
    std::fflush(stdout);
  }

 protected:
  void record_error(int, const std::string& message) override {
    if (error_.empty()) error_ = message;
  }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;  // no key: written as it is
  std::string list_;
  std::vector<std::string> items_;
  std::string error_;
  bool streaming_ = false;
};

}  // namespace

std::unique_ptr<Output> make_json_output() {
  return std::make_unique<JsonOutput>();
}

}  // namespace vorkand::cli
