#include "server.h"

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
#include <cstdio>
#include <cstring>

#include "frame_reader.h"
#include "link/channel.h"
#include "link/channel_opener.h"
#include "link/exchange.h"
#include "link/trace/trace.h"
#include "log.h"

namespace vorkand::serve {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How long a client may take over its TLS handshake; the library's open
// gives up after 4.5 s anyway.
constexpr int kHandshakeMs = 4500;
// How long the rest of a frame may take once its first byte came, and a
// reply's write may wait for room.
constexpr int kFrameMs = static_cast<int>(link::kSilenceLimitMs);

std::string peer_text(const sockaddr_storage& address) {
  std::array<char, INET6_ADDRSTRLEN> name{};
  std::array<char, INET6_ADDRSTRLEN + 16> text{};
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, name.data(), name.size());
    std::snprintf(text.data(), text.size(), "[%s]:%u", name.data(), unsigned{ntohs(v6.sin6_port)});
  } else {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &v4.sin_addr, name.data(), name.size());
    std::snprintf(text.data(), text.size(), "%s:%u", name.data(), unsigned{ntohs(v4.sin_port)});
  }
  return text.data();
}

// The keepalive that frees the reader of a client that vanished: idle and
// interval a quarter of the bound each, three probes; unacknowledged data
// gives up within the bound too.
void tune(int fd, int keepalive_s) {
  const int on = 1;
  const int quarter = std::max(1, keepalive_s / 4);
  const int probes = 3;
  const unsigned user_timeout_ms = static_cast<unsigned>(keepalive_s) * 1000u;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &quarter, sizeof quarter);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &quarter, sizeof quarter);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
}

std::string seconds_text(SteadyClock::duration duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(duration).count());
  return text;
}

// Sees each exchange for the frame trace (when the channel has one) and keeps
// what came back, so that a reply that did not come whole can be passed on as
// far as it came, and the server knows why it ended.
class ReplyWatch final : public link::ExchangeObserver {
 public:
  explicit ReplyWatch(link::ExchangeObserver* trace) noexcept : trace_(trace) {}
  void sent(std::span<const uint8_t> frame) noexcept override {
    count_ = 0;
    ending_ = std::nullopt;
    if (trace_ != nullptr) trace_->sent(frame);
  }
  void received(std::span<const uint8_t> bytes) noexcept override {
    const std::size_t take = std::min(bytes.size(), gathered_.size() - count_);
    std::copy_n(bytes.begin(), take, gathered_.begin() + static_cast<std::ptrdiff_t>(count_));
    count_ += take;
    if (trace_ != nullptr) trace_->received(bytes);
  }
  void ended(link::Ending why) noexcept override {
    ending_ = why;
    if (trace_ != nullptr) trace_->ended(why);
  }
  std::span<const uint8_t> gathered() const noexcept { return std::span(gathered_).first(count_); }
  std::optional<link::Ending> ending() const noexcept { return ending_; }

 private:
  link::ExchangeObserver* trace_;
  std::array<uint8_t, link::kMaxReply> gathered_{};
  std::size_t count_ = 0;
  std::optional<link::Ending> ending_;
};

const char* ending_text(link::Ending ending) {
  switch (ending) {
    case link::Ending::silence:
      return "silence";
    case link::Ending::hang_up:
      return "the reader hung up or failed";
    case link::Ending::overlong:
      return "overlong reply";
    case link::Ending::write_refused:
      return "the reader refused the frame";
  }
  return "?";
}

}  // namespace

// A connected client: its socket, its TLS session (nullptr over plain TCP),
// and who it is.
struct ServedReader::Client {
  int fd = -1;
  SSL* tls = nullptr;
  std::string peer;
  ClientIdentity identity;
  std::string why;  // why the connection ended

  // Reads into `into`: the count, 0 when nothing is there yet, -1 when the
  // connection ended (why says how).
  int read(std::span<uint8_t> into) {
    if (tls != nullptr) return TlsServer::read(tls, into, why);
    const ssize_t got = ::recv(fd, into.data(), into.size(), 0);
    if (got > 0) return static_cast<int>(got);
    if (got == 0) {
      why = "client left";
      return -1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    why = errno == ETIMEDOUT ? "client vanished: no answer to keepalive"
                             : std::string("connection lost: ") + std::strerror(errno);
    return -1;
  }

  // Writes all of `bytes`, waiting for room at most kFrameMs at a time.
  bool write(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      bool want_read = false;
      int put = 0;
      if (tls != nullptr) {
        put = TlsServer::write(tls, bytes, want_read, why);
      } else {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
          put = static_cast<int>(sent);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          why = std::string("connection lost: ") + std::strerror(errno);
          put = -1;
        }
      }
      if (put < 0) return false;
      bytes = bytes.subspan(static_cast<std::size_t>(put));
      if (put > 0 || bytes.empty()) continue;
      pollfd ready{fd, static_cast<short>(want_read ? POLLIN : POLLOUT), 0};
      if (::poll(&ready, 1, kFrameMs) == 0) {
        why = "the client takes no reply";
        return false;
      }
    }
    return true;
  }
};

ServedReader::ServedReader(ReaderSettings settings, ListenAddress address,
                           std::unique_ptr<TlsServer> tls, ServeOptions options)
    : settings_(std::move(settings)),
      address_(std::move(address)),
      tls_(std::move(tls)),
      options_(options) {}

ServedReader::~ServedReader() {
  close_listener();
}

bool ServedReader::open_listener(std::string& why) {
  const int fd =
      ::socket(address_.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    why = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (address_.address.ss_family == AF_INET6)
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address_.address), address_.size) != 0 ||
      ::listen(fd, 8) != 0) {
    why = "listen " + address_.text + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  // With port 0 the system chose one: keep it for reopening and the log.
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) == 0) {
    const uint16_t port = bound.ss_family == AF_INET6
                              ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                              : reinterpret_cast<sockaddr_in&>(bound).sin_port;
    if (address_.address.ss_family == AF_INET6)
      reinterpret_cast<sockaddr_in6&>(address_.address).sin6_port = port;
    else
      reinterpret_cast<sockaddr_in&>(address_.address).sin_port = port;
    address_.text = peer_text(address_.address);
  }
  listener_ = fd;
  return true;
}

void ServedReader::close_listener() noexcept {
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

bool ServedReader::listen(std::string& why) {
  return open_listener(why);
}

std::string ServedReader::listening() const {
  std::string text = tag() + "listening on " + address_.text;
  if (tls_ != nullptr) {
    text += " (TLS 1.2 or newer, client certificates verified against " + settings_.client_ca;
    if (tls_->allowed() > 0) text += ", " + std::to_string(tls_->allowed()) + " of them allowed";
    text += ")";
  } else {
    text += " (plain TCP, loopback only)";
  }
  return text + ", serving " + settings_.reader;
}

void ServedReader::cancel() noexcept {
  const std::lock_guard lock(mutex_);
  if (active_ != nullptr) active_->cancel(true);
}

void ServedReader::refuse_busy(const std::string& served_peer) noexcept {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC);
  if (fd < 0) return;
  // Closed before the handshake, with anything it sent unread: a reset.
  ::close(fd);
  log_line(tag() + peer_text(address) + " refused: the reader is in use by " + served_peer);
}

void ServedReader::run(int wake) {
  while (true) {
    if (listener_ < 0) {
      // Without a listener (it could not be opened), try again each second.
      std::string why;
      if (!open_listener(why)) {
        log_line(tag() + why + "; trying again in 1 s");
        pollfd stop{wake, POLLIN, 0};
        if (::poll(&stop, 1, 1000) > 0) return;
        continue;
      }
    }
    std::array<pollfd, 2> fds{{{listener_, POLLIN, 0}, {wake, POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      log_line(tag() + "poll: " + std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    Client client;
    client.fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&address), &size,
                          SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client.fd < 0) continue;
    client.peer = peer_text(address);
    tune(client.fd, options_.keepalive_s);
    if (tls_ != nullptr) {
      std::string why;
      client.tls = tls_->accept(client.fd, wake, kHandshakeMs, client.identity, why);
      if (client.tls == nullptr) {
        std::string who;
        if (!client.identity.fingerprint.empty())
          who = " (client " + client.identity.subject + ", SHA-256 " + client.identity.fingerprint +
                ")";
        log_line(tag() + client.peer + " refused: " + why + who);
        ::close(client.fd);
        continue;
      }
    }
    serve(client, wake);
    TlsServer::close(client.tls);
    ::close(client.fd);
  }
}

void ServedReader::serve(Client& client, int wake) {
  const auto start = SteadyClock::now();
  std::string who = client.peer;
  if (client.tls != nullptr)
    who += " (" + TlsServer::describe(client.tls) + ", client " + client.identity.subject +
           ", SHA-256 " + client.identity.fingerprint + ")";

  link::OpenFailure failure;
  std::unique_ptr<link::Channel> channel(link::open_mapped(settings_.reader.c_str(), failure));
  if (channel == nullptr) {
    log_line(tag() + who + " closed: the reader " + settings_.reader +
             " cannot be opened: " + (failure.empty() ? "unknown reason" : failure.text()));
    return;
  }
  // The frame trace (VORKAND_TRACE, or --trace) names the port by the section.
  std::array<char, 8> port{};
  std::snprintf(port.data(), port.size(), "%s", settings_.name.c_str());
  channel->start_trace(port.data());
  ReplyWatch watch(channel->trace());
  channel->transport().observe(&watch);
  {
    const std::lock_guard lock(mutex_);
    active_ = channel.get();
  }
  log_line(tag() + who + " connected; reader " + settings_.reader + " opened");

  FrameReader frames;
  std::array<uint8_t, link::kMaxReply> reply{};
  uint64_t count = 0;
  auto frame_began = start;
  for (;;) {
    if (client.tls == nullptr || !TlsServer::pending(client.tls)) {
      // The listener stays open, to refuse whoever else comes.
      std::array<pollfd, 3> fds{
          {{client.fd, POLLIN, 0}, {wake, POLLIN, 0}, {listener_, POLLIN, 0}}};
      int timeout = -1;
      if (frames.partial()) {
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - frame_began);
        timeout = std::max<int>(0, kFrameMs - static_cast<int>(spent.count()));
      }
      const int ready = ::poll(fds.data(), fds.size(), timeout);
      if (ready < 0 && errno != EINTR) {
        client.why = std::string("poll: ") + std::strerror(errno);
        break;
      }
      if (fds[1].revents != 0) {
        client.why = "the server is stopping";
        break;
      }
      // A newcomer waits while the client has input: that may be its close,
      // and a host that opens again right after closing is then served.
      if (fds[2].revents != 0 && fds[0].revents == 0) refuse_busy(client.peer);
      if (ready == 0) {
        client.why = "the client sent part of a frame and then nothing for 5 s";
        break;
      }
      if (fds[0].revents == 0) continue;
    }
    const bool fresh = !frames.partial();
    const int got = client.read(frames.space());
    if (got < 0) break;
    if (got == 0) continue;
    if (fresh) frame_began = SteadyClock::now();
    const FrameReader::State state = frames.took(static_cast<std::size_t>(got));
    if (state == FrameReader::State::overlong) {
      client.why = "a frame announcing " + std::to_string(frames.announced_length()) +
                   " bytes (more than " + std::to_string(FrameReader::kMaxBody) + ") was refused";
      break;
    }
    if (state != FrameReader::State::frame) continue;
    ++count;
    const int32_t replied = channel->transport().exchange(frames.frame(), reply);
    const std::span<const uint8_t> answer =
        replied > 0 ? std::span<const uint8_t>(reply).first(static_cast<std::size_t>(replied))
                    : watch.gathered();
    if (!answer.empty() && !client.write(answer)) break;
    const auto ending = watch.ending();
    if (replied == 0 && ending &&
        (*ending == link::Ending::hang_up || *ending == link::Ending::write_refused)) {
      client.why = std::string("the reader failed: ") + ending_text(*ending);
      break;
    }
  }
  {
    const std::lock_guard lock(mutex_);
    active_ = nullptr;
  }
  channel->transport().observe(channel->trace());
  const bool closed = channel->close();
  log_line(tag() + client.peer + " closed: " + client.why + "; " + std::to_string(count) +
           (count == 1 ? " frame in " : " frames in ") + seconds_text(SteadyClock::now() - start) +
           "; reader " + settings_.reader + (closed ? " closed" : " closed with an error"));
}

}  // namespace vorkand::serve
