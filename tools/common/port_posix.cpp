// Port names on Linux: links resolved to the device below /dev.
#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include "port.h"

namespace rovod {

std::string DriverPath(const std::string &name) {
    return !name.empty() && (name[0] == '/' || name[0] == '.') ? name : "/dev/" + name;
}

std::string ResolvePort(const std::string &name) {
    const std::string path = DriverPath(name);
    // A name that is no link (or no file at all) goes to the driver as it is.
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return name;
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) return name;
    const std::string resolved = real;
    return resolved.rfind("/dev/", 0) == 0 ? resolved.substr(5) : resolved;
}

}  // namespace rovod
