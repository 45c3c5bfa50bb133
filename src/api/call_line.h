// The trace's `call` lines: an exported call on a traced handle, after it
// returned, with its arguments as a support engineer needs them and the
// reference data of an APDU masked (see link/reference_data.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/trace/trace.h"

namespace vorkand::api {

// An exported call as the trace shows it.
struct TraceCall {
  const char* name = "";
  int32_t result = 0;
  bool result_is_status = true;   // shown as four hex digits, else in decimal
  const uint8_t* apdu = nullptr;  // with apdu_length bytes, when given
  std::size_t apdu_length = 0;
  bool has_mode = false;  // direction and protocol given
  int32_t direction = 0;
  int32_t protocol = 0;
  const uint8_t* response_length = nullptr;  // shown when given
  const uint8_t* atr = nullptr;              // with *atr_length bytes, shown on 9000
  const uint8_t* atr_length = nullptr;
};

// Writes `call` into `trace`: "call NAME [apdu ...] [direction D protocol P]
// -> RESULT [response N] [atr ...]".
void trace_call(link::Trace& trace, const TraceCall& call) noexcept;

}  // namespace vorkand::api
