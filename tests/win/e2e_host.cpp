// The typical use of the library by a Windows host, through vorkand.dll loaded
// at run time, against the scripted reader that e2e_wine.py serves on the
// pseudo-terminal behind COM1. Prints one line per step; exits 0 when every
// step gave what the reader's script implies.
// Usage: e2e_host DLL_PATH
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vorkand.h"

namespace {

int g_failures = 0;

void expect(const char* step, long got, long want) {
  const bool ok = got == want;
  std::printf("%s %s: got 0x%lX, want 0x%lX\n", ok ? "ok  " : "FAIL", step, got, want);
  if (!ok) ++g_failures;
}

template <typename Function>
Function* find(HMODULE module, const char* name) {
  auto* f = reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (f == nullptr) {
    std::printf("FAIL %s not exported\n", name);
    ++g_failures;
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  HMODULE dll = LoadLibraryA(argc > 1 ? argv[1] : "vorkand.dll");
  if (dll == nullptr) {
    std::printf("FAIL LoadLibrary: error %lu\n", GetLastError());
    return 2;
  }
  auto* open = find<decltype(CT_open)>(dll, "CT_open");
  auto* close = find<decltype(CT_close)>(dll, "CT_close");
  auto* reset = find<decltype(CT_reset)>(dll, "CT_reset");
  auto* icc_reset = find<decltype(ICC_reset)>(dll, "ICC_reset");
  auto* tsi = find<decltype(ICC_tsi_api)>(dll, "ICC_tsi_api");
  auto* command = find<decltype(ICC_command)>(dll, "ICC_command");
  if (g_failures != 0) return 2;

  expect("CT_open(COM5)", open("COM5"), 0);

  // The name goes to CreateFileA as given; Wine maps com1 to dosdevices/com1.
  const int32_t handle = open("com1");
  std::printf("%s CT_open(com1) = %ld\n", handle != 0 ? "ok  " : "FAIL", static_cast<long>(handle));
  if (handle == 0) return 1;

  expect("CT_reset", reset(handle), 0x9000);

  std::array<uint8_t, 256> atr{};
  uint8_t atr_length = 0;
  expect("ICC_reset", icc_reset(handle, &atr_length, atr.data()), 0x9000);
  expect("ATR length", atr_length, 3);
  expect("ATR", atr[0] << 16 | atr[1] << 8 | atr[2], 0x3B8001);

  // READ BINARY: the reader is busy once, then the data come in two pieces.
  // The ATR offered T=1, so the card frames go out with head 00.
  const std::array<uint8_t, 5> read_binary{0x00, 0xB0, 0x00, 0x00, 0x04};
  std::array<uint8_t, 256> response{};
  uint8_t response_length = 0;
  expect("ICC_tsi_api(READ BINARY)",
         tsi(handle, 5, read_binary.data(), &response_length, response.data()), 0x9000);
  expect("response length", response_length, 4);
  expect("response",
         static_cast<long>(static_cast<uint32_t>(response[0]) << 24 | response[1] << 16 |
                           response[2] << 8 | response[3]),
         0xDEADBEEFL);

  // The same command as T=0 (head 40): this reader's card refuses it.
  expect("ICC_command(T=0)",
         command(handle, 5, read_binary.data(), &response_length, response.data(), 1, 0), 0x6A82);

  expect("CT_close", close(handle), 0);
  expect("CT_close again", close(handle), -1);

  // Reopening sets the line again on the same pseudo-terminal.
  const int32_t again = open("COM1");
  std::printf("%s CT_open(COM1) again = %ld\n", again != 0 ? "ok  " : "FAIL",
              static_cast<long>(again));
  if (again == 0) return 1;
  expect("CT_reset after reopen", reset(again), 0x9000);
  expect("CT_close after reopen", close(again), 0);

  FreeLibrary(dll);
  return g_failures == 0 ? 0 : 1;
}
