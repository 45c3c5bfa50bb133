// Watching the PC/SC readers for readers and cards coming and going, as
// `vorkand watch` reports them. pcsc-lite is loaded at run time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/apdu_text.h"

namespace vorkand::cli {

// A reader's state or its change: "reader present", "card present" (the
// state found at the start), "reader added", "reader removed", "card
// inserted", "card removed".
struct ReaderEvent {
  std::string reader;  // "pcsc:NAME" or "COM1"
  std::string event;
  std::string detail;  // what a COM port maps to
  Bytes atr;           // with "card present" and "card inserted"
  std::string source;  // where the mapping comes from ("VORKAND_COM2"); empty: the default
};

class PcscWatch {
 public:
  virtual ~PcscWatch() = default;
  // The readers and cards there are now.
  virtual std::vector<ReaderEvent> current() = 0;
  // Blocks until something changes (no polling) and returns what did;
  // nothing once cancel() was called; on a PC/SC failure, an error message.
  virtual std::variant<std::vector<ReaderEvent>, std::string> changes() = 0;
  // From another thread: changes() returns at once, now or when next called.
  virtual void cancel() = 0;
};

// The watch, or why PC/SC cannot be watched ("pcscd is not running").
std::variant<std::unique_ptr<PcscWatch>, std::string> watch_pcsc();

}  // namespace vorkand::cli
