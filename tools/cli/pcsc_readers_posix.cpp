// pcsc-lite through dlopen: the tool runs, and lists its serial ports, on a
// system without it.
#include <dlfcn.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "cli/pcsc_errors.h"
#include "cli/pcsc_readers.h"

namespace vorkand::cli {
namespace {

// pcsc-lite's types and values on Linux (its LONG and DWORD are C longs).
using Long = long;
using Dword = unsigned long;
using Context = Long;

constexpr Dword kScopeSystem = 2;
constexpr Dword kStateUnaware = 0x0000;
constexpr Dword kStatePresent = 0x0020;
constexpr Dword kNoService = 0x8010001D;
constexpr Dword kNoReaders = 0x8010002E;
constexpr Dword kServiceStopped = 0x8010001E;
constexpr std::size_t kMaxAtr = 33;

struct ReaderState {
  const char* reader;
  void* user_data;
  Dword current_state;
  Dword event_state;
  Dword atr_length;
  unsigned char atr[kMaxAtr];
};

using EstablishContext = Long (*)(Dword, const void*, const void*, Context*);
using ReleaseContext = Long (*)(Context);
using ListReaders = Long (*)(Context, const char*, char*, Dword*);
using GetStatusChange = Long (*)(Context, Dword, ReaderState*, Dword);

// The library and, once established, its context: both released at the end.
struct Library {
  void* handle = nullptr;
  EstablishContext establish = nullptr;
  ReleaseContext release = nullptr;
  ListReaders list = nullptr;
  GetStatusChange status = nullptr;
  std::optional<Context> context;
  ~Library() {
    if (context) release(*context);
    if (handle != nullptr) dlclose(handle);
  }
};

Dword code(Long result) {
  return static_cast<Dword>(result) & 0xFFFFFFFFu;
}

std::vector<std::string> state_words(Dword state) {
  static constexpr std::pair<Dword, const char*> kWords[] = {
      {0x0004, "unknown"},   {0x0008, "unavailable"},
      {0x0010, "no card"},   {kStatePresent, "card present"},
      {0x0080, "exclusive"}, {0x0100, "in use"},
      {0x0200, "mute card"}, {0x0400, "unpowered"},
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
  Library pcsc;
  pcsc.handle = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
  if (pcsc.handle == nullptr) {
    report.note = "pcsc-lite is not installed (libpcsclite.so.1 not found)";
    return report;
  }
  pcsc.establish = reinterpret_cast<EstablishContext>(dlsym(pcsc.handle, "SCardEstablishContext"));
  pcsc.release = reinterpret_cast<ReleaseContext>(dlsym(pcsc.handle, "SCardReleaseContext"));
  pcsc.list = reinterpret_cast<ListReaders>(dlsym(pcsc.handle, "SCardListReaders"));
  pcsc.status = reinterpret_cast<GetStatusChange>(dlsym(pcsc.handle, "SCardGetStatusChange"));
  if (!pcsc.establish || !pcsc.release || !pcsc.list || !pcsc.status) {
    report.note = "libpcsclite.so.1 lacks the functions needed";
    return report;
  }
  Context context = 0;
  const Long established = pcsc.establish(kScopeSystem, nullptr, nullptr, &context);
  if (established != 0) {
    report.note = code(established) == kNoService || code(established) == kServiceStopped
                      ? "pcscd is not running"
                      : "no PC/SC context: " + pcsc_error(code(established));
    return report;
  }
  pcsc.context = context;
  report.available = true;
  Dword size = 0;
  Long listed = pcsc.list(context, nullptr, nullptr, &size);
  std::vector<char> names(size + 1, '\0');
  if (listed == 0) listed = pcsc.list(context, nullptr, names.data(), &size);
  if (listed != 0) {
    if (code(listed) != kNoReaders) {
      report.note = "cannot list the readers: " + pcsc_error(code(listed));
    }
    return report;
  }
  std::vector<ReaderState> states;
  for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
    ReaderState state{};
    state.reader = name;
    state.current_state = kStateUnaware;
    states.push_back(state);
  }
  const Long status =
      states.empty() ? 0
                     : pcsc.status(context, 0, states.data(), static_cast<Dword>(states.size()));
  for (const ReaderState& state : states) {
    PcscReader reader;
    reader.name = state.reader;
    if (status == 0) {
      reader.state = state_words(state.event_state);
      const std::size_t length = std::min<std::size_t>(state.atr_length, kMaxAtr);
      if (state.event_state & kStatePresent) reader.atr.assign(state.atr, state.atr + length);
    }
    report.readers.push_back(std::move(reader));
  }
  return report;
}

}  // namespace vorkand::cli
