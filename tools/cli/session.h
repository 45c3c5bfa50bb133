// The library calls the commands share: open the port (saying why it did
// not open), power up, exchange an APDU.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "cli/commands.h"

namespace vorkand::cli {

struct Exchange {
  Bytes data;
  uint16_t sw = 0;
};

// CT_open of the context's port; on failure reports which device the port
// maps to and why it cannot be opened.
std::optional<int32_t> open_port(const Context& context);

Exchange power_up(int32_t handle);
Exchange transparent(int32_t handle, const Bytes& apdu);
Exchange command(int32_t handle, const Bytes& apdu, int direction, int protocol);

// The whole answer to `apdu` as `send` exchanges it: on 61 xx GET RESPONSE
// (00 C0 00 00 xx) until the card announces no more, on 6C xx the last
// command again with Le xx; the data of every part, the last status word.
Exchange whole_answer(const Bytes& apdu, const std::function<Exchange(const Bytes&)>& send);

// The error for a status word the library gave in place of the card's: a
// silent reader is named by its port and device.
std::string reader_failure(const Context& context, uint16_t sw);

// The error for a power-up that failed: a silent reader as reader_failure
// says it; a PC/SC reader that refused, why (no card, or the card in use by
// another application).
std::string power_up_failure(const Context& context, uint16_t sw);

// The PC/SC readers, numbered, with how to pick one, when the context's port
// maps to its default device and PC/SC lists readers: "; PC/SC readers: 0
// \"A\", 1 \"B\" (-r N picks one)"; else empty.
std::string pcsc_choice(const Context& context);

// `--reader WANTED`: the PC/SC reader of that number as `readers` lists
// them, or the one whose name is or holds WANTED, as a mapping
// ("pcsc:NAME"); else an error that lists the readers there are.
struct PickedReader {
  std::string mapping;
  std::string error;
};
PickedReader pick_reader(const std::string& wanted);

}  // namespace vorkand::cli
