// The typical use of the library by a Windows host, through vorkand.dll loaded
// at run time, on COM1. Two readers stand behind COM1 (see e2e_wine.py): the
// harness's scripted reader, whose every answer is known here, or the
// project's simulator with its built-in card. Prints one line per step; exits
// 0 when every step gave what that reader implies.
// The scripted run is traced (VORKAND_TRACE) and its trace checked; then a
// copy of the DLL is configured by vorkand.ini beside it.
// Usage: e2e_host DLL_PATH [scripted|sim]
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "vorkand.h"

namespace {

using namespace std::string_literals;

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

// The exports this program calls, as the header declares them.
struct Api {
  decltype(CT_open)* open;
  decltype(CT_close)* close;
  decltype(CT_reset)* reset;
  decltype(ICC_reset)* icc_reset;
  decltype(ICC_tsi_api)* tsi;
  decltype(ICC_command)* command;
};

int32_t open_port(const Api& api, const char* name) {
  const int32_t handle = api.open(name);
  std::printf("%s CT_open(%s) = %ld\n", handle != 0 ? "ok  " : "FAIL", name,
              static_cast<long>(handle));
  if (handle == 0) ++g_failures;
  return handle;
}

long big_endian(const uint8_t* bytes, std::size_t count) {
  unsigned long value = 0;
  for (std::size_t i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return static_cast<long>(value);
}

// Against the scripted reader: ATR 3B 80 01 (T=1 first); READ BINARY answered
// busy once, then DE AD BE EF in two pieces; frames with head 40 refused 6A 82.
void scripted_reader(const Api& api) {
  expect("CT_open(COM5)", api.open("COM5"), 0);

  // The name goes to CreateFileA as given; Wine maps com1 to dosdevices/com1.
  const int32_t handle = open_port(api, "com1");
  if (handle == 0) return;
  expect("CT_reset", api.reset(handle), 0x9000);

  std::array<uint8_t, 256> atr{};
  uint8_t atr_length = 0;
  expect("ICC_reset", api.icc_reset(handle, &atr_length, atr.data()), 0x9000);
  expect("ATR length", atr_length, 3);
  expect("ATR", big_endian(atr.data(), 3), 0x3B8001);

  // The ATR offered T=1, so the card frames go out with head 00.
  const std::array<uint8_t, 5> read_binary{0x00, 0xB0, 0x00, 0x00, 0x04};
  std::array<uint8_t, 256> response{};
  uint8_t response_length = 0;
  expect("ICC_tsi_api(READ BINARY)",
         api.tsi(handle, 5, read_binary.data(), &response_length, response.data()), 0x9000);
  expect("response length", response_length, 4);
  expect("response", big_endian(response.data(), 4), 0xDEADBEEFL);

  // The same command as T=0 (head 40): this reader's card refuses it.
  expect("ICC_command(T=0)",
         api.command(handle, 5, read_binary.data(), &response_length, response.data(), 1, 0),
         0x6A82);

  expect("CT_close", api.close(handle), 0);
  expect("CT_close again", api.close(handle), -1);

  // Reopening sets the line again on the same pseudo-terminal.
  const int32_t again = open_port(api, "COM1");
  if (again == 0) return;
  expect("CT_reset after reopen", api.reset(again), 0x9000);
  expect("CT_close after reopen", api.close(again), 0);
}

// Against the simulator's built-in card: select EF 2F00 under the MF and read
// the text it holds.
void simulator(const Api& api) {
  const int32_t handle = open_port(api, "COM1");
  if (handle == 0) return;
  expect("CT_reset", api.reset(handle), 0x9000);

  std::array<uint8_t, 256> atr{};
  uint8_t atr_length = 0;
  expect("ICC_reset", api.icc_reset(handle, &atr_length, atr.data()), 0x9000);
  expect("ATR present", atr_length > 1, 1);

  constexpr std::string_view kText = "vorkand simulated card";
  const std::array<uint8_t, 7> select{0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00};
  const std::array<uint8_t, 5> read_binary{0x00, 0xB0, 0x00, 0x00,
                                           static_cast<uint8_t>(kText.size())};
  std::array<uint8_t, 256> response{};
  uint8_t response_length = 0;
  expect("ICC_tsi_api(SELECT 2F00)",
         api.tsi(handle, select.size(), select.data(), &response_length, response.data()), 0x9000);
  expect("ICC_tsi_api(READ BINARY)",
         api.tsi(handle, read_binary.size(), read_binary.data(), &response_length, response.data()),
         0x9000);
  expect("response length", response_length, static_cast<long>(kText.size()));
  expect("response is the file's text",
         std::memcmp(response.data(), kText.data(), kText.size()) == 0, 1);
  expect("CT_close", api.close(handle), 0);
}

// The library's trace of the scripted run (VORKAND_TRACE, read through the
// Windows environment at each CT_open): frames, the gathered two-piece reply
// and the calls, each on a line of its own.
void check_trace(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  std::array<char, 16384> text{};
  const std::size_t size = file != nullptr ? std::fread(text.data(), 1, text.size() - 1, file) : 0;
  if (file != nullptr) std::fclose(file);
  const std::string_view trace(text.data(), size);
  for (const char* line :
       {"com1 ", " > 80 00 04 80 62 00 00 00\n", " < 00 4F 06 DE AD BE EF 90 00 00\n",
        " call ICC_command apdu 00 B0 00 00 04 direction 1 protocol 0 -> 6A82",
        " call CT_close -> 0\n"}) {
    expect(line, trace.find(line) != std::string_view::npos, 1);
  }
}

std::string read_text(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  std::string text;
  std::array<char, 4096> chunk{};
  for (std::size_t got; file != nullptr && (got = std::fread(chunk.data(), 1, chunk.size(), file));)
    text.append(chunk.data(), got);
  if (file != nullptr) std::fclose(file);
  return text;
}

bool write_text(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

// vorkand.ini beside a copy of the DLL, against the scripted reader, which the
// harness also puts on COM7 (COM3 is no serial port, COM8 does not exist):
// the file maps COM2 to COM7 and COM1 to COM8, and turns the trace on; the
// variable wins over it; a vorkand.ini in the current directory maps COM3
// to COM7 and must not be read; a mapping that names no port opens nothing.
void configuration_file(const char* dll_path) {
  std::array<char, MAX_PATH> temp{};
  const std::string base(temp.data(), GetTempPathA(MAX_PATH - 32, temp.data()));
  const std::string dir = base + "vorkand_ini_dll\\", cwd = base + "vorkand_ini_cwd\\";
  CreateDirectoryA(dir.c_str(), nullptr);
  CreateDirectoryA(cwd.c_str(), nullptr);
  const std::string trace = dir + "trace.log";
  DeleteFileA(trace.c_str());
  expect("copy of the DLL", CopyFileA(dll_path, (dir + "vorkand.dll").c_str(), FALSE) != 0, 1);
  expect("vorkand.ini beside it",
         write_text(dir + "vorkand.ini",
                    "[ports]\r\nCOM1=COM8\r\nCOM2=\\\\.\\com7\r\n"
                    "COM4=/dev/ttyS0\r\n[trace]\r\nfile=" +
                        trace + "\r\n"),
         1);
  expect("vorkand.ini in the current directory",
         write_text(cwd + "vorkand.ini", "[ports]\r\nCOM3=COM7\r\n"), 1);
  std::array<char, MAX_PATH> old_cwd{};
  GetCurrentDirectoryA(MAX_PATH, old_cwd.data());
  SetCurrentDirectoryA(cwd.c_str());

  HMODULE dll = LoadLibraryA((dir + "vorkand.dll").c_str());
  expect("LoadLibrary(copy)", dll != nullptr, 1);
  if (dll != nullptr) {
    const auto open = find<decltype(CT_open)>(dll, "CT_open");
    const auto close = find<decltype(CT_close)>(dll, "CT_close");
    const auto reset = find<decltype(CT_reset)>(dll, "CT_reset");
    const auto session = [&](const char* port) {
      const int32_t handle = open(port);
      const long result = handle == 0 ? 0 : reset(handle);
      if (handle != 0) close(handle);
      return result;
    };
    expect("COM2 (file: \\\\.\\com7)", session("COM2"), 0x9000);
    expect("COM1 (file: COM8, missing)", session("COM1"), 0);
    SetEnvironmentVariableA("VORKAND_COM1", "com7");
    expect("COM1 (VORKAND_COM1=com7 over the file)", session("COM1"), 0x9000);
    SetEnvironmentVariableA("VORKAND_COM1", nullptr);
    expect("COM3 (not from the current directory's file)", session("COM3"), 0);
    expect("COM4 (a mapping that names no port)", session("COM4"), 0);
    FreeLibrary(dll);
  }
  SetCurrentDirectoryA(old_cwd.data());
  const std::string text = read_text(trace);
  for (const std::string& line :
       {", serial port \\\\.\\COM7, 9600 baud 8E1, no flow control, mapped by " + dir +
            "vorkand.ini [ports] COM2\n",
        ", serial port \\\\.\\COM7, 9600 baud 8E1, no flow control, mapped by VORKAND_COM1\n"s}) {
    expect(line.c_str(), text.find(line) != std::string::npos, 1);
  }
  if (g_failures != 0) std::printf("trace:\n%s", text.c_str());
  for (const std::string& file :
       {dir + "vorkand.dll", dir + "vorkand.ini", trace, cwd + "vorkand.ini"})
    DeleteFileA(file.c_str());
  RemoveDirectoryA(dir.c_str());
  RemoveDirectoryA(cwd.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  HMODULE dll = LoadLibraryA(argc > 1 ? argv[1] : "vorkand.dll");
  if (dll == nullptr) {
    std::printf("FAIL LoadLibrary: error %lu\n", GetLastError());
    return 2;
  }
  const Api api{
      find<decltype(CT_open)>(dll, "CT_open"),
      find<decltype(CT_close)>(dll, "CT_close"),
      find<decltype(CT_reset)>(dll, "CT_reset"),
      find<decltype(ICC_reset)>(dll, "ICC_reset"),
      find<decltype(ICC_tsi_api)>(dll, "ICC_tsi_api"),
      find<decltype(ICC_command)>(dll, "ICC_command"),
  };
  if (g_failures != 0) return 2;

  if (argc > 2 && std::string_view(argv[2]) == "sim") {
    simulator(api);
  } else {
    std::array<char, MAX_PATH> trace{};
    const DWORD dir = GetTempPathA(MAX_PATH - 32, trace.data());
    std::strcpy(trace.data() + dir, "vorkand_e2e_trace.log");
    DeleteFileA(trace.data());
    SetEnvironmentVariableA("VORKAND_TRACE", trace.data());
    scripted_reader(api);
    SetEnvironmentVariableA("VORKAND_TRACE", nullptr);
    check_trace(trace.data());
    DeleteFileA(trace.data());
    configuration_file(argc > 1 ? argv[1] : "vorkand.dll");
  }
  FreeLibrary(dll);
  return g_failures == 0 ? 0 : 1;
}
