// The pure parts of the POSIX serial device, apart so that tests can reach them
// without a device: the device a COM name stands for, and the reader's line
// settings.
#pragma once

#include <termios.h>

#include <cstddef>
#include <span>

namespace vorkand::link::serial {

// Writes the device path for COM port `index` (1..4) into `out`, zero-terminated:
// the value of the environment variable VORKAND_COM<index> when it is set and
// not empty (read at each call), else /dev/ttyS<index-1>. False when `index` is
// out of range or the path does not fit.
bool com_device_path(int index, std::span<char> out) noexcept;

// The reader's line settings on top of `current`: 9600 baud, even parity, 8
// data bits, 1 stop bit, no XON/XOFF and no hardware handshake, receiver on,
// modem status lines ignored, and raw (no echo, no line editing, no character
// translation in either direction). Reads return at once with what is waiting.
// Every other setting stays as in `current`.
termios line_settings(const termios& current) noexcept;

// True when `applied` (as read back from the port) carries `wanted` in every
// respect but parity: a pseudo-terminal silently drops the parity bits.
bool settings_took(const termios& wanted, const termios& applied) noexcept;

}  // namespace vorkand::link::serial
