// `vorkand send`: APDUs through ICC_tsi_api, or through ICC_command with the
// direction and protocol given.
#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/session.h"
#include "cli/status_words.h"
#include "common/hex.h"
#include "vorkand.h"

namespace vorkand::cli {
namespace {

// ICC_command's direction when only the protocol is given: 1 (the card
// returns data) for an APDU of the header and Le alone, else 0.
int default_direction(const Bytes& apdu) {
  return apdu.size() == kMinApdu + 1 ? 1 : 0;
}

}  // namespace

int run_send(const Context& context, const SendSettings& settings) {
  Output& out = context.out;
  std::vector<Bytes> apdus;
  for (const std::string& text : settings.apdus) {
    auto apdu = parse_apdu(text);
    if (auto* error = std::get_if<std::string>(&apdu)) {
      return out.fail(kExitUsage, fmt::format("APDU {} of {}: {}", apdus.size() + 1,
                                              settings.apdus.size(), *error));
    }
    apdus.push_back(std::move(std::get<Bytes>(apdu)));
  }
  const auto handle = open_port(context);
  if (!handle) return kExitFailure;
  int status = kExitOk;
  const auto failed = [&](const std::string& message) {
    if (status == kExitOk) status = out.fail(kExitFailure, message);
  };
  // False, the error said, when the card would not power up.
  bool powered = false;
  const auto power = [&] {
    powered = true;
    const Exchange atr = power_up(*handle);
    out.power_up(atr.data, atr.sw);
    if (atr.sw == kSwOk) return true;
    failed(power_up_failure(context, atr.sw));
    return false;
  };
  if (settings.power_up && !power()) apdus.clear();
  const bool by_arguments = settings.direction || settings.protocol;
  const auto exchange = [&](const Bytes& apdu) {
    return by_arguments
               ? command(*handle, apdu, settings.direction.value_or(default_direction(apdu)),
                         settings.protocol.value_or(0))
               : transparent(*handle, apdu);
  };
  const auto whole = [&](const Bytes& apdu) {
    return settings.no_get_response ? exchange(apdu) : whole_answer(apdu, exchange);
  };
  for (const Bytes& apdu : apdus) {
    Exchange result = whole(apdu);
    // A reader with a card it has not powered refuses the card's commands:
    // the card is powered up then, once, and the APDU sent again.
    if (result.sw == kSwRefused && !powered && !settings.no_power_up) {
      if (!power()) break;
      result = whole(apdu);
    }
    out.apdu(apdu, result.data, result.sw);
    if (is_reader_error(result.sw)) {
      failed(fmt::format("{}: {}", common::to_hex(apdu), reader_failure(context, result.sw)));
      break;
    }
    // Warnings (61 xx not fetched, 62 xx, 63 xx) are answers like 90 00.
    if (classify_sw(result.sw) != SwClass::error) continue;
    failed(fmt::format("APDU {} of {}: the card answered {}", &apdu - apdus.data() + 1,
                       apdus.size(), format_sw(result.sw)));
  }
  CT_close(*handle);
  return status;
}

Command add_send(CLI::App& app) {
  auto settings = std::make_shared<SendSettings>();
  CLI::App* send = app.add_subcommand("send", "send APDUs (through ICC_tsi_api by default)");
  send->add_option("apdu", settings->apdus, "APDUs in hex, one an argument")->required();
  send->add_option("--direction", settings->direction,
                   "use ICC_command with this direction: 1 the card returns data, 0 it does not "
                   "(default: 1 for an APDU of header and Le only)")
      ->check(CLI::IsMember({0, 1}));
  send->add_option("--protocol", settings->protocol,
                   "use ICC_command with this protocol: 0 T=0, 1 T=1 (default 0)")
      ->check(CLI::IsMember({0, 1}));
  send->add_flag("--power-up", settings->power_up, "power the card up first (ICC_reset)");
  send->add_flag("--no-power-up", settings->no_power_up, kNoPowerUpHelp);
  send->add_flag("--no-get-response", settings->no_get_response, kNoGetResponseHelp);
  // Accepted as before: whole answers are the default now.
  send->add_flag("--get-response", kGetResponseHelp)->group("");
  return {send, [settings](const Context& context) { return run_send(context, *settings); }};
}

}  // namespace vorkand::cli
