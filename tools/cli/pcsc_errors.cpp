#include "cli/pcsc_errors.h"

#include <fmt/format.h>

#include <array>

namespace vorkand::cli {
namespace {

struct Known {
  uint32_t code;
  const char* meaning;
};

constexpr uint32_t kCommError = 0x80100013;
constexpr uint32_t kNoService = 0x8010001D;
constexpr uint32_t kServiceStopped = 0x8010001E;

constexpr std::array<Known, 44> kCodes{{
    {0x80100001, "the PC/SC service failed inside"},
    {0x80100002, "the wait was cancelled"},
    {0x80100003, "the PC/SC handle is not valid (any more)"},
    {0x80100004, "a parameter was not valid"},
    {0x80100005, "the reader's configuration is not valid"},
    {0x80100006, "the PC/SC service ran out of memory"},
    {0x80100007, "an internal wait of the PC/SC service ran out"},
    {0x80100008, "the answer did not fit the room given for it"},
    {0x80100009, "no such reader (it was removed?)"},
    {0x8010000A, "the wait ran out"},
    {0x8010000B, "the card is in use by another application"},
    {0x8010000C, "no card in the reader"},
    {0x8010000D, "the card is of an unknown kind"},
    {0x8010000E, "the card cannot be left as asked"},
    {0x8010000F, "the card and the reader share no protocol"},
    {0x80100010, "the reader or the card is not ready"},
    {0x80100011, "a value was not valid"},
    {0x80100012, "the system cancelled the call (logging off or shutting down?)"},
    {kCommError, "the line to the PC/SC service broke (did pcscd stop?)"},
    {0x80100014, "the PC/SC service failed for an unknown reason"},
    {0x80100015, "the card's ATR is not valid"},
    {0x80100016, "another application holds the card in a transaction"},
    {0x80100017, "the reader is not available (unplugged?)"},
    {0x80100018, "the PC/SC service is shutting down"},
    {0x80100019, "the protocol control block is too small"},
    {0x8010001A, "the reader's driver does not support this reader"},
    {0x8010001B, "a reader of that name is there already"},
    {0x8010001C, "the reader does not support this card"},
    {kNoService, "the PC/SC service is not running"},
    {kServiceStopped, "the PC/SC service stopped"},
    {0x8010001F, "the PC/SC service did not expect the call"},
    {0x8010002E, "no PC/SC readers"},
    {0x8010002F, "data was lost on the line to the PC/SC service"},
    {0x80100031, "the PC/SC service is too busy"},
    {0x80100065, "the card's ATR is not supported"},
    {0x80100066, "the card does not answer"},
    {0x80100067, "the card is not powered"},
    {0x80100068, "the card was reset by another application"},
    {0x80100069, "the card was removed"},
    {0x8010006A, "access refused by the card's security rules"},
    {0x8010006B, "the card refused the PIN"},
    {0x8010006C, "the card has blocked the PIN (too many wrong tries)"},
    {0x8010006D, "no more data on the card"},
    {0x8010006E, "the action was cancelled by the user"},
}};

}  // namespace

std::string pcsc_error(uint32_t code) {
  for (const Known& known : kCodes) {
    if (known.code == code) return fmt::format("{} ({:08X})", known.meaning, code);
  }
  return fmt::format("PC/SC error {:08X}", code);
}

bool pcsc_service_gone(uint32_t code) {
  return code == kCommError || code == kNoService || code == kServiceStopped;
}

}  // namespace vorkand::cli
