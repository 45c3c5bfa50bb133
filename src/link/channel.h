// What a handle stands for between CT_open and CT_close: one open port of any
// kind (a serial device, a PC/SC reader, a serial port on the network), seen
// from above as the transport its frames go through.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

#include "link/open_failure.h"
#include "link/trace/trace.h"
#include "link/transport.h"

namespace vorkand::link {

class Channel {
 public:
  explicit Channel(int32_t handle) noexcept : handle_(handle) {}
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  // Destroying a channel releases nothing of the system's: a channel whose
  // handle was closed behind the library's back is dropped without close().
  virtual ~Channel() = default;

  // The value CT_open returns for this port: never 0, never equal to the
  // handle of another port that is still open.
  int32_t handle() const noexcept { return handle_; }
  // Where reader and card operations send their frames. No allocation.
  virtual Transport& transport() noexcept = 0;
  // Releases the port. False when the system refused.
  virtual bool close() noexcept = 0;
  // The handle is being closed while calls are in flight on it: wakes an
  // exchange waiting on the port, and makes every later one fail at once, so
  // they end promptly (with FFFF) instead of sitting out the silence limit.
  // Called at most once, from another thread than the exchanges; close()
  // follows when they have returned. `owns_handle` false: the host closed the
  // handle behind the library's back and the system may have given its number
  // to another port since, so nothing may be done to the handle itself.
  virtual void cancel(bool owns_handle) noexcept { (void)owns_handle; }
  // Writes what the port is, for people reading a trace: the device or address
  // it reached and its line settings, zero-terminated and cut to fit `out`.
  virtual void describe(std::span<char> out) const noexcept {
    if (!out.empty()) out[0] = '\0';
  }

  // Where the port's mapping came from, for the trace: the variable
  // ("VORKAND_COM1") or the configuration file and its key; empty when the
  // port is not mapped.
  static constexpr std::size_t kMaxMappedBy = 600;
  const char* mapped_by() const noexcept { return mapped_by_.data(); }
  void set_mapped_by(const char* source) noexcept {
    std::snprintf(mapped_by_.data(), mapped_by_.size(), "%s", source);
  }

  // The frame trace of this port (see trace.h), nullptr while tracing is off.
  Trace* trace() const noexcept { return trace_.get(); }
  // Starts the trace of this port just opened, when VORKAND_TRACE asks for
  // one (see Trace::start), and lets it watch the transport. `name_as_given`
  // is the name the host gave CT_open.
  void start_trace(const char* name_as_given) noexcept {
    attach_trace(Trace::start(PortFacts{.handle = handle(),
                                        .name_as_given = name_as_given,
                                        .mapped_by = mapped_by(),
                                        .describe =
                                            [](const void* port, std::span<char> out) noexcept {
                                              static_cast<const Channel*>(port)->describe(out);
                                            },
                                        .port = this}));
  }
  // Takes `trace` over (nullptr: none) and lets it watch the transport.
  void attach_trace(Trace* trace) noexcept {
    trace_.reset(trace);
    transport().observe(trace);
  }

 private:
  int32_t handle_;
  std::array<char, kMaxMappedBy> mapped_by_{};
  std::unique_ptr<Trace> trace_;
};

}  // namespace vorkand::link
