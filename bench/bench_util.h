// What the benchmarks share: a raw pseudo-terminal pair and percentiles.
#pragma once

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace bench {

// Opens a raw pty pair; *ppszDevice gets the slave's name below /dev/
// ("pts/N"), as the driver takes port names.
inline bool OpenRawPty(int *piMaster, int *piSlave, const char **ppszDevice) {
    if (openpty(piMaster, piSlave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return false;
    }
    termios tio{};
    tcgetattr(*piSlave, &tio);
    cfmakeraw(&tio);
    tcsetattr(*piSlave, TCSANOW, &tio);
    const char *pszPath = ttyname(*piSlave);
    if (pszPath == nullptr || std::strncmp(pszPath, "/dev/", 5) != 0) return false;
    *ppszDevice = pszPath + 5;
    return true;
}

// The mean period, in ms, of events stamped in µs (in order), from event
// `from` on.
inline double MeanPeriodMs(const std::vector<int64_t> &timesUs, size_t from = 0) {
    return static_cast<double>(timesUs.back() - timesUs[from]) / 1000.0 /
           static_cast<double>(timesUs.size() - 1 - from);
}

template <typename T>
T Percentile(std::vector<T> v, int iPercent) {
    std::sort(v.begin(), v.end());
    return v[(v.size() - 1) * static_cast<size_t>(iPercent) / 100];
}

}  // namespace bench
