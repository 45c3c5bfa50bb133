#include "link/handles.h"

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace vorkand::link {

// A slot's state counts the calls using its channel, plus kOpen while the
// handle is open. Calls join only while kOpen is set; closing clears it, so
// the count can only fall from then on. A slot is free once its state is 0 and
// its channel gone: the closer waits for the count to reach 0 before it lets
// the channel go.
struct HandleSlot {
  std::atomic<int32_t> handle{0};
  std::atomic<uint32_t> state{0};
  std::atomic<Channel*> channel{nullptr};
};

namespace {

constexpr uint32_t kOpen = 0x80000000u;
constexpr std::size_t kSlots = 256;
std::array<HandleSlot, kSlots> g_slots{};
std::mutex g_writers;  // opens and closes, one at a time

// The open slot of `handle`. Only under g_writers, or for a look without use.
HandleSlot* open_slot(int32_t handle) noexcept {
  if (handle == 0) return nullptr;
  for (auto& slot : g_slots) {
    if (slot.handle.load(std::memory_order_acquire) == handle &&
        (slot.state.load(std::memory_order_acquire) & kOpen) != 0)
      return &slot;
  }
  return nullptr;
}

// Under g_writers: no call joins `slot` from now on.
Channel* close_slot(HandleSlot& slot) noexcept {
  slot.state.fetch_and(~kOpen, std::memory_order_acq_rel);
  slot.handle.store(0, std::memory_order_release);
  return slot.channel.load(std::memory_order_acquire);
}

// Wakes the calls still using the closed `slot`, waits until they have left and
// frees the slot. They end promptly once woken. Without calls in flight the
// port is left as it is, so that close() can still end it properly (a TLS
// session's close_notify goes out before the socket is shut).
void drain_slot(HandleSlot& slot, Channel& channel, bool owns_handle) noexcept {
  if (slot.state.load(std::memory_order_acquire) != 0) channel.cancel(owns_handle);
  while (slot.state.load(std::memory_order_acquire) != 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  slot.channel.store(nullptr, std::memory_order_release);
}

}  // namespace

ChannelUse::ChannelUse(int32_t handle) noexcept {
  if (handle == 0) return;
  for (auto& slot : g_slots) {
    if (slot.handle.load(std::memory_order_acquire) != handle) continue;
    uint32_t state = slot.state.load(std::memory_order_acquire);
    while ((state & kOpen) != 0 &&
           !slot.state.compare_exchange_weak(state, state + 1, std::memory_order_acq_rel)) {
    }
    if ((state & kOpen) == 0) continue;
    // Joined an open slot. It may have been closed and reopened for another
    // handle since the look above; while it is held it can change no more.
    if (slot.handle.load(std::memory_order_acquire) == handle) {
      slot_ = &slot;
      channel_ = slot.channel.load(std::memory_order_acquire);
      return;
    }
    slot.state.fetch_sub(1, std::memory_order_acq_rel);
  }
}

ChannelUse::~ChannelUse() {
  if (slot_ != nullptr) slot_->state.fetch_sub(1, std::memory_order_acq_rel);
}

bool remember_channel(Channel* channel) noexcept {
  if (channel == nullptr || channel->handle() == 0) return false;
  HandleSlot* retired = nullptr;
  Channel* stale = nullptr;
  bool recorded = false;
  {
    const std::lock_guard lock(g_writers);
    if (HandleSlot* reused = open_slot(channel->handle())) {
      retired = reused;
      stale = close_slot(*reused);
    }
    for (auto& slot : g_slots) {
      if (slot.state.load(std::memory_order_acquire) != 0 ||
          slot.channel.load(std::memory_order_acquire) != nullptr)
        continue;
      slot.channel.store(channel, std::memory_order_release);
      slot.handle.store(channel->handle(), std::memory_order_release);
      slot.state.store(kOpen, std::memory_order_release);
      recorded = true;
      break;
    }
  }
  if (retired != nullptr) {
    // The old channel's number is the new channel's now.
    drain_slot(*retired, *stale, false);
    delete stale;
  }
  return recorded;
}

Channel* take_channel(int32_t handle) noexcept {
  HandleSlot* slot = nullptr;
  Channel* channel = nullptr;
  {
    const std::lock_guard lock(g_writers);
    slot = open_slot(handle);
    if (slot == nullptr) return nullptr;
    channel = close_slot(*slot);
  }
  drain_slot(*slot, *channel, true);
  return channel;
}

int32_t unused_handle() noexcept {
  static std::atomic<uint32_t> next{0};
  constexpr uint32_t kBase = 0x40000000;
  constexpr uint32_t kRange = 0x40000000;
  for (;;) {
    const auto candidate =
        static_cast<int32_t>(kBase + next.fetch_add(1, std::memory_order_relaxed) % kRange);
    if (open_slot(candidate) == nullptr) return candidate;
  }
}

}  // namespace vorkand::link
