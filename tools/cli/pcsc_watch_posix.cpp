// pcsc-lite through dlopen, waiting in SCardGetStatusChange on every reader
// and on the plug-and-play notification that announces new readers.
#include <dlfcn.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "cli/pcsc_errors.h"
#include "cli/pcsc_watch.h"

namespace vorkand::cli {
namespace {

// pcsc-lite's types and values on Linux (its LONG and DWORD are C longs).
using Long = long;
using Dword = unsigned long;
using Handle = Long;

constexpr Dword kScopeSystem = 2;
constexpr Dword kInfinite = 0xFFFFFFFF;
constexpr Dword kStateUnaware = 0x0000;
constexpr Dword kStateChanged = 0x0002;
constexpr Dword kStateGone = 0x0001 | 0x0004 | 0x0008;  // ignore, unknown, unavailable
constexpr Dword kStateEmpty = 0x0010;
constexpr Dword kStatePresent = 0x0020;
constexpr Dword kCancelled = 0x80100002;
constexpr Dword kUnknownReader = 0x80100009;
constexpr Dword kTimeout = 0x8010000A;
constexpr Dword kNoService = 0x8010001D;
constexpr Dword kServiceStopped = 0x8010001E;
constexpr Dword kNoReaders = 0x8010002E;
constexpr std::size_t kMaxAtr = 33;
constexpr const char* kPnp = "\\\\?PnP?\\Notification";

struct ReaderState {
  const char* reader;
  void* user_data;
  Dword current_state;
  Dword event_state;
  Dword atr_length;
  unsigned char atr[kMaxAtr];
};

using EstablishContext = Long (*)(Dword, const void*, const void*, Handle*);
using ReleaseContext = Long (*)(Handle);
using ListReaders = Long (*)(Handle, const char*, char*, Dword*);
using GetStatusChange = Long (*)(Handle, Dword, ReaderState*, Dword);
using Cancel = Long (*)(Handle);

Dword code(Long result) {
  return static_cast<Dword>(result) & 0xFFFFFFFFu;
}

class Watch final : public PcscWatch {
 public:
  ~Watch() override {
    if (established_) release_(context_);
    if (library_ != nullptr) dlclose(library_);
  }

  std::string open() {
    library_ = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) return "pcsc-lite is not installed (libpcsclite.so.1 not found)";
    establish_ = reinterpret_cast<EstablishContext>(dlsym(library_, "SCardEstablishContext"));
    release_ = reinterpret_cast<ReleaseContext>(dlsym(library_, "SCardReleaseContext"));
    list_ = reinterpret_cast<ListReaders>(dlsym(library_, "SCardListReaders"));
    status_ = reinterpret_cast<GetStatusChange>(dlsym(library_, "SCardGetStatusChange"));
    cancel_ = reinterpret_cast<Cancel>(dlsym(library_, "SCardCancel"));
    if (!establish_ || !release_ || !list_ || !status_ || !cancel_) {
      return "libpcsclite.so.1 lacks the functions needed";
    }
    const Long established = establish_(kScopeSystem, nullptr, nullptr, &context_);
    if (established != 0) {
      return code(established) == kNoService || code(established) == kServiceStopped
                 ? "pcscd is not running"
                 : "no PC/SC context: " + pcsc_error(code(established));
    }
    established_ = true;
    return {};
  }

  std::vector<ReaderEvent> current() override {
    std::vector<ReaderEvent> events;
    if (!list_readers().empty()) return events;
    states_.assign(names_.size(), Dword{kStateUnaware});
    std::vector<ReaderState> states = reader_states();
    pnp_state_ = kStateUnaware;
    if (status_(context_, 0, states.data(), static_cast<Dword>(states.size())) != 0) return events;
    pnp_state_ = states[0].event_state & ~kStateChanged;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      const ReaderState& state = states[i + 1];
      events.push_back({"pcsc:" + names_[i], "reader present", {}, {}, {}});
      if (state.event_state & kStatePresent) {
        events.push_back({"pcsc:" + names_[i], "card present", {}, atr_of(state), {}});
      }
      states_[i] = state.event_state & ~kStateChanged;
    }
    return events;
  }

  std::variant<std::vector<ReaderEvent>, std::string> changes() override {
    std::vector<ReaderEvent> events;
    if (!established_) return service_back();
    while (events.empty()) {
      if (cancelled_) return events;
      std::vector<ReaderState> states = reader_states();
      const Long result =
          status_(context_, kInfinite, states.data(), static_cast<Dword>(states.size()));
      if (code(result) == kCancelled) return events;
      if (code(result) == kTimeout) continue;
      if (pcsc_service_gone(code(result))) return service_gone(code(result));
      if (result != 0 && code(result) != kUnknownReader) {
        return "PC/SC: waiting for a change failed: " + pcsc_error(code(result));
      }
      if (result == 0) {
        pnp_state_ = states[0].event_state & ~kStateChanged;
        for (std::size_t i = 0; i < names_.size(); ++i) {
          const Dword now = states[i + 1].event_state;
          if ((now & kStateChanged) == 0 || (now & kStateGone) != 0) continue;
          const bool was = (states_[i] & kStatePresent) != 0;
          const bool is = (now & kStatePresent) != 0;
          if (is && !was) {
            events.push_back({"pcsc:" + names_[i], "card inserted", {}, atr_of(states[i + 1]), {}});
          }
          if (was && !is) events.push_back({"pcsc:" + names_[i], "card removed", {}, {}, {}});
          states_[i] = now & ~kStateChanged;
        }
      }
      // A reader came or went: the list again, each one named.
      const std::vector<std::string> before = names_;
      const std::vector<Dword> before_states = states_;
      if (const std::string error = list_readers(); !error.empty()) return error;
      states_.assign(names_.size(), Dword{kStateEmpty});
      for (const std::string& name : before) {
        if (std::find(names_.begin(), names_.end(), name) == names_.end()) {
          events.push_back({"pcsc:" + name, "reader removed", {}, {}, {}});
        }
      }
      for (std::size_t i = 0; i < names_.size(); ++i) {
        const auto known = std::find(before.begin(), before.end(), names_[i]);
        if (known == before.end()) {
          // A card already in it shows as inserted on the next wait.
          events.push_back({"pcsc:" + names_[i], "reader added", {}, {}, {}});
        } else {
          states_[i] = before_states[static_cast<std::size_t>(known - before.begin())];
        }
      }
    }
    return events;
  }

  void cancel() override {
    cancelled_ = true;
    if (established_) cancel_(context_);
  }

 private:
  // The service went away: it and its readers are reported gone, and the
  // context with them.
  std::vector<ReaderEvent> service_gone(Dword why) {
    std::vector<ReaderEvent> events{{"PC/SC", "service stopped", pcsc_error(why), {}, {}}};
    for (const std::string& name : names_) {
      events.push_back({"pcsc:" + name, "reader removed", {}, {}, {}});
    }
    names_.clear();
    states_.clear();
    pnp_state_ = kStateUnaware;
    established_ = false;
    release_(context_);
    return events;
  }

  // Waits, a look every quarter of a second, until the service is back (or
  // cancel()); then it and the readers and cards it has.
  std::vector<ReaderEvent> service_back() {
    constexpr auto kLook = std::chrono::milliseconds(250);
    constexpr auto kStep = std::chrono::milliseconds(25);
    std::vector<ReaderEvent> events;
    while (!cancelled_) {
      if (establish_(kScopeSystem, nullptr, nullptr, &context_) == 0) {
        established_ = true;
        break;
      }
      for (auto waited = std::chrono::milliseconds(0); waited < kLook && !cancelled_;
           waited += kStep) {
        std::this_thread::sleep_for(kStep);
      }
    }
    if (!established_) return events;
    events.push_back({"PC/SC", "service started", {}, {}, {}});
    for (ReaderEvent& event : current()) {
      event.event = event.event == "reader present" ? "reader added" : "card inserted";
      events.push_back(std::move(event));
    }
    return events;
  }

  // The names pcscd lists now; an error message when listing fails.
  std::string list_readers() {
    names_.clear();
    Dword size = 0;
    Long listed = list_(context_, nullptr, nullptr, &size);
    std::vector<char> names(size + 1, '\0');
    if (listed == 0) listed = list_(context_, nullptr, names.data(), &size);
    if (listed != 0) {
      if (code(listed) == kNoReaders) return {};
      return "PC/SC: cannot list the readers: " + pcsc_error(code(listed));
    }
    for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
      names_.emplace_back(name);
    }
    return {};
  }

  // The notification first, then each reader with the state last seen.
  std::vector<ReaderState> reader_states() const {
    std::vector<ReaderState> states(names_.size() + 1);
    states[0].reader = kPnp;
    states[0].current_state = pnp_state_;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      states[i + 1].reader = names_[i].c_str();
      states[i + 1].current_state = states_[i];
    }
    return states;
  }

  static Bytes atr_of(const ReaderState& state) {
    return Bytes(state.atr, state.atr + std::min<std::size_t>(state.atr_length, kMaxAtr));
  }

  void* library_ = nullptr;
  EstablishContext establish_ = nullptr;
  ReleaseContext release_ = nullptr;
  ListReaders list_ = nullptr;
  GetStatusChange status_ = nullptr;
  Cancel cancel_ = nullptr;
  Handle context_ = 0;
  std::atomic<bool> established_{false};
  std::atomic<bool> cancelled_{false};
  std::vector<std::string> names_;
  std::vector<Dword> states_;  // per reader, as last seen
  Dword pnp_state_ = kStateUnaware;
};

}  // namespace

std::variant<std::unique_ptr<PcscWatch>, std::string> watch_pcsc() {
  auto watch = std::make_unique<Watch>();
  if (std::string error = watch->open(); !error.empty()) return error;
  return std::unique_ptr<PcscWatch>(std::move(watch));
}

}  // namespace vorkand::cli
