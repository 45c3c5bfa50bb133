// The PC/SC readers through the tool's pcsc-lite binding.
#include <fmt/format.h>

#include "cli/pcsc_binding.h"
#include "cli/pcsc_errors.h"
#include "cli/pcsc_readers.h"

namespace vorkand::cli {
namespace {

using pcsc::Dword;
using pcsc::Long;

std::vector<std::string> state_words(Dword state) {
  static constexpr std::pair<Dword, const char*> kWords[] = {
      {pcsc::kStateUnknown, "unknown"},     {pcsc::kStateUnavailable, "unavailable"},
      {pcsc::kStateEmpty, "no card"},       {pcsc::kStatePresent, "card present"},
      {pcsc::kStateExclusive, "exclusive"}, {pcsc::kStateInUse, "in use"},
      {pcsc::kStateMute, "mute card"},      {pcsc::kStateUnpowered, "unpowered"},
  };
  std::vector<std::string> words;
  for (const auto& [bit, word] : kWords) {
    if (state & bit) words.emplace_back(word);
  }
  return words;
}

}  // namespace

PcscReport list_pcsc_readers() {
  PcscReport report;
  pcsc::Library library;
  if (std::string why = library.open(); !why.empty()) {
    report.note = std::move(why);
    return report;
  }
  report.available = true;
  std::vector<std::string> names;
  if (const Long listed = library.list_readers(names); listed != 0) {
    report.note = "cannot list the readers: " + pcsc_error(pcsc::code(listed));
    return report;
  }
  std::vector<pcsc::ReaderState> states;
  for (const std::string& name : names) {
    pcsc::ReaderState state{};
    state.reader = name.c_str();
    state.current_state = pcsc::kStateUnaware;
    states.push_back(state);
  }
  const Long status =
      states.empty() ? 0 : library.get_status_change(0, states.data(), states.size());
  for (const pcsc::ReaderState& state : states) {
    PcscReader reader;
    reader.name = state.reader;
    if (status == 0) {
      reader.state = state_words(state.event_state);
      if (state.event_state & pcsc::kStatePresent) reader.atr = pcsc::atr_of(state);
    }
    report.readers.push_back(std::move(reader));
  }
  return report;
}

}  // namespace vorkand::cli
