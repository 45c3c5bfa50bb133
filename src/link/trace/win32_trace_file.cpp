// The frame trace's system services on Windows.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

#include "link/trace/trace_file.h"

namespace vorkand::link {
namespace {

HANDLE to_handle(TraceFile file) noexcept {
  return reinterpret_cast<HANDLE>(file);
}

// "system error N": enough to look the code up, without the system's message tables.
void put_reason(DWORD error, std::span<char> reason) noexcept {
  if (reason.empty()) return;
  std::snprintf(reason.data(), reason.size(), "system error %lu",
                static_cast<unsigned long>(error));
}

// The security descriptor a new trace file is created with: its owner alone
// may use it, and nothing of the folder's access list is inherited
// ("P": protected). Built by advapi32, loaded from System32 on first use.
struct OwnerOnly {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  OwnerOnly() noexcept {
    using Convert = BOOL(WINAPI*)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);
    HMODULE advapi32 = LoadLibraryExA("advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const auto convert =
        advapi32 == nullptr
            ? nullptr
            : reinterpret_cast<Convert>(reinterpret_cast<void*>(GetProcAddress(
                  advapi32, "ConvertStringSecurityDescriptorToSecurityDescriptorA")));
    if (convert == nullptr ||
        !convert("D:P(A;;FA;;;OW)", 1 /* SDDL_REVISION_1 */, &descriptor, nullptr)) {
      descriptor = nullptr;
    }
  }
  ~OwnerOnly() {
    if (descriptor != nullptr) LocalFree(descriptor);
  }
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;
};

bool file_id(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) noexcept {
  return GetFileInformationByHandle(h, &info) != 0;
}

}  // namespace

TraceFile open_trace_file(const char* path, std::span<char> reason) noexcept {
  if (names_standard_error(path)) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == INVALID_HANDLE_VALUE || error == nullptr) {
      put_reason(GetLastError(), reason);
      return kNoTraceFile;
    }
    return reinterpret_cast<TraceFile>(error);
  }
  const OwnerOnly owner_only;
  if (owner_only.descriptor == nullptr) {
    std::snprintf(reason.data(), reason.size(), "no owner-only access list (system error %lu)",
                  static_cast<unsigned long>(GetLastError()));
    return kNoTraceFile;
  }
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof security;
  security.lpSecurityDescriptor = owner_only.descriptor;
  security.bInheritHandle = FALSE;
  // FILE_APPEND_DATA: every write goes to the end, also from other openers.
  // Sharing delete lets another process rotate the file while it is open
  // here. A reparse point (a symbolic link, a junction) is opened as itself
  // and refused.
  HANDLE h =
      CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    put_reason(GetLastError(), reason);
    return kNoTraceFile;
  }
  const DWORD type = GetFileType(h);
  BY_HANDLE_FILE_INFORMATION info{};
  const char* refusal = nullptr;
  if (type == FILE_TYPE_DISK) {
    if (!file_id(h, info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0)
      refusal = "a reparse point (a link) or not a file; refused";
  } else if (type == FILE_TYPE_PIPE) {
    // A pipe that could not take a line at once would hold the exchange.
    DWORD mode = PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr))
      refusal = "a pipe that cannot be written without waiting; refused";
  } else {
    refusal = "not a file or a pipe; refused";
  }
  if (refusal != nullptr) {
    CloseHandle(h);
    std::snprintf(reason.data(), reason.size(), "%s", refusal);
    return kNoTraceFile;
  }
  return reinterpret_cast<TraceFile>(h);
}

TraceWrite write_trace_file(TraceFile file, std::span<const char> text,
                            std::span<char> reason) noexcept {
  HANDLE h = to_handle(file);
  bool first = true;
  while (!text.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(text.size());
    if (!WriteFile(h, text.data(), chunk, &written, nullptr) || written > chunk) {
      put_reason(GetLastError(), reason);
      return TraceWrite::failed;
    }
    // A pipe without room takes nothing and says so with 0.
    if (written == 0) {
      if (first) return TraceWrite::full;
      put_reason(ERROR_WRITE_FAULT, reason);
      return TraceWrite::failed;
    }
    first = false;
    text = text.subspan(written);
  }
  return TraceWrite::written;
}

bool regular_trace_file_size(TraceFile file, uint64_t& size) noexcept {
  if (file == kNoTraceFile || to_handle(file) == GetStdHandle(STD_ERROR_HANDLE) ||
      GetFileType(to_handle(file)) != FILE_TYPE_DISK)
    return false;
  LARGE_INTEGER bytes{};
  if (!GetFileSizeEx(to_handle(file), &bytes)) return false;
  size = static_cast<uint64_t>(bytes.QuadPart);
  return true;
}

bool trace_file_end(TraceFile file, uint64_t& end) noexcept {
  LARGE_INTEGER bytes{};
  if (!GetFileSizeEx(to_handle(file), &bytes)) return false;
  end = static_cast<uint64_t>(bytes.QuadPart);
  return true;
}

// The lock is one byte far past any data, so it never stands in a write's way.
bool lock_trace_file(TraceFile file) noexcept {
  for (int tries = 0; tries < 8; ++tries) {
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0x7FFFFFFFu;
    if (LockFileEx(to_handle(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &at))
      return true;
    // A handle the system will not lock (no read or write data access)
    // rotates without: the rename then fails while another process has the
    // file open without sharing delete, and the trace stops.
    if (GetLastError() != ERROR_LOCK_VIOLATION) return true;
    Sleep(1);
  }
  return false;
}

void unlock_trace_file(TraceFile file) noexcept {
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFFEu;
  at.OffsetHigh = 0x7FFFFFFFu;
  UnlockFileEx(to_handle(file), 0, 1, 0, &at);
}

bool trace_file_moved(TraceFile file, const char* path) noexcept {
  BY_HANDLE_FILE_INFORMATION open_file{};
  BY_HANDLE_FILE_INFORMATION named{};
  if (!file_id(to_handle(file), open_file)) return true;
  HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return true;
  const bool same = file_id(h, named) &&
                    named.dwVolumeSerialNumber == open_file.dwVolumeSerialNumber &&
                    named.nFileIndexHigh == open_file.nFileIndexHigh &&
                    named.nFileIndexLow == open_file.nFileIndexLow;
  CloseHandle(h);
  return !same;
}

bool rename_trace_file(const char* from, const char* to, std::span<char> reason) noexcept {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
  put_reason(GetLastError(), reason);
  return false;
}

void close_trace_file(TraceFile file) noexcept {
  if (file == kNoTraceFile || to_handle(file) == GetStdHandle(STD_ERROR_HANDLE)) return;
  CloseHandle(to_handle(file));
}

uint64_t monotonic_us() noexcept {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER now{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  const auto ticks = static_cast<uint64_t>(now.QuadPart);
  const auto per_second = static_cast<uint64_t>(frequency.QuadPart);
  if (per_second == 0) return 0;
  return ticks / per_second * 1'000'000u + ticks % per_second * 1'000'000u / per_second;
}

void utc_now(std::span<char> out) noexcept {
  constexpr std::size_t kLength = 20;  // 2026-12-08T21:28:00Z
  if (out.empty()) return;
  out[0] = '\0';
  if (out.size() <= kLength) return;
  SYSTEMTIME now{};
  GetSystemTime(&now);
  std::snprintf(out.data(), out.size(), "%04u-%02u-%02uT%02u:%02u:%02uZ", unsigned{now.wYear},
                unsigned{now.wMonth}, unsigned{now.wDay}, unsigned{now.wHour},
                unsigned{now.wMinute}, unsigned{now.wSecond});
}

void warn(std::span<const char> text) noexcept {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == INVALID_HANDLE_VALUE || error == nullptr) return;
  DWORD written = 0;
  WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace vorkand::link
