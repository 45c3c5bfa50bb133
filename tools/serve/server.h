// One served reader: a listening socket, and the one client at a time whose
// frames go to the reader, opened with the library's own channel open when the
// client comes and closed when it leaves.
//
//   client ── TCP (or TLS) ── FrameReader ── link::Channel (any kind of port) ── reader
//
// Every frame is read whole, handed to the channel's transport, and its reply
// written back byte for byte; a reply that did not come whole is passed on as
// far as it came. A reader that hangs up or refuses a frame ends the
// connection, so the client fails at once as a host on a dead local port
// would. While a client is served, a second one is refused: its connection
// is closed at once, before any handshake, but only while the client has no
// input waiting, so that a client's close is taken before a newcomer and a
// host that opens again right after closing is served.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "settings.h"
#include "tls_server.h"

namespace vorkand::link {
class Channel;
}

namespace vorkand::serve {

struct ServeOptions {
  // A client that vanished without closing (killed machine, pulled cable) is
  // noticed within about this many seconds: TCP keepalive and a bound on
  // unacknowledged data.
  int keepalive_s = 20;
};

class ServedReader {
 public:
  ServedReader(ReaderSettings settings, ListenAddress address, std::unique_ptr<TlsServer> tls,
               ServeOptions options);
  ~ServedReader();
  ServedReader(const ServedReader&) = delete;
  ServedReader& operator=(const ServedReader&) = delete;

  // Binds and listens. False with the reason in `why`.
  bool listen(std::string& why);
  // "listening on 127.0.0.1:4001 (plain TCP, loopback only), serving /dev/ttyUSB0"
  std::string listening() const;
  // Serves one client after another until `wake` becomes readable.
  void run(int wake);
  // Ends an exchange in progress at once (from another thread, when stopping).
  void cancel() noexcept;

 private:
  struct Client;
  bool open_listener(std::string& why);
  void close_listener() noexcept;
  void refuse_busy(const std::string& served_peer) noexcept;
  void serve(Client& client, int wake);
  std::string tag() const { return "[" + settings_.name + "] "; }

  ReaderSettings settings_;
  ListenAddress address_;
  std::unique_ptr<TlsServer> tls_;
  ServeOptions options_;
  int listener_ = -1;
  std::mutex mutex_;
  link::Channel* active_ = nullptr;  // guarded by mutex_: the channel in use
};

}  // namespace vorkand::serve
