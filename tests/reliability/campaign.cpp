// The fault campaign: the library's promises on a network that misbehaves.
// Four lanes run at once, one per kind of network port, each on a simulated
// reader behind ser2net (or, with --serve, behind vorkand-serve):
//   COM1 tcp://   COM2 rfc2217://   COM3 tls://   COM4 rfc2217s://
// and a fault-injecting relay (fault_relay.h) between the library and the
// server. Each lane goes through the faults in turn, each for --cell
// seconds (at least --min-sessions sessions): a session under the fault
// (open, reader reset, power-up, SELECT, SELECT, READ BINARY, VERIFY, GET
// CHALLENGE, READ BINARY of a PIN-protected file, close; it stops at the
// first FFFF as a host would), then a session through the relay with no
// fault. It passes when:
//   - CT_open returns within 4.5 s and every other call within the silence
//     limit per frame it may wait on (reader reset 2, power-up 3, a card
//     command 13), plus the drip's own seconds;
//   - every status word is the card's (as in the run without the relay),
//     9000, FFFF, 6200, 6201 or 6FF0; another one only where the relay
//     changed the reply's bytes (corrupt, drop, duplicate: the library
//     cannot tell such a reply from the reader's own);
//   - a session whose bytes the relay passed intact gives exactly what the
//     same session gives without the relay (GET CHALLENGE: its status word);
//   - the session after each fault opens and its results are sound, and
//     equal the reference exactly (or, when the reader's answer to the
//     faulted session's last frame came late and met it, the session after
//     that does);
//   - descriptors, threads and RSS at the end are as after the first 1000
//     calls (the lanes' own threads aside, RSS within --rss-slack KiB).
// Prints a Markdown table, fault x port kind: sessions, calls, outcomes,
// the longest call, the sessions after the fault that worked. Exit status 0
// when everything held, 1 otherwise, 77 when ser2net or openssl is missing.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "fault_relay.h"
#include "rig.h"

namespace {

using namespace vorkand::rig;
using vorkand::faults::ConnectionReport;
using vorkand::faults::Fault;
using vorkand::faults::fault_name;
using vorkand::faults::FaultRelay;

struct Options {
  double cell_seconds = 100;
  int min_sessions = 20;
  uint64_t seed = 1;
  long rss_slack_kib = 4096;
  std::vector<Fault> faults{std::begin(vorkand::faults::kAllFaults),
                            std::end(vorkand::faults::kAllFaults)};
  std::string serve;  // vorkand-serve's path, instead of ser2net
};

constexpr auto kOpenBound = std::chrono::milliseconds(4500);
constexpr auto kSilence = std::chrono::milliseconds(5000);
// Measurement slack on a loaded machine: the time between the library's
// return and ours, scheduling.
constexpr auto kSlack = std::chrono::milliseconds(300);

struct Step {
  const char* name;
  int frames;  // the most frames the call may wait on
  Bytes apdu;  // empty: CT_reset / ICC_reset by name
  bool data_varies = false;
};

const std::vector<Step>& steps() {
  static const std::vector<Step> all{
      {"CT_reset", 2, {}},
      {"ICC_reset", 3, {}},
      {"SELECT 5000", 13, hex("00 A4 00 00 02 50 00")},
      {"SELECT 5001", 13, hex("00 A4 00 00 02 50 01")},
      {"READ BINARY", 13, hex("00 B0 00 00 00")},
      {"VERIFY", 13, hex("00 20 00 00 04 31 32 33 34")},
      {"GET CHALLENGE", 13, hex("00 84 00 00 08"), true},
      {"SELECT 5002", 13, hex("00 A4 00 00 02 50 02")},
      {"READ BINARY 5002", 13, hex("00 B0 00 00 00")},
  };
  return all;
}

// What one session gave: the open, then each step's result (data dropped
// where it varies).
struct Session {
  bool opened = false;
  std::vector<std::string> results;
  std::vector<uint16_t> sws;
  int calls = 0;
  Clock::duration longest{};
  std::string longest_call;
  std::string broken;  // a broken promise, if any
};

struct Cell {
  long sessions = 0, calls = 0;
  long intact = 0, equal = 0;
  long open_refused = 0;
  std::map<std::string, long> outcomes;  // the first result other than the reference's
  Clock::duration longest{};
  std::string longest_call;
  long after_ok = 0, after_total = 0;
  long after_late_reply = 0;  // the first session after it met a reply of the faulted one
  std::vector<std::string> broken;
};

// Pauses the lanes between sessions while the main thread samples.
class Quiet {
 public:
  explicit Quiet(int lanes) : lanes_(lanes) {}
  void between() {
    std::unique_lock lock(mutex_);
    if (!pause_) return;
    ++idle_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !pause_; });
    --idle_;
  }
  void leave() {
    std::lock_guard lock(mutex_);
    --lanes_;
    changed_.notify_all();
  }
  Resources sample() {
    std::unique_lock lock(mutex_);
    pause_ = true;
    changed_.wait(lock, [&] { return idle_ == lanes_; });
    const Resources r = resources();
    pause_ = false;
    changed_.notify_all();
    return r;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int lanes_;
  int idle_ = 0;
  bool pause_ = false;
};

std::atomic<long> total_calls{0};

// Faults after which the bytes the library reads are not the reader's: any
// status word may then come out of them.
bool alters_bytes(Fault fault) {
  return fault == Fault::corrupt || fault == Fault::drop || fault == Fault::duplicate;
}

Session run_session(const char* port, Fault fault, std::chrono::milliseconds drip,
                    const std::vector<std::string>* reference) {
  Session s;
  const auto start = Clock::now();
  const int32_t h = CT_open(port);
  const auto took = Clock::now() - start;
  ++s.calls;
  ++total_calls;
  s.longest = took;
  s.longest_call = "CT_open";
  if (took > kOpenBound + kSlack) s.broken = "CT_open took " + std::to_string(took / 1ms) + " ms";
  if (h == 0) return s;
  s.opened = true;
  for (std::size_t i = 0; i < steps().size(); ++i) {
    const Step& step = steps()[i];
    Timed t;
    if (step.apdu.empty()) {
      t = std::string_view(step.name) == "CT_reset" ? reset_reader(h) : power_up(h);
    } else {
      t = apdu(h, step.apdu);
    }
    ++s.calls;
    ++total_calls;
    if (t.took > s.longest) {
      s.longest = t.took;
      s.longest_call = step.name;
    }
    const auto bound = step.frames * kSilence + drip + kSlack;
    if (t.took > bound && s.broken.empty())
      s.broken = std::string(step.name) + " took " + std::to_string(t.took / 1ms) + " ms";
    const std::string text = step.data_varies ? t.text.substr(0, 4) : t.text;
    if (reference != nullptr && !promised_library_sw(t.sw) && s.broken.empty() &&
        text.substr(0, 4) != (*reference)[i].substr(0, 4) && !alters_bytes(fault)) {
      s.broken = std::string(step.name) + " gave " + t.text;
    }
    s.results.push_back(text);
    s.sws.push_back(t.sw);
    if (t.sw == 0xFFFF) break;  // a dead line: a host closes
  }
  if (CT_close(h) != 0 && s.broken.empty()) s.broken = "CT_close did not return 0";
  return s;
}

struct Lane {
  Lane(std::string k, const char* p) : kind(std::move(k)), port(p) {}
  std::string kind;
  const char* port;
  std::unique_ptr<vorkand::sim::PtySimulator> sim;
  uint16_t server_port = 0;
  std::unique_ptr<FaultRelay> relay;
  std::vector<std::string> reference;  // without the relay
  uint64_t span = 64;                  // bytes to the client in a session
  std::map<Fault, Cell> cells;
};

std::string mapping(const Lane& lane, uint16_t port) {
  return lane.kind + "://127.0.0.1:" + std::to_string(port);
}

void run_lane(Lane& lane, const Options& options, Quiet& quiet) {
  const vorkand::faults::RelayTimes times;
  for (const Fault fault : options.faults) {
    Cell& cell = lane.cells[fault];
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(options.cell_seconds));
    while (Clock::now() < end || cell.sessions < options.min_sessions) {
      quiet.between();
      lane.relay->arm(fault, lane.span);
      const auto drip = fault == Fault::drip ? std::chrono::milliseconds(1000 * times.drip_bytes)
                                             : std::chrono::milliseconds(0);
      const Session s = run_session(lane.port, fault, drip, &lane.reference);
      ConnectionReport report;
      lane.relay->settle(report, 3s);
      ++cell.sessions;
      cell.calls += s.calls;
      if (s.longest > cell.longest) {
        cell.longest = s.longest;
        cell.longest_call = s.longest_call;
      }
      if (!s.broken.empty() && cell.broken.size() < 5) cell.broken.push_back(s.broken);
      const bool intact = s.opened && fault != Fault::refuse && !report.struck;
      const bool equal = s.opened && s.results == lane.reference;
      if (intact) ++cell.intact;
      if (equal) ++cell.equal;
      if (intact && !equal && cell.broken.size() < 5) {
        std::string got;
        for (const std::string& r : s.results) got += r + "; ";
        cell.broken.push_back("intact but different: " + got);
      }
      if (!s.opened) {
        ++cell.open_refused;
      } else if (!equal) {
        std::string outcome = "other";
        for (std::size_t i = 0; i < s.results.size(); ++i) {
          if (s.results[i] == lane.reference[i]) continue;
          const uint16_t sw = s.sws[i];
          outcome = sw == 0xFFFF                                                  ? "FFFF"
                    : sw == 0x6201                                                ? "6201"
                    : sw == 0x6200                                                ? "6200"
                    : sw == 0x6FF0                                                ? "6FF0"
                    : s.results[i].substr(0, 4) == lane.reference[i].substr(0, 4) ? "data altered"
                                                                                  : "SW altered";
          break;
        }
        ++cell.outcomes[outcome];
      }
      // The next open, with the relay passing everything, works, and its
      // results are sound. CT_open drops what comes before the connection
      // has been quiet a while, but a reader still busy with the faulted
      // session's last frame may answer later than that and meet the first
      // frame of that session ("late reply"); the session after it must then
      // give exactly the reference.
      if (fault != Fault::none) {
        lane.relay->arm(Fault::none, lane.span);
        const Session after = run_session(lane.port, Fault::none, {}, &lane.reference);
        lane.relay->settle(report, 3s);
        cell.calls += after.calls;
        ++cell.after_total;
        bool ok = after.opened && after.broken.empty();
        if (ok && after.results != lane.reference) {
          ++cell.after_late_reply;
          const Session again = run_session(lane.port, Fault::none, {}, &lane.reference);
          lane.relay->settle(report, 3s);
          cell.calls += again.calls;
          ok = again.opened && again.results == lane.reference;
        }
        if (ok) {
          ++cell.after_ok;
        } else if (cell.broken.size() < 5) {
          std::string got = after.opened ? after.broken + "; " : "no open; ";
          for (const std::string& r : after.results) got += r + "; ";
          cell.broken.push_back("session after the fault: " + got);
        }
      }
    }
  }
  quiet.leave();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    const std::string value = argv[i + 1];
    if (flag == "--cell") options.cell_seconds = std::atof(value.c_str());
    if (flag == "--min-sessions") options.min_sessions = std::atoi(value.c_str());
    if (flag == "--seed") options.seed = std::strtoull(value.c_str(), nullptr, 10);
    if (flag == "--rss-slack") options.rss_slack_kib = std::atol(value.c_str());
    if (flag == "--serve") options.serve = value;
    if (flag == "--faults") {
      options.faults.clear();
      std::string_view list = value;
      while (!list.empty()) {
        const std::size_t comma = list.find(',');
        Fault f;
        if (!vorkand::faults::parse_fault_name(list.substr(0, comma), f)) {
          std::fprintf(stderr, "no such fault: %.*s\n",
                       static_cast<int>(list.substr(0, comma).size()),
                       list.substr(0, comma).data());
          return 2;
        }
        options.faults.push_back(f);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
      }
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  Scratch scratch("campaign");
  Pki pki;
  if (!scratch.ok() || !pki.ok() || (options.serve.empty() && ser2net_program() == nullptr)) {
    std::printf("campaign: SKIPPED (needs ser2net and the openssl tool)\n");
    return 77;
  }
  std::vector<Lane> lanes;
  std::vector<uint16_t> server_ports;
  std::unique_ptr<Ser2net> ser2net;
  std::vector<std::unique_ptr<ServeProcess>> served;
  if (options.serve.empty()) {
    for (const auto& [kind, port] : {std::pair{"tcp", "COM1"}, std::pair{"rfc2217", "COM2"},
                                     std::pair{"tls", "COM3"}, std::pair{"rfc2217s", "COM4"}})
      lanes.emplace_back(kind, port);
    std::vector<Ser2net::Accepter> accepters;
    for (Lane& lane : lanes) {
      lane.sim = vorkand::test::start_simulator();
      if (!lane.sim) return 1;
      const bool telnet = lane.kind.starts_with("rfc2217");
      const bool tls = lane.kind == "tls" || lane.kind == "rfc2217s";
      accepters.push_back(
          {std::string(telnet ? "telnet(rfc2217)," : "") + (tls ? pki.ssl() + "," : "") + "tcp",
           lane.sim->device_path()});
    }
    ser2net = std::make_unique<Ser2net>(scratch, accepters);
    if (!ser2net->started()) return 1;
    for (std::size_t i = 0; i < lanes.size(); ++i)
      server_ports.push_back(static_cast<uint16_t>(ser2net->port(i)));
  } else {
    // vorkand-serve speaks the reader's frames over tcp:// and tls:// (with
    // client certificates).
    lanes.emplace_back("tcp", "COM1");
    lanes.emplace_back("tls", "COM3");
    if (!pki.client()) return 1;
    ::setenv("VORKAND_TLS_CERT", pki.file("client.crt").c_str(), 1);
    ::setenv("VORKAND_TLS_KEY", pki.file("client.key").c_str(), 1);
    for (Lane& lane : lanes) {
      lane.sim = vorkand::test::start_simulator();
      if (!lane.sim) return 1;
      std::vector<std::string> args{"--reader", lane.sim->device_path()};
      if (lane.kind == "tls") {
        for (const char* a :
             {"--cert", "server.crt", "--key", "server.key", "--client-ca", "ca.crt"})
          args.push_back(a[0] == '-' ? std::string(a) : pki.file(a));
      }
      served.push_back(std::make_unique<ServeProcess>(options.serve, args));
      if (!served.back()->started()) return 1;
      server_ports.push_back(served.back()->port());
    }
  }
  ::setenv("VORKAND_TLS_CA", pki.file("ca.crt").c_str(), 1);

  // The reference: each session once without the relay, then once through
  // it with no fault, for the bytes a session sends to the client.
  for (std::size_t i = 0; i < lanes.size(); ++i) {
    Lane& lane = lanes[i];
    lane.server_port = server_ports[i];
    const std::string variable = std::string("VORKAND_") + lane.port;
    ::setenv(variable.c_str(), mapping(lane, lane.server_port).c_str(), 1);
    const Session reference = run_session(lane.port, Fault::none, {}, nullptr);
    lane.reference = reference.results;
    if (!reference.opened || reference.results.size() != steps().size() ||
        !reference.broken.empty()) {
      std::printf("campaign: %s: the session without the relay failed (%zu results) %s\n",
                  lane.kind.c_str(), reference.results.size(), reference.broken.c_str());
      return 1;
    }
    lane.relay = std::make_unique<FaultRelay>(lane.server_port, options.seed * 16 + i);
    ::setenv(variable.c_str(), mapping(lane, lane.relay->port()).c_str(), 1);
    lane.relay->arm(Fault::none);
    // A server may take a moment to let go of the reference's connection.
    Session through;
    ConnectionReport report;
    for (int attempt = 0; attempt < 20; ++attempt) {
      through = run_session(lane.port, Fault::none, {}, &lane.reference);
      lane.relay->settle(report, 3s);
      if (through.results == lane.reference) break;
      std::this_thread::sleep_for(100ms);
    }
    lane.span = std::max<uint64_t>(report.to_client, 16);
    if (through.results != lane.reference) {
      std::printf("campaign: %s: the session through the relay differs\n", lane.kind.c_str());
      return 1;
    }
  }

  Quiet quiet(static_cast<int>(lanes.size()));
  std::vector<std::thread> threads;
  for (Lane& lane : lanes) threads.emplace_back([&] { run_lane(lane, options, quiet); });
  std::optional<Resources> baseline;
  while (!baseline) {
    std::this_thread::sleep_for(100ms);
    if (total_calls >= 1000) baseline = quiet.sample();
  }
  for (std::thread& t : threads) t.join();
  const Resources end = resources();

  bool ok = true;
  long calls = 0;
  std::printf(
      "| fault | port | sessions | calls | intact: same as without relay | outcomes otherwise "
      "| longest call | next open works |\n|---|---|---|---|---|---|---|---|\n");
  for (const Fault fault : options.faults) {
    for (const Lane& lane : lanes) {
      const Cell& c = lane.cells.at(fault);
      calls += c.calls;
      std::string outcomes;
      if (c.open_refused) outcomes += "open 0: " + std::to_string(c.open_refused);
      for (const auto& [what, n] : c.outcomes)
        outcomes += (outcomes.empty() ? "" : ", ") + what + ": " + std::to_string(n);
      if (outcomes.empty()) outcomes = "-";
      char longest[64];
      std::snprintf(longest, sizeof longest, "%.2f s (%s)",
                    std::chrono::duration<double>(c.longest).count(), c.longest_call.c_str());
      std::string after = fault == Fault::none
                              ? "-"
                              : std::to_string(c.after_ok) + "/" + std::to_string(c.after_total);
      if (c.after_late_reply > 0)
        after += " (late reply: " + std::to_string(c.after_late_reply) + ")";
      std::printf("| %s | %s:// | %ld | %ld | %ld/%ld | %s | %s | %s |\n",
                  std::string(fault_name(fault)).c_str(), lane.kind.c_str(), c.sessions, c.calls,
                  c.equal >= c.intact ? c.intact : c.equal, c.intact, outcomes.c_str(), longest,
                  after.c_str());
      if (!c.broken.empty() || c.after_ok != c.after_total) {
        ok = false;
        for (const std::string& b : c.broken)
          std::fprintf(stderr, "BROKEN %s %s: %s\n", std::string(fault_name(fault)).c_str(),
                       lane.kind.c_str(), b.c_str());
      }
    }
  }
  std::printf(
      "\ncampaign: %ld calls; resources after 1000 calls fds=%d threads=%d rss=%ldKiB, at "
      "the end fds=%d threads=%d (+%zu lanes) rss=%ldKiB\n",
      calls, baseline->descriptors, baseline->threads, baseline->rss_kib, end.descriptors,
      end.threads, lanes.size(), end.rss_kib);
  if (end.descriptors != baseline->descriptors ||
      end.threads + static_cast<int>(lanes.size()) != baseline->threads ||
      end.rss_kib > baseline->rss_kib + options.rss_slack_kib) {
    std::printf("FAIL: resources moved\n");
    ok = false;
  }
  std::printf("campaign: %s\n", ok ? "PASSED" : "FAILED");
  return ok ? 0 : 1;
}
