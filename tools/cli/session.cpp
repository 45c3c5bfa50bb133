#include "cli/session.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "cli/open_reason.h"
#include "cli/pcsc_readers.h"
#include "cli/status_words.h"
#include "vorkand.h"

namespace vorkand::cli {

namespace {

constexpr const char* kDeviceHint = "; use --device PATH or run `vorkand sim`";

// A device the tool can name a replacement for: a serial device, not a
// PC/SC reader or a network port (whose errors say what to fix).
bool serial_device(const std::string& mapping) {
  return mapping.rfind("pcsc:", 0) != 0 && mapping.find("://") == std::string::npos;
}

// The PC/SC reader a "pcsc:NAME" mapping picks as the library does: the one
// named so, else the only one whose name holds NAME.
const PcscReader* mapped_reader(const PcscReport& pcsc, std::string_view wanted) {
  const PcscReader* found = nullptr;
  int containing = 0;
  for (const PcscReader& reader : pcsc.readers) {
    if (reader.name == wanted) return &reader;
    if (reader.name.find(wanted) != std::string::npos) {
      found = &reader;
      ++containing;
    }
  }
  return containing == 1 ? found : nullptr;
}

}  // namespace

std::string pcsc_choice(const Context& context) {
  if (!port_source(context.port).empty()) return {};
  const PcscReport pcsc = list_pcsc_readers();
  if (pcsc.readers.empty()) return {};
  std::string names;
  for (std::size_t i = 0; i < pcsc.readers.size(); ++i) {
    names += fmt::format("{}{} \"{}\"", i == 0 ? "" : ", ", i, pcsc.readers[i].name);
  }
  return fmt::format("; PC/SC readers: {} (-r N picks one)", names);
}

PickedReader pick_reader(const std::string& wanted) {
  const PcscReport pcsc = list_pcsc_readers();
  const auto listed = [&] {
    std::string names;
    for (std::size_t i = 0; i < pcsc.readers.size(); ++i) {
      names += fmt::format("{}{} \"{}\"", i == 0 ? "" : ", ", i, pcsc.readers[i].name);
    }
    return names;
  };
  const std::string head = "--reader " + wanted + ": ";
  if (!pcsc.available) return {{}, head + "no PC/SC readers: " + pcsc.note};
  if (pcsc.readers.empty()) return {{}, head + "PC/SC lists no readers"};
  if (!wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos) {
    const std::size_t index = wanted.size() > 6 ? pcsc.readers.size() : std::stoul(wanted);
    if (index < pcsc.readers.size()) return {"pcsc:" + pcsc.readers[index].name, {}};
    return {{}, fmt::format("{}no reader {}; the readers are {}", head, wanted, listed())};
  }
  if (const PcscReader* reader = mapped_reader(pcsc, wanted)) return {"pcsc:" + reader->name, {}};
  std::string matching;
  for (const PcscReader& reader : pcsc.readers) {
    if (reader.name.find(wanted) != std::string::npos) {
      matching += (matching.empty() ? "\"" : ", \"") + reader.name + "\"";
    }
  }
  if (!matching.empty()) {
    return {{},
            fmt::format("{}several readers match: {} (a number picks one: {})", head, matching,
                        listed())};
  }
  return {{}, fmt::format("{}no reader's name holds it; the readers are {}", head, listed())};
}

std::optional<int32_t> open_port(const Context& context) {
  const Opened opened = open_with_reason(context.port);
  if (opened.handle != 0) return opened.handle;
  const std::string mapping = port_mapping(context.port);
  const std::string why = open_failure(mapping, opened.reason);
  // Only a device that is not there is helped by naming another.
  std::string hint = pcsc_choice(context);
  if (hint.empty() && serial_device(mapping) && why.rfind("missing", 0) == 0) hint = kDeviceHint;
  context.out.fail(kExitFailure, fmt::format("cannot open {}: {}: {}{}", context.port, mapping,
                                             why.empty() ? "could not be opened" : why, hint));
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
  if (apdu_has_le(apdu)) {
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

namespace {

// Why a PC/SC reader refused, from its state: the library connects to the
// card alone, and says only that it could not. Empty when the state does not
// tell (or the port is no PC/SC reader).
std::string pcsc_refusal(const std::string& mapping, bool powering) {
  if (mapping.rfind("pcsc:", 0) != 0) return {};
  const PcscReport pcsc = list_pcsc_readers();
  const PcscReader* reader = mapped_reader(pcsc, std::string_view(mapping).substr(5));
  if (reader == nullptr) return {};
  const auto has = [&](const char* word) {
    return std::find(reader->state.begin(), reader->state.end(), word) != reader->state.end();
  };
  if (has("in use") || has("exclusive")) return "the card is in use by another application";
  if (has("no card")) return "no card in the reader";
  if (has("mute card")) return "the card does not answer";
  if (!powering && has("card present"))
    return "the card is not powered up (without --no-power-up it would be)";
  return {};
}

}  // namespace

std::string reader_failure(const Context& context, uint16_t sw) {
  if (sw == kSwNoReply) {
    const std::string mapping = port_mapping(context.port);
    std::string hint = pcsc_choice(context);
    if (hint.empty() && serial_device(mapping)) hint = kDeviceHint;
    return fmt::format("no reply from the reader on {} ({}): {}{}", context.port, mapping,
                       sw_text(sw), hint);
  }
  const std::string why =
      sw == kSwRefused ? pcsc_refusal(port_mapping(context.port), false) : std::string();
  return fmt::format("reader error on {}: {}", context.port, why.empty() ? sw_text(sw) : why);
}

std::string power_up_failure(const Context& context, uint16_t sw) {
  if (sw == kSwNoReply) return reader_failure(context, sw);
  const std::string mapping = port_mapping(context.port);
  const std::string why = sw == kSwRefused ? pcsc_refusal(mapping, true) : std::string();
  return fmt::format("power-up failed on {} ({}): {}", context.port, mapping,
                     why.empty() ? sw_text(sw) : why);
}

}  // namespace vorkand::cli
