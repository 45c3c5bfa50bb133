// The facts about ports and APDUs the tool checks before it calls the
// library: the port names, the device a port maps to, the longest APDU.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vorkand.h"

namespace vorkand::cli {

using Bytes = std::vector<uint8_t>;

// The longest APDU the library can frame (a reply frame carries at most 256
// bytes; the frame around an APDU takes the rest).
inline constexpr std::size_t kMaxApdu = VORKAND_MAX_APDU;
inline constexpr std::size_t kMinApdu = 4;

// The ports the library opens, by the names it accepts (in any case).
inline constexpr std::array<std::string_view, 4> kPorts{"COM1", "COM2", "COM3", "COM4"};

// "com2" -> "COM2"; nothing when the name is not one of kPorts.
std::optional<std::string> normalise_port(std::string_view name);

// "VORKAND_COM2" for "COM2".
std::string port_variable(std::string_view port);

// What the library opens for the port: the variable's value when set and not
// empty, else /dev/ttyS0../dev/ttyS3 (Windows: vorkand.ini beside vorkand.dll,
// else the port itself).
std::string port_mapping(std::string_view port);

// Where the port's mapping comes from: "VORKAND_COM2", on Windows also
// "C:\dir\vorkand.ini [ports] COM2"; empty when the port is not mapped.
std::string port_source(std::string_view port);

// An APDU typed by a user: hex bytes, kMinApdu to kMaxApdu of them, whose
// Lc (the fifth byte, when data follow it) counts the data exactly, with at
// most Le after them. On error, what is wrong and where: the character that
// is not hex, the length and the limit, or what Lc announces against what
// follows.
std::variant<Bytes, std::string> parse_apdu(std::string_view text);

// Whether an APDU parse_apdu accepted ends in Le (it asks for data).
bool apdu_has_le(const Bytes& apdu);

// Why CT_open of a port mapped to `mapping` failed: the library's reason
// (`library_reason`, see open_reason.h) when it gave one, a busy device with
// the process holding it; without a reason from the library, what the tool
// finds out about a device path itself ("missing", "not a terminal", ...);
// else empty.
std::string open_failure(const std::string& mapping, const std::string& library_reason);

}  // namespace vorkand::cli
