// The serial reader emulated over PC/SC, fed arbitrary frames, over a PC/SC
// service whose every answer comes from the input (results, active
// protocols, ATRs, reader states, card answers of any length up to what
// PC/SC can give). Checked on every frame:
//   - the reply is none, or one well-formed frame (length byte + 4 = count,
//     at most 256 bytes, trailer 00) written only into the reply buffer,
//     which sits at the end of its own heap block, as the frame does;
//   - a reader command gets a reader status reply (80 00 02 SW1 SW2 00) or,
//     for the ATR request, an ATR reply 70 00 L ATR 00 whose ATR is the one
//     PC/SC gave (at most its room);
//   - a card frame gets its own head and mode back, or a refusal 80 00 02 70
//     01 00; its body is the card's answer unchanged when it fits, never a
//     made-up status word: a long answer comes in parts of at most 250 bytes
//     with 61 xx (the bytes left, 00 for 256 or more), and the parts fetched
//     with GET RESPONSE put together are the card's answer;
//   - PC/SC gets the APDU as the frame carried it, and is never told a
//     receive buffer larger than the buffer it may write;
//   - a card is connected only through connect() and used only while
//     connected.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "check.h"
#include "link/pcsc/card_session.h"
#include "link/pcsc/reader_emulation.h"
#include "link/reader_wire.h"

namespace {

using vorkand::fuzz::check;
namespace pc = vorkand::link::pcsc;
namespace link = vorkand::link;
using Bytes = std::vector<uint8_t>;

// PC/SC's side, scripted by the input.
struct Service {
  FuzzedDataProvider* in = nullptr;
  bool connected = false;
  Bytes last_apdu;
  Bytes last_answer;  // what transmit gave, when it succeeded
  bool transmitted = false;
  int calls = 0;
};
Service service;

constexpr std::array<uint32_t, 12> kResults{
    pc::kSuccess,           pc::kSuccess,          pc::kSuccess,     pc::kSuccess,
    pc::kRemovedCard,       pc::kSharingViolation, pc::kNoSmartcard, pc::kProtoMismatch,
    pc::kReaderUnavailable, pc::kNoService,        pc::kCommError,   pc::kInsufficientBuffer};

pc::Long result() {
  ++service.calls;
  const uint8_t pick = service.in->ConsumeIntegral<uint8_t>();
  // Mostly success, so that sessions get somewhere.
  return static_cast<pc::Long>(pick < 160 ? pc::kSuccess : kResults[pick % kResults.size()]);
}

pc::Dword protocol() {
  const uint8_t pick = service.in->ConsumeIntegral<uint8_t>();
  return pick < 120 ? pc::kProtocolT1 : pick < 240 ? pc::kProtocolT0 : pick & 3;
}

pc::Long VORKAND_SCARD_CALL establish(pc::Dword, const void*, const void*, pc::Context* c) {
  *c = 1;
  return 0;
}
pc::Long VORKAND_SCARD_CALL release(pc::Context) {
  return 0;
}
pc::Long VORKAND_SCARD_CALL list(pc::Context, const char*, char*, pc::Dword*) {
  return static_cast<pc::Long>(pc::kNoReadersAvailable);
}
pc::Long VORKAND_SCARD_CALL connect(pc::Context, const char* name, pc::Dword share,
                                    pc::Dword preferred, pc::CardHandle* card, pc::Dword* active) {
  check(name != nullptr && std::strcmp(name, "Fuzz Reader 00 00") == 0, "connect: reader name");
  check(share == pc::kShareExclusive && preferred == (pc::kProtocolT0 | pc::kProtocolT1),
        "connect: not exclusive with either protocol");
  const pc::Long r = result();
  if (r == 0) {
    service.connected = true;
    *card = 7;
    *active = protocol();
  }
  return r;
}
pc::Long VORKAND_SCARD_CALL reconnect(pc::CardHandle card, pc::Dword, pc::Dword preferred,
                                      pc::Dword, pc::Dword* active) {
  check(service.connected && card == 7, "reconnect without a connection");
  check(preferred != 0 && (preferred & ~3ul) == 0, "reconnect: protocols", long(preferred));
  const pc::Long r = result();
  if (r == 0) *active = protocol();
  return r;
}
pc::Long VORKAND_SCARD_CALL disconnect(pc::CardHandle card, pc::Dword) {
  check(service.connected && card == 7, "disconnect without a connection");
  service.connected = false;
  return 0;
}
pc::Long VORKAND_SCARD_CALL transmit(pc::CardHandle card, const pc::IoRequest* send,
                                     const uint8_t* apdu, pc::Dword apdu_length, pc::IoRequest*,
                                     uint8_t* out, pc::Dword* out_length) {
  check(service.connected && card == 7, "transmit without a connection");
  check(send != nullptr && send->pci_length == sizeof(pc::IoRequest), "transmit: request");
  service.last_apdu.assign(apdu, apdu + apdu_length);
  service.transmitted = true;
  const pc::Long r = result();
  if (r != 0) return r;
  FuzzedDataProvider& in = *service.in;
  // An answer of any size PC/SC may give; long ones mostly filler.
  const uint8_t shape = in.ConsumeIntegral<uint8_t>();
  std::size_t n = shape < 200 ? in.ConsumeIntegralInRange<std::size_t>(0, 260)
                              : in.ConsumeIntegralInRange<std::size_t>(0, 65538);
  if (n > *out_length) return static_cast<pc::Long>(pc::kInsufficientBuffer);
  Bytes answer = in.ConsumeBytes<uint8_t>(n);
  for (std::size_t i = answer.size(); i < n; ++i) answer.push_back(static_cast<uint8_t>(i * 7));
  // The buffer is *out_length bytes: writing all of it shows an overrun.
  std::copy(answer.begin(), answer.end(), out);
  *out_length = static_cast<pc::Dword>(n);
  service.last_answer = std::move(answer);
  return 0;
}
pc::Long VORKAND_SCARD_CALL status(pc::CardHandle card, char*, pc::Dword*, pc::Dword* state,
                                   pc::Dword* active, uint8_t* atr, pc::Dword* atr_length) {
  check(service.connected && card == 7, "status without a connection");
  const pc::Long r = result();
  if (r != 0) return r;
  const Bytes bytes =
      service.in->ConsumeBytes<uint8_t>(service.in->ConsumeIntegralInRange<std::size_t>(0, 40));
  if (bytes.size() > *atr_length) return static_cast<pc::Long>(pc::kInsufficientBuffer);
  std::copy(bytes.begin(), bytes.end(), atr);
  *atr_length = static_cast<pc::Dword>(bytes.size());
  *state = 0x34;
  *active = protocol();
  return 0;
}
pc::Long VORKAND_SCARD_CALL status_change(pc::Context, pc::Dword, pc::ReaderState* states,
                                          pc::Dword count) {
  check(count == 1 && states[0].reader != nullptr, "status change: one reader");
  const pc::Long r = result();
  states[0].event_state = service.in->ConsumeIntegral<uint8_t>();
  return r;
}

const pc::Functions kFunctions{establish,  release,  list,   connect,      reconnect,
                               disconnect, transmit, status, status_change};

// A frame the host may send, chosen by the input.
Bytes next_frame(FuzzedDataProvider& in, uint8_t head) {
  const uint8_t kind = in.ConsumeIntegral<uint8_t>() % 10;
  const auto reader = [](uint8_t command, uint8_t p1 = 0) {
    const auto f = link::reader_command(command, p1);
    return Bytes(f.begin(), f.end());
  };
  const auto card = [&](Bytes apdu) {
    Bytes f{head, in.ConsumeBool() ? link::kModeOut : link::kModeIn,
            static_cast<uint8_t>(apdu.size())};
    f.insert(f.end(), apdu.begin(), apdu.end());
    f.push_back(0);
    return f;
  };
  switch (kind) {
    case 0:
      return reader(link::kReaderReset);
    case 1:
      return reader(link::kPowerUp1);
    case 2:
      return reader(link::kPowerUp2, link::kPowerUp2P1);
    case 3:
      return reader(link::kAtrRequest);
    case 4:
      return card({0x80, 0x14, 0x00, 0x00, 0x01, in.ConsumeIntegral<uint8_t>()});
    case 5:
      return card({in.ConsumeIntegral<uint8_t>(), 0xC0, 0x00, 0x00, in.ConsumeIntegral<uint8_t>()});
    case 6:
    case 7:
      return card(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 251)));
    default:  // anything at all
      return in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 300));
  }
}

bool is_card_head(uint8_t h) {
  return h == link::kHeadT0 || h == link::kHeadT1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  service = Service{};
  service.in = &in;
  pc::PcscSession session(kFunctions, 1, "Fuzz Reader 00 00");
  pc::ReaderEmulation emulation(session);
  auto reply_block = std::make_unique<uint8_t[]>(link::kMaxReply);
  const std::span<uint8_t, link::kMaxReply> reply(reply_block.get(), link::kMaxReply);

  Bytes long_answer;  // the card's answer being handed out in parts
  Bytes gathered;     // the parts so far, without their 61 xx
  bool in_parts = false;
  for (int frames = 0; frames < 64 && in.remaining_bytes() > 0; ++frames) {
    const uint8_t head = in.ConsumeBool() ? link::kHeadT1 : link::kHeadT0;
    const Bytes frame = next_frame(in, head);
    auto frame_block = std::make_unique<uint8_t[]>(frame.size());
    if (!frame.empty()) std::memcpy(frame_block.get(), frame.data(), frame.size());
    std::memset(reply_block.get(), 0xA5, link::kMaxReply);
    service.transmitted = false;
    service.calls = 0;
    const int32_t count =
        emulation.answer(std::span<const uint8_t>(frame_block.get(), frame.size()), reply);
    check(service.calls <= 4, "PC/SC called too often for one frame", service.calls);
    check(count == 0 || (count >= 4 && count <= 256), "reply count", count);
    const bool well_formed_frame = frame.size() >= 4 && frame.size() == frame[2] + 4u;
    if (!well_formed_frame) {
      check(count == 0 && service.calls == 0, "a malformed frame answered", count);
      continue;
    }
    if (count == 0) {
      in_parts = false;
      continue;
    }
    check(reply[2] + 4 == count && reply[count - 1] == 0, "reply not one frame", count);
    const std::span<const uint8_t> body(reply.data() + 3, reply[2]);
    const bool refusal = reply[0] == 0x80 && count == 6 && body[0] == 0x70 && body[1] == 0x01;
    if (frame[0] == link::kHeadReader) {
      in_parts = false;
      check((reply[0] == 0x80 && reply[1] == 0 && count == 6) ||
                (reply[0] == 0x70 && reply[1] == 0 && frame[4] == link::kAtrRequest),
            "reader command: not a reader reply", reply[0], frame[4]);
      if (reply[0] == 0x70) check(reply[2] <= pc::kMaxAtr, "ATR longer than PC/SC's", reply[2]);
      continue;
    }
    if (!is_card_head(frame[0])) {
      check(false, "a frame of another head answered", frame[0]);
    }
    if (refusal) {
      in_parts = false;
      continue;
    }
    check(reply[0] == frame[0] && reply[1] == frame[1], "card reply: head or mode changed");
    check(body.size() >= 2 && body.size() <= 252, "card reply: body size", long(body.size()));
    const std::span<const uint8_t> apdu(frame.data() + 3, frame[2]);
    const bool get_response = apdu.size() == 5 && apdu[1] == 0xC0 && apdu[2] == 0 && apdu[3] == 0;
    if (service.transmitted) {
      check(service.last_apdu == Bytes(apdu.begin(), apdu.end()), "APDU changed on its way");
    }
    if (service.transmitted) {
      // A fresh answer: whole when it fits, else its first part.
      const Bytes& a = service.last_answer;
      check(a.size() >= 2, "a reply from an answer without SW1 SW2", long(a.size()));
      if (a.size() <= 252) {
        check(Bytes(body.begin(), body.end()) == a, "card answer changed");
        in_parts = false;
      } else {
        long_answer = a;
        gathered.assign(body.begin(), body.end() - 2);
        check(body.size() == 252, "first part not full", long(body.size()));
        in_parts = true;
      }
    } else if (in_parts && get_response) {
      gathered.insert(gathered.end(), body.begin(), body.end() - 2);
      check(gathered.size() <= long_answer.size() - 2, "parts longer than the answer");
      check(std::equal(gathered.begin(), gathered.end(), long_answer.begin()),
            "parts differ from the answer");
      if (gathered.size() == long_answer.size() - 2) {
        check(body[body.size() - 2] == long_answer[long_answer.size() - 2] &&
                  body[body.size() - 1] == long_answer.back(),
              "last part without the card's status word");
        in_parts = false;
      }
    } else {
      in_parts = false;
      // No transmission: the protocol switch's own answer.
      check(apdu.size() == 6 && apdu[0] == 0x80 && apdu[1] == 0x14,
            "a card reply without a transmission", apdu.size() > 1 ? apdu[1] : -1);
      check((body[0] == 0x90 && body[1] == 0x00) || (body[0] == 0x6A && body[1] == 0x86),
            "protocol switch: status", body[0], body[1]);
    }
    if (in_parts) {
      const std::size_t left = long_answer.size() - 2 - gathered.size();
      check(body[body.size() - 2] == 0x61 &&
                body[body.size() - 1] == static_cast<uint8_t>(std::min<std::size_t>(left, 256)),
            "part without 61 xx of the bytes left", body[body.size() - 1], long(left));
    }
  }
  session.disconnect(pc::Reset::leave);
  return 0;
}
