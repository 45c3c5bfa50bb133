// The record of ports this library opened and has not closed yet: a fixed
// table of 256 slots from handle to channel. A call holds the channel of its
// handle for as long as it runs (ChannelUse), so a channel lives until the last
// call using it has returned, even when another thread closes the handle
// meanwhile. Using a handle is lock-free and allocation-free; only opening and
// closing take the table's lock, and never across an exchange. A bare number
// must never let CT_close close, or an exchange write into, a file the host
// opened itself.
#pragma once

#include <cstdint>

#include "link/channel.h"

namespace vorkand::link {

struct HandleSlot;

// The channel of an open handle, held by one call: it is neither closed nor
// deleted before this is destroyed. Empty when the handle is not open (or is
// being closed).
class ChannelUse {
 public:
  explicit ChannelUse(int32_t handle) noexcept;
  ~ChannelUse();
  ChannelUse(const ChannelUse&) = delete;
  ChannelUse& operator=(const ChannelUse&) = delete;

  Channel* get() const noexcept { return channel_; }

 private:
  HandleSlot* slot_ = nullptr;
  Channel* channel_ = nullptr;
};

// Records `channel` under its handle. A handle already recorded was closed
// behind the library's back and reused by the system: the new channel stands
// for it from now on and the old one is dropped without close(), once the
// calls still using it have returned. False when all 256 slots are taken (the
// caller then closes and deletes the channel).
bool remember_channel(Channel* channel) noexcept;
// Forgets `handle` and hands its channel back to the caller, or nullptr. From
// here on calls on the handle find nothing; the calls still using the channel
// are woken (Channel::cancel) and have returned when this returns.
Channel* take_channel(int32_t handle) noexcept;
// A handle for a port the system gives no number of its own (a PC/SC reader):
// 0x40000000 and up, far above descriptors and HANDLEs, and never one that an
// open port holds. Distinct on every call until the range wraps.
int32_t unused_handle() noexcept;

}  // namespace vorkand::link
