// Where a port leads on Windows, and why it would not open. The library maps
// COMn by VORKAND_COMn, else by vorkand.ini beside vorkand.dll; the tool reads
// the same two places (the DLL's folder from the loaded module) to say so.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fmt/format.h>

#include <array>
#include <cctype>

#include "cli/port_names.h"

namespace vorkand::cli {
namespace {

struct Mapping {
  std::string value;
  std::string source;  // empty: not mapped
};

std::string ini_path() {
  std::array<char, MAX_PATH * 4> path{};
  HMODULE dll = GetModuleHandleA("vorkand.dll");
  const DWORD length =
      dll == nullptr ? 0 : GetModuleFileNameA(dll, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return {};
  std::string file(path.data(), length);
  return file.substr(0, file.find_last_of("\\/") + 1) + "vorkand.ini";
}

Mapping mapping_of(std::string_view port) {
  std::array<char, 4096> value{};
  const std::string variable = port_variable(port);
  DWORD length = GetEnvironmentVariableA(variable.c_str(), value.data(), value.size());
  if (length > 0 && length < value.size()) return {value.data(), variable};
  const std::string file = ini_path();
  const std::string key(port);
  length = file.empty() ? 0
                        : GetPrivateProfileStringA("ports", key.c_str(), "", value.data(),
                                                   value.size(), file.c_str());
  if (length > 0) return {value.data(), file + " [ports] " + key};
  return {key, {}};
}

// "COM7", "\\.\com12": the port's device name; empty for anything else.
std::string port_device(std::string mapping) {
  if (mapping.starts_with("\\\\.\\")) mapping.erase(0, 4);
  if (mapping.size() < 4 || mapping.size() > 6) return {};
  for (std::size_t i = 0; i < mapping.size(); ++i) {
    const auto c = static_cast<unsigned char>(mapping[i]);
    if (i < 3 ? std::toupper(c) != "COM"[i] : !std::isdigit(c)) return {};
  }
  return "\\\\.\\" + mapping;
}

}  // namespace

std::string port_mapping(std::string_view port) {
  return mapping_of(port).value;
}

std::string port_source(std::string_view port) {
  return mapping_of(port).source;
}

std::string open_failure(const std::string& mapping, const std::string& library_reason) {
  if (!library_reason.empty()) return library_reason;
  // The other kinds of port (PC/SC readers, network ports) are the
  // library's to reach; only a COM port can be examined here.
  for (std::string_view prefix : {"pcsc:", "rfc2217://", "tcp://", "rfc2217s://", "tls://"}) {
    if (mapping.starts_with(prefix)) return {};
  }
  const std::string device = port_device(mapping);
  if (device.empty()) return "not a COM port (COM7, \\\\.\\COM12)";
  HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "missing";
    if (error == ERROR_ACCESS_DENIED) return "busy or permission denied";
    return fmt::format("system error {}", error);
  }
  CloseHandle(h);
  return "could not be set up as a serial port";
}

}  // namespace vorkand::cli
