#include "sim/pty_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/hex.h"
#include "link/reference_data.h"
#include "replay/replay.h"

namespace vorkand::sim {
namespace {

using common::parse_hex;
using replay::masked_hex;

// 9600 baud, 8E1: start, 8 data, parity and stop bit make 11 bit times a byte.
constexpr std::chrono::microseconds kByteTime{11'000'000 / 9600};
// A partial frame with no new byte for this long is dropped so that the
// reader finds the start of the next frame again.
constexpr std::chrono::milliseconds kResync{1000};
constexpr std::size_t kOverlongReply = 300;

std::string system_error(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

std::string format_trace(const TraceEvent& event, bool with_time) {
  const char* arrow =
      event.direction == TraceEvent::Direction::to_reader ? "host -> reader" : "reader -> host";
  char time[32] = "";
  if (with_time) std::snprintf(time, sizeof time, "%10.3f ms  ", event.ms);
  return std::string(time) + arrow + "  " + event_hex(event);
}

std::string event_hex(const TraceEvent& event, std::string_view separator) {
  return masked_hex(event.bytes, event.secret_from, event.secret_to, separator);
}

std::optional<Fault> parse_fault(std::string_view text) {
  const auto number = [](std::string_view digits) -> std::optional<int> {
    int value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc{} || end != digits.data() + digits.size() || value < 0) {
      return std::nullopt;
    }
    return value;
  };
  const auto at = text.find('@');
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view kind = text.substr(0, at);
  std::string_view rest = text.substr(at + 1);
  const auto colon = rest.find(':');
  const std::string_view argument =
      colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
  const auto frame = number(rest.substr(0, colon));
  if (!frame) return std::nullopt;

  Fault fault;
  fault.frame = *frame;
  if (kind == "silence" || kind == "hangup" || kind == "overlong") {
    if (colon != std::string_view::npos) return std::nullopt;
    fault.kind = kind == "silence"  ? Fault::Kind::silence
                 : kind == "hangup" ? Fault::Kind::hang_up
                                    : Fault::Kind::overlong;
    return fault;
  }
  if (kind == "stray") {
    auto bytes = parse_hex(argument);
    if (!bytes || bytes->empty()) return std::nullopt;
    fault.kind = Fault::Kind::stray;
    fault.stray = std::move(*bytes);
    return fault;
  }
  if (kind == "split") {
    fault.kind = Fault::Kind::split;
    std::string_view sizes = argument;
    std::chrono::milliseconds delay{200};
    if (const auto slash = sizes.find('/'); slash != std::string_view::npos) {
      const auto ms = number(sizes.substr(slash + 1));
      if (!ms) return std::nullopt;
      delay = std::chrono::milliseconds(*ms);
      sizes = sizes.substr(0, slash);
    }
    while (!sizes.empty()) {
      const auto comma = sizes.find(',');
      const auto size = number(sizes.substr(0, comma));
      if (!size || *size == 0) return std::nullopt;
      fault.chunks.push_back({static_cast<std::size_t>(*size),
                              fault.chunks.empty() ? std::chrono::milliseconds(0) : delay});
      sizes = comma == std::string_view::npos ? std::string_view{} : sizes.substr(comma + 1);
    }
    if (fault.chunks.empty()) return std::nullopt;
    fault.chunks.push_back({0, delay});  // the rest
    return fault;
  }
  return std::nullopt;
}

PtySimulator::PtySimulator(ReaderModel model, PtyOptions options)
    : model_(std::move(model)), options_(std::move(options)) {}

std::variant<std::unique_ptr<PtySimulator>, std::string> PtySimulator::start(ReaderModel model,
                                                                             PtyOptions options) {
  std::unique_ptr<PtySimulator> sim(new PtySimulator(std::move(model), std::move(options)));
  sim->master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (sim->master_ < 0) return system_error("posix_openpt");
  if (grantpt(sim->master_) != 0) return system_error("grantpt");
  if (unlockpt(sim->master_) != 0) return system_error("unlockpt");
  std::array<char, 128> name{};
  if (ptsname_r(sim->master_, name.data(), name.size()) != 0) return system_error("ptsname_r");
  sim->device_path_ = name.data();
  // Our own slave descriptor: while it is open the master never hangs up.
  sim->own_slave_ = ::open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (sim->own_slave_ < 0) return system_error(name.data());
  // Raw at once, before any program opens it: no echo of our replies back to
  // us, no line editing, no translation of bytes.
  termios settings{};
  if (tcgetattr(sim->own_slave_, &settings) != 0) return system_error("tcgetattr");
  cfmakeraw(&settings);
  if (tcsetattr(sim->own_slave_, TCSANOW, &settings) != 0) return system_error("tcsetattr");
  std::array<int, 2> stop_pipe{};
  if (pipe2(stop_pipe.data(), O_CLOEXEC) != 0) return system_error("pipe2");
  sim->stop_read_ = stop_pipe[0];
  sim->stop_write_ = stop_pipe[1];
  sim->started_ = std::chrono::steady_clock::now();
  sim->thread_ = std::thread([raw = sim.get()] { raw->run(); });
  return sim;
}

PtySimulator::~PtySimulator() {
  stop();
}

void PtySimulator::stop() {
  if (thread_.joinable()) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(stop_write_, &byte, 1);
    thread_.join();
  }
  close_pty();
  for (int* fd : {&stop_read_, &stop_write_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void PtySimulator::close_pty() {
  for (int* fd : {&master_, &own_slave_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void PtySimulator::add_fault(const Fault& fault) {
  std::lock_guard lock(mutex_);
  options_.faults.push_back(fault);
}

int PtySimulator::frames_received() {
  std::lock_guard lock(mutex_);
  return frames_;
}

bool PtySimulator::pause(std::chrono::microseconds duration) {
  if (duration.count() <= 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + duration;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    pollfd stop{stop_read_, POLLIN, 0};
    const int ms = static_cast<int>((left.count() + 999) / 1000);
    if (::poll(&stop, 1, ms) > 0) return false;
  }
}

void PtySimulator::emit(TraceEvent::Direction direction, const std::vector<uint8_t>& bytes) {
  if (!options_.trace) return;
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_)
          .count();
  TraceEvent event{direction, bytes, ms};
  if (direction == TraceEvent::Direction::to_reader && !options_.show_secrets) {
    const wire::Secret secret = wire::secret_in_frame(bytes);
    event.secret_from = secret.from;
    event.secret_to = secret.to;
  }
  options_.trace(event);
}

void PtySimulator::run() {
  std::vector<uint8_t> pending;
  auto last_byte = std::chrono::steady_clock::now();
  std::array<uint8_t, 512> chunk{};
  while (master_ >= 0) {
    std::array<pollfd, 2> fds{pollfd{master_, POLLIN, 0}, pollfd{stop_read_, POLLIN, 0}};
    const int ready = ::poll(fds.data(), fds.size(), 100);
    if (ready < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) break;
    if (fds[0].revents & POLLIN) {
      const ssize_t n = ::read(master_, chunk.data(), chunk.size());
      if (n > 0) {
        pending.insert(pending.end(), chunk.begin(), chunk.begin() + n);
        last_byte = std::chrono::steady_clock::now();
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      // Cannot happen while our own slave is open; do not spin if it does.
      if (!pause(std::chrono::milliseconds(10))) break;
    }
    while (pending.size() >= 3 && pending.size() >= std::size_t{pending[2]} + 4) {
      const auto end = pending.begin() + pending[2] + 4;
      const std::vector<uint8_t> frame(pending.begin(), end);
      pending.erase(pending.begin(), end);
      handle(frame);
      if (master_ < 0) return;  // hung up
    }
    if (!pending.empty() && std::chrono::steady_clock::now() - last_byte > kResync) {
      pending.clear();
    }
  }
}

void PtySimulator::handle(const std::vector<uint8_t>& frame) {
  emit(TraceEvent::Direction::to_reader, frame);
  if (options_.line_time && !pause(kByteTime * static_cast<long>(frame.size()))) return;
  if (options_.responder) {
    respond(frame);
    return;
  }

  std::optional<Fault> fault;
  std::vector<uint8_t> reply;
  {
    std::lock_guard lock(mutex_);
    ++frames_;
    for (const Fault& f : options_.faults) {
      if (f.frame == 0 || f.frame == frames_) {
        fault = f;
        break;
      }
    }
    const bool lost =
        fault && (fault->kind == Fault::Kind::silence || fault->kind == Fault::Kind::hang_up);
    if (!lost) reply = model_.on_frame(frame);
  }

  std::vector<Fault::Chunk> chunks;
  if (fault) {
    switch (fault->kind) {
      case Fault::Kind::silence:
        return;
      case Fault::Kind::hang_up:
        close_pty();
        return;
      case Fault::Kind::overlong:
        // A card frame announcing 255 body bytes, then more than any reply may hold.
        reply.assign(kOverlongReply, 0x5A);
        reply[0] = 0x00;
        reply[1] = 0x4F;
        reply[2] = 0xFF;
        break;
      case Fault::Kind::stray:
        reply.insert(reply.end(), fault->stray.begin(), fault->stray.end());
        break;
      case Fault::Kind::split:
        chunks = fault->chunks;
        break;
    }
  }
  if (reply.empty()) return;
  emit(TraceEvent::Direction::to_host, reply);
  write_reply(reply, chunks);
}

void PtySimulator::respond(const std::vector<uint8_t>& frame) {
  {
    std::lock_guard lock(mutex_);
    ++frames_;
  }
  const Answer answer = options_.responder(frame);
  if (!answer.bytes.empty()) {
    emit(TraceEvent::Direction::to_host, answer.bytes);
    write_reply(answer.bytes, {});
  }
  if (answer.hang_up) close_pty();
}

void PtySimulator::write_reply(const std::vector<uint8_t>& reply,
                               const std::vector<Fault::Chunk>& chunks) {
  std::vector<Fault::Chunk> plan = chunks;
  if (plan.empty()) {
    // Without line time the reply goes out in one write; with it, in pieces
    // of 8 bytes at the pace of the line.
    const std::size_t piece = options_.line_time ? 8 : reply.size();
    for (std::size_t at = 0; at < reply.size(); at += piece) {
      const std::size_t n = std::min(piece, reply.size() - at);
      plan.push_back({n, std::chrono::duration_cast<std::chrono::milliseconds>(
                             options_.line_time ? kByteTime * static_cast<long>(n)
                                                : std::chrono::microseconds(0))});
    }
  }
  std::size_t at = 0;
  for (std::size_t i = 0; i < plan.size() && at < reply.size(); ++i) {
    if (!pause(plan[i].delay_before)) return;
    const bool last = i + 1 == plan.size() || plan[i].bytes == 0;
    const std::size_t n = last ? reply.size() - at : std::min(plan[i].bytes, reply.size() - at);
    std::size_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(master_, reply.data() + at + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return;
      done += static_cast<std::size_t>(w);
    }
    at += n;
  }
}

}  // namespace vorkand::sim
