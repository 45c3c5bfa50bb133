// `vorkand atr [HEX...]`: power the card up (or take the ATR typed on the
// command line), decode the ATR and look it up in the list of known cards.
#include <fmt/format.h>

#include <sstream>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/session.h"
#include "cli/status_words.h"
#include "cli/text_file.h"
#include "vorkand.h"

namespace vorkand::cli {
int run_atr(const Context& context, const std::vector<std::string>& typed) {
  Output& out = context.out;
  AtrReport report;
  // A list that is there but cannot be read is the user's to fix; a missing
  // one is reported with the ATR.
  report.list_path = context.atr_list.empty() ? kDefaultAtrList : context.atr_list;
  auto list = read_text_file(report.list_path);
  if (auto* error = std::get_if<FileError>(&list); error && !error->missing) {
    return out.fail(kExitUsage, report.list_path + ": " + error->reason);
  }

  Exchange atr;
  if (!typed.empty()) {
    auto bytes = parse_typed_atr(typed);
    if (auto* error = std::get_if<std::string>(&bytes)) {
      return out.fail(kExitUsage, "not an ATR in hex: " + *error);
    }
    atr.data = std::move(std::get<Bytes>(bytes));
    report.typed = true;
  } else {
    const auto handle = open_port(context);
    if (!handle) return kExitFailure;
    atr = power_up(*handle);
    CT_close(*handle);
  }
  if (!report.typed && atr.sw != kSwOk) {
    out.status(atr.sw);
    return out.fail(kExitFailure, power_up_failure(context, atr.sw));
  }
  report.atr = atr.data;
  report.sw = atr.sw;
  report.info = decode_atr(atr.data);
  report.list_read = std::holds_alternative<std::string>(list);
  if (report.list_read) {
    std::istringstream text(std::get<std::string>(list));
    report.matches = find_atr(text, atr.data);
  }
  out.atr(report);
  if (!report.info.error.empty()) {
    return out.fail(kExitFailure, "malformed ATR: " + report.info.error);
  }
  // A wrong check byte makes the ATR as unusable as a broken one.
  if (report.info.tck && !report.info.tck_ok) {
    return out.fail(
        kExitFailure,
        fmt::format("malformed ATR: TCK {:02X} is wrong, the bytes before it give {:02X}",
                    *report.info.tck, *report.info.tck_expected));
  }
  return kExitOk;
}

Command add_atr(CLI::App& app) {
  auto typed = std::make_shared<std::vector<std::string>>();
  CLI::App* atr = app.add_subcommand(
      "atr", "power up the card (or take the ATR given in hex), decode its ATR, look it up");
  atr->add_option("hex", *typed,
                  "an ATR to decode instead of the card's: hex bytes, spaces or colons between");
  return {atr, [typed](const Context& context) { return run_atr(context, *typed); }};
}

}  // namespace vorkand::cli
