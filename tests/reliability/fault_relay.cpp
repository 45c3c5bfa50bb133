#include "fault_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <list>
#include <random>
#include <vector>

namespace vorkand::faults {

using Clock = std::chrono::steady_clock;

std::string_view fault_name(Fault fault) noexcept {
  switch (fault) {
    case Fault::none:
      return "none";
    case Fault::latency:
      return "latency";
    case Fault::segments:
      return "segments";
    case Fault::corrupt:
      return "corrupt";
    case Fault::drop:
      return "drop";
    case Fault::duplicate:
      return "duplicate";
    case Fault::stall:
      return "stall";
    case Fault::half_close:
      return "half-close";
    case Fault::reset:
      return "reset";
    case Fault::blackhole:
      return "blackhole";
    case Fault::drip:
      return "drip";
    case Fault::refuse:
      return "refuse";
  }
  return "?";
}

bool parse_fault_name(std::string_view name, Fault& fault) noexcept {
  for (const Fault f : kAllFaults) {
    if (fault_name(f) == name) {
      fault = f;
      return true;
    }
  }
  return false;
}

namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

void nonblocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A socket bound to 127.0.0.1:`port` (0: any), listening or not.
int bound(uint16_t port, bool listening) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in a = loopback(port);
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
      (listening && ::listen(fd, 16) != 0)) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

struct Chunk {
  std::vector<uint8_t> bytes;
  Clock::time_point due;
};

// One way through a connection.
struct Way {
  int from = -1;
  int to = -1;
  bool toward_client = false;
  std::deque<Chunk> queue;
  bool from_ended = false;    // no more bytes will be read
  bool to_shut = false;       // FIN sent on `to`
  bool cut = false;           // half-closed here: the rest is dropped
  bool reset_at_cut = false;  // and reset rather than shut once what came before is out
  uint64_t read = 0;
  Clock::time_point last_due{};
};

struct Connection {
  ConnectionReport report;
  uint64_t strike_at = 0;
  int client = -1;
  int server = -1;
  Way down;  // server to client
  Way up;    // client to server
  std::mt19937_64 random;
  Clock::time_point hold_until{};  // stall
  int drip_left = 0;
  bool dead = false;
};

}  // namespace

struct FaultRelay::State {
  uint16_t target = 0;
  uint64_t seed = 0;
  RelayTimes times;
  int listener = -1;
  int refuser = -1;
  std::array<int, 2> wake{-1, -1};
  std::list<Connection> connections;
  uint64_t accepted = 0;

  std::mutex mutex;
  std::condition_variable changed;
  Fault armed = Fault::none;
  uint64_t span = 64;
  bool arm_pending = false;
  bool stopping = false;
  ConnectionReport last;
  std::size_t open = 0;
};

FaultRelay::FaultRelay(uint16_t target_port, uint64_t seed, RelayTimes times) : state_(new State) {
  state_->target = target_port;
  state_->seed = seed;
  state_->times = times;
  state_->listener = bound(0, true);
  if (state_->listener < 0 || ::pipe2(state_->wake.data(), O_CLOEXEC | O_NONBLOCK) != 0) return;
  sockaddr_in a{};
  socklen_t size = sizeof a;
  ::getsockname(state_->listener, reinterpret_cast<sockaddr*>(&a), &size);
  port_ = ntohs(a.sin_port);
  nonblocking(state_->listener);
  thread_ = std::thread([this] { loop(); });
}

FaultRelay::~FaultRelay() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  if (state_->wake[1] >= 0) (void)!::write(state_->wake[1], "x", 1);
  if (thread_.joinable()) thread_.join();
  for (Connection& c : state_->connections) {
    if (c.client >= 0) ::close(c.client);
    if (c.server >= 0) ::close(c.server);
  }
  for (int fd : {state_->listener, state_->refuser, state_->wake[0], state_->wake[1]}) {
    if (fd >= 0) ::close(fd);
  }
  delete state_;
}

void FaultRelay::arm(Fault fault, uint64_t span) {
  std::unique_lock lock(state_->mutex);
  state_->armed = fault;
  state_->span = std::max<uint64_t>(span, 1);
  state_->arm_pending = true;
  (void)!::write(state_->wake[1], "x", 1);
  state_->changed.wait_for(lock, std::chrono::seconds(2), [&] { return !state_->arm_pending; });
}

bool FaultRelay::settle(ConnectionReport& last, std::chrono::milliseconds within) {
  std::unique_lock lock(state_->mutex);
  const bool quiet = state_->changed.wait_for(lock, within, [&] { return state_->open == 0; });
  last = state_->last;
  return quiet;
}

namespace {

// Queues `bytes` read on `way` of `c`, striking with the connection's fault
// where it falls.
void take(Connection& c, Way& way, const uint8_t* bytes, std::size_t n, const RelayTimes& times,
          Clock::time_point now) {
  const Fault fault = c.report.fault;
  const auto after = [&](Clock::time_point t) { return std::max(t, way.last_due); };
  if (way.cut || c.dead) return;
  if (fault == Fault::latency) {
    const auto delay = std::chrono::microseconds(
        c.random() % (static_cast<uint64_t>(times.max_latency.count()) * 1000 + 1));
    way.last_due = after(now + delay);
    way.queue.push_back({{bytes, bytes + n}, way.last_due});
    return;
  }
  if (fault == Fault::segments) {
    for (std::size_t i = 0; i < n; ++i) {
      way.last_due = after(now) + times.segment_gap;
      way.queue.push_back({{bytes[i]}, way.last_due});
    }
    return;
  }
  const auto held = [&] { return after(way.toward_client ? std::max(now, c.hold_until) : now); };
  Chunk plain{{}, held()};
  const auto flush_plain = [&] {
    if (plain.bytes.empty()) return;
    way.last_due = plain.due;
    way.queue.push_back(std::move(plain));
    plain = Chunk{{}, held()};
  };
  for (std::size_t i = 0; i < n; ++i) {
    const uint64_t at = way.read++;
    uint8_t b = bytes[i];
    if (way.toward_client && c.drip_left > 0) {
      flush_plain();
      --c.drip_left;
      way.last_due = after(now) + std::chrono::seconds(1);
      way.queue.push_back({{b}, way.last_due});
      continue;
    }
    const bool strikes = fault != Fault::none && fault != Fault::refuse;
    if (!strikes || !way.toward_client || c.report.struck || at != c.strike_at) {
      plain.bytes.push_back(b);
      continue;
    }
    c.report.struck = true;
    switch (fault) {
      case Fault::corrupt:
        plain.bytes.push_back(static_cast<uint8_t>(b ^ (1 + c.random() % 255)));
        break;
      case Fault::drop:
        break;
      case Fault::duplicate:
        plain.bytes.push_back(b);
        plain.bytes.push_back(b);
        break;
      case Fault::stall:
        flush_plain();
        c.hold_until = now + times.stall;
        plain.due = after(c.hold_until);
        plain.bytes.push_back(b);
        break;
      case Fault::half_close:
      case Fault::reset:
        // What came before still goes out, then the cut.
        flush_plain();
        way.cut = true;
        way.reset_at_cut = fault == Fault::reset;
        return;
      case Fault::drip:
        flush_plain();
        c.drip_left = times.drip_bytes - 1;
        way.last_due = after(now) + std::chrono::seconds(1);
        way.queue.push_back({{b}, way.last_due});
        break;
      default:
        plain.bytes.push_back(b);
        break;
    }
  }
  flush_plain();
}

enum class Sent : uint8_t { going, gone, reset };

// Writes what is due.
Sent send_due(Way& way, Clock::time_point now) {
  while (!way.queue.empty() && way.queue.front().due <= now) {
    Chunk& chunk = way.queue.front();
    const ssize_t n = ::send(way.to, chunk.bytes.data(), chunk.bytes.size(), MSG_NOSIGNAL);
    if (n < 0)
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Sent::going : Sent::gone;
    chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + n);
    if (!chunk.bytes.empty()) return Sent::going;  // the rest when it can
    way.queue.pop_front();
  }
  if (way.queue.empty() && way.cut && way.reset_at_cut) return Sent::reset;
  if (way.queue.empty() && (way.from_ended || way.cut) && !way.to_shut) {
    ::shutdown(way.to, SHUT_WR);
    way.to_shut = true;
  }
  return Sent::going;
}

}  // namespace

void FaultRelay::loop() {
  State& s = *state_;
  std::array<uint8_t, 4096> buffer{};
  for (;;) {
    const Clock::time_point now = Clock::now();
    {
      std::lock_guard lock(s.mutex);
      if (s.stopping) return;
      if (s.arm_pending) {
        const bool refusing = s.refuser >= 0;
        if (s.armed == Fault::refuse && !refusing) {
          ::close(s.listener);
          s.listener = -1;
          s.refuser = bound(port_, false);
        } else if (s.armed != Fault::refuse && refusing) {
          ::close(s.refuser);
          s.refuser = -1;
          s.listener = bound(port_, true);
          if (s.listener >= 0) nonblocking(s.listener);
        }
        s.arm_pending = false;
        s.changed.notify_all();
      }
    }
    // Connections that ended: report and forget them.
    for (auto it = s.connections.begin(); it != s.connections.end();) {
      if (!it->dead) {
        ++it;
        continue;
      }
      if (it->client >= 0) ::close(it->client);
      if (it->server >= 0) {
        // Closed toward the server gracefully, also after a reset toward
        // the client, and only once the server has closed its end: a serial
        // port server takes the next client only after it let go of this
        // one ("Port already in use" otherwise).
        const int fd = it->server;
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        const linger graceful{0, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &graceful, sizeof graceful);
        const timeval second{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
        if (::shutdown(fd, SHUT_WR) == 0) {
          while (::recv(fd, buffer.data(), buffer.size(), 0) > 0) {
          }
        }
        ::close(fd);
      }
      {
        std::lock_guard lock(s.mutex);
        s.last = it->report;
        --s.open;
        s.changed.notify_all();
      }
      it = s.connections.erase(it);
    }

    std::vector<pollfd> fds{{s.wake[0], POLLIN, 0}};
    if (s.listener >= 0) fds.push_back({s.listener, POLLIN, 0});
    std::vector<std::pair<Connection*, int>> owners;  // per fd after the first two
    Clock::time_point next = now + std::chrono::seconds(1);
    for (Connection& c : s.connections) {
      for (Way* way : {&c.down, &c.up}) {
        if (way->from < 0 || way->to < 0) continue;
        if (!way->queue.empty()) {
          if (way->queue.front().due <= now) {
            fds.push_back({way->to, POLLOUT, 0});
            owners.push_back({&c, 0});
          } else {
            next = std::min(next, way->queue.front().due);
          }
        }
      }
      if (!c.up.from_ended) {
        fds.push_back({c.client, POLLIN, 0});
        owners.push_back({&c, 1});
      }
      if (c.server >= 0 && !c.down.from_ended) {
        fds.push_back({c.server, POLLIN, 0});
        owners.push_back({&c, 2});
      }
    }
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(next - now);
    timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                     static_cast<long>(wait.count() % 1'000'000'000)};
    if (wait.count() < 0) timeout = {0, 0};
    if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) return;
    const Clock::time_point at = Clock::now();
    if (fds[0].revents != 0) {
      while (::read(s.wake[0], buffer.data(), buffer.size()) > 0) {
      }
    }
    const std::size_t base = s.listener >= 0 ? 2 : 1;
    for (std::size_t i = base; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Connection& c = *owners[i - base].first;
      if (c.dead) continue;
      const int what = owners[i - base].second;
      if (what == 0) continue;  // writes go below, for every way
      const bool from_client = what == 1;
      Way& way = from_client ? c.up : c.down;
      const int fd = from_client ? c.client : c.server;
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      // Acknowledged at once, as the library does: a server that batches
      // small segments would otherwise wait for a delayed acknowledgement
      // of ours, and the relay is not to slow anything down.
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
      if (n > 0) {
        if (from_client) c.report.to_server += static_cast<uint64_t>(n);
        if (!from_client) c.report.to_client += static_cast<uint64_t>(n);
        if (c.server < 0) continue;  // blackhole: swallowed
        take(c, way, buffer.data(), static_cast<std::size_t>(n), s.times, at);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        way.from_ended = true;
        // The client gone: nobody to deliver to any more.
        if (from_client || n < 0) c.dead = true;
      }
    }
    for (Connection& c : s.connections) {
      if (c.dead || c.server < 0) continue;
      const Sent down = send_due(c.down, at);
      const Sent up = send_due(c.up, at);
      if (down == Sent::reset) {
        const linger hard{1, 0};
        ::setsockopt(c.client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      }
      if (down != Sent::going || up != Sent::going) c.dead = true;
    }
    if (s.listener >= 0 && fds.size() > 1 && (fds[1].revents & POLLIN)) {
      const int client = ::accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        nonblocking(client);
        Connection& c = s.connections.emplace_back();
        c.client = client;
        c.report.number = ++s.accepted;
        {
          std::lock_guard lock(s.mutex);
          c.report.fault = s.armed;
          c.strike_at = 0;
          c.random.seed(s.seed * 1000003u + c.report.number);
          c.strike_at = c.random() % s.span;
          ++s.open;
        }
        c.up.from = c.down.to = client;
        c.down.toward_client = true;
        if (c.report.fault == Fault::blackhole) {
          c.report.struck = true;
        } else {
          const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          const sockaddr_in a = loopback(s.target);
          if (server < 0 ||
              ::connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            if (server >= 0) ::close(server);
            c.dead = true;
          } else {
            nonblocking(server);
            c.server = server;
            c.up.to = c.down.from = server;
          }
        }
      }
    }
  }
}

}  // namespace vorkand::faults
