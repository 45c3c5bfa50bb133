#include "api/call_line.h"

#include <span>

#include "link/reference_data.h"

namespace vorkand::api {

void trace_call(link::Trace& trace, const TraceCall& call) noexcept {
  if (trace.stopped()) return;
  link::TraceLine line = trace.begin("call");
  line.text(" ").text(call.name);
  if (call.apdu != nullptr) {
    const std::span<const uint8_t> apdu(call.apdu, call.apdu_length);
    line.text(" apdu ").hex(apdu,
                            trace.shows_secrets() ? wire::Secret{} : wire::secret_in_apdu(apdu));
  }
  if (call.has_mode) {
    line.text(" direction ").number(call.direction).text(" protocol ").number(call.protocol);
  }
  line.text(" -> ");
  if (call.result_is_status) {
    line.word(static_cast<uint16_t>(call.result));
  } else {
    line.number(call.result);
  }
  if (call.response_length != nullptr) line.text(" response ").number(*call.response_length);
  if (call.atr != nullptr && call.atr_length != nullptr && call.result == 0x9000) {
    line.text(" atr ").hex({call.atr, *call.atr_length});
  }
  trace.write(line);
}

}  // namespace vorkand::api
