#include "link/trace.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <mutex>
#include <new>

#include "link/channel.h"
#include "link/environment.h"
#include "link/frame.h"
#include "vorkand.h"

namespace vorkand::link {
namespace {

constexpr std::size_t kInsAt = 1;
constexpr std::size_t kApduDataAt = 5;  // CLA INS P1 P2 Lc, then the data
constexpr uint8_t kInsVerify = 0x20;
constexpr uint8_t kInsChangeReferenceData = 0x24;
constexpr uint8_t kInsResetRetryCounter = 0x2C;

constexpr char kTraceVariable[] = "VORKAND_TRACE";
constexpr char kSecretsVariable[] = "VORKAND_TRACE_SECRETS";
constexpr std::size_t kMaxDescription = 512;

// Every trace's lines go out one at a time, so that two handles writing into
// one file never mix their lines.
std::mutex& line_lock() noexcept {
  static std::mutex lock;
  return lock;
}

std::string_view ending_text(Ending why) noexcept {
  switch (why) {
    case Ending::silence:
      return "silence: no byte for 5000 ms";
    case Ending::hang_up:
      return "hang-up: the port failed or hung up";
    case Ending::overlong:
      return "overlong: the reply would pass 256 bytes";
    case Ending::write_refused:
      return "write-refused: the port refused the frame";
  }
  return "unknown";
}

void copy_text(std::span<char> out, const char* text) noexcept {
  if (out.empty()) return;
  const std::size_t length = text == nullptr ? 0 : std::min(std::strlen(text), out.size() - 1);
  if (length > 0) std::memcpy(out.data(), text, length);
  out[length] = '\0';
}

}  // namespace

Secret secret_in_apdu(std::span<const uint8_t> apdu) noexcept {
  if (apdu.size() <= kApduDataAt) return {};
  const uint8_t ins = apdu[kInsAt];
  if (ins != kInsVerify && ins != kInsChangeReferenceData && ins != kInsResetRetryCounter)
    return {};
  return {kApduDataAt, apdu.size()};
}

Secret secret_in_frame(std::span<const uint8_t> frame) noexcept {
  if (frame.size() <= kBodyAt) return {};
  const uint8_t head = frame[kHeadAt];
  if (head != kHeadT0 && head != kHeadT1) return {};
  const std::size_t body = std::min<std::size_t>(frame[kLengthAt], frame.size() - kBodyAt);
  const Secret secret = secret_in_apdu(frame.subspan(kBodyAt, body));
  if (secret.from == secret.to) return {};
  return {kBodyAt + secret.from, kBodyAt + secret.to};
}

TraceLine& TraceLine::put(char c) noexcept {
  // Room is kept for "...\n".
  if (used_ + 4 < buffer_.size()) {
    buffer_[used_++] = c;
  } else {
    cut_ = true;
  }
  return *this;
}

TraceLine& TraceLine::text(std::string_view text) noexcept {
  for (char c : text) put(c);
  return *this;
}

TraceLine& TraceLine::number(int64_t value) noexcept {
  std::array<char, 24> digits{};
  const char* end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  return text({digits.data(), end});
}

TraceLine& TraceLine::word(uint16_t value) noexcept {
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = 12; shift >= 0; shift -= 4) put(kDigits[(value >> shift) & 0xF]);
  return *this;
}

TraceLine& TraceLine::hex(std::span<const uint8_t> bytes, Secret secret) noexcept {
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) put(' ');
    if (i >= secret.from && i < secret.to) {
      put('*').put('*');
    } else {
      put(kDigits[bytes[i] >> 4]).put(kDigits[bytes[i] & 0xF]);
    }
  }
  return *this;
}

TraceLine& TraceLine::seconds(uint64_t microseconds) noexcept {
  number(static_cast<int64_t>(microseconds / 1'000'000u));
  put('.');
  const auto fraction = static_cast<uint32_t>(microseconds % 1'000'000u);
  for (uint32_t unit = 100'000; unit > 0; unit /= 10)
    put(static_cast<char>('0' + fraction / unit % 10));
  return *this;
}

std::span<const char> TraceLine::finish() noexcept {
  if (cut_) {
    for (char c : std::string_view("...")) buffer_[used_++] = c;
  }
  buffer_[used_++] = '\n';
  return {buffer_.data(), used_};
}

Trace* Trace::start(const Channel& channel, const char* name_as_given) noexcept {
  std::array<char, 4096> path{};
  const Setting setting = environment(kTraceVariable, path);
  if (setting == Setting::unset) return nullptr;
  std::array<char, 4> secrets{};
  const bool show_secrets = environment(kSecretsVariable, secrets) == Setting::set &&
                            std::string_view(secrets.data()) == "1";

  std::array<char, 256> reason{};
  if (setting == Setting::too_long) {
    copy_text(path, "(the path in VORKAND_TRACE)");
    copy_text(reason, "path too long");
  }
  const TraceFile file =
      setting == Setting::set ? open_trace_file(path.data(), reason) : kNoTraceFile;
  Trace* trace = file == kNoTraceFile
                     ? nullptr
                     : new (std::nothrow)
                           Trace(file, path.data(), channel.handle(), name_as_given, show_secrets);
  if (trace == nullptr) {
    // A Trace only to word the warning; it writes nothing.
    Trace unopened(kNoTraceFile, path.data(), channel.handle(), name_as_given, false);
    unopened.stop(file == kNoTraceFile ? reason.data() : "out of memory");
    close_trace_file(file);
    return nullptr;
  }
  std::array<char, kMaxDescription> description{};
  channel.describe(description);
  description.back() = '\0';
  trace->header(description.data());
  return trace;
}

void Trace::open_failed(const char* name_as_given, const OpenFailure& why) noexcept {
  std::array<char, 4096> path{};
  if (environment(kTraceVariable, path) != Setting::set) return;
  std::array<char, 256> reason{};
  const TraceFile file = open_trace_file(path.data(), reason);
  if (file == kNoTraceFile) return;
  {
    Trace trace(file, path.data(), 0, name_as_given, false);
    TraceLine line = trace.begin("open");
    line.text(" vorkand " VORKAND_VERSION_STRING);
    std::array<char, 32> now{};
    utc_now(now);
    if (now[0] != '\0') line.text(" at ").text(now.data());
    line.text(", ").text(why.device()).text(" failed: ");
    line.text(why.empty() ? "could not be opened" : why.text());
    trace.write(line);
  }  // the trace closes its file
}

Trace::Trace(TraceFile file, const char* path, int32_t handle, const char* name_as_given,
             bool secrets) noexcept
    : file_(file), handle_(handle), secrets_(secrets) {
  copy_text(path_, path);
  copy_text(port_, name_as_given);
}

Trace::~Trace() {
  close_trace_file(file_);
}

TraceLine Trace::begin(std::string_view kind) const noexcept {
  TraceLine line;
  line.seconds(monotonic_us()).text(" ").text(port_.data()).text(" ").number(handle_);
  line.text(" ").text(kind);
  return line;
}

void Trace::header(std::string_view description) noexcept {
  TraceLine line = begin("open");
  line.text(" vorkand " VORKAND_VERSION_STRING);
  std::array<char, 32> now{};
  utc_now(now);
  if (now[0] != '\0') line.text(" at ").text(now.data());
  if (!description.empty()) line.text(", ").text(description);
  write(line);
}

void Trace::sent(std::span<const uint8_t> frame) noexcept {
  if (stopped()) return;
  TraceLine line = begin(">");
  line.text(" ").hex(frame, secrets_ ? Secret{} : secret_in_frame(frame));
  write(line);
}

void Trace::received(std::span<const uint8_t> bytes) noexcept {
  if (stopped()) return;
  TraceLine line = begin("<");
  line.text(" ").hex(bytes);
  write(line);
}

void Trace::ended(Ending why) noexcept {
  if (stopped()) return;
  TraceLine line = begin("end");
  line.text(" ").text(ending_text(why));
  write(line);
}

void Trace::call(const TraceCall& call) noexcept {
  if (stopped()) return;
  TraceLine line = begin("call");
  line.text(" ").text(call.name);
  if (call.apdu != nullptr) {
    const std::span<const uint8_t> apdu(call.apdu, call.apdu_length);
    line.text(" apdu ").hex(apdu, secrets_ ? Secret{} : secret_in_apdu(apdu));
  }
  if (call.has_mode) {
    line.text(" direction ").number(call.direction).text(" protocol ").number(call.protocol);
  }
  line.text(" -> ");
  if (call.result_is_status) {
    line.word(static_cast<uint16_t>(call.result));
  } else {
    line.number(call.result);
  }
  if (call.response_length != nullptr) line.text(" response ").number(*call.response_length);
  if (call.atr != nullptr && call.atr_length != nullptr && call.result == 0x9000) {
    line.text(" atr ").hex({call.atr, *call.atr_length});
  }
  write(line);
}

void Trace::write(TraceLine& line) noexcept {
  if (stopped()) return;
  const std::span<const char> text = line.finish();
  std::array<char, 256> reason{};
  bool written;
  {
    const std::lock_guard lock(line_lock());
    written = write_trace_file(file_, text, reason);
  }
  if (!written) stop(reason.data());
}

void Trace::stop(const char* reason) noexcept {
  if (stopped_.exchange(true, std::memory_order_relaxed)) return;
  TraceLine warning;
  warning.text("vorkand: trace ").text(path_.data()).text(": ").text(reason);
  warning.text("; tracing stopped for handle ").number(handle_);
  warn(warning.finish());
}

}  // namespace vorkand::link
