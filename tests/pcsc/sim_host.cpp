// Runs the simulated reader on a pseudo-terminal for the pcscd end-to-end
// test: the built-in card with the chosen ATR, plus EF 3F00/2F01 holding the
// 250 bytes 00 01 .. F9 (the longest response a reply can carry).
//
//   pcsc_sim_host t0|t1 [SILENT_MARK]
//                           prints the device path and the ATR in hex (one line
//                           each), then serves
//   SIGUSR1                 the reader falls silent for good, then the file
//                           SILENT_MARK is created
//   SIGTERM, SIGINT         stop
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <variant>

#include "sim/card_file.h"
#include "sim/pty_simulator.h"

namespace {

using vorkand::sim::CardProfile;
using vorkand::sim::Fault;
using vorkand::sim::PtySimulator;

CardProfile test_card(vorkand::sim::Protocol protocol) {
  CardProfile card = vorkand::sim::default_card();
  const auto atr = vorkand::sim::builtin_atr(protocol);
  card.atr.assign(atr.begin(), atr.end());
  vorkand::sim::FileEntry longest;
  longest.path = {0x3F00, 0x2F01};
  for (int i = 0; i < 250; ++i) longest.data.push_back(static_cast<uint8_t>(i));
  card.files.push_back(longest);
  return card;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 ||
      (std::strcmp(argv[1], "t0") != 0 && std::strcmp(argv[1], "t1") != 0)) {
    std::fprintf(stderr, "usage: pcsc_sim_host t0|t1 [SILENT_MARK]\n");
    return 2;
  }
  const auto protocol =
      std::strcmp(argv[1], "t1") == 0 ? vorkand::sim::Protocol::t1 : vorkand::sim::Protocol::t0;

  // Signals are taken by sigwait below; the simulator's thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  auto started = PtySimulator::start(
      vorkand::sim::ReaderModel(vorkand::sim::CardModel(test_card(protocol))), {});
  if (auto* error = std::get_if<std::string>(&started)) {
    std::fprintf(stderr, "pcsc_sim_host: %s\n", error->c_str());
    return 1;
  }
  auto& sim = std::get<std::unique_ptr<PtySimulator>>(started);
  std::printf("%s\n", sim->device_path().c_str());
  for (const uint8_t byte : vorkand::sim::builtin_atr(protocol)) std::printf("%02X", byte);
  std::printf("\n");
  std::fflush(stdout);

  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) break;
    if (signal != SIGUSR1) break;
    Fault silence;
    silence.kind = Fault::Kind::silence;
    silence.frame = 0;  // every frame from now on
    sim->add_fault(silence);
    std::fprintf(stderr, "pcsc_sim_host: %s is silent now\n", sim->device_path().c_str());
    if (argc == 3) {
      if (std::FILE* mark = std::fopen(argv[2], "w")) std::fclose(mark);
    }
  }
  sim->stop();
  return 0;
}
