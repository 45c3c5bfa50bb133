#include "cli/session.h"

#include <fmt/format.h>

#include <array>

#include "cli/open_reason.h"
#include "cli/status_words.h"
#include "vorkand.h"

namespace vorkand::cli {

std::optional<int32_t> open_port(const Context& context) {
  const Opened opened = open_with_reason(context.port);
  if (opened.handle != 0) return opened.handle;
  const std::string mapping = port_mapping(context.port);
  const std::string why = open_failure(mapping, opened.reason);
  context.out.fail(kExitFailure,
                   fmt::format("cannot open {}: {}: {}; use --device PATH or run `vorkand sim`",
                               context.port, mapping, why.empty() ? "could not be opened" : why));
  return std::nullopt;
}

Exchange power_up(int32_t handle) {
  std::array<uint8_t, 256> atr{};
  uint8_t length = 0;
  const auto sw = static_cast<uint16_t>(ICC_reset(handle, &length, atr.data()));
  return Exchange{Bytes(atr.begin(), atr.begin() + length), sw};
}

Exchange transparent(int32_t handle, const Bytes& apdu) {
  std::array<uint8_t, 256> response{};
  uint8_t length = 0;
  const auto sw = static_cast<uint16_t>(ICC_tsi_api(handle, static_cast<int32_t>(apdu.size()),
                                                    apdu.data(), &length, response.data()));
  return Exchange{Bytes(response.begin(), response.begin() + length), sw};
}

Exchange command(int32_t handle, const Bytes& apdu, int direction, int protocol) {
  std::array<uint8_t, 256> response{};
  uint8_t length = 0;
  const auto sw =
      static_cast<uint16_t>(ICC_command(handle, static_cast<int32_t>(apdu.size()), apdu.data(),
                                        &length, response.data(), direction, protocol));
  return Exchange{Bytes(response.begin(), response.begin() + length), sw};
}

namespace {

// `apdu` with its Le set to `le`: replaced where it has one, appended where
// it has none.
Bytes with_le(Bytes apdu, uint8_t le) {
  const bool has_le = apdu.size() == kMinApdu + 1 ||
                      (apdu.size() > kMinApdu + 1 && apdu.size() == kMinApdu + 2u + apdu[kMinApdu]);
  if (has_le) {
    apdu.back() = le;
  } else {
    apdu.push_back(le);
  }
  return apdu;
}

}  // namespace

Exchange whole_answer(const Bytes& apdu, const std::function<Exchange(const Bytes&)>& send) {
  // A card that keeps announcing more is stopped well past the longest
  // answer an extended Le could ask for.
  constexpr int kMaxParts = 300;
  Exchange whole;
  Bytes last = apdu;
  Exchange part = send(last);
  for (int parts = 1;; ++parts) {
    const unsigned sw1 = part.sw >> 8;
    const auto xx = static_cast<uint8_t>(part.sw & 0xFF);
    if (sw1 != 0x6C) {
      whole.data.insert(whole.data.end(), part.data.begin(), part.data.end());
      if (sw1 != 0x61) break;
    }
    if (parts == kMaxParts) break;
    last = sw1 == 0x6C ? with_le(std::move(last), xx) : Bytes{0x00, 0xC0, 0x00, 0x00, xx};
    part = send(last);
  }
  whole.sw = part.sw;
  return whole;
}

std::string reader_failure(const Context& context, uint16_t sw) {
  if (sw == kSwNoReply) {
    return fmt::format("no reply from the reader on {} ({}): {}", context.port,
                       port_mapping(context.port), sw_text(sw));
  }
  return fmt::format("reader error on {}: {}", context.port, sw_text(sw));
}

}  // namespace vorkand::cli
