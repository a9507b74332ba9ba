// What the command-line host needs from the operating system beyond the
// standard library: one implementation in system_posix.cpp, one in
// system_win32.cpp.
#pragma once

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "port.h"

namespace rovod {

bool StderrIsTerminal();
// UTC parts of a time.
std::tm UtcParts(std::time_t t);
// PATH: its separator, and whether a directory of it holds the program.
extern const char kPathSeparator;
bool IsProgram(const std::string &dir, const std::string &program);
// Runs the program with the text on its standard input; its exit code.
int RunWithInput(const std::string &program, const std::string &text);

// The device number of the port the driver opens under that name, as
// "major:minor"; "" where there is none (or on Windows).
std::string DeviceNumber(const std::string &port);

// The machine's serial ports, one JSON object each; false with a message
// when they cannot be listed.
bool ListPorts(nlohmann::json *pPorts, std::string *pError);

}  // namespace rovod
