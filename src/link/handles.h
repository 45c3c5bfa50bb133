// The record of handles this library opened and has not closed yet: a fixed
// table of atomic slots, lock-free and allocation-free. A bare descriptor
// number must never let CT_close close, or an exchange write into, a file the
// host opened itself.
#pragma once

#include <cstdint>

namespace vorkand::link {

// False when the table is full (the caller then closes the port again).
bool remember_handle(int32_t handle) noexcept;
// False when `handle` was not remembered; otherwise forgets it.
bool forget_handle(int32_t handle) noexcept;
bool is_open_handle(int32_t handle) noexcept;

}  // namespace vorkand::link
