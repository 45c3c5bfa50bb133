#include "cli/apdu_text.h"

#include <fmt/format.h>

#include "common/hex.h"

namespace vorkand::cli {

std::variant<Bytes, std::string> parse_apdu(std::string_view text) {
  auto apdu = common::parse_hex(text);
  if (!apdu) return std::string("not hex bytes (pairs of hex digits, spaces or colons between)");
  if (apdu->size() < kMinApdu) {
    return fmt::format("an APDU of {} byte{} is too short: at least {} (CLA INS P1 P2)",
                       apdu->size(), apdu->size() == 1 ? "" : "s", kMinApdu);
  }
  if (apdu->size() > kMaxApdu) {
    return fmt::format("an APDU of {} bytes is too long: the limit is {}", apdu->size(), kMaxApdu);
  }
  return std::move(*apdu);
}

}  // namespace vorkand::cli
