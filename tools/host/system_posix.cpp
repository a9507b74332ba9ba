// The host's system services on Linux.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "port.h"
#include "system.h"

namespace rovod {

std::string DeviceNumber(const std::string &port) {
    struct stat info {};
    if (stat(DriverPath(port).c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return "";
    return std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
}

bool StderrIsTerminal() { return isatty(2) == 1; }

std::tm UtcParts(std::time_t t) {
    std::tm parts{};
    gmtime_r(&t, &parts);
    return parts;
}

const char kPathSeparator = ':';

bool IsProgram(const std::string &dir, const std::string &program) {
    return access(((dir.empty() ? "." : dir) + "/" + program).c_str(), X_OK) == 0;
}

int RunWithInput(const std::string &program, const std::string &text) {
    FILE *pipe = popen(program.c_str(), "w");
    if (pipe == nullptr) return -1;
    std::fwrite(text.data(), 1, text.size(), pipe);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace rovod
