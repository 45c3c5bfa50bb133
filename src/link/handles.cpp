#include "link/handles.h"

#include <array>
#include <atomic>
#include <mutex>

namespace vorkand::link {
namespace {

// A slot is free while its handle is 0: 0 is never a handle. The channel is
// stored before the handle is published, and the handle cleared before the
// channel is handed back.
struct Slot {
  std::atomic<int32_t> handle{0};
  std::atomic<Channel*> channel{nullptr};
};

constexpr std::size_t kSlots = 256;
std::array<Slot, kSlots> g_slots{};
std::mutex g_writers;  // opens and closes, one at a time

Slot* slot_of(int32_t handle) noexcept {
  if (handle == 0) return nullptr;
  for (auto& slot : g_slots) {
    if (slot.handle.load(std::memory_order_acquire) == handle) return &slot;
  }
  return nullptr;
}

}  // namespace

bool remember_channel(Channel* channel) noexcept {
  if (channel == nullptr || channel->handle() == 0) return false;
  const std::lock_guard lock(g_writers);
  if (Slot* reused = slot_of(channel->handle())) {
    delete reused->channel.exchange(channel, std::memory_order_acq_rel);
    return true;
  }
  for (auto& slot : g_slots) {
    if (slot.handle.load(std::memory_order_relaxed) != 0) continue;
    slot.channel.store(channel, std::memory_order_relaxed);
    slot.handle.store(channel->handle(), std::memory_order_release);
    return true;
  }
  return false;
}

Channel* find_channel(int32_t handle) noexcept {
  Slot* slot = slot_of(handle);
  return slot != nullptr ? slot->channel.load(std::memory_order_acquire) : nullptr;
}

Channel* take_channel(int32_t handle) noexcept {
  const std::lock_guard lock(g_writers);
  Slot* slot = slot_of(handle);
  if (slot == nullptr) return nullptr;
  Channel* channel = slot->channel.exchange(nullptr, std::memory_order_acq_rel);
  slot->handle.store(0, std::memory_order_release);
  return channel;
}

}  // namespace vorkand::link
