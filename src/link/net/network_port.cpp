// Receiving: everything the socket has is decoded at once into data_, so
// "bytes waiting" counts data bytes only, and a Telnet command split across
// two receives is finished by the second. A wait that wakes for commands
// alone goes back to sleep for the rest of its time: it never reports input
// that is not there, and never spins.
//
// A connection the peer closed or reset marks the port failed: the data
// already received can still be read, then every query fails at once.
#include "link/net/network_port.h"

#include <algorithm>
#include <cstring>

#include "link/frame.h"
#include "link/net/socket.h"

namespace vorkand::link::net {

void NetworkPort::receive_waiting() noexcept {
  if (failed_) return;
  if (data_begin_ > 0) {
    std::memmove(data_.data(), data_.data() + data_begin_, data_count());
    data_end_ -= data_begin_;
    data_begin_ = 0;
  }
  // Each received byte gives at most one data byte: receive no more than fits.
  // A few receives at most, so that a server flooding the connection with
  // commands cannot hold a wait past its time limit.
  for (int round = 0; round < 4 && data_end_ < data_.size(); ++round) {
    const std::size_t room = data_.size() - data_end_;
    const int32_t got = stream_.receive(std::span(received_).first(room));
    if (got == kWouldBlock) return;
    if (got < 0) {
      failed_ = true;
      return;
    }
    for (const uint8_t byte : std::span(received_).first(static_cast<std::size_t>(got))) {
      take(byte);
    }
    if (failed_) return;
  }
}

void NetworkPort::take(uint8_t byte) noexcept {
  if (protocol_ == Protocol::raw) {
    data_[data_end_++] = byte;
    return;
  }
  const Incoming incoming = decoder_.push(byte);
  switch (incoming.kind) {
    case Incoming::Kind::data:
      data_[data_end_++] = incoming.value;
      return;
    case Incoming::Kind::will:
    case Incoming::Kind::wont:
    case Incoming::Kind::do_:
    case Incoming::Kind::dont: {
      std::array<uint8_t, ClientNegotiation::kMaxAnswer> answer{};
      const std::size_t length = negotiation_.answer(incoming.kind, incoming.value, answer);
      if (length > 0 && !send_all(std::span(answer).first(length))) failed_ = true;
      return;
    }
    case Incoming::Kind::subnegotiation:
      if (incoming.value == telnet::kComPort) negotiation_.take_com_port(decoder_.body());
      return;
    case Incoming::Kind::nothing:
    case Incoming::Kind::command:
      return;
  }
}

bool NetworkPort::send_all(std::span<const uint8_t> bytes) noexcept {
  while (!bytes.empty()) {
    const int32_t sent = stream_.send(bytes);
    if (sent > 0) {
      bytes = bytes.subspan(std::min(static_cast<std::size_t>(sent), bytes.size()));
    } else if (sent == kWouldBlock) {
      if (stream_.wait(true, kSilenceLimitMs) != SocketWait::ready) return false;
    } else {
      failed_ = true;
      return false;
    }
  }
  return true;
}

template <typename Done>
bool NetworkPort::receive_until(Done done, uint32_t limit_ms) noexcept {
  const uint32_t start = clock_.now_ms();
  for (;;) {
    receive_waiting();
    if (done()) return true;
    if (failed_) return false;
    const uint32_t spent = clock_.now_ms() - start;
    if (spent >= limit_ms) return false;
    const SocketWait waited = stream_.wait(false, limit_ms - spent);
    if (waited == SocketWait::failed) {
      failed_ = true;
      return false;
    }
  }
}

bool NetworkPort::negotiate(uint32_t step_ms, uint32_t total_ms, const char** why) noexcept {
  const char* ignored = nullptr;
  const char*& failure = why != nullptr ? *why : ignored;
  if (protocol_ != Protocol::telnet) return true;
  const uint32_t start = clock_.now_ms();
  const auto step_limit = [&] {
    const uint32_t spent = clock_.now_ms() - start;
    return spent >= total_ms ? 0 : std::min(step_ms, total_ms - spent);
  };
  // Data bytes before the line is set up are not a reply to anything.
  const auto drop_data = [this] { data_begin_ = data_end_ = 0; };
  constexpr const char* kConnectionLost = "the connection failed during the negotiation";

  std::array<uint8_t, ClientNegotiation::kOpeningSize> opening{};
  if (negotiation_.opening(opening) == 0 || !send_all(opening)) {
    failure = kConnectionLost;
    return false;
  }
  const bool answered = receive_until(
      [&] {
        drop_data();
        return negotiation_.agreed() || negotiation_.refused();
      },
      step_limit());
  if (!answered || !negotiation_.agreed()) {
    failure = failed_    ? kConnectionLost
              : answered ? "not an RFC 2217 server: it refused the COM-PORT-OPTION"
                         : "not an RFC 2217 server: no answer to the option negotiation";
    return false;
  }

  std::array<uint8_t, ClientNegotiation::kLineSettingsSize> settings{};
  const std::size_t length = negotiation_.line_settings(settings);
  if (length == 0 || !send_all(std::span(settings).first(length))) {
    failure = kConnectionLost;
    return false;
  }
  const bool acknowledged = receive_until(
      [&] {
        drop_data();
        return negotiation_.settings_acknowledged() || negotiation_.settings_refused();
      },
      step_limit());
  if (acknowledged && negotiation_.settings_acknowledged()) return true;
  failure = failed_        ? kConnectionLost
            : acknowledged ? "line settings refused: the server did not take 9600 8E1"
                           : "line settings refused: no acknowledgement of 9600 8E1";
  return false;
}

bool NetworkPort::settle(uint32_t quiet_ms, uint32_t limit_ms) noexcept {
  const uint32_t start = clock_.now_ms();
  uint32_t last = start;
  for (;;) {
    const bool arrived = receive_until([this] { return data_count() > 0; },
                                       std::min(quiet_ms, limit_ms - (last - start)));
    if (failed_) return false;
    if (!arrived) return true;
    data_begin_ = data_end_ = 0;
    last = clock_.now_ms();
    if (last - start >= limit_ms) return true;
  }
}

bool NetworkPort::write_all(std::span<const uint8_t> bytes) noexcept {
  if (failed_) return false;
  if (protocol_ == Protocol::raw) return send_all(bytes);
  std::array<uint8_t, kMaxComPortCommand + 2 * kMaxReply> out{};
  std::size_t length = 0;
  if (purge_due_) {
    const uint8_t what[] = {comport::kPurgeReceiveBuffer};
    length = com_port_command(comport::kPurgeData, what, out);
    purge_due_ = false;
  }
  do {
    std::size_t escaped = 0;
    const std::size_t taken = escape(bytes, std::span(out).subspan(length), escaped);
    if (!send_all(std::span(out).first(length + escaped))) return false;
    bytes = bytes.subspan(taken);
    length = 0;
  } while (!bytes.empty());
  return true;
}

int32_t NetworkPort::bytes_waiting() noexcept {
  receive_waiting();
  if (data_count() > 0) return static_cast<int32_t>(data_count());
  return failed_ ? -1 : 0;
}

int32_t NetworkPort::read(std::span<uint8_t> into) noexcept {
  const std::size_t count = std::min(into.size(), data_count());
  if (count == 0) return failed_ ? -1 : 0;
  std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(data_begin_), count, into.begin());
  data_begin_ += count;
  return static_cast<int32_t>(count);
}

BytePort::Wait NetworkPort::wait_readable(uint32_t timeout_ms) noexcept {
  if (data_count() > 0) return Wait::readable;
  const bool arrived = receive_until([this] { return data_count() > 0; }, timeout_ms);
  if (arrived) return Wait::readable;
  return failed_ ? Wait::failed : Wait::timeout;
}

void NetworkPort::discard_input() noexcept {
  // Whatever sits in the socket now is as stale as what was decoded; a
  // peer that never stops sending is cut off after a few rounds.
  for (int round = 0; round < 8; ++round) {
    data_begin_ = data_end_ = 0;
    receive_waiting();
    if (data_count() == 0) break;
  }
  data_begin_ = data_end_ = 0;
  purge_due_ = protocol_ == Protocol::telnet;
}

}  // namespace vorkand::link::net
