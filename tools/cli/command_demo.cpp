// `vorkand demo`: the library's typical use, step by step, against the
// simulator in this process: open, reader reset, power-up, SELECT and READ
// BINARY, GET CHALLENGE and INTERNAL AUTHENTICATE (checked with the
// library's DesEncrypt against the card's own cipher), a protocol switch,
// close.
#include <fmt/format.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <utility>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/session.h"
#include "cli/sim_setup.h"
#include "cli/status_words.h"
#include "common/hex.h"
#include "vorkand.h"

namespace vorkand::cli {
namespace {

std::string hex(std::span<const uint8_t> bytes) {
  return common::to_hex(bytes);
}

std::string apdu_note(const Bytes& apdu) {
  return "APDU  " + hex(apdu);
}

std::string data_note(const Bytes& data) {
  return fmt::format("data  {}  |{}|", hex(data), common::printable(data));
}

// Collects the simulator's trace so that each step shows its frames.
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

class Demo {
 public:
  Demo(const Context& context, const sim::CardProfile& card, FrameLog& log)
      : context_(context), card_(card), log_(log) {}

  // Every step after the open, up to the first that fails.
  bool run() {
    return reset_reader() && power_up_card() &&
           select("ICC_tsi_api: SELECT the DF 5000", {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x00}) &&
           select("ICC_tsi_api: SELECT the EF 5001", {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01}) &&
           read_binary("ICC_tsi_api: READ BINARY") && get_challenge() && internal_authenticate() &&
           switch_protocol() && read_again();
  }

  bool open() {
    handle_ = CT_open(context_.port.c_str());
    step(fmt::format("CT_open(\"{}\"): open the port, 9600 baud 8E1", context_.port), std::nullopt,
         {handle_ != 0 ? "handle opened" : "failed"});
    if (handle_ == 0) return failed(fmt::format("CT_open(\"{}\") failed", context_.port));
    return true;
  }

  bool reset_reader() {
    const auto sw = static_cast<uint16_t>(CT_reset(handle_));
    step("CT_reset: reset the reader", sw, {});
    return expect(sw, "CT_reset");
  }

  bool power_up_card() {
    const Exchange atr = power_up(handle_);
    std::vector<std::string> notes{"ATR   " + hex(atr.data)};
    const AtrInfo info = decode_atr(atr.data);
    for (const auto& line : describe_atr(info)) notes.push_back("      " + line);
    step("ICC_reset: power up the card and read its ATR", atr.sw, notes);
    first_protocol_ = info.protocols.empty() ? 0 : info.protocols.front();
    return expect(atr.sw, "ICC_reset");
  }

  bool select(const char* title, const Bytes& apdu) {
    const Exchange result = transparent(handle_, apdu);
    step(title, result.sw, {apdu_note(apdu)});
    return expect(result.sw, title);
  }

  bool read_binary(const std::string& title) {
    const Exchange result = transparent(handle_, kReadBinary);
    step(title, result.sw, {apdu_note(kReadBinary), data_note(result.data)});
    return expect(result.sw, "READ BINARY");
  }

  bool get_challenge() {
    const Bytes apdu{0x00, 0x84, 0x00, 0x00, 0x08};
    const Exchange result = transparent(handle_, apdu);
    step("ICC_tsi_api: GET CHALLENGE", result.sw, {apdu_note(apdu), "data  " + hex(result.data)});
    if (!expect(result.sw, "GET CHALLENGE")) return false;
    if (result.data.size() != 8) return failed("GET CHALLENGE gave no 8-byte challenge");
    challenge_ = result.data;
    return true;
  }

  bool internal_authenticate() {
    Bytes apdu{0x00, 0x88, 0x00, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
    std::copy(challenge_.begin(), challenge_.end(), apdu.begin() + 5);
    const Exchange result = transparent(handle_, apdu);
    std::array<uint8_t, 8> expected{};
    DesEncrypt(expected.data(), challenge_.data(), card_.key.data());
    const bool matches = result.data == Bytes(expected.begin(), expected.end());
    step("ICC_tsi_api: INTERNAL AUTHENTICATE (the card encrypts the challenge)", result.sw,
         {apdu_note(apdu), "data  " + hex(result.data),
          fmt::format("DesEncrypt(challenge, card key {}) = {}: {}", hex(card_.key), hex(expected),
                      matches ? "the card's answer matches" : "MISMATCH")});
    if (!expect(result.sw, "INTERNAL AUTHENTICATE")) return false;
    if (!matches) return failed("INTERNAL AUTHENTICATE does not match DesEncrypt");
    return true;
  }

  bool switch_protocol() {
    target_ = first_protocol_ == 0 ? 1 : 0;
    const Bytes apdu{0x80, 0x14, 0x00, 0x00, 0x01, target_};
    const Exchange result = transparent(handle_, apdu);
    step(fmt::format("ICC_tsi_api: switch the protocol to T={}", target_), result.sw,
         {apdu_note(apdu)});
    return expect(result.sw, "protocol switch");
  }

  bool read_again() {
    return read_binary(fmt::format("ICC_tsi_api: READ BINARY again, card frames now head {:02X}",
                                   target_ == 1 ? 0x00 : 0x40));
  }

  void close() {
    if (handle_ == 0) return;
    const int32_t closed = CT_close(handle_);
    step("CT_close: close the port", std::nullopt, {closed == 0 ? "closed" : "failed"});
    if (closed != 0) failed("CT_close failed");
  }

  bool ok() const { return ok_; }

  static inline const Bytes kReadBinary{0x00, 0xB0, 0x00, 0x00, 0x00};

 private:
  void step(const std::string& title, std::optional<uint16_t> sw,
            const std::vector<std::string>& notes) {
    context_.out.demo_step(DemoStep{++number_, title, log_.drain(), notes, sw});
  }

  bool expect(uint16_t sw, const std::string& what) {
    if (sw == kSwOk) return true;
    return failed(
        fmt::format("{}: expected 90 00, got {} ({})", what, format_sw(sw), status_meaning(sw)));
  }

  bool failed(const std::string& message) {
    if (ok_) context_.out.fail(kExitFailure, message);
    ok_ = false;
    return false;
  }

  const Context& context_;
  const sim::CardProfile& card_;
  FrameLog& log_;
  int32_t handle_ = 0;
  int number_ = 0;
  int first_protocol_ = 0;
  uint8_t target_ = 1;
  Bytes challenge_;
  bool ok_ = true;
};

}  // namespace

int run_demo(const Context& context, const SimSettings& settings) {
  Output& out = context.out;
  auto card = card_for(settings);
  if (auto* error = std::get_if<std::string>(&card)) return out.fail(kExitUsage, *error);
  const sim::CardProfile profile = std::get<sim::CardProfile>(card);
  FrameLog log;
  auto started = start_simulator(settings, profile, log.sink());
  if (auto* error = std::get_if<std::string>(&started)) {
    return out.fail(kExitFailure, "cannot start the simulator: " + *error);
  }
  auto& simulator = std::get<0>(started);
  setenv(port_variable(context.port).c_str(), simulator->device_path().c_str(), 1);
  out.demo_started(simulator->device_path(), context.port);

  Demo demo(context, profile, log);
  if (demo.open()) {
    demo.run();
    demo.close();
  }
  out.demo_finished(demo.ok());
  return demo.ok() ? kExitOk : kExitFailure;
}

Command add_demo(CLI::App& app) {
  auto settings = std::make_shared<SimSettings>();
  CLI::App* demo = app.add_subcommand("demo", kDemoAbout);
  add_sim_options(*demo, *settings, false);
  return {demo, [settings](const Context& context) { return run_demo(context, *settings); }};
}

}  // namespace vorkand::cli
