#include "cli/pcsc_binding.h"
#include "cli/pcsc_errors.h"

#include <dlfcn.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace vorkand::cli::pcsc {

std::vector<uint8_t> atr_of(const ReaderState& state) {
  return {state.atr, state.atr + std::min<std::size_t>(state.atr_length, common::kPcscMaxAtr)};
}

Library::~Library() {
  if (established_) release_(context_);
  if (handle_ != nullptr) dlclose(handle_);
}

std::string Library::open() {
  handle_ = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) return "pcsc-lite is not installed (libpcsclite.so.1 not found)";
  establish_ = reinterpret_cast<EstablishContext>(dlsym(handle_, "SCardEstablishContext"));
  release_ = reinterpret_cast<ReleaseContext>(dlsym(handle_, "SCardReleaseContext"));
  list_ = reinterpret_cast<ListReaders>(dlsym(handle_, "SCardListReaders"));
  status_ = reinterpret_cast<GetStatusChange>(dlsym(handle_, "SCardGetStatusChange"));
  cancel_ = reinterpret_cast<Cancel>(dlsym(handle_, "SCardCancel"));
  if (!establish_ || !release_ || !list_ || !status_ || !cancel_) {
    return "libpcsclite.so.1 lacks the functions needed";
  }
  constexpr Dword kScopeSystem = 2;
  const Long established = establish_(kScopeSystem, nullptr, nullptr, &context_);
  if (established != 0) {
    return code(established) == kNoService || code(established) == kServiceStopped
               ? "pcscd is not running"
               : "no PC/SC context: " + pcsc_error(code(established));
  }
  established_ = true;
  return {};
}

Long Library::list_readers(std::vector<std::string>& names) const {
  names.clear();
  Dword size = 0;
  Long listed = list_(context_, nullptr, nullptr, &size);
  std::vector<char> text(size + 1, '\0');
  if (listed == 0) listed = list_(context_, nullptr, text.data(), &size);
  if (listed != 0) return code(listed) == kNoReaders ? 0 : listed;
  for (const char* name = text.data(); *name != '\0'; name += std::strlen(name) + 1) {
    names.emplace_back(name);
  }
  return 0;
}

Long Library::get_status_change(Dword timeout_ms, ReaderState* states, std::size_t count) const {
  return status_(context_, timeout_ms, states, static_cast<Dword>(count));
}

Long Library::cancel() const {
  return cancel_(context_);
}

}  // namespace vorkand::cli::pcsc
