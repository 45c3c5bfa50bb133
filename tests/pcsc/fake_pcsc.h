// A fake PC/SC service behind the library's function table: readers that can
// be unplugged, cards that can be removed, held by another program or offer
// only some protocols, and a service that can stop. Each card answers APDUs
// through a function of the test. Thread-safe; one instance at a time.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fake_transport.h"  // Bytes, hex(), to_hex()
#include "link/pcsc/pcsc_api.h"

namespace vorkand::test {

namespace pc = link::pcsc;

struct FakeReader {
  std::string name;
  bool plugged = true;
  bool card = true;
  bool held_elsewhere = false;
  Bytes atr = hex("3B 95 13 81 01 80 73 FF 01 00 0B");
  pc::Dword offered = pc::kProtocolT1;
  // The card's answer to an APDU (response data and SW1 SW2).
  std::function<Bytes(const Bytes&)> answer = [](const Bytes&) { return hex("90 00"); };

  // State the service keeps.
  bool connected = false;
  bool removed_since_connect = false;
  pc::Dword active = 0;
  int resets = 0;
  std::vector<std::string> log;  // "connect", "transmit T1 00A4...", "disconnect 1", ...
};

class FakePcsc {
 public:
  FakePcsc() { current() = this; }
  ~FakePcsc() { current() = nullptr; }
  FakePcsc(const FakePcsc&) = delete;
  FakePcsc& operator=(const FakePcsc&) = delete;

  FakeReader& add(const std::string& name) {
    readers_.push_back(FakeReader{});
    readers_.back().name = name;
    return readers_.back();
  }
  FakeReader& reader(std::size_t index) { return readers_.at(index); }
  void remove_card(std::size_t index) {
    const std::lock_guard lock(mutex_);
    readers_.at(index).card = false;
    readers_.at(index).removed_since_connect = true;
  }
  void stop() {
    const std::lock_guard lock(mutex_);
    running_ = false;
  }
  void set_running(bool running) { running_ = running; }
  std::size_t open_contexts() {
    const std::lock_guard lock(mutex_);
    return contexts_.size();
  }

  static const pc::Functions& functions() {
    static const pc::Functions table{establish,  release,  list,   connect,      reconnect,
                                     disconnect, transmit, status, status_change};
    return table;
  }

 private:
  static FakePcsc*& current() {
    static FakePcsc* fake = nullptr;
    return fake;
  }
  static pc::Long result(pc::Result r) { return static_cast<pc::Long>(r); }
  FakeReader* by_handle(pc::CardHandle card) {
    const auto index = static_cast<std::size_t>(card) - 1;
    return index < readers_.size() ? &readers_[index] : nullptr;
  }
  // Problems common to every call on a connected card.
  static pc::Long card_problem(const FakeReader* reader) {
    if (reader == nullptr) return result(pc::kInvalidHandle);
    if (!reader->plugged) return result(pc::kReaderUnavailable);
    if (!reader->card || reader->removed_since_connect) return result(pc::kRemovedCard);
    return 0;
  }
  static pc::Dword choose(pc::Dword preferred, pc::Dword offered) {
    const pc::Dword common = preferred & offered;
    return (common & pc::kProtocolT1) != 0 ? pc::kProtocolT1 : common & pc::kProtocolT0;
  }

  static pc::Long VORKAND_SCARD_CALL establish(pc::Dword, const void*, const void*,
                                               pc::Context* context) {
    FakePcsc& f = *current();
    const std::lock_guard lock(f.mutex_);
    if (!f.running_) return result(pc::kNoService);
    *context = ++f.next_context_;
    f.contexts_.insert(*context);
    return 0;
  }
  static pc::Long VORKAND_SCARD_CALL release(pc::Context context) {
    FakePcsc& f = *current();
    const std::lock_guard lock(f.mutex_);
    if (!f.running_) return result(pc::kNoService);
    return f.contexts_.erase(context) == 1 ? 0 : result(pc::kInvalidHandle);
  }
  static pc::Long VORKAND_SCARD_CALL list(pc::Context, const char*, char* names,
                                          pc::Dword* length) {
    FakePcsc& f = *current();
    const std::lock_guard lock(f.mutex_);
    if (!f.running_) return result(pc::kNoService);
    std::string all;
    for (const FakeReader& r : f.readers_) {
      if (r.plugged) all += r.name + '\0';
    }
    if (all.empty()) return result(pc::kNoReadersAvailable);
    all += '\0';
    if (names != nullptr && *length < all.size()) return result(pc::kInsufficientBuffer);
    if (names != nullptr) std::memcpy(names, all.data(), all.size());
    *length = static_cast<pc::Dword>(all.size());
    return 0;
  }
  static pc::Long VORKAND_SCARD_CALL connect(pc::Context, const char* name, pc::Dword,
                                             pc::Dword preferred, pc::CardHandle* card,
                                             pc::Dword* active) {
    FakePcsc& f = *current();
    const std::lock_guard lock(f.mutex_);
    if (!f.running_) return result(pc::kNoService);
    for (std::size_t i = 0; i < f.readers_.size(); ++i) {
      FakeReader& r = f.readers_[i];
      if (r.name != name || !r.plugged) continue;
      r.log.push_back("connect");
      if (!r.card) return result(pc::kNoSmartcard);
      if (r.held_elsewhere || r.connected) return result(pc::kSharingViolation);
      if (choose(preferred, r.offered) == 0) return result(pc::kProtoMismatch);
      r.connected = true;
      r.removed_since_connect = false;
      r.active = *active = choose(preferred, r.offered);
      *card = static_cast<pc::CardHandle>(i + 1);
      return 0;
    }
    return result(pc::kUnknownReader);
  }
  static pc::Long VORKAND_SCARD_CALL reconnect(pc::CardHandle card, pc::Dword, pc::Dword preferred,
                                               pc::Dword init, pc::Dword* active) {
    FakePcsc& f = *current();
    const std::lock_guard lock(f.mutex_);
    if (!f.running_) return result(pc::kNoService);
    FakeReader* r = f.by_handle(card);
    if (const pc::Long problem = card_problem(r)) return problem;
    r->log.push_back("reconnect " + std::to_string(preferred) + " " + std::to_string(init));
    if (init != pc::kLeaveCard) {
      ++r->resets;
      r->active = 0;
    }
    if (r->active != 0 && (preferred & r->active) == 0) return result(pc::kProtoMismatch);
    if (r->active == 0) r->active = choose(preferred, r->offered);
    if (r->active == 0) return result(pc::kProtoMismatch);
    *active = r->active;
    return 0;
  }
  static pc::Long VORKAND_SCARD_CALL disconnect(pc::CardHandle card, pc::Dword disposition) {
    FakePcsc& f = *current();
    const std::lock_guard lock(f.mutex_);
    FakeReader* r = f.by_handle(card);
    if (r == nullptr) return result(pc::kInvalidHandle);
    r->log.push_back("disconnect " + std::to_string(disposition));
    r->connected = false;
    return 0;
  }
  static pc::Long VORKAND_SCARD_CALL transmit(pc::CardHandle card, const pc::IoRequest* send,
                                              const uint8_t* apdu, pc::Dword apdu_length,
                                              pc::IoRequest*, uint8_t* out, pc::Dword* out_length) {
    FakePcsc& f = *current();
    std::function<Bytes(const Bytes&)> answer;
    const Bytes command(apdu, apdu + apdu_length);
    {
      const std::lock_guard lock(f.mutex_);
      if (!f.running_) return result(pc::kNoService);
      FakeReader* r = f.by_handle(card);
      if (const pc::Long problem = card_problem(r)) return problem;
      r->log.push_back("transmit T" + std::to_string(send->protocol - 1) + " " + to_hex(command));
      if (send->protocol != r->active) return result(pc::kProtoMismatch);
      answer = r->answer;
    }
    const Bytes response = answer(command);
    if (response.size() > *out_length) return result(pc::kInsufficientBuffer);
    std::copy(response.begin(), response.end(), out);
    *out_length = static_cast<pc::Dword>(response.size());
    return 0;
  }
  static pc::Long VORKAND_SCARD_CALL status(pc::CardHandle card, char*, pc::Dword*,
                                            pc::Dword* state, pc::Dword* protocol, uint8_t* atr,
                                            pc::Dword* atr_length) {
    FakePcsc& f = *current();
    const std::lock_guard lock(f.mutex_);
    if (!f.running_) return result(pc::kNoService);
    FakeReader* r = f.by_handle(card);
    if (const pc::Long problem = card_problem(r)) return problem;
    if (*atr_length < r->atr.size()) return result(pc::kInsufficientBuffer);
    std::copy(r->atr.begin(), r->atr.end(), atr);
    *atr_length = static_cast<pc::Dword>(r->atr.size());
    *state = 0x34;
    *protocol = r->active;
    return 0;
  }
  static pc::Long VORKAND_SCARD_CALL status_change(pc::Context, pc::Dword, pc::ReaderState* states,
                                                   pc::Dword count) {
    FakePcsc& f = *current();
    const std::lock_guard lock(f.mutex_);
    if (!f.running_) return result(pc::kNoService);
    for (pc::Dword i = 0; i < count; ++i) {
      const auto r = std::find_if(f.readers_.begin(), f.readers_.end(), [&](const FakeReader& r) {
        return r.name == states[i].reader && r.plugged;
      });
      if (r == f.readers_.end()) return result(pc::kUnknownReader);
      states[i].event_state = 0x2 | (r->card ? 0x20 : 0x10);
    }
    return 0;
  }

  std::mutex mutex_;
  bool running_ = true;
  std::vector<FakeReader> readers_;
  pc::Context next_context_ = 0;
  std::set<pc::Context> contexts_;
};

}  // namespace vorkand::test
