#include "replay/replay.h"

#include <cctype>
#include <charconv>
#include <cstdlib>

#include "common/hex.h"
#include "link/reference_data.h"

namespace vorkand::replay {
namespace {

using common::parse_hex;
using common::to_hex;

// Longer than any reply may be: the host takes none of it.
constexpr std::size_t kOverlongReply = 300;

// The next space-separated word of `text`, taken off its front.
std::string_view take_word(std::string_view& text) {
  const auto start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    text = {};
    return {};
  }
  text.remove_prefix(start);
  const auto end = text.find(' ');
  const std::string_view word = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  return word;
}

// Hex pairs separated by spaces, "**" for a masked byte.
bool parse_masked(std::string_view text, std::vector<uint8_t>& bytes, std::vector<bool>& masked) {
  for (std::string_view word = take_word(text); !word.empty(); word = take_word(text)) {
    if (word == "**") {
      bytes.push_back(0);
      masked.push_back(true);
      continue;
    }
    const auto value = parse_hex(word);
    if (!value || value->size() != 1) return false;
    bytes.push_back((*value)[0]);
    masked.push_back(false);
  }
  return !bytes.empty();
}

// Port names as hosts spell them: "com1" is COM1.
bool same_port(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool matches(const RecordedExchange& recorded, const std::vector<uint8_t>& frame) {
  if (recorded.frame.size() != frame.size()) return false;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    if (!recorded.masked[i] && recorded.frame[i] != frame[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<TraceRecord> parse_trace_record(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  TraceRecord record;
  const std::string_view time = take_word(line);
  if (time.find('.') == std::string_view::npos) return std::nullopt;
  char* end = nullptr;
  const std::string time_text(time);
  record.seconds = std::strtod(time_text.c_str(), &end);
  if (end == nullptr || *end != '\0') return std::nullopt;
  record.port = std::string(take_word(line));
  const std::string_view handle = take_word(line);
  const auto [at, error] =
      std::from_chars(handle.data(), handle.data() + handle.size(), record.handle);
  if (error != std::errc{} || at != handle.data() + handle.size()) return std::nullopt;
  record.kind = std::string(take_word(line));
  if (record.port.empty() || record.kind.empty()) return std::nullopt;
  record.rest = std::string(line);
  return record;
}

std::variant<Recording, std::string> parse_recording(std::string_view trace,
                                                     std::optional<int32_t> handle) {
  Recording recording;
  int number = 0;
  while (!trace.empty()) {
    const auto newline = trace.find('\n');
    const std::string_view text = trace.substr(0, newline);
    trace = newline == std::string_view::npos ? std::string_view{} : trace.substr(newline + 1);
    ++number;
    auto record = parse_trace_record(text);
    if (!record) continue;
    if (record->kind != ">" && record->kind != "<" && record->kind != "end") continue;
    if (handle) {
      if (record->handle != *handle) continue;
    } else {
      // A port is open to one handle at a time: its sessions, one after the
      // other, are what its reader saw, whatever handles they had.
      if (recording.port.empty() && record->kind != ">") continue;
      if (!recording.port.empty() && !same_port(record->port, recording.port)) continue;
    }

    if (record->kind == ">") {
      RecordedExchange exchange;
      exchange.line = number;
      if (!parse_masked(record->rest, exchange.frame, exchange.masked)) {
        return "line " + std::to_string(number) + ": a frame that is not hex bytes";
      }
      if (recording.exchanges.empty()) {
        recording.port = record->port;
        recording.handle = record->handle;
      }
      recording.exchanges.push_back(std::move(exchange));
      continue;
    }
    // A reply or an ending before the first frame belongs to nothing we play.
    if (recording.exchanges.empty()) continue;
    RecordedExchange& last = recording.exchanges.back();
    if (record->kind == "<") {
      std::vector<bool> masked;
      if (!parse_masked(record->rest, last.reply, masked)) {
        return "line " + std::to_string(number) + ": a reply that is not hex bytes";
      }
      continue;
    }
    std::string_view why = record->rest;
    why = take_word(why);
    if (!why.empty() && why.back() == ':') why.remove_suffix(1);
    if (why == "silence") {
      last.ending = RecordedExchange::Ending::silence;
    } else if (why == "overlong") {
      last.ending = RecordedExchange::Ending::overlong;
    } else {
      // A hang-up, or a write the port refused: the line is dead either way.
      last.ending = RecordedExchange::Ending::hang_up;
    }
  }
  if (recording.exchanges.empty()) return std::string("the trace holds no frame");
  return recording;
}

std::string masked_hex(std::span<const uint8_t> bytes, std::size_t from, std::size_t to,
                       std::string_view separator) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += separator;
    text += i >= from && i < to ? "**" : to_hex(bytes.subspan(i, 1));
  }
  return text;
}

std::string recorded_hex(const RecordedExchange& exchange) {
  std::string text;
  for (std::size_t i = 0; i < exchange.frame.size(); ++i) {
    if (i > 0) text += ' ';
    text += exchange.masked[i] ? "**" : to_hex(std::span(&exchange.frame[i], 1));
  }
  return text;
}

Replay::Replay(Recording recording, std::function<void(const Difference&)> report,
               bool show_secrets)
    : recording_(std::move(recording)), report_(std::move(report)), show_secrets_(show_secrets) {}

Replay::Answer Replay::answer(const std::vector<uint8_t>& frame) {
  std::unique_lock lock(mutex_);
  if (difference_) return {};
  if (next_ >= recording_.exchanges.size() || !matches(recording_.exchanges[next_], frame)) {
    Difference difference;
    if (next_ < recording_.exchanges.size()) {
      difference.line = recording_.exchanges[next_].line;
      difference.expected = recorded_hex(recording_.exchanges[next_]);
    } else {
      difference.expected = "the end of the recording";
    }
    const wire::Secret secret = show_secrets_ ? wire::Secret{} : wire::secret_in_frame(frame);
    difference.received = masked_hex(frame, secret.from, secret.to);
    difference_ = difference;
    lock.unlock();
    if (report_) report_(difference);
    return {};
  }
  const RecordedExchange& recorded = recording_.exchanges[next_++];
  ++matched_;
  Answer answer{recorded.reply, false};
  switch (recorded.ending) {
    case RecordedExchange::Ending::reply:
    case RecordedExchange::Ending::silence:
      break;
    case RecordedExchange::Ending::hang_up:
      answer.hang_up = true;
      break;
    case RecordedExchange::Ending::overlong:
      // What was taken, then enough to carry the reply past 256 bytes.
      if (answer.bytes.size() < 3) answer.bytes = {0x00, 0x4F, 0xFF};
      answer.bytes.resize(kOverlongReply, 0x5A);
      break;
  }
  return answer;
}

int Replay::matched() const {
  std::lock_guard lock(mutex_);
  return matched_;
}

std::optional<Replay::Difference> Replay::difference() const {
  std::lock_guard lock(mutex_);
  return difference_;
}

std::string describe(const Replay::Difference& difference) {
  const std::string where =
      difference.line > 0 ? "line " + std::to_string(difference.line) : "past the last line";
  return where + ": expected " + difference.expected + ", received " + difference.received;
}

std::string Replay::summary() const {
  std::lock_guard lock(mutex_);
  std::string text = "replay: " + std::to_string(matched_) + " of " +
                     std::to_string(recording_.exchanges.size()) + " frames matched";
  text += difference_ ? "; first difference at " + describe(*difference_) : "; no difference";
  return text;
}

}  // namespace vorkand::replay
