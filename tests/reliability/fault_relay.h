// A fault-injecting TCP relay on loopback, for the fault campaign: it listens
// on a port of its own, and each connection it accepts it joins to a server
// (ser2net, say) on another port, passing the bytes both ways, with the fault
// it was armed with applied to that connection. Which byte a fault strikes
// and how long each delay is come from the seed and the connection's number,
// so a run with the same seed and the same traffic repeats exactly.
//
// The faults, each on the server's bytes to the client unless said:
//   none        bytes pass as they come
//   latency     every piece delayed 0..500 ms (order kept), both ways
//   segments    every byte its own TCP segment, 0.2 ms apart, both ways
//   corrupt     one byte changed
//   drop        one byte left out
//   duplicate   one byte sent twice
//   stall       from one byte on, nothing for `stall` (more than the
//               silence limit), then the rest
//   half_close  from one byte on, the way to the client is shut (FIN); the
//               client's bytes still reach the server
//   reset       at one byte, the connection is reset (RST) both ways
//   blackhole   accepted, never joined to the server, never answered
//   drip        from one byte on, `drip_bytes` bytes one a second
//   refuse      the relay's port refuses connections (nothing listens)
// The byte struck is the n-th of the connection's stream to the client, n
// drawn from [0, span) with the span given at arming; a connection that ends
// before that byte passed intact.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <thread>

namespace vorkand::faults {

enum class Fault : uint8_t {
  none,
  latency,
  segments,
  corrupt,
  drop,
  duplicate,
  stall,
  half_close,
  reset,
  blackhole,
  drip,
  refuse,
};
inline constexpr Fault kAllFaults[] = {Fault::none,      Fault::latency,    Fault::segments,
                                       Fault::corrupt,   Fault::drop,       Fault::duplicate,
                                       Fault::stall,     Fault::half_close, Fault::reset,
                                       Fault::blackhole, Fault::drip,       Fault::refuse};

std::string_view fault_name(Fault fault) noexcept;
// The fault of that name, or false.
bool parse_fault_name(std::string_view name, Fault& fault) noexcept;

struct RelayTimes {
  std::chrono::milliseconds max_latency{500};
  std::chrono::microseconds segment_gap{200};
  std::chrono::milliseconds stall{6000};
  int drip_bytes = 6;
};

// What became of one connection.
struct ConnectionReport {
  uint64_t number = 0;  // counted from 1
  Fault fault = Fault::none;
  bool struck = false;     // the fault changed, held or cut the stream
  uint64_t to_client = 0;  // bytes read from the server
  uint64_t to_server = 0;  // bytes read from the client
};

class FaultRelay {
 public:
  // Relays to 127.0.0.1:`target_port`. port() is 0 when the relay could not
  // listen.
  FaultRelay(uint16_t target_port, uint64_t seed, RelayTimes times = {});
  ~FaultRelay();
  FaultRelay(const FaultRelay&) = delete;
  FaultRelay& operator=(const FaultRelay&) = delete;

  uint16_t port() const noexcept { return port_; }

  // The fault for the connections accepted from now on, and the span of
  // stream bytes its byte is drawn from. Returns once the relay applies it
  // (for refuse: once its port refuses).
  void arm(Fault fault, uint64_t span = 64);

  // Waits (at most `within`) until no connection is open, and returns the
  // last one that closed; false when one is still open.
  bool settle(ConnectionReport& last, std::chrono::milliseconds within);

 private:
  struct State;
  void loop();

  uint16_t port_ = 0;
  State* state_;
  std::thread thread_;
};

}  // namespace vorkand::faults
