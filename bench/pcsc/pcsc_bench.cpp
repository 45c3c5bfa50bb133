// One APDU (SELECT MF) to a virtual card behind a private pcscd:
//
//   library_select   ICC_tsi_api through COM1 mapped to pcsc:<reader>
//   direct_select    SCardTransmit on a connection of its own to the same card
//
// The library holds the card exclusively while its port is open, so the two
// take turns: each run opens its connection, then measures. Run it in
// the card's environment:
//   tests/pcsc/vicc/private-pcscd-vicc -q -- build/default/bench/pcsc/bench_pcsc
#include <PCSC/winscard.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "vorkand.h"

namespace {

constexpr uint8_t kSelectMf[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};

const char* reader_name() {
  const char* reader = std::getenv("VICC_READER");
  return reader != nullptr ? reader : "";
}

void library_select(benchmark::State& state) {
  const std::string mapping = std::string("pcsc:") + reader_name();
  ::setenv("VORKAND_COM1", mapping.c_str(), 1);
  const int32_t handle = CT_open("COM1");
  uint8_t atr[252];
  uint8_t atr_length = 0;
  if (handle == 0 || ICC_reset(handle, &atr_length, atr) != 0x9000) {
    state.SkipWithError("no card through pcsc: (run under private-pcscd-vicc)");
    if (handle != 0) CT_close(handle);
    return;
  }
  uint8_t response[256];
  uint8_t length = 0;
  for (auto _ : state) {
    if (ICC_tsi_api(handle, sizeof kSelectMf, kSelectMf, &length, response) != 0x9000) {
      state.SkipWithError("SELECT failed");
      break;
    }
  }
  CT_close(handle);
}

void direct_select(benchmark::State& state) {
  SCARDCONTEXT context = 0;
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS ||
      SCardConnect(context, reader_name(), SCARD_SHARE_EXCLUSIVE,
                   SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) != SCARD_S_SUCCESS) {
    state.SkipWithError("no card (run under private-pcscd-vicc)");
    if (context != 0) SCardReleaseContext(context);
    return;
  }
  const SCARD_IO_REQUEST send{protocol, sizeof(SCARD_IO_REQUEST)};
  uint8_t response[258];
  for (auto _ : state) {
    DWORD length = sizeof response;
    if (SCardTransmit(card, &send, kSelectMf, sizeof kSelectMf, nullptr, response, &length) !=
            SCARD_S_SUCCESS ||
        length != 2 || response[0] != 0x90) {
      state.SkipWithError("SELECT failed");
      break;
    }
  }
  SCardDisconnect(card, SCARD_RESET_CARD);
  SCardReleaseContext(context);
}

}  // namespace

// The two alternate, five rounds each, so that a busy phase of the machine or
// of pcscd hits both; compare the medians of the rounds.
int main(int argc, char** argv) {
  for (int round = 1; round <= 5; ++round) {
    const std::string suffix = "/round:" + std::to_string(round);
    benchmark::RegisterBenchmark(("library_select" + suffix).c_str(), library_select)->MinTime(0.3);
    benchmark::RegisterBenchmark(("direct_select" + suffix).c_str(), direct_select)->MinTime(0.3);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
