// The record of ports this library opened and has not closed yet: a fixed
// table from handle to channel. Lookups are lock-free and allocation-free;
// only opening and closing take the table's lock. A bare number must never let
// CT_close close, or an exchange write into, a file the host opened itself.
#pragma once

#include <cstdint>

#include "link/channel.h"

namespace vorkand::link {

// Records `channel` under its handle. A handle already recorded was closed
// behind the library's back and reused by the system: the new channel stands
// for it from now on and the old one is dropped without close(). False when
// the table is full (the caller then closes and deletes the channel).
bool remember_channel(Channel* channel) noexcept;
// The channel recorded under `handle`, or nullptr.
Channel* find_channel(int32_t handle) noexcept;
// Forgets `handle` and hands its channel back to the caller, or nullptr.
Channel* take_channel(int32_t handle) noexcept;

}  // namespace vorkand::link
