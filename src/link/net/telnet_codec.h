// Telnet with the COM-PORT-OPTION, as a serial port on the network speaks it,
// taken apart and put together without any I/O: the port feeds it the bytes
// the connection delivered and sends what it writes.
//
//   incoming   TelnetDecoder: data bytes (IAC IAC undoubled), option verbs,
//              subnegotiations, other commands; a byte at a time, so a command
//              split across reads or between data bytes comes out whole
//   outgoing   escape() doubles every 0xFF data byte; com_port_command()
//              builds IAC SB COM-PORT-OPTION ... IAC SE
//   policy     ClientNegotiation: which options we ask for and accept, the
//              answers to the server's verbs, the line settings we request and
//              whether the server acknowledged them
//
// Everything works on fixed buffers: nothing is allocated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vorkand::link::net {

namespace telnet {
inline constexpr uint8_t kSe = 240;    // end of subnegotiation
inline constexpr uint8_t kSb = 250;    // start of subnegotiation
inline constexpr uint8_t kWill = 251;  // the sender will use an option
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kDo = 253;  // the sender asks the receiver to use an option
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kIac = 255;  // interpret as command

inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kEcho = 1;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPort = 44;
}  // namespace telnet

// COM-PORT-OPTION commands from the client; the server answers each with the
// same number plus kServerOffset and the value it put into force.
namespace comport {
inline constexpr uint8_t kSetBaudRate = 1;  // 4 bytes, network order
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

inline constexpr uint8_t kParityEven = 3;
inline constexpr uint8_t kStopOne = 1;
inline constexpr uint8_t kNoFlowControl = 1;
inline constexpr uint8_t kPurgeReceiveBuffer = 1;  // what the server received from the line
}  // namespace comport

// What one incoming byte completed.
struct Incoming {
  enum class Kind : uint8_t {
    nothing,  // the byte belongs to a command not yet complete
    data,     // `value` is a data byte
    will,     // WILL/WONT/DO/DONT `value` (the option)
    wont,
    do_,
    dont,
    subnegotiation,  // `value` is the option; TelnetDecoder::subnegotiation() has the body
    command,         // another command (NOP, GA, ...): `value` is its code
  };
  Kind kind = Kind::nothing;
  uint8_t value = 0;
};

class TelnetDecoder {
 public:
  // Longest subnegotiation body kept (after the option); the rest is dropped.
  static constexpr std::size_t kMaxBody = 32;

  Incoming push(uint8_t byte) noexcept;
  // The body of the subnegotiation just completed (after the option byte),
  // doubled IACs undoubled, cut at kMaxBody bytes.
  std::span<const uint8_t> body() const noexcept { return {body_.data(), body_length_}; }
  // True while a command or subnegotiation is partly received.
  bool inside_command() const noexcept { return state_ != State::data; }

 private:
  enum class State : uint8_t { data, command, option, sb_option, sb_body, sb_iac };
  Incoming after_iac(uint8_t byte) noexcept;

  State state_ = State::data;
  uint8_t verb_ = 0;
  uint8_t sb_option_ = 0;
  std::size_t body_length_ = 0;
  std::array<uint8_t, kMaxBody> body_{};
};

// Copies data bytes into `out` with every 0xFF doubled, as far as `out` has
// room (a doubled pair is never split). Returns the number of data bytes
// taken; `written` gets the number of bytes put into `out`.
std::size_t escape(std::span<const uint8_t> data, std::span<uint8_t> out,
                   std::size_t& written) noexcept;

// Longest command com_port_command builds (a 4-byte value, every byte doubled).
inline constexpr std::size_t kMaxComPortCommand = 6 + 2 * 4;

// IAC SB COM-PORT-OPTION `command` `value` IAC SE, 0xFF in the value doubled.
// Returns its length, or 0 when it does not fit `out` or the value is longer
// than 4 bytes.
std::size_t com_port_command(uint8_t command, std::span<const uint8_t> value,
                             std::span<uint8_t> out) noexcept;

// The client's side of the Telnet session with a serial port server. We ask
// for binary transmission both ways and offer COM-PORT-OPTION; we accept
// suppress-go-ahead both ways and refuse every other option. Once the server
// agrees, we request 9600 baud, 8 data bits, even parity, 1 stop bit and no
// flow control, and check each acknowledgement against what we asked for.
class ClientNegotiation {
 public:
  // The bytes of the opening requests.
  static constexpr std::size_t kOpeningSize = 9;
  // Room that answer() may need.
  static constexpr std::size_t kMaxAnswer = 3;
  // Room the line settings requests need.
  static constexpr std::size_t kLineSettingsSize = 10 + 4 * 7;

  // Writes WILL BINARY, DO BINARY, WILL COM-PORT-OPTION; returns their length
  // (0 when `out` is too small).
  std::size_t opening(std::span<uint8_t> out) noexcept;
  // Takes a verb (will/wont/do_/dont) from the server; writes the answer due,
  // if any, and returns its length (0..3).
  std::size_t answer(Incoming::Kind verb, uint8_t option,
                     std::span<uint8_t, kMaxAnswer> out) noexcept;
  // Binary both ways and COM-PORT-OPTION are in force.
  bool agreed() const noexcept;
  // The server refused binary transmission or COM-PORT-OPTION.
  bool refused() const noexcept { return refused_; }

  // Writes the five line settings requests; returns their length (0 when
  // `out` is too small).
  std::size_t line_settings(std::span<uint8_t> out) noexcept;
  // Takes a COM-PORT-OPTION subnegotiation body from the server.
  void take_com_port(std::span<const uint8_t> body) noexcept;
  // Every setting was acknowledged with the value asked for.
  bool settings_acknowledged() const noexcept;
  // A setting was acknowledged with another value: the server cannot set it.
  bool settings_refused() const noexcept { return settings_refused_; }

 private:
  // One option's state on one side: in force, or asked for and not answered.
  struct Side {
    bool enabled = false;
    bool asked = false;
  };
  static constexpr std::size_t kTracked = 3;  // binary, suppress-go-ahead, COM-PORT-OPTION
  static int tracked_index(uint8_t option) noexcept;

  std::array<Side, kTracked> ours_{};    // options we use (WILL/WONT from us)
  std::array<Side, kTracked> theirs_{};  // options the server uses
  bool refused_ = false;
  uint8_t acknowledged_ = 0;  // one bit per setting
  bool settings_refused_ = false;
};

}  // namespace vorkand::link::net
