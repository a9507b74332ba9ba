// LoadLibraryA of ZEDADAD.dll and GetProcAddress of ZevMain. The driver's
// imports err and Mox5UnCook resolve against this program, which must be
// named DERUDE.exe and export both.
#include <windows.h>

#include <cstdlib>
#include <vector>

#include "load.h"

namespace rovod {

namespace {

std::string ProgramDir() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return ".";
    const std::string self(path, n);
    const size_t slash = self.find_last_of("\\/");
    return slash == std::string::npos ? "." : self.substr(0, slash);
}

std::string SystemMessage(DWORD code) {
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
    return n > 0 ? std::string(text, n) + " (error " + std::to_string(code) + ")"
                 : "error " + std::to_string(code);
}

}  // namespace

bool LoadDriver(const std::string &explicitPath, const char *, LoadedDriver *pOut, std::string *pError) {
    std::vector<std::string> places;
    const char *env = std::getenv("ROVOD_DRIVER");
    if (!explicitPath.empty()) {
        places.push_back(explicitPath);
    } else if (env != nullptr && *env != '\0') {
        places.push_back(env);
    } else {
        // The host keeps its drivers next to its own executable.
        places.push_back(ProgramDir() + "\\ZEDADAD.dll");
    }
    std::string tried;
    for (const std::string &place : places) {
        if (GetFileAttributesA(place.c_str()) == INVALID_FILE_ATTRIBUTES) {
            tried += "\n  " + place + ": no such file";
            continue;
        }
        HMODULE module = LoadLibraryA(place.c_str());
        if (module == nullptr) {
            tried += "\n  " + place + ": " + SystemMessage(GetLastError());
            continue;
        }
        FARPROC entry = GetProcAddress(module, "ZevMain");
        if (entry == nullptr) {
            tried += "\n  " + place + ": has no ZevMain";
            FreeLibrary(module);
            continue;
        }
        // The module stays loaded for the life of the process, as in the host.
        pOut->pZevMain = reinterpret_cast<ZevMainFn>(reinterpret_cast<void *>(entry));
        pOut->path = place;
        return true;
    }
    *pError = "cannot load the driver (give --driver PATH or set ROVOD_DRIVER); tried:" + tried;
    return false;
}

}  // namespace rovod
