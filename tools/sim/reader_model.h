// The simulated reader: answers one whole frame from the host with one reply
// frame, over the simulated card. Pure: no port, no clock, no thread.
//
//   host -> reader                         reader -> host
//   80 00 04 80 62 00 00 00 reader reset   80 00 02 90 00 00
//   80 00 04 80 60 00 00 00 power-up 1     80 00 02 90 00 00
//   80 00 04 80 6B 05 00 00 power-up 2     80 00 02 90 00 00
//   80 00 04 80 61 00 00 00 ATR request    70 00 n ATR 00
//   hh mm LL APDU 00        card frame     hh mm LL data SW1 SW2 00
//                                          (hh, mm as sent), or 80 00 02 70 03 00 busy
//   hh mm 05 00 00 00 00 00 00  poll       the answer once the busy count is spent
//
// Other reader commands get 80 00 02 70 01 00 (refused). Card frames carry
// head 00 or 40 and mode 49 ('I') or 4F ('O'). The APDU 80 14 00 00 01 XX
// switches the card's protocol (XX 00 T=0, 01 T=1) and is answered 90 00.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "sim/card_model.h"

namespace vorkand::sim {

// One-shot answers given on request instead of passing the next card frame
// to the card: the resend request 6D 00 or a block-error reply.
enum class Injection : uint8_t {
  resend,          // hh mm 02 6D 00 00
  block_error_92,  // 00 92 00 92
  block_error_82,  // 00 82 00 82
};

struct ReaderOptions {
  // Busy replies 70 03 before each card command's answer: the command and
  // then busy_polls - 1 polls are answered busy.
  int busy_polls = 0;
  // Answer a card frame whose head does not match the card's protocol
  // (00 for T=1, 40 for T=0) with the block error 00 92 00 92.
  bool strict_head = false;
};

class ReaderModel {
 public:
  explicit ReaderModel(CardModel card, ReaderOptions options = {});

  // `frame` is one whole frame (length byte + 4 bytes). An empty reply means
  // the reader stays silent (a frame with an unknown head).
  std::vector<uint8_t> on_frame(std::span<const uint8_t> frame);

  void inject(Injection injection) { injections_.push_back(injection); }
  void set_busy_polls(int polls) { options_.busy_polls = polls; }
  CardModel& card() { return card_; }

 private:
  std::vector<uint8_t> reader_command(std::span<const uint8_t> body);
  std::vector<uint8_t> card_frame(uint8_t head, uint8_t mode, std::span<const uint8_t> apdu);
  Response card_answer(std::span<const uint8_t> apdu);

  CardModel card_;
  ReaderOptions options_;
  std::deque<Injection> injections_;
  // A card answer held back while the reader reports busy.
  std::vector<uint8_t> held_;
  int busy_left_ = 0;
};

// Frame helpers shared with the tests.
std::vector<uint8_t> make_frame(uint8_t head, uint8_t mode, std::span<const uint8_t> body);
std::vector<uint8_t> reader_status(uint8_t sw1, uint8_t sw2);

}  // namespace vorkand::sim
