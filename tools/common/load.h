// Loading the driver library at run time, the way the real host loads it.
// One implementation per platform: load_posix.cpp (dlopen) and
// load_win32.cpp (LoadLibraryA). Everything else in tools/host is portable,
// except the files ending in _posix.cpp or _win32.cpp.
#pragma once

#include <string>

#include "zedadad/zedadad.h"

namespace rovod {

using ZevMainFn = uint32_t(ZEV_CALL *)(ZevRequest *);

struct LoadedDriver {
    ZevMainFn pZevMain = nullptr;
    std::string path;  // the file that was loaded
};

// Loads the driver and looks up ZevMain. With an explicit path only that
// file is tried; otherwise the platform's usual places relative to the
// running program (argv0 helps where the platform cannot tell). On failure
// returns false with a message naming every place tried in *pError.
bool LoadDriver(const std::string &explicitPath, const char *argv0, LoadedDriver *pOut, std::string *pError);

}  // namespace rovod
