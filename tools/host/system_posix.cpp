// The host's system services on Linux.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "system.h"

namespace rovod {

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
