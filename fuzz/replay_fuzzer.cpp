// The trace replay's reading of a trace file, fed arbitrary text:
//   - every recorded exchange has a frame of at least one byte, a mask per
//     byte (masked bytes read as 0), and the number of a line of the text,
//     the numbers rising;
//   - the recording written out again as trace lines reads back the same;
//   - replayed with its own frames (masked bytes filled with anything), it
//     matches every frame and answers each with what was recorded, ending
//     the same way (a hang-up, a reply carried past 256 bytes for an
//     overlong one); one frame more is a difference "past the end", after
//     which nothing is answered;
//   - a frame that differs in one byte that is not masked is reported at
//     that exchange's line, and its PIN data shows as "**".
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "check.h"
#include "common/hex.h"
#include "link/reference_data.h"
#include "replay/replay.h"

namespace {

using vorkand::fuzz::check;
namespace common = vorkand::common;
namespace replay = vorkand::replay;
using Bytes = std::vector<uint8_t>;

const char* ending_word(replay::RecordedExchange::Ending e) {
  switch (e) {
    case replay::RecordedExchange::Ending::reply:
      return nullptr;
    case replay::RecordedExchange::Ending::silence:
      return "silence: no reply";
    case replay::RecordedExchange::Ending::hang_up:
      return "hang-up: the line closed";
    case replay::RecordedExchange::Ending::overlong:
      return "overlong: more than 256 bytes";
  }
  return nullptr;
}

std::string written(const replay::Recording& r) {
  std::string text;
  const std::string prefix = "1.000000 " + r.port + " " + std::to_string(r.handle) + " ";
  for (const replay::RecordedExchange& e : r.exchanges) {
    text += prefix + "> " + replay::recorded_hex(e) + "\n";
    if (!e.reply.empty()) text += prefix + "< " + common::to_hex(e.reply) + "\n";
    if (const char* word = ending_word(e.ending)) text += prefix + "end " + word + "\n";
  }
  return text;
}

bool same(const replay::RecordedExchange& a, const replay::RecordedExchange& b) {
  return a.frame == b.frame && a.masked == b.masked && a.reply == b.reply && a.ending == b.ending;
}

void check_recording(const replay::Recording& r, std::size_t lines) {
  int last_line = 0;
  check(!r.exchanges.empty(), "a recording without exchanges");
  for (const replay::RecordedExchange& e : r.exchanges) {
    check(!e.frame.empty() && e.frame.size() == e.masked.size(), "frame and mask sizes");
    check(e.line > last_line && static_cast<std::size_t>(e.line) <= lines, "line numbers", e.line,
          last_line);
    last_line = e.line;
    for (std::size_t i = 0; i < e.frame.size(); ++i)
      check(!e.masked[i] || e.frame[i] == 0, "a masked byte that is not 0");
  }
}

void play_back(const replay::Recording& r, FuzzedDataProvider& in) {
  std::vector<replay::Replay::Difference> reports;
  replay::Replay player(r, [&](const replay::Replay::Difference& d) { reports.push_back(d); });
  // How far to play before a frame that differs (all: none differs).
  const std::size_t stop = in.ConsumeIntegralInRange<std::size_t>(0, r.exchanges.size());
  for (std::size_t i = 0; i < stop; ++i) {
    const replay::RecordedExchange& e = r.exchanges[i];
    Bytes frame = e.frame;
    for (std::size_t k = 0; k < frame.size(); ++k)
      if (e.masked[k]) frame[k] = in.ConsumeIntegral<uint8_t>();
    const replay::Replay::Answer a = player.answer(frame);
    check(a.hang_up == (e.ending == replay::RecordedExchange::Ending::hang_up), "hang-up");
    if (e.ending == replay::RecordedExchange::Ending::overlong) {
      check(a.bytes.size() > 256, "an overlong reply that fits", long(a.bytes.size()));
    } else {
      check(a.bytes == e.reply, "answer differs from the recording", long(i));
    }
  }
  check(player.matched() == static_cast<int>(stop) && reports.empty(), "a recorded frame refused",
        player.matched());
  Bytes odd;
  int line = 0;
  if (stop == r.exchanges.size()) {
    odd = {0x00, 0x4F, 0x05, 0x00, 0x20, 0x00, 0x81, 0x08, 0x00};
  } else {
    const replay::RecordedExchange& e = r.exchanges[stop];
    odd = e.frame;
    line = e.line;
    const std::size_t visible =
        static_cast<std::size_t>(std::count(e.masked.begin(), e.masked.end(), false));
    if (visible == 0 || in.ConsumeBool()) {
      odd.push_back(0x00);  // one byte longer
    } else {
      std::size_t pick = in.ConsumeIntegralInRange<std::size_t>(0, visible - 1);
      for (std::size_t k = 0; k < odd.size(); ++k) {
        if (e.masked[k]) continue;
        if (pick-- == 0) {
          odd[k] ^= static_cast<uint8_t>(1 + in.ConsumeIntegralInRange<int>(0, 254));
          break;
        }
      }
    }
  }
  const replay::Replay::Answer a = player.answer(odd);
  check(a.bytes.empty() && !a.hang_up, "a differing frame answered");
  check(reports.size() == 1 && reports[0].line == line, "difference reported at the wrong line",
        reports.empty() ? -1 : reports[0].line, line);
  const vorkand::wire::Secret secret = vorkand::wire::secret_in_frame(odd);
  check(reports[0].received == replay::masked_hex(odd, secret.from, secret.to),
        "received frame shown unmasked");
  check(player.answer(r.exchanges[0].frame).bytes.empty() && reports.size() == 1,
        "answered after a difference");
  check(!player.summary().empty(), "no summary");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The text, then (when a second NUL-separated part is there) the bytes
  // that steer the replay.
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t split = all.find('\0');
  const std::string text(all.substr(0, split));
  const std::string_view steer =
      split == std::string_view::npos ? std::string_view{} : all.substr(split + 1);
  FuzzedDataProvider in(reinterpret_cast<const uint8_t*>(steer.data()), steer.size());
  const std::size_t lines =
      static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;

  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const auto record = replay::parse_trace_record(std::string_view(text).substr(at, end - at));
    if (record)
      check(!record->port.empty() && !record->kind.empty(), "record without port or kind");
    at = end + 1;
  }

  const auto parsed = replay::parse_recording(text);
  if (const auto* error = std::get_if<std::string>(&parsed)) {
    check(!error->empty(), "an empty error");
    return 0;
  }
  const replay::Recording& r = std::get<replay::Recording>(parsed);
  check_recording(r, lines);
  // By handle too (its lines on any port).
  const auto by_handle = replay::parse_recording(text, r.handle);
  if (const auto* h = std::get_if<replay::Recording>(&by_handle)) check_recording(*h, lines);

  // Written out again, it reads back the same (port names and handles as
  // they are, since the replay keeps one port).
  if (r.port.find_first_of(" \r") == std::string::npos) {
    const auto again = replay::parse_recording(written(r));
    check(std::holds_alternative<replay::Recording>(again), "a written recording does not read");
    const replay::Recording& b = std::get<replay::Recording>(again);
    check(b.exchanges.size() == r.exchanges.size(), "written recording: exchange count",
          long(b.exchanges.size()), long(r.exchanges.size()));
    for (std::size_t i = 0; i < r.exchanges.size(); ++i)
      check(same(r.exchanges[i], b.exchanges[i]), "written recording: exchange", long(i));
  }
  play_back(r, in);
  return 0;
}
