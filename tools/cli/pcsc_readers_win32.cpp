// WinSCard loaded from System32 at run time: the tool runs, and lists its serial ports,
// where the smart-card service is missing or stopped.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winscard.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "cli/pcsc_errors.h"
#include "cli/pcsc_readers.h"

namespace vorkand::cli {
namespace {

using EstablishContext = LONG(WINAPI*)(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT);
using ReleaseContext = LONG(WINAPI*)(SCARDCONTEXT);
using ListReaders = LONG(WINAPI*)(SCARDCONTEXT, LPCSTR, LPSTR, LPDWORD);
using GetStatusChange = LONG(WINAPI*)(SCARDCONTEXT, DWORD, SCARD_READERSTATEA*, DWORD);

constexpr DWORD kNoService = 0x8010001D;
constexpr DWORD kServiceStopped = 0x8010001E;
constexpr DWORD kNoReaders = 0x8010002E;

// The library and, once established, its context: both released at the end.
struct Library {
  HMODULE module = nullptr;
  EstablishContext establish = nullptr;
  ReleaseContext release = nullptr;
  ListReaders list = nullptr;
  GetStatusChange status = nullptr;
  std::optional<SCARDCONTEXT> context;
  ~Library() {
    if (context) release(*context);
    if (module != nullptr) FreeLibrary(module);
  }
};

template <typename Function>
Function find(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::vector<std::string> state_words(DWORD state) {
  static constexpr std::pair<DWORD, const char*> kWords[] = {
      {SCARD_STATE_UNKNOWN, "unknown"},     {SCARD_STATE_UNAVAILABLE, "unavailable"},
      {SCARD_STATE_EMPTY, "no card"},       {SCARD_STATE_PRESENT, "card present"},
      {SCARD_STATE_EXCLUSIVE, "exclusive"}, {SCARD_STATE_INUSE, "in use"},
      {SCARD_STATE_MUTE, "mute card"},      {SCARD_STATE_UNPOWERED, "unpowered"},
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
  // From System32 only: a winscard.dll beside the tool is never loaded.
  pcsc.module = LoadLibraryExA("winscard.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (pcsc.module == nullptr) {
    report.note = "WinSCard is not available (winscard.dll not found)";
    return report;
  }
  pcsc.establish = find<EstablishContext>(pcsc.module, "SCardEstablishContext");
  pcsc.release = find<ReleaseContext>(pcsc.module, "SCardReleaseContext");
  pcsc.list = find<ListReaders>(pcsc.module, "SCardListReadersA");
  pcsc.status = find<GetStatusChange>(pcsc.module, "SCardGetStatusChangeA");
  if (!pcsc.establish || !pcsc.release || !pcsc.list || !pcsc.status) {
    report.note = "winscard.dll lacks the functions needed";
    return report;
  }
  SCARDCONTEXT context = 0;
  const auto established =
      static_cast<DWORD>(pcsc.establish(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context));
  if (established != 0) {
    report.note = established == kNoService || established == kServiceStopped
                      ? "the smart-card service is not running"
                      : "no PC/SC context: " + pcsc_error(static_cast<uint32_t>(established));
    return report;
  }
  pcsc.context = context;
  report.available = true;
  DWORD size = 0;
  auto listed = static_cast<DWORD>(pcsc.list(context, nullptr, nullptr, &size));
  std::vector<char> names(size + 1, '\0');
  if (listed == 0) listed = static_cast<DWORD>(pcsc.list(context, nullptr, names.data(), &size));
  if (listed != 0) {
    if (listed != kNoReaders) {
      report.note = "cannot list the readers: " + pcsc_error(static_cast<uint32_t>(listed));
    }
    return report;
  }
  std::vector<SCARD_READERSTATEA> states;
  for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
    SCARD_READERSTATEA state{};
    state.szReader = name;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    states.push_back(state);
  }
  const LONG status =
      states.empty() ? 0
                     : pcsc.status(context, 0, states.data(), static_cast<DWORD>(states.size()));
  for (const SCARD_READERSTATEA& state : states) {
    PcscReader reader;
    reader.name = state.szReader;
    if (status == 0) {
      reader.state = state_words(state.dwEventState);
      const std::size_t length = std::min<std::size_t>(state.cbAtr, sizeof state.rgbAtr);
      if (state.dwEventState & SCARD_STATE_PRESENT)
        reader.atr.assign(state.rgbAtr, state.rgbAtr + length);
    }
    report.readers.push_back(std::move(reader));
  }
  return report;
}

}  // namespace vorkand::cli
