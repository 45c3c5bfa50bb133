#include "link/trace/trace.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "link/environment.h"
#include "link/frame.h"
#include "vorkand.h"

namespace vorkand::link {
namespace {

constexpr std::size_t kMaxDescription = 1024;
constexpr char kTraceVariable[] = "VORKAND_TRACE";
constexpr char kSecretsVariable[] = "VORKAND_TRACE_SECRETS";
constexpr char kMaxVariable[] = "VORKAND_TRACE_MAX";

// VORKAND_TRACE_MAX: bytes per trace file, decimal; 0 for no limit. Unset or
// not a number: the default.
uint64_t trace_limit() noexcept {
  std::array<char, 24> text{};
  if (environment(kMaxVariable, text) != Setting::set) return kDefaultTraceMax;
  uint64_t limit = 0;
  const char* end = text.data() + std::strlen(text.data());
  const auto [stop, error] = std::from_chars(text.data(), end, limit);
  return error == std::errc{} && stop == end ? limit : kDefaultTraceMax;
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

Trace* Trace::start(const PortFacts& port) noexcept {
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
  TraceOutput* output =
      setting == Setting::set ? acquire_trace_output(path.data(), trace_limit(), reason) : nullptr;
  Trace* trace = output == nullptr ? nullptr
                                   : new (std::nothrow) Trace(output, path.data(), port.handle,
                                                              port.name_as_given, show_secrets);
  if (trace == nullptr) {
    // A Trace only to word the warning; it writes nothing.
    Trace unopened(nullptr, path.data(), port.handle, port.name_as_given, false);
    unopened.stop(output == nullptr ? reason.data() : "out of memory");
    release_trace_output(output);
    return nullptr;
  }
  std::array<char, kMaxDescription> description{};
  if (port.describe != nullptr) port.describe(port.port, description);
  description.back() = '\0';
  if (*port.mapped_by != '\0') {
    const std::size_t used = std::strlen(description.data());
    std::snprintf(description.data() + used, description.size() - used, ", mapped by %s",
                  port.mapped_by);
  }
  trace->header(description.data());
  return trace;
}

void Trace::open_failed(const char* name_as_given, const OpenFailure& why) noexcept {
  std::array<char, 4096> path{};
  if (environment(kTraceVariable, path) != Setting::set) return;
  std::array<char, 256> reason{};
  TraceOutput* output = acquire_trace_output(path.data(), trace_limit(), reason);
  if (output == nullptr) return;
  Trace trace(output, path.data(), 0, name_as_given, false);  // releases the output
  TraceLine line = trace.begin("open");
  line.text(" vorkand " VORKAND_VERSION_STRING);
  std::array<char, 32> now{};
  utc_now(now);
  if (now[0] != '\0') line.text(" at ").text(now.data());
  line.text(", ").text(why.device()).text(" failed: ");
  line.text(why.empty() ? "could not be opened" : why.text());
  trace.write(line);
}

Trace::Trace(TraceOutput* output, const char* path, int32_t handle, const char* name_as_given,
             bool secrets) noexcept
    : output_(output), handle_(handle), secrets_(secrets) {
  copy_text(path_, path);
  copy_text(port_, name_as_given);
}

Trace::~Trace() {
  release_trace_output(output_);
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
  const std::span<const char> text = line.finish();
  std::memcpy(header_.data(), text.data(), text.size());
  header_length_ = text.size();
  write_finished(text);
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

void Trace::write(TraceLine& line) noexcept {
  if (stopped()) return;
  write_finished(line.finish());
}

void Trace::write_finished(std::span<const char> text) noexcept {
  if (stopped() || output_ == nullptr) return;
  std::array<char, 256> reason{};
  if (!write_trace_output(*output_, text, {header_.data(), header_length_}, reason))
    stop(reason.data());
}

void Trace::stop(const char* reason) noexcept {
  if (stopped_.exchange(true, std::memory_order_relaxed)) return;
  TraceLine warning;
  warning.text("vorkand: trace ").text(path_.data()).text(": ").text(reason);
  warning.text("; tracing stopped for handle ").number(handle_);
  warn(warning.finish());
}

}  // namespace vorkand::link
