// The library's C boundary: convert arguments, call the C++ inside, return.
// Every export's body runs inside guarded(): no exception crosses the boundary.
#include <array>
#include <cstdint>

#include "api/call_line.h"
#include "card/card.h"
#include "des/des.h"
#include "link/channel.h"
#include "link/channel_opener.h"
#include "link/handles.h"
#include "link/reader_wire.h"
#include "link/trace/trace.h"
#include "link/transport.h"
#include "vorkand.h"

namespace {

using vorkand::api::TraceCall;
using vorkand::link::Trace;
using vorkand::link::Transport;

constexpr int32_t kOpenFailed = 0;
constexpr int32_t kCloseFailed = -1;
constexpr int32_t kNoReply = VORKAND_SW_NO_REPLY;

// Runs an export's body and returns its result, or `failure` when anything
// escapes it (std::bad_alloc included): nothing is meant to throw, and should
// anything ever do, the host gets the function's failure value and no
// exception crosses the C boundary.
template <typename Body>
int32_t guarded(int32_t failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

// Runs `operation` on the transport of `handle`: the port the library opened
// under that handle, else a transport that sends nothing. When the port is
// traced, `call` (filled in with the result) goes into its trace.
template <typename Operation>
int32_t with_transport(int32_t handle, TraceCall call, Operation operation) noexcept {
  return guarded(kNoReply, [&] {
    // Keeps the channel alive while the operation runs, whoever closes it.
    const vorkand::link::ChannelUse use(handle);
    if (vorkand::link::Channel* channel = use.get()) {
      const int32_t result = operation(channel->transport());
      if (Trace* trace = channel->trace()) {
        call.result = result;
        vorkand::api::trace_call(*trace, call);
      }
      return result;
    }
    vorkand::link::DeadTransport dead;
    return operation(static_cast<Transport&>(dead));
  });
}

// Puts a call that opens or closes a port, with its plain number result, into
// the port's trace when it has one.
void trace_port_call(const vorkand::link::Channel& channel, const char* name,
                     int32_t result) noexcept {
  if (Trace* trace = channel.trace()) {
    vorkand::api::trace_call(*trace,
                             TraceCall{.name = name, .result = result, .result_is_status = false});
  }
}

// How the trace shows a call that sends an APDU.
TraceCall apdu_call(const char* name, int32_t apdu_length, const uint8_t* apdu,
                    const uint8_t* response_length) noexcept {
  TraceCall call;
  call.name = name;
  call.apdu = apdu;
  call.apdu_length = static_cast<uint8_t>(apdu_length & 0xFF);
  call.response_length = response_length;
  return call;
}

}  // namespace

extern "C" {

VORKAND_EXPORT(int32_t) CT_close(int32_t handle) {
  return guarded(kCloseFailed, [&] {
    // The calls still in flight on the handle have returned by now.
    vorkand::link::Channel* channel = vorkand::link::take_channel(handle);
    if (channel == nullptr) return kCloseFailed;
    const int32_t result = channel->close() ? 0 : kCloseFailed;
    trace_port_call(*channel, "CT_close", result);
    delete channel;
    return result;
  });
}

VORKAND_EXPORT(int32_t) CT_open(const char* port_name) {
  return guarded(kOpenFailed, [&] {
    const int index = vorkand::link::com_index(port_name);
    if (index == 0) return kOpenFailed;
    vorkand::link::OpenFailure why;
    vorkand::link::Channel* channel = vorkand::link::open_channel(index, port_name, why);
    if (channel == nullptr) {
      Trace::open_failed(port_name, why);
      return kOpenFailed;
    }
    const int32_t handle = channel->handle();
    // VORKAND_TRACE is read at each open: a host turns tracing on by itself.
    channel->start_trace(port_name);
    if (!vorkand::link::remember_channel(channel)) {
      channel->close();
      delete channel;
      return kOpenFailed;
    }
    trace_port_call(*channel, "CT_open", handle);
    return handle;
  });
}

VORKAND_EXPORT(int32_t) CT_reset(int32_t handle) {
  return with_transport(handle, TraceCall{.name = "CT_reset"}, [](Transport& t) noexcept {
    return static_cast<int32_t>(vorkand::card::reset_reader(t));
  });
}

// DES cannot fail and throws nothing (crypt_block is noexcept): no guard.
VORKAND_EXPORT(int32_t) DesDecrypt(uint8_t* output, const uint8_t* input, const uint8_t* key) {
  return static_cast<int32_t>(
      vorkand::des::crypt_block(vorkand::des::Direction::decrypt, output, input, key));
}

VORKAND_EXPORT(int32_t) DesEncrypt(uint8_t* output, const uint8_t* input, const uint8_t* key) {
  return static_cast<int32_t>(
      vorkand::des::crypt_block(vorkand::des::Direction::encrypt, output, input, key));
}

VORKAND_EXPORT(int32_t)
ICC_command(int32_t handle, int32_t apdu_length, const uint8_t* apdu, uint8_t* response_length,
            uint8_t* response, int32_t direction, int32_t protocol) {
  TraceCall call = apdu_call("ICC_command", apdu_length, apdu, response_length);
  call.has_mode = true;
  call.direction = direction & 0xFF;
  call.protocol = protocol & 0xFF;
  return with_transport(handle, call, [&](Transport& t) noexcept {
    return static_cast<int32_t>(
        vorkand::card::command(t, apdu_length, apdu, response_length, response, direction, protocol)
            .status);
  });
}

VORKAND_EXPORT(int32_t)
ICC_commandS(int32_t handle, int32_t /*ignored*/, int32_t apdu_length, const uint8_t* apdu,
             uint8_t* response_length, uint8_t* response, int32_t direction, int32_t protocol) {
  return ICC_command(handle, apdu_length, apdu, response_length, response, direction, protocol);
}

VORKAND_EXPORT(int32_t) ICC_reset(int32_t handle, uint8_t* atr_length, uint8_t* atr) {
  const TraceCall call{.name = "ICC_reset", .atr = atr, .atr_length = atr_length};
  return with_transport(handle, call, [&](Transport& t) noexcept {
    return static_cast<int32_t>(vorkand::card::power_up(t, atr_length, atr));
  });
}

VORKAND_EXPORT(int32_t)
ICC_resetS(int32_t handle, int32_t /*ignored*/, uint8_t* atr_length, uint8_t* atr) {
  return ICC_reset(handle, atr_length, atr);
}

VORKAND_EXPORT(int32_t)
ICC_tsi_api(int32_t handle, int32_t apdu_length, const uint8_t* apdu, uint8_t* response_length,
            uint8_t* response) {
  return with_transport(
      handle, apdu_call("ICC_tsi_api", apdu_length, apdu, response_length),
      [&](Transport& t) noexcept {
        return static_cast<int32_t>(
            vorkand::card::transparent_command(t, apdu_length, apdu, response_length, response)
                .status);
      });
}

VORKAND_EXPORT(int32_t)
ICC_tsi_apiS(int32_t handle, int32_t /*ignored*/, int32_t apdu_length, const uint8_t* apdu,
             uint8_t* response_length, uint8_t* response) {
  return ICC_tsi_api(handle, apdu_length, apdu, response_length, response);
}

}  // extern "C"
