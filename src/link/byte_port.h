// The byte port: the narrow seam under the frame exchange through which bytes
// go to a reader and come back. The serial device (serial/serial_device.h) and
// a serial port on the network (net/network_port.h) are implementations; the
// tests' fake port is another.
#pragma once

#include <cstdint>
#include <span>

namespace vorkand::link {

class BytePort {
 public:
  enum class Wait : uint8_t {
    readable,  // input is waiting (or may be: the caller asks bytes_waiting)
    timeout,   // nothing arrived within the time given
    failed,    // the port hung up or reported an error: nothing more will come
  };

  virtual ~BytePort() = default;
  // Writes every byte, retrying partial writes and interruptions.
  // False when the port refused the write.
  virtual bool write_all(std::span<const uint8_t> bytes) noexcept = 0;
  // Number of received bytes waiting to be read; negative when the query failed.
  virtual int32_t bytes_waiting() noexcept = 0;
  // Reads up to into.size() waiting bytes; returns the number read, negative on failure.
  virtual int32_t read(std::span<uint8_t> into) noexcept = 0;
  // Waits at most timeout_ms for input, without spending CPU while the line is silent.
  virtual Wait wait_readable(uint32_t timeout_ms) noexcept = 0;
  // Drops every received byte not yet read.
  virtual void discard_input() noexcept = 0;
};

}  // namespace vorkand::link
