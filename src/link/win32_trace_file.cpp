// The frame trace's system services on Windows.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

#include "link/trace_file.h"

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
  // FILE_APPEND_DATA alone: every write goes to the end, also from other openers.
  HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    put_reason(GetLastError(), reason);
    return kNoTraceFile;
  }
  return reinterpret_cast<TraceFile>(h);
}

bool write_trace_file(TraceFile file, std::span<const char> text, std::span<char> reason) noexcept {
  HANDLE h = to_handle(file);
  while (!text.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(text.size());
    if (!WriteFile(h, text.data(), chunk, &written, nullptr) || written == 0 || written > chunk) {
      put_reason(GetLastError(), reason);
      return false;
    }
    text = text.subspan(written);
  }
  return true;
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
