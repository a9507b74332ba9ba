// dlopen of libzedadad.so and dlsym of ZevMain. The driver's imports err and
// Mox5UnCook bind to this executable, which exports them.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "load.h"

namespace rovod {

namespace {

std::string ProgramDir(const char *argv0) {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string(argv0 ? argv0 : "");
    const size_t slash = self.rfind('/');
    return slash == std::string::npos ? "." : self.substr(0, slash);
}

}  // namespace

bool LoadDriver(const std::string &explicitPath, const char *argv0, LoadedDriver *pOut, std::string *pError) {
    std::vector<std::string> places;
    const char *env = std::getenv("ROVOD_DRIVER");
    if (!explicitPath.empty()) {
        places.push_back(explicitPath);
    } else if (env != nullptr && *env != '\0') {
        places.push_back(env);
    } else {
        const std::string dir = ProgramDir(argv0);
        places.push_back(dir + "/libzedadad.so");
        places.push_back(dir + "/" ROVOD_INSTALLED_DRIVER);
#ifdef ROVOD_BUILD_DRIVER
        places.push_back(ROVOD_BUILD_DRIVER);
#endif
    }
    std::string tried;
    for (const std::string &place : places) {
        if (access(place.c_str(), F_OK) != 0) {
            tried += "\n  " + place + ": no such file";
            continue;
        }
        void *handle = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char *why = dlerror();
            tried += "\n  " + place + ": " + (why ? why : "cannot be loaded");
            continue;
        }
        void *entry = dlsym(handle, "ZevMain");
        if (entry == nullptr) {
            tried += "\n  " + place + ": has no ZevMain";
            dlclose(handle);
            continue;
        }
        // The library stays loaded for the life of the process, as in the host.
        pOut->pZevMain = reinterpret_cast<ZevMainFn>(entry);
        pOut->path = place;
        return true;
    }
    *pError = "cannot load the driver (give --driver PATH or set ROVOD_DRIVER); tried:" + tried;
    return false;
}

}  // namespace rovod
