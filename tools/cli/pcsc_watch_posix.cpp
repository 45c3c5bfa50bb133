// The PC/SC readers watched through the tool's pcsc-lite binding, waiting in
// SCardGetStatusChange on every reader and on the plug-and-play notification
// that announces new readers.
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/pcsc_binding.h"
#include "cli/pcsc_errors.h"
#include "cli/pcsc_watch.h"

namespace vorkand::cli {
namespace {

using pcsc::Dword;
using pcsc::Long;
using pcsc::ReaderState;

// Gone: ignored, unknown or unavailable.
constexpr Dword kStateGone = pcsc::kStateIgnore | pcsc::kStateUnknown | pcsc::kStateUnavailable;

class Watch final : public PcscWatch {
 public:
  std::string open() { return library_->open(); }

  std::vector<ReaderEvent> current() override {
    std::vector<ReaderEvent> events;
    if (!list_readers().empty()) return events;
    states_.assign(names_.size(), Dword{pcsc::kStateUnaware});
    std::vector<ReaderState> states = reader_states();
    pnp_state_ = pcsc::kStateUnaware;
    if (library_->get_status_change(0, states.data(), states.size()) != 0) return events;
    pnp_state_ = states[0].event_state & ~pcsc::kStateChanged;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      const ReaderState& state = states[i + 1];
      events.push_back({"pcsc:" + names_[i], "reader present", {}, {}, {}});
      if (state.event_state & pcsc::kStatePresent) {
        events.push_back({"pcsc:" + names_[i], "card present", {}, pcsc::atr_of(state), {}});
      }
      states_[i] = state.event_state & ~pcsc::kStateChanged;
    }
    return events;
  }

  std::variant<std::vector<ReaderEvent>, std::string> changes() override {
    std::vector<ReaderEvent> events;
    if (!up_) return service_back();
    while (events.empty()) {
      if (cancelled_) return events;
      std::vector<ReaderState> states = reader_states();
      const Long result =
          library_->get_status_change(pcsc::kInfinite, states.data(), states.size());
      const Dword code = pcsc::code(result);
      if (code == pcsc::kCancelled) return events;
      if (code == pcsc::kTimeout) continue;
      if (pcsc_service_gone(code)) return service_gone(code);
      if (result != 0 && code != pcsc::kUnknownReader) {
        return "PC/SC: waiting for a change failed: " + pcsc_error(code);
      }
      if (result == 0) {
        pnp_state_ = states[0].event_state & ~pcsc::kStateChanged;
        for (std::size_t i = 0; i < names_.size(); ++i) {
          const Dword now = states[i + 1].event_state;
          if ((now & pcsc::kStateChanged) == 0 || (now & kStateGone) != 0) continue;
          const bool was = (states_[i] & pcsc::kStatePresent) != 0;
          const bool is = (now & pcsc::kStatePresent) != 0;
          if (is && !was) {
            events.push_back(
                {"pcsc:" + names_[i], "card inserted", {}, pcsc::atr_of(states[i + 1]), {}});
          }
          if (was && !is) events.push_back({"pcsc:" + names_[i], "card removed", {}, {}, {}});
          states_[i] = now & ~pcsc::kStateChanged;
        }
      }
      // A reader came or went: the list again, each one named.
      const std::vector<std::string> before = names_;
      const std::vector<Dword> before_states = states_;
      if (const std::string error = list_readers(); !error.empty()) return error;
      states_.assign(names_.size(), Dword{pcsc::kStateEmpty});
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
    const std::lock_guard lock(swap_);
    if (up_) library_->cancel();
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
    pnp_state_ = pcsc::kStateUnaware;
    const std::lock_guard lock(swap_);
    up_ = false;
    library_ = std::make_unique<pcsc::Library>();
    return events;
  }

  // Waits, a look every quarter of a second, until the service is back (or
  // cancel()); then it and the readers and cards it has.
  std::vector<ReaderEvent> service_back() {
    constexpr auto kLook = std::chrono::milliseconds(250);
    constexpr auto kStep = std::chrono::milliseconds(25);
    std::vector<ReaderEvent> events;
    while (!cancelled_) {
      auto fresh = std::make_unique<pcsc::Library>();
      if (fresh->open().empty()) {
        const std::lock_guard lock(swap_);
        library_ = std::move(fresh);
        up_ = true;
        break;
      }
      for (auto waited = std::chrono::milliseconds(0); waited < kLook && !cancelled_;
           waited += kStep) {
        std::this_thread::sleep_for(kStep);
      }
    }
    if (!up_) return events;
    events.push_back({"PC/SC", "service started", {}, {}, {}});
    for (ReaderEvent& event : current()) {
      event.event = event.event == "reader present" ? "reader added" : "card inserted";
      events.push_back(std::move(event));
    }
    return events;
  }

  // The names pcscd lists now; an error message when listing fails.
  std::string list_readers() {
    const Long listed = library_->list_readers(names_);
    if (listed == 0) return {};
    return "PC/SC: cannot list the readers: " + pcsc_error(pcsc::code(listed));
  }

  // The notification first, then each reader with the state last seen.
  std::vector<ReaderState> reader_states() const {
    std::vector<ReaderState> states(names_.size() + 1);
    states[0].reader = pcsc::kPnpNotification;
    states[0].current_state = pnp_state_;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      states[i + 1].reader = names_[i].c_str();
      states[i + 1].current_state = states_[i];
    }
    return states;
  }

  // Replaced by a fresh one when the service comes back; swap_ guards the
  // replacing against cancel() from another thread.
  std::unique_ptr<pcsc::Library> library_ = std::make_unique<pcsc::Library>();
  std::mutex swap_;
  std::atomic<bool> up_{true};
  std::atomic<bool> cancelled_{false};
  std::vector<std::string> names_;
  std::vector<Dword> states_;  // per reader, as last seen
  Dword pnp_state_ = pcsc::kStateUnaware;
};

}  // namespace

std::variant<std::unique_ptr<PcscWatch>, std::string> watch_pcsc() {
  auto watch = std::make_unique<Watch>();
  if (std::string error = watch->open(); !error.empty()) return error;
  return std::unique_ptr<PcscWatch>(std::move(watch));
}

}  // namespace vorkand::cli
