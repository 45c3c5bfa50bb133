// The port names the tool checks before it calls the library: COM1..COM4,
// the variable that maps each, the device it maps to, and why it did not open.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace vorkand::cli {

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

// Why CT_open of a port mapped to `mapping` failed: the library's reason
// (`library_reason`, see open_reason.h) when it gave one, a busy device with
// the process holding it; without a reason from the library, what the tool
// finds out about a device path itself ("missing", "not a terminal", ...);
// else empty.
std::string open_failure(const std::string& mapping, const std::string& library_reason);

}  // namespace vorkand::cli
