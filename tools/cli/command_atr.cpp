// `vorkand atr [HEX...]`: power the card up (or take the ATR typed on the
// command line), decode the ATR and look it up in the list of known cards.
#include <fmt/format.h>

#include <sstream>

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
    if (atr.sw == kSwNoReply) return out.fail(kExitFailure, reader_failure(context, atr.sw));
    return out.fail(kExitFailure, "power-up failed: " + sw_text(atr.sw));
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
  return kExitOk;
}

}  // namespace vorkand::cli
