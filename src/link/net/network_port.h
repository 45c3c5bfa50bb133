// A serial port on the network behind the byte port seam: a TCP connection to a
// serial port server, either speaking Telnet with the COM-PORT-OPTION or
// carrying the line's bytes as they are. The frame exchange above it sees
// only data bytes: Telnet commands are answered or dropped as they arrive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/byte_port.h"
#include "link/clock.h"
#include "link/net/byte_stream.h"
#include "link/net/telnet_codec.h"

namespace vorkand::link::net {

class NetworkPort final : public BytePort {
 public:
  enum class Protocol : uint8_t {
    raw,     // bytes as they are; the line settings are the server's
    telnet,  // Telnet with COM-PORT-OPTION
  };

  // A non-owning view of a connected socket; `clock` measures waits.
  NetworkPort(int32_t socket, Protocol protocol, Clock& clock) noexcept
      : NetworkPort(ByteStream(socket), protocol, clock) {}
  // The same over a stream: the socket, or a TLS session over it.
  NetworkPort(ByteStream stream, Protocol protocol, Clock& clock) noexcept
      : stream_(stream), protocol_(protocol), clock_(clock) {}

  // Telnet only: agrees on binary transmission and COM-PORT-OPTION, then sets
  // the line to 9600 baud 8E1 without flow control. Each of the two steps may
  // take `step_ms`, both together `total_ms`. False when the server refused,
  // left a step unanswered or the connection failed, with the reason in
  // `why` when given.
  bool negotiate(uint32_t step_ms, uint32_t total_ms, const char** why = nullptr) noexcept;
  // Drops whatever arrives until the connection has been quiet for
  // `quiet_ms`, or `limit_ms` has passed: a server without a purge hands the
  // next client what the reader answered after the last one had gone, and
  // that answer would otherwise pass for the reply to the first frame, and
  // each later reply for the one before it. False when the connection failed.
  bool settle(uint32_t quiet_ms, uint32_t limit_ms) noexcept;

  bool write_all(std::span<const uint8_t> bytes) noexcept override;
  int32_t bytes_waiting() noexcept override;
  int32_t read(std::span<uint8_t> into) noexcept override;
  Wait wait_readable(uint32_t timeout_ms) noexcept override;
  // Drops what has arrived and, over Telnet, asks the server to drop what it
  // received from the line and has not sent yet. The request goes out in the
  // same segment as the next write, so the server takes both in one read.
  void discard_input() noexcept override;

 private:
  // Data bytes kept between receiving and reading: more than any reply.
  static constexpr std::size_t kDataRoom = 1024;

  // Receives what the connection has, as far as there is room for its data.
  void receive_waiting() noexcept;
  void take(uint8_t byte) noexcept;
  bool send_all(std::span<const uint8_t> bytes) noexcept;
  std::size_t data_count() const noexcept { return data_end_ - data_begin_; }
  // Waits, receiving, until `done()` holds; false when `limit_ms` passes or
  // the connection fails first.
  template <typename Done>
  bool receive_until(Done done, uint32_t limit_ms) noexcept;

  ByteStream stream_;
  Protocol protocol_;
  Clock& clock_;
  bool failed_ = false;
  bool purge_due_ = false;
  TelnetDecoder decoder_;
  ClientNegotiation negotiation_;
  std::size_t data_begin_ = 0;
  std::size_t data_end_ = 0;
  std::array<uint8_t, kDataRoom> data_{};
  std::array<uint8_t, kDataRoom> received_{};
};

}  // namespace vorkand::link::net
