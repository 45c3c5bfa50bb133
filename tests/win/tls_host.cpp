// The Windows TLS seam on its own, against TLS servers that tls_wine.py runs
// on 127.0.0.1. Each argument is one case:
//   NAME|HOST|PORT|CA|CERT|KEY|EXPECT
// with empty fields for files not given. EXPECT is "ok=TEXT": the session
// opens, echoes 40000 bytes exactly, and its description contains TEXT;
// "closes=TEXT": the session opens, the server sends TEXT and ends the
// session, and receiving gives TEXT and then the failure; or "refused=TEXT":
// tls_connect fails within its time limit with a reason containing TEXT.
// The sessions that open and echo run at the same time, one thread each;
// their handshakes and closes take turns, as Wine's SChannel keeps its table
// of handles without a lock. With --one-thread first, every case runs in turn
// on the main thread and connects to 127.0.0.1 whatever HOST it verifies, so
// that no name lookup starts a thread either (for emulators that cannot run a
// 32-bit Wine process's threads). Prints one line per case as it ends, then
// the count of cases and failures; exits 0 when all hold.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "link/net/socket.h"
#include "link/net/tls.h"

namespace {

using namespace vorkand::link::net;

constexpr uint32_t kTimeoutMs = 3000;

std::mutex g_handshakes;
std::mutex g_output;
bool g_one_thread = false;

struct Case {
  std::string fields[7];
  std::string verdict;
  bool ok = false;
};

const char* given(const std::string& field) {
  return field.empty() ? nullptr : field.c_str();
}

// Sends `payload` and reads it back through the session, 10 s at most.
bool echo(TlsSession& session, int32_t socket, std::string& why) {
  std::vector<uint8_t> payload(40000);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + 3);
  std::vector<uint8_t> back;
  std::size_t sent = 0;
  const DWORD start = GetTickCount();
  uint8_t chunk[5000];
  while (back.size() < payload.size()) {
    if (GetTickCount() - start > 10000) {
      why = "echo timed out after " + std::to_string(back.size()) + " bytes";
      return false;
    }
    if (sent < payload.size()) {
      const int32_t n = tls_send(session, std::span(payload).subspan(sent));
      if (n < 0) {
        why = "send failed";
        return false;
      }
      sent += static_cast<std::size_t>(n);
    }
    // Read what is there; wait on the socket only when nothing is buffered.
    const int32_t got = tls_receive(session, chunk);
    if (got < 0) {
      why = "receive failed";
      return false;
    }
    back.insert(back.end(), chunk, chunk + got);
    if (got == 0 && !tls_pending(session)) socket_wait(socket, sent < payload.size(), 50);
  }
  if (back != payload) {
    why = "echo differs";
    return false;
  }
  return true;
}

// Receives until the session fails, 3 s at most; false on timeout.
bool until_closed(TlsSession& session, int32_t socket, std::string& got) {
  const DWORD start = GetTickCount();
  uint8_t chunk[256];
  while (GetTickCount() - start < 3000) {
    const int32_t n = tls_receive(session, chunk);
    if (n < 0) return true;
    got.append(reinterpret_cast<const char*>(chunk), static_cast<std::size_t>(n));
    if (n == 0 && !tls_pending(session)) socket_wait(socket, false, 100);
  }
  return false;
}

void run(Case& c) {
  const std::string& name = c.fields[0];
  const std::string& expect = c.fields[6];
  const bool want_ok = expect.rfind("ok=", 0) == 0;
  const std::string text = expect.substr(expect.find('=') + 1);
  const char* address = g_one_thread ? "127.0.0.1" : c.fields[1].c_str();
  const int32_t socket =
      socket_connect(address, static_cast<uint16_t>(std::atoi(c.fields[2].c_str())), 2000);
  if (socket == 0) {
    c.verdict = name + ": no connection";
    return;
  }
  const TlsFiles files{given(c.fields[3]), given(c.fields[4]), given(c.fields[5])};
  char reason[200] = "unset";
  std::unique_lock turn(g_handshakes);
  const DWORD start = GetTickCount();
  TlsSession* session = tls_connect(socket, c.fields[1].c_str(), files, kTimeoutMs, reason);
  const DWORD spent = GetTickCount() - start;
  turn.unlock();
  std::string why;
  if (session == nullptr) {
    c.ok = !want_ok && std::strstr(reason, text.c_str()) != nullptr && spent <= kTimeoutMs + 500;
    why = std::string("refused in ") + std::to_string(spent) + " ms: " + reason;
  } else {
    char description[300];
    tls_describe(*session, description);
    why = description;
    if (expect.rfind("closes=", 0) == 0) {
      std::string got;
      c.ok = until_closed(*session, socket, got) && got == text;
      why += "; received \"" + got + (c.ok ? "\", then the end" : "\", no end");
    } else {
      c.ok = want_ok && std::strstr(description, text.c_str()) != nullptr;
      std::string echo_why;
      if (c.ok && !echo(*session, socket, echo_why)) {
        c.ok = false;
        why += "; " + echo_why;
      }
    }
    turn.lock();
    tls_close(session);
    turn.unlock();
  }
  socket_close(socket);
  c.verdict = name + ": " + why;
  // At once: a run that does not end shows which cases did.
  const std::lock_guard printing(g_output);
  std::printf("%s %s\n", c.ok ? "ok  " : "FAIL", c.verdict.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Case> cases;
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--one-thread") == 0) {
    g_one_thread = true;
    first = 2;
  }
  for (int i = first; i < argc; ++i) {
    Case c;
    const std::string arg = argv[i];
    std::size_t at = 0;
    for (std::string& field : c.fields) {
      const std::size_t bar = std::min(arg.find('|', at), arg.size());
      field = arg.substr(std::min(at, arg.size()), bar - std::min(at, arg.size()));
      at = bar + 1;
    }
    cases.push_back(c);
  }
  // The sessions that should open run together; the refusals one by one.
  std::vector<std::thread> threads;
  for (Case& c : cases) {
    if (!g_one_thread && c.fields[6].rfind("ok=", 0) == 0) threads.emplace_back([&c] { run(c); });
  }
  for (Case& c : cases) {
    if (g_one_thread || c.fields[6].rfind("ok=", 0) != 0) run(c);
  }
  for (std::thread& t : threads) t.join();
  int failures = 0;
  for (const Case& c : cases) {
    if (!c.ok) ++failures;
  }
  std::printf("%zu cases, %d failed\n", cases.size(), failures);
  std::fflush(stdout);
  return failures == 0 && !cases.empty() ? 0 : 1;
}
