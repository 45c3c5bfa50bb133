// The fault-injecting relay on its own, to try a fault by hand:
//
//   reliability_fault_relay --target PORT --fault NAME [--seed N] [--span BYTES]
//
// listens on a loopback port of its own (printed on the first line), relays
// to 127.0.0.1:PORT and applies the fault to every connection until ended
// with Ctrl-C. Map a port to it: VORKAND_COM1=tcp://127.0.0.1:<its port>.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fault_relay.h"

int main(int argc, char** argv) {
  long target = 0;
  uint64_t seed = 1;
  uint64_t span = 64;
  vorkand::faults::Fault fault = vorkand::faults::Fault::none;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (flag == "--target") target = std::atol(argv[i + 1]);
    if (flag == "--seed") seed = std::strtoull(argv[i + 1], nullptr, 10);
    if (flag == "--span") span = std::strtoull(argv[i + 1], nullptr, 10);
    if (flag == "--fault" && !vorkand::faults::parse_fault_name(argv[i + 1], fault)) {
      std::fprintf(stderr, "no such fault: %s (the faults:", argv[i + 1]);
      for (const auto f : vorkand::faults::kAllFaults)
        std::fprintf(stderr, " %s", std::string(vorkand::faults::fault_name(f)).c_str());
      std::fprintf(stderr, ")\n");
      return 2;
    }
  }
  if (target <= 0 || target > 65535) {
    std::fprintf(stderr, "usage: %s --target PORT --fault NAME [--seed N] [--span BYTES]\n",
                 argv[0]);
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // the relay's thread too
  vorkand::faults::FaultRelay relay(static_cast<uint16_t>(target), seed);
  if (relay.port() == 0) return 1;
  relay.arm(fault, span);
  std::printf("listening on 127.0.0.1:%u, relaying to 127.0.0.1:%ld with fault %s\n", relay.port(),
              target, std::string(vorkand::faults::fault_name(fault)).c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  return 0;
}
