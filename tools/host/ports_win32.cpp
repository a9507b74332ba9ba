// The serial ports of a Windows machine: the COM names in the device map.
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "system.h"

namespace rovod {

bool ListPorts(nlohmann::json *pPorts, std::string *pError) {
    *pPorts = nlohmann::json::array();
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return true;  // no serial port at all
    for (DWORD i = 0;; ++i) {
        char name[256], data[256];
        DWORD nameLen = sizeof name, dataLen = sizeof data - 1, type = 0;
        const LONG rc =
            RegEnumValueA(key, i, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE *>(data), &dataLen);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataLen] = '\0';
        // The value name is the kernel's device (\Device\Serial0), the data the COM name.
        pPorts->push_back(
            {{"device", std::string(data)}, {"name", std::string(data)}, {"driver", std::string(name)}});
    }
    RegCloseKey(key);
    // The device map comes in the registry's order (COM1, COM11, COM2, ...).
    auto number = [](const nlohmann::json &port) {
        const std::string name = port["name"];
        return name.rfind("COM", 0) == 0 ? std::atoi(name.c_str() + 3) : 0;
    };
    std::stable_sort(pPorts->begin(), pPorts->end(),
                     [&](const nlohmann::json &a, const nlohmann::json &b) { return number(a) < number(b); });
    (void)pError;
    return true;
}

}  // namespace rovod
