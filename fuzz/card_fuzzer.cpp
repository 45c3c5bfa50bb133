// Each reader and card operation fed arbitrary reply sequences, with arbitrary
// APDUs and arguments. Checked on every run:
//   - at most 2 exchanges for the reader reset, 3 for the power-up, 13 for a
//     card command, and none after a missing reply (bar the reset's retry);
//   - the response length is at most 250, and 0 unless the status word is the
//     card's own from a data reply, in which case status, length and data are
//     exactly those of the last reply;
//   - the ATR is at most 252 bytes and is the ATR reply's body;
//   - the protocol byte is only ever 0x00 or 0x40, and changes only where it
//     may (a power-up by TD1, a completed protocol switch);
//   - no byte is read past the APDU or written past the caller's buffers: each
//     sits at the end of its own heap block (APDU exactly L bytes, response
//     250, ATR 252, each length one byte), so ASan sees any overrun.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "card/card.h"
#include "check.h"
#include "fake_transport.h"

namespace {

using vorkand::card::Source;
using vorkand::fuzz::check;
using vorkand::test::FakeTransport;

// One reply: `count` bytes (0: no reply) that keep the gatherer's promise, a
// count of 4..256 at least the reply's length byte + 4.
struct Reply {
  int32_t count;
  std::array<uint8_t, 256> bytes{};
};

constexpr std::size_t kResponseRoom = 250;
constexpr std::size_t kAtrRoom = 252;
constexpr uint8_t kUntouched = 0xA5;

Reply make_reply(FuzzedDataProvider& in) {
  Reply r{};
  const uint8_t kind = in.ConsumeIntegral<uint8_t>() % 12;
  const uint8_t head_pick = in.ConsumeIntegral<uint8_t>();
  // Reader status replies mostly carry mode 0x00, as a reader sends them.
  const uint8_t mode = (head_pick & 0x20) ? in.ConsumeIntegral<uint8_t>() : 0x00;
  const uint8_t trailer = in.ConsumeIntegral<uint8_t>();
  const bool stray = (head_pick & 0x80) != 0;
  const uint8_t card_head = (head_pick & 1) ? 0x40 : 0x00;
  auto status = [&](uint8_t head, uint8_t sw1, uint8_t sw2) {
    r.bytes[0] = head;
    r.bytes[1] = mode;
    r.bytes[2] = 2;
    r.bytes[3] = sw1;
    r.bytes[4] = sw2;
    r.bytes[5] = trailer;
    r.count = stray ? 7 : 6;
  };
  switch (kind) {
    case 0:
      r.count = 0;
      break;
    case 1:
      status(0x80, 0x70, 0x03);
      break;
    case 2:
      status(0x80, 0x70, 0x01);
      break;
    case 3:
      status(0x80, 0x90, 0x00);
      break;
    case 9: {
      const uint8_t sw1 = in.ConsumeIntegral<uint8_t>();
      status((head_pick & 0x40) ? card_head : 0x80, sw1, in.ConsumeIntegral<uint8_t>());
      break;
    }
    case 4:
      status(card_head, 0x6D, 0x00);
      break;
    case 5:
      status(card_head, 0x61, in.ConsumeIntegral<uint8_t>());
      break;
    case 6: {  // block errors, and look-alikes
      const uint8_t pcb = (head_pick & 2) ? 0x92 : 0x82;
      r.bytes = {uint8_t((head_pick & 4) ? 0x40 : 0x00), pcb, 0x00,
                 uint8_t((head_pick & 8) ? trailer : pcb)};
      r.count = stray ? 5 : 4;
      break;
    }
    case 7:
    case 8: {  // data reply, or an ATR reply
      const std::size_t n = (head_pick & 0x40) ? 252 - in.ConsumeIntegralInRange<std::size_t>(0, 3)
                                               : in.ConsumeIntegralInRange<std::size_t>(0, 252);
      r.bytes[0] = kind == 7 ? card_head : 0x70;
      r.bytes[1] = kind == 7 ? mode : 0x00;
      r.bytes[2] = static_cast<uint8_t>(n);
      const auto body = in.ConsumeBytes<uint8_t>(n);
      std::copy(body.begin(), body.end(), r.bytes.begin() + 3);
      if (n >= 2 && (head_pick & 0x10)) {  // a good status word, often
        r.bytes[3 + n - 2] = 0x90;
        r.bytes[3 + n - 1] = 0x00;
      }
      r.bytes[3 + n] = trailer;
      r.count = static_cast<int32_t>(n + 4 + (stray && n < 252 ? 1 : 0));
      break;
    }
    default: {  // anything at all that a gatherer could deliver
      r.count = in.ConsumeIntegralInRange<int32_t>(4, 256);
      const auto raw = in.ConsumeBytes<uint8_t>(static_cast<std::size_t>(r.count));
      std::copy(raw.begin(), raw.end(), r.bytes.begin());
      if (r.bytes[2] + 4 > r.count) r.bytes[2] = static_cast<uint8_t>(r.count - 4);
      break;
    }
  }
  return r;
}

// The protocol byte an ATR gives: T=1 first in TD1 gives 0x00, anything
// else (no TD1, or an ATR too short to hold it) 0x40.
uint8_t head_from_atr(const uint8_t* atr, std::size_t n) {
  if (n < 2 || (atr[1] & 0x80) == 0) return 0x40;
  const std::size_t td1 = 2 + static_cast<std::size_t>(std::popcount(unsigned(atr[1] & 0x70)));
  if (td1 >= n) return 0x40;
  return (atr[td1] & 0x0F) == 1 ? 0x00 : 0x40;
}

template <typename T>
std::unique_ptr<T[]> untouched(std::size_t n) {
  auto p = std::make_unique<T[]>(n);
  std::memset(p.get(), kUntouched, n);
  return p;
}

void check_power_up(uint16_t status, const FakeTransport& reader, uint8_t atr_length,
                    const uint8_t* atr, uint8_t head_before, std::size_t room) {
  check(reader.sent().size() <= 3, "power-up: more than 3 exchanges", long(reader.sent().size()));
  check(status == 0x9000 || status == 0x6200 || status == 0x6201 || status == 0xFFFF,
        "power-up: unexpected status", status);
  check((status == 0xFFFF) == reader.ended_without_reply(),
        "power-up: 0xFFFF if and only if a reply was missing", status);
  const uint8_t head = vorkand::card::protocol_byte();
  if (status != 0x9000) {
    check(head == head_before, "power-up: protocol byte changed on failure", head, head_before);
    if (reader.sent().size() < 3) {
      check(atr_length == kUntouched, "power-up: ATR length written before the ATR request",
            atr_length);
    } else {
      check(atr_length == 0, "power-up: ATR length not 0 after a failed ATR request", atr_length);
    }
    return;
  }
  const FakeTransport::Step* last = reader.last_reply();
  check(reader.sent().size() == 3 && last != nullptr, "power-up: success without the ATR reply");
  check(atr_length >= 1 && atr_length <= room, "power-up: ATR length out of range", atr_length);
  check(last->reply[0] == 0x70 && last->reply[2] == atr_length && last->count == atr_length + 4,
        "power-up: success from a reply that is no ATR reply of that length", atr_length);
  check(std::memcmp(atr, last->reply.data() + 3, atr_length) == 0,
        "power-up: ATR differs from the reply's body");
  check(head == head_from_atr(atr, atr_length), "power-up: protocol byte not chosen by TD1", head);
}

void check_card_result(vorkand::card::Result result, const FakeTransport& reader,
                       uint8_t response_length, const uint8_t* response) {
  const uint16_t s = result.status;
  check(reader.sent().size() <= 13, "command: more than 13 exchanges", long(reader.sent().size()));
  check(response_length <= kResponseRoom, "command: response length over 250", response_length);
  switch (result.source) {
    case Source::card: {
      const FakeTransport::Step* last = reader.last_reply();
      check(last != nullptr, "command: card status without a reply");
      const auto& b = last->reply;
      const int32_t n = last->count;
      check((b[0] == 0x00 || b[0] == 0x40) && b[2] == n - 4 && b[2] >= 2,
            "command: card status from a reply that is no data reply", b[0], n);
      check(s == ((b[n - 3] << 8) | b[n - 2]), "command: status is not the reply's SW1 SW2", s);
      check(response_length == b[2] - 2, "command: response length is not length - 2",
            response_length, b[2]);
      check(std::memcmp(response, b.data() + 3, response_length) == 0,
            "command: response data differ from the reply's body");
      return;
    }
    case Source::no_reply:
      check(s == 0xFFFF && reader.ended_without_reply(), "command: no_reply mismatch", s);
      break;
    case Source::reader_busy:
      check(s == 0x6FF0, "command: busy without 0x6FF0", s);
      break;
    case Source::reader_refused:
      check(s == 0x6200, "command: refused without 0x6200", s);
      break;
    case Source::unrecognised:
      check(s == 0x9000, "command: unrecognised without 0x9000", s);
      break;
    case Source::no_status_word:
      check(s == 0x6201, "command: no status word without 0x6201", s);
      break;
    case Source::wrong_length:
      check(s == 0x6700 && reader.sent().size() == 0, "command: wrong length yet sent", s);
      break;
    case Source::power_up:
      vorkand::fuzz::fail("command: power-up source outside a reset request");
  }
  check(s != 0xFFFF || result.source == Source::no_reply, "command: 0xFFFF not from a lost reply");
  check(!reader.ended_without_reply() || s == 0xFFFF, "command: a lost reply not reported", s);
  check(response_length == 0, "command: response length not 0 for a reader-level result",
        response_length, s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t op = in.ConsumeIntegral<uint8_t>() % 4;
  const uint8_t head_before = in.ConsumeBool() ? 0x40 : 0x00;
  vorkand::card::set_protocol_byte(head_before);

  // Arguments: the APDU length is a whole 32-bit value, of which only the low
  // byte counts; likewise direction and protocol.
  const int32_t apdu_arg = in.ConsumeIntegral<int32_t>();
  const int32_t direction =
      in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(0, 1) : in.ConsumeIntegral<int32_t>();
  const int32_t protocol =
      in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(0, 1) : in.ConsumeIntegral<int32_t>();
  const std::size_t length = static_cast<uint8_t>(apdu_arg);
  const uint8_t prefix = in.ConsumeIntegral<uint8_t>() % 4;
  std::vector<uint8_t> apdu_bytes;
  if (prefix == 1) apdu_bytes = {0x00, 0x12, 0x00, 0x00, 0x00};
  if (prefix == 2) apdu_bytes = {0x80, 0x14, 0x00, 0x00, 0x01, in.ConsumeIntegral<uint8_t>()};
  const auto tail = in.ConsumeBytes<uint8_t>(length);
  apdu_bytes.insert(apdu_bytes.end(), tail.begin(), tail.end());
  apdu_bytes.resize(length);
  auto apdu = std::make_unique<uint8_t[]>(length);  // exactly L bytes
  std::copy(apdu_bytes.begin(), apdu_bytes.end(), apdu.get());

  std::vector<Reply> script;
  while (in.remaining_bytes() > 0 && script.size() < 16) script.push_back(make_reply(in));
  // Only the reader reset may try once more after a missing reply.
  FakeTransport reader;
  reader.replies_only(op == 0 ? 1 : 0);
  for (const Reply& r : script) reader.reply({r.bytes.begin(), r.bytes.begin() + r.count});

  const bool trace = std::getenv("VORKAND_FUZZ_TRACE") != nullptr;
  if (trace) {
    std::fprintf(stderr, "op %u, head %02x, APDU length %zu, %zu replies:", op, head_before, length,
                 script.size());
    for (const auto& r : script)
      std::fprintf(stderr, " [%d: %02x %02x %02x]", r.count, r.bytes[0], r.bytes[1], r.bytes[2]);
    std::fprintf(stderr, "\n");
  }

  auto response_length = untouched<uint8_t>(1);
  auto response = untouched<uint8_t>(kResponseRoom);
  auto atr_length = untouched<uint8_t>(1);
  auto atr = untouched<uint8_t>(kAtrRoom);

  switch (op) {
    case 0: {
      const uint16_t s = vorkand::card::reset_reader(reader);
      check(reader.sent().size() >= 1 && reader.sent().size() <= 2, "reset: not 1 or 2 exchanges",
            long(reader.sent().size()));
      check(s == 0x9000 || s == 0x6200 || s == 0x6201 || s == 0xFFFF, "reset: unexpected status",
            s);
      check(vorkand::card::protocol_byte() == head_before, "reset: protocol byte changed");
      break;
    }
    case 1: {
      const uint16_t s = vorkand::card::power_up(reader, atr_length.get(), atr.get());
      check_power_up(s, reader, atr_length[0], atr.get(), head_before, kAtrRoom);
      break;
    }
    case 2: {
      const auto r = vorkand::card::command(reader, apdu_arg, apdu.get(), response_length.get(),
                                            response.get(), direction, protocol);
      check_card_result(r, reader, response_length[0], response.get());
      check(vorkand::card::protocol_byte() == head_before, "command: protocol byte changed");
      if (length >= 252) {
        check(r.source == Source::wrong_length, "command: APDU length 252..255 not refused");
        break;
      }
      check(reader.sent().size() >= 1, "command: nothing sent");
      const auto& f = reader.sent().front();
      check(f[0] == ((protocol & 0xFF) == 0 ? 0x40 : 0x00), "command: head not from protocol",
            f[0]);
      check(f[1] == ((direction & 0xFF) == 1 ? 0x4F : 0x49), "command: mode not from direction",
            f[1]);
      check(std::equal(f.begin() + 3, f.end() - 1, apdu.get(), apdu.get() + length),
            "command: frame body is not the APDU");
      break;
    }
    case 3: {
      const bool reset_request =
          length >= 5 && std::equal(apdu.get(), apdu.get() + 5,
                                    std::array<uint8_t, 5>{0x00, 0x12, 0x00, 0x00, 0x00}.begin());
      const bool protocol_switch =
          length >= 6 && std::equal(apdu.get(), apdu.get() + 5,
                                    std::array<uint8_t, 5>{0x80, 0x14, 0x00, 0x00, 0x01}.begin());
      const auto r = vorkand::card::transparent_command(reader, apdu_arg, apdu.get(),
                                                        response_length.get(), response.get());
      const uint8_t head = vorkand::card::protocol_byte();
      check(head == 0x00 || head == 0x40, "transparent: protocol byte not 0x00 or 0x40", head);
      if (reset_request) {
        check(r.source == Source::power_up, "transparent: reset request not a power-up");
        check_power_up(r.status, reader, response_length[0], response.get(), head_before,
                       kResponseRoom);
        break;
      }
      check_card_result(r, reader, response_length[0], response.get());
      const bool switched = protocol_switch && r.source == Source::card && r.status == 0x9000;
      const uint8_t expected = switched ? ((apdu[5] & 1) ? 0x00 : 0x40) : head_before;
      check(head == expected, "transparent: protocol byte wrong after the call", head, expected);
      if (length >= 252) {
        check(r.source == Source::wrong_length, "transparent: APDU length 252..255 not refused");
        break;
      }
      check(reader.sent().size() >= 1, "transparent: nothing sent");
      const auto& f = reader.sent().front();
      check(f[0] == head_before, "transparent: head not the protocol byte", f[0]);
      const uint8_t mode = length >= 2 ? vorkand::card::mode_for_ins(apdu[1]) : 0x49;
      check(f[1] == mode, "transparent: mode not from INS", f[1]);
      check(std::equal(f.begin() + 3, f.end() - 1, apdu.get(), apdu.get() + length),
            "transparent: frame body is not the APDU");
      break;
    }
  }
  if (trace)
    std::fprintf(stderr, "%zu exchanges, protocol byte %02x\n", reader.sent().size(),
                 vorkand::card::protocol_byte());
  return 0;
}
