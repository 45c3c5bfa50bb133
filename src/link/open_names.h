// The names of the ports of one kind open in this process, for kinds whose
// port must not be opened twice (a PC/SC reader, a serial port server's
// address). Each kind keeps one set behind a small function of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string_view>

namespace vorkand::link {

// Up to `kCount` names, each shorter than `kMaxName`.
template <std::size_t kMaxName, std::size_t kCount>
class OpenNames {
 public:
  // Records `name`; false when it is open already, too long, or the set is full.
  bool claim(std::string_view name) noexcept {
    if (name.size() >= kMaxName) return false;
    const std::lock_guard lock(mutex_);
    Name* free = nullptr;
    for (Name& entry : names_) {
      if (entry[0] == '\0') {
        if (free == nullptr) free = &entry;
      } else if (name == entry.data()) {
        return false;
      }
    }
    if (free == nullptr) return false;
    std::memcpy(free->data(), name.data(), name.size());
    (*free)[name.size()] = '\0';
    return true;
  }

  // Forgets `name` (nothing when it is not recorded).
  void release(std::string_view name) noexcept {
    if (name.empty()) return;
    const std::lock_guard lock(mutex_);
    for (Name& entry : names_) {
      if (name == entry.data()) {
        entry[0] = '\0';
        return;
      }
    }
  }

 private:
  using Name = std::array<char, kMaxName>;
  std::mutex mutex_;
  std::array<Name, kCount> names_{};
};

}  // namespace vorkand::link
