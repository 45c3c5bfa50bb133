// The incoming side of the Telnet/COM-PORT-OPTION codec fed arbitrary server
// output, compared with a plain model that reads the whole stream at once:
//   - the streaming decoder gives the same data bytes, verbs, commands and
//     subnegotiations (bodies cut at kMaxBody) in the same order, whatever
//     the stream's split;
//   - the negotiation answers only verbs, each with IAC, the opposite kind of
//     verb and the same option, at most once per verb received;
//   - line settings are never both acknowledged and refused.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "check.h"
#include "link/net/telnet_codec.h"

namespace {

using vorkand::fuzz::check;
using namespace vorkand::link::net;
using Kind = Incoming::Kind;

struct Event {
  Kind kind;
  uint8_t value;
  std::vector<uint8_t> body;
  bool operator==(const Event&) const = default;
};

Kind verb_kind(uint8_t verb) {
  return verb == telnet::kWill   ? Kind::will
         : verb == telnet::kWont ? Kind::wont
         : verb == telnet::kDo   ? Kind::do_
                                 : Kind::dont;
}

// The model: the whole stream at once, by position. An unfinished command at
// the end gives nothing.
std::vector<Event> model(const uint8_t* in, std::size_t n) {
  using namespace telnet;
  std::vector<Event> out;
  std::size_t i = 0;
  while (i < n) {
    if (in[i] != kIac) {
      out.push_back({Kind::data, in[i++], {}});
      continue;
    }
    if (i + 1 >= n) break;
    const uint8_t c = in[i + 1];
    if (c == kIac) {
      out.push_back({Kind::data, kIac, {}});
      i += 2;
    } else if (c >= kWill && c <= kDont) {
      if (i + 2 >= n) break;
      out.push_back({verb_kind(c), in[i + 2], {}});
      i += 3;
    } else if (c == kSb) {
      if (i + 2 >= n) break;
      const uint8_t option = in[i + 2];
      std::vector<uint8_t> body;
      std::size_t j = i + 3;
      bool ended = false;
      while (j < n) {
        if (in[j] != kIac) {
          body.push_back(in[j++]);
          continue;
        }
        if (j + 1 >= n) break;
        if (in[j + 1] == kIac) {
          body.push_back(kIac);
          j += 2;
        } else if (in[j + 1] == kSe) {
          if (body.size() > TelnetDecoder::kMaxBody) body.resize(TelnetDecoder::kMaxBody);
          out.push_back({Kind::subnegotiation, option, body});
          j += 2;
          ended = true;
          break;
        } else {
          // Another command ends the subnegotiation unfinished: read it as
          // a command of its own.
          ended = true;
          break;
        }
      }
      if (!ended) return out;  // the stream ends inside the subnegotiation
      i = j;
    } else {
      out.push_back({Kind::command, c, {}});
      i += 2;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The first byte is a seed for where the stream is split into receives.
  if (size == 0) return 0;
  uint8_t split = data[0];
  ++data;
  --size;

  TelnetDecoder decoder;
  ClientNegotiation negotiation;
  std::array<uint8_t, ClientNegotiation::kOpeningSize> opening{};
  check(negotiation.opening(opening) == opening.size(), "opening fits");
  std::vector<Event> events;
  std::size_t verbs = 0;
  std::size_t answers = 0;
  std::size_t at = 0;
  while (at < size) {
    const std::size_t piece = std::min<std::size_t>(1 + (split % 7), size - at);
    split = static_cast<uint8_t>(split * 31 + 7);
    for (std::size_t k = 0; k < piece; ++k) {
      const Incoming in = decoder.push(data[at + k]);
      if (in.kind == Kind::nothing) continue;
      Event event{in.kind, in.value, {}};
      if (in.kind == Kind::subnegotiation) {
        const auto body = decoder.body();
        check(body.size() <= TelnetDecoder::kMaxBody, "body cut", static_cast<long>(body.size()));
        event.body.assign(body.begin(), body.end());
        if (in.value == telnet::kComPort) negotiation.take_com_port(body);
      }
      if (in.kind >= Kind::will && in.kind <= Kind::dont) {
        ++verbs;
        std::array<uint8_t, ClientNegotiation::kMaxAnswer> answer{};
        const std::size_t length = negotiation.answer(in.kind, in.value, answer);
        check(length == 0 || length == 3, "answer length", static_cast<long>(length));
        if (length == 3) {
          ++answers;
          check(answer[0] == telnet::kIac && answer[2] == in.value, "answer shape", answer[1],
                in.value);
          const bool asked_to_do = in.kind == Kind::do_ || in.kind == Kind::dont;
          check(asked_to_do ? (answer[1] == telnet::kWill || answer[1] == telnet::kWont)
                            : (answer[1] == telnet::kDo || answer[1] == telnet::kDont),
                "answer verb", answer[1], static_cast<long>(in.kind));
          // A refusal (WONT/DONT) is answered only by a refusal.
          if (in.kind == Kind::wont || in.kind == Kind::dont) {
            check(answer[1] == telnet::kWont || answer[1] == telnet::kDont, "refusal answered",
                  answer[1]);
          }
        }
      }
      events.push_back(std::move(event));
    }
    at += piece;
  }
  check(answers <= verbs, "answers per verb", static_cast<long>(answers), static_cast<long>(verbs));
  check(!(negotiation.settings_acknowledged() && negotiation.settings_refused()),
        "settings both acknowledged and refused");

  const std::vector<Event> expected = model(data, size);
  check(events.size() == expected.size(), "event count", static_cast<long>(events.size()),
        static_cast<long>(expected.size()));
  for (std::size_t i = 0; i < events.size(); ++i) {
    check(events[i] == expected[i], "event", static_cast<long>(i),
          static_cast<long>(events[i].kind));
  }
  return 0;
}
