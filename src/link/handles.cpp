#include "link/handles.h"

#include <array>
#include <atomic>

namespace vorkand::link {
namespace {

// 0 marks a free slot: 0 is never a handle.
constexpr std::size_t kSlots = 256;
std::array<std::atomic<int32_t>, kSlots> g_open_handles{};

}  // namespace

bool remember_handle(int32_t handle) noexcept {
  if (handle == 0) return false;
  // The system hands out a value again only once it is free, so a value still
  // here was closed behind the library's back: it stands for the new open
  // now, and a second entry would outlive the CT_close that ends it.
  if (is_open_handle(handle)) return true;
  for (auto& slot : g_open_handles) {
    int32_t expected = 0;
    if (slot.compare_exchange_strong(expected, handle, std::memory_order_acq_rel)) return true;
  }
  return false;
}

bool forget_handle(int32_t handle) noexcept {
  if (handle == 0) return false;
  for (auto& slot : g_open_handles) {
    int32_t expected = handle;
    if (slot.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return true;
  }
  return false;
}

bool is_open_handle(int32_t handle) noexcept {
  if (handle == 0) return false;
  for (const auto& slot : g_open_handles) {
    if (slot.load(std::memory_order_acquire) == handle) return true;
  }
  return false;
}

}  // namespace vorkand::link
