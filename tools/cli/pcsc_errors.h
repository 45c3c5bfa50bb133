// What a PC/SC result code means, in the tool's words: every code the tool
// passes on to the user goes through pcsc_error, never as a bare number.
#pragma once

#include <cstdint>
#include <string>

namespace vorkand::cli {

// The meaning with the code: "the PC/SC service stopped (80100013)"; a code
// the table does not know is "PC/SC error 8010FFFF".
std::string pcsc_error(uint32_t code);

// Whether the code means the PC/SC service itself is gone (not running,
// stopped, or the line to it broke), as opposed to a reader or a card.
bool pcsc_service_gone(uint32_t code);

}  // namespace vorkand::cli
