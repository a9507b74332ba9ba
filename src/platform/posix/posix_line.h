// Between the posix system's files: the device-control block as the kernel's
// termios. Kept apart because <asm/termbits.h>, which can set any baud rate,
// clashes with <termios.h>.
#pragma once

#include <cstddef>

#include "platform/system.h"

namespace sys::posix {

// Fills the line members of *pDcb (rate, size, parity, stop bits, flow
// control, parity checking, XON/XOFF characters) from the device; the other
// members are left as they are. False when fd is not a terminal.
bool ReadLineSettings(int fd, Dcb *pDcb);
// Puts the device in raw mode with the line settings of *pDcb. False, and
// the device unchanged, for a rate of 0 or any member the line cannot take.
bool WriteLineSettings(int fd, const Dcb *pDcb);
// Drops the bytes the terminal has received and nobody has read.
bool DiscardInput(int fd);

// The device path CreateFileA opens for a port name; false when there is none.
bool PortPath(const char *pszName, char *pszPath, size_t cbPath);

}  // namespace sys::posix
