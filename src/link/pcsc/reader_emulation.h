// The serial reader, emulated over a card session: one frame in, the reply a
// serial reader would give out (reader reset, the two power-up steps, the ATR
// request, card frames, the protocol switch). The rules of pcsc_result.h
// decide what each session outcome becomes.
#pragma once

#include <cstdint>
#include <span>

#include "link/pcsc/card_session.h"
#include "link/pcsc/long_answer.h"
#include "link/reader_wire.h"

namespace vorkand::link::pcsc {

class ReaderEmulation {
 public:
  explicit ReaderEmulation(CardSession& session) noexcept : session_(session) {}
  ReaderEmulation(const ReaderEmulation&) = delete;
  ReaderEmulation& operator=(const ReaderEmulation&) = delete;

  // The reply's count, or 0 for no reply.
  int32_t answer(std::span<const uint8_t> frame, std::span<uint8_t, kMaxReply> reply) noexcept;

 private:
  using Reply = std::span<uint8_t, kMaxReply>;

  int32_t reader_command(std::span<const uint8_t> body, Reply reply) noexcept;
  int32_t power_up(Reply reply) noexcept;
  int32_t card_frame(uint8_t head, uint8_t mode, std::span<const uint8_t> apdu,
                     Reply reply) noexcept;
  int32_t next_part(uint8_t head, uint8_t mode, uint8_t le, Reply reply) noexcept;
  int32_t switch_protocol(uint8_t head, uint8_t mode, uint8_t wanted_t, Reply reply) noexcept;
  bool reader_there() noexcept;
  template <typename Present, typename Absent>
  int32_t card_there(Present present, Absent absent) noexcept;
  int32_t failed(Outcome outcome, Reply reply) noexcept;
  void drop_card() noexcept;

  CardSession& session_;
  LongAnswer long_answer_;
};

}  // namespace vorkand::link::pcsc
