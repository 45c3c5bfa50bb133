#include "cli/apdu_text.h"

#include <fmt/format.h>

#include "cli/hex_input.h"
#include "common/hex.h"

namespace vorkand::cli {

std::variant<Bytes, std::string> parse_apdu(std::string_view text) {
  auto read = read_hex(text);
  if (auto* error = std::get_if<std::string>(&read)) return std::move(*error);
  Bytes& apdu = std::get<Bytes>(read);
  if (apdu.size() < kMinApdu) {
    return fmt::format("an APDU of {} byte{} is too short: at least {} (CLA INS P1 P2)",
                       apdu.size(), apdu.size() == 1 ? "" : "s", kMinApdu);
  }
  if (apdu.size() > kMaxApdu) {
    return fmt::format("an APDU of {} bytes is too long: the limit is {}", apdu.size(), kMaxApdu);
  }
  // Header alone, header and Le, or header, Lc, its data and perhaps Le.
  if (apdu.size() <= kMinApdu + 1) return std::move(apdu);
  const std::size_t lc = apdu[kMinApdu];
  const std::size_t after = apdu.size() - kMinApdu - 1;
  if (lc == 0) {
    return fmt::format(
        "byte 5, Lc 00, announces no data, but {} byte{} follow{} "
        "(extended lengths are not taken)",
        after, after == 1 ? "" : "s", after == 1 ? "s" : "");
  }
  if (after < lc || after > lc + 1) {
    return fmt::format("byte 5, Lc {:02X}, announces {} data byte{}{}, but {} follow{}", lc, lc,
                       lc == 1 ? "" : "s", after > lc ? " and at most Le" : "", after,
                       after == 1 ? "s" : "");
  }
  return std::move(apdu);
}

bool apdu_has_le(const Bytes& apdu) {
  return apdu.size() == kMinApdu + 1 ||
         (apdu.size() > kMinApdu + 1 && apdu.size() == kMinApdu + 2u + apdu[kMinApdu]);
}

}  // namespace vorkand::cli
