// vorkand-serve: serves readers that the library opens (serial devices, PC/SC
// readers, network ports, simulators) to hosts on other machines, each over
// TCP on loopback or TLS with client certificates anywhere else.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "server.h"
#include "settings.h"
#include "tls_server.h"
#include "vorkand.h"

namespace {

using namespace vorkand::serve;

#define VORKAND_STRING_(x) #x
#define VORKAND_STRING(x) VORKAND_STRING_(x)
constexpr const char* kVersion = VORKAND_STRING(VORKAND_VERSION_MAJOR) "." VORKAND_STRING(
    VORKAND_VERSION_MINOR) "." VORKAND_STRING(VORKAND_VERSION_PATCH);

int usage_error(const std::string& text) {
  log_line(text);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "vorkand-serve: serve smart-card readers to hosts on other machines, over TLS with client "
      "certificates (plain TCP on loopback only)"};
  app.set_version_flag("--version", std::string("vorkand-serve ") + kVersion);
  ReaderSettings single;
  single.name = "reader";
  std::vector<std::string> allow;
  std::string config;
  std::string trace;
  ServeOptions options;
  app.name("vorkand-serve");
  app.add_option("--listen", single.listen, "the address to listen on ([ADDRESS]:PORT for IPv6)")
      ->type_name("HOST:PORT");
  app.add_option("--reader", single.reader,
                 "the reader to serve, as a VORKAND_COMn mapping: a device, pcsc:NAME, tcp://, "
                 "tls://, ...")
      ->type_name("MAPPING");
  app.add_option("--cert", single.cert, "the server's certificate chain (PEM)")->type_name("FILE");
  app.add_option("--key", single.key, "its unencrypted key (PEM, mode 600)")->type_name("FILE");
  app.add_option("--client-ca", single.client_ca,
                 "the CA certificates that client certificates must verify against")
      ->type_name("FILE");
  app.add_option("--allow", allow,
                 "serve only the client certificate of this SHA-256 fingerprint (repeatable)")
      ->type_name("SHA256");
  app.add_option("--config", config, "serve the readers of this file, one [section] each")
      ->type_name("FILE");
  app.add_option("--trace", trace, "append every frame to FILE, PINs masked (- for standard error)")
      ->type_name("FILE");
  app.add_option("--keepalive", options.keepalive_s,
                 "a client that vanished frees its reader within about this many seconds "
                 "(4 to 7200, default 20)")
      ->type_name("SECONDS");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    return usage_error(error.what());
  }

  if (options.keepalive_s < 4 || options.keepalive_s > 7200)
    return usage_error("--keepalive " + std::to_string(options.keepalive_s) +
                       ": 4 to 7200 seconds");
  std::vector<ReaderSettings> readers;
  if (!config.empty()) {
    if (!single.listen.empty() || !single.reader.empty() || !single.cert.empty() ||
        !single.key.empty() || !single.client_ca.empty() || !allow.empty())
      return usage_error("--config FILE names every reader's settings: give it alone");
    std::ifstream in(config);
    if (!in) return usage_error("--config " + config + ": cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    ConfigResult parsed = parse_config(text.str(), config);
    if (!parsed.error.empty()) return usage_error(parsed.error);
    readers = std::move(parsed.readers);
  } else {
    if (single.listen.empty() || single.reader.empty())
      return usage_error(
          "give --listen HOST:PORT and --reader MAPPING, or --config FILE (see --help)");
    for (const std::string& text : allow) {
      const auto fingerprint = parse_fingerprint(text);
      if (!fingerprint)
        return usage_error("--allow " + text +
                           ": not a SHA-256 fingerprint (32 hex pairs, as openssl x509 "
                           "-fingerprint -sha256 prints them)");
      single.allow.push_back(*fingerprint);
    }
    readers.push_back(std::move(single));
  }

  // Everything is checked, and every file read, before anything listens.
  std::vector<std::unique_ptr<ServedReader>> served;
  for (ReaderSettings& settings : readers) {
    ListenAddress address;
    if (auto why = resolve_listen(settings.listen, address))
      return usage_error("[" + settings.name + "] " + *why);
    if (auto why = check_settings(settings, address)) return usage_error(*why);
    std::unique_ptr<TlsServer> tls;
    if (!settings.cert.empty()) {
      std::string why;
      tls = TlsServer::create(settings, why);
      if (tls == nullptr) return usage_error("[" + settings.name + "] " + why);
    }
    served.push_back(std::make_unique<ServedReader>(std::move(settings), std::move(address),
                                                    std::move(tls), options));
  }
  if (!trace.empty()) ::setenv("VORKAND_TRACE", trace.c_str(), 1);

  // Every thread blocks the stop signals; the main thread waits for them.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  for (auto& reader_ : served) {
    std::string why;
    if (!reader_->listen(why)) {
      log_line(why);
      return 1;
    }
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) return 1;
  std::vector<std::thread> threads;
  for (auto& reader_ : served) {
    log_line(reader_->listening());
    threads.emplace_back([&reader_, &wake] { reader_->run(wake[0]); });
  }
  int signal_number = 0;
  sigwait(&stop, &signal_number);
  log_line(std::string("stopping on ") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM"));
  [[maybe_unused]] const ssize_t woken = ::write(wake[1], "x", 1);
  for (auto& reader_ : served) reader_->cancel();
  for (std::thread& thread : threads) thread.join();
  return 0;
}
