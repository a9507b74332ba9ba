// Port names as the hosts hand them to the driver. One implementation in
// port_posix.cpp, one in port_win32.cpp.
#pragma once

#include <cstddef>
#include <string>

namespace rovod {

// The driver's port name field holds this many characters.
constexpr size_t kPortNameChars = 11;

// The port name to hand the driver: a symbolic link resolved to the device
// it names, shortened to the driver's form (/dev/ttyUSB0 -> ttyUSB0). A name
// that does not resolve is returned as it is.
std::string ResolvePort(const std::string &name);

// Linux: the path the driver opens for a port name, a path as it is, else
// the device in /dev.
std::string DriverPath(const std::string &name);

}  // namespace rovod
