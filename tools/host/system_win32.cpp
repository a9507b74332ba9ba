// The host's system services on Windows.
#include <io.h>

#include <cstdlib>

#include "system.h"

namespace rovod {

bool StderrIsTerminal() { return _isatty(2) != 0; }

std::tm UtcParts(std::time_t t) {
    std::tm parts{};
    gmtime_s(&parts, &t);
    return parts;
}

const char kPathSeparator = ';';

std::string DeviceNumber(const std::string &) { return ""; }

bool IsProgram(const std::string &dir, const std::string &program) {
    return !dir.empty() && _access((dir + "\\" + program + ".exe").c_str(), 0) == 0;
}

int RunWithInput(const std::string &program, const std::string &text) {
    FILE *pipe = _popen(program.c_str(), "w");
    if (pipe == nullptr) return -1;
    std::fwrite(text.data(), 1, text.size(), pipe);
    return _pclose(pipe);
}

}  // namespace rovod
