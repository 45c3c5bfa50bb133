// Environment variables on Windows, with vorkand.ini beside the DLL as their
// fallback: a GUI program or a service is hard to give a variable, and a file
// next to the DLL is how such hosts are configured.
//
// The file is the one in the folder of the loaded vorkand.dll (found from an
// address inside this module), never one in the current directory. Each
// variable has a fixed section and key (kFileKeys); a variable that is set
// and not empty wins over the file. The file is read with the system's own
// reader for the format at each call, as the variables are:
//
//   [ports]
//   COM1=COM7
//   COM2=rfc2217://192.168.1.20:4001
//   [trace]
//   file=C:\ProgramData\vorkand\trace.log
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "link/environment.h"

namespace vorkand::link {
namespace {

struct FileKey {
  std::string_view variable;
  const char* section;
  const char* key;
};

constexpr std::array kFileKeys{
    FileKey{"VORKAND_COM1", "ports", "COM1"},
    FileKey{"VORKAND_COM2", "ports", "COM2"},
    FileKey{"VORKAND_COM3", "ports", "COM3"},
    FileKey{"VORKAND_COM4", "ports", "COM4"},
    FileKey{"VORKAND_TRACE", "trace", "file"},
    FileKey{"VORKAND_TRACE_SECRETS", "trace", "secrets"},
    FileKey{"VORKAND_TRACE_MAX", "trace", "max"},
};

constexpr char kFileName[] = "vorkand.ini";

const FileKey* file_key(const char* variable) noexcept {
  for (const FileKey& entry : kFileKeys) {
    if (entry.variable == variable) return &entry;
  }
  return nullptr;
}

// The path of vorkand.ini in the folder of the module holding this code;
// false when it cannot be found or does not fit.
bool file_path(std::span<char> out) noexcept {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&file_path), &self)) {
    return false;
  }
  const DWORD length = GetModuleFileNameA(self, out.data(), static_cast<DWORD>(out.size()));
  if (length == 0 || length >= out.size()) return false;  // failed or cut
  std::size_t folder = length;
  while (folder > 0 && out[folder - 1] != '\\' && out[folder - 1] != '/') --folder;
  if (folder == 0 || folder + sizeof kFileName > out.size()) return false;
  std::memcpy(out.data() + folder, kFileName, sizeof kFileName);
  return true;
}

// The key's value from the file; unset when the file or the key is missing
// or the value empty.
Setting from_file(const FileKey& entry, std::span<char> out, std::span<char> source) noexcept {
  std::array<char, MAX_PATH * 4> path{};
  if (!file_path(path)) return Setting::unset;
  const DWORD size = static_cast<DWORD>(out.size());
  const DWORD length =
      GetPrivateProfileStringA(entry.section, entry.key, "", out.data(), size, path.data());
  if (length == 0) return Setting::unset;
  // A value cut to fit comes back with size - 1 characters.
  if (length + 1 >= size) {
    out[0] = '\0';
    return Setting::too_long;
  }
  if (!source.empty()) {
    std::snprintf(source.data(), source.size(), "%s [%s] %s", path.data(), entry.section,
                  entry.key);
  }
  return Setting::set;
}

}  // namespace

Setting environment(const char* name, std::span<char> out, std::span<char> source) noexcept {
  if (!source.empty()) source[0] = '\0';
  if (out.empty()) return Setting::too_long;
  out[0] = '\0';
  const DWORD length = GetEnvironmentVariableA(name, out.data(), static_cast<DWORD>(out.size()));
  // 0: unset or empty; a length of out.size() or more: it does not fit.
  if (length >= out.size()) {
    out[0] = '\0';
    return Setting::too_long;
  }
  if (length != 0) {
    out[length] = '\0';
    if (!source.empty()) std::snprintf(source.data(), source.size(), "%s", name);
    return Setting::set;
  }
  out[0] = '\0';
  const FileKey* entry = file_key(name);
  return entry != nullptr ? from_file(*entry, out, source) : Setting::unset;
}

}  // namespace vorkand::link
