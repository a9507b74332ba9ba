// Why a port would not open, in words that say what to do: for a missing
// device the serial ports there are, for a refused one the group to join,
// for a port in use the process that holds it. Only the failure path comes
// here; it reads /sys, /dev/serial/by-id and /proc as they are.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_line.h"
#include "platform/system.h"
#include "platform/text.h"

namespace sys {

namespace {

constexpr size_t kMaxPorts = 32;
constexpr size_t kNameSize = 32;
constexpr size_t kPathSize = 320;
constexpr size_t kMaxGroups = 256;
constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;

// The first line of a small file, without its line feed; false when it
// cannot be read.
bool ReadLine(const char *pszPath, char *psz, size_t cb) {
    std::FILE *pFile = std::fopen(pszPath, "r");
    if (pFile == nullptr) return false;
    const bool bRead = std::fgets(psz, static_cast<int>(cb), pFile) != nullptr;
    std::fclose(pFile);
    if (!bRead) return false;
    psz[std::strcspn(psz, "\n")] = '\0';
    return true;
}

bool IsNumber(const char *psz) {
    if (*psz == '\0') return false;
    for (; *psz != '\0'; ++psz)
        if (*psz < '0' || *psz > '9') return false;
    return true;
}

// The stable name udev gave the device, if any.
bool FindById(const char *pszDevice, char *pszLink, size_t cbLink) {
    DIR *pDir = opendir("/dev/serial/by-id");
    if (pDir == nullptr) return false;
    bool bFound = false;
    while (const dirent *pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.') continue;
        char szPath[kPathSize];
        char szTarget[kPathSize];
        std::snprintf(szPath, sizeof szPath, "/dev/serial/by-id/%s", pEntry->d_name);
        const ssize_t n = readlink(szPath, szTarget, sizeof szTarget - 1);
        if (n <= 0) continue;
        szTarget[n] = '\0';
        const char *pszBase = std::strrchr(szTarget, '/');
        if (std::strcmp(pszBase != nullptr ? pszBase + 1 : szTarget, pszDevice) != 0) continue;
        bFound = std::snprintf(pszLink, cbLink, "%s", szPath) < static_cast<int>(cbLink);
        break;
    }
    closedir(pDir);
    return bFound;
}

// The machine's serial ports: ttys with a device behind them, less the
// UART slots that have no chip (type 0).
void AddPorts(Text *pText) {
    char aNames[kMaxPorts][kNameSize];
    const char *apNames[kMaxPorts];
    size_t nPorts = 0;
    if (DIR *pDir = opendir("/sys/class/tty")) {
        while (const dirent *pEntry = readdir(pDir)) {
            if (pEntry->d_name[0] == '.' || nPorts == kMaxPorts) continue;
            const size_t nName = std::strlen(pEntry->d_name);
            if (nName >= kNameSize) continue;
            char szPath[kPathSize];
            std::snprintf(szPath, sizeof szPath, "/sys/class/tty/%s/device", pEntry->d_name);
            if (access(szPath, F_OK) != 0) continue;
            char szType[16];
            std::snprintf(szPath, sizeof szPath, "/sys/class/tty/%s/type", pEntry->d_name);
            if (ReadLine(szPath, szType, sizeof szType) && std::strcmp(szType, "0") == 0) continue;
            std::memcpy(aNames[nPorts], pEntry->d_name, nName + 1);
            apNames[nPorts] = aNames[nPorts];
            ++nPorts;
        }
        closedir(pDir);
    }
    if (nPorts == 0) {
        Add(pText, "; no serial port found on this machine");
        return;
    }
    std::sort(apNames, apNames + nPorts, [](const char *a, const char *b) { return std::strcmp(a, b) < 0; });
    for (size_t i = 0; i < nPorts; ++i) {
        Add(pText, "%s/dev/%s", i == 0 ? "; serial ports here: " : ", ", apNames[i]);
        char szLink[kPathSize];
        if (FindById(apNames[i], szLink, sizeof szLink)) Add(pText, " (%s)", szLink);
    }
}

bool InGroup(gid_t gid) {
    if (getegid() == gid) return true;
    // More groups than this fail the call: then membership is not claimed.
    gid_t aGroups[kMaxGroups];
    const int n = getgroups(static_cast<int>(kMaxGroups), aGroups);
    for (int i = 0; i < n; ++i)
        if (aGroups[i] == gid) return true;
    return false;
}

void AddPermission(Text *pText, const char *pszPath) {
    struct stat info {};
    if (stat(pszPath, &info) != 0) {
        Add(pText, "%s: permission denied", pszPath);
        return;
    }
    char szBuffer[1024];
    group groupEntry{};
    group *pGroup = nullptr;
    getgrgid_r(info.st_gid, &groupEntry, szBuffer, sizeof szBuffer, &pGroup);
    char szGroup[kNameSize];
    if (pGroup != nullptr) {
        std::snprintf(szGroup, sizeof szGroup, "%s", pGroup->gr_name);
    } else {
        std::snprintf(szGroup, sizeof szGroup, "%u", static_cast<unsigned>(info.st_gid));
    }
    passwd userEntry{};
    passwd *pUser = nullptr;
    getpwuid_r(geteuid(), &userEntry, szBuffer, sizeof szBuffer, &pUser);
    char szUser[kNameSize];
    if (pUser != nullptr) {
        std::snprintf(szUser, sizeof szUser, "%s", pUser->pw_name);
    } else {
        std::snprintf(szUser, sizeof szUser, "%u", static_cast<unsigned>(geteuid()));
    }

    if ((info.st_mode & kGroupReadWrite) != kGroupReadWrite) {
        Add(pText,
            "%s: permission denied: its mode %03o gives its group %s no read and write; "
            "a udev rule with GROUP=\"dialout\", MODE=\"0660\" gives them, then add the user to that group",
            pszPath, static_cast<unsigned>(info.st_mode & 0777), szGroup);
    } else if (InGroup(info.st_gid)) {
        Add(pText, "%s: permission denied although user %s is in group %s: log in again so that it counts",
            pszPath, szUser, szGroup);
    } else {
        Add(pText,
            "%s: permission denied: the port belongs to group %s; add the user to it "
            "(sudo usermod -aG %s %s) and log in again",
            pszPath, szGroup, szGroup, szUser);
    }
}

bool SameFile(const struct stat &a, const struct stat &b) {
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A process with the device open, as /proc shows it to this user; another
// one rather than this process, whose other descriptors may hold no lock.
bool FindHolder(const char *pszPath, long *plPid, char *pszName, size_t cbName) {
    struct stat target {};
    if (stat(pszPath, &target) != 0) return false;
    DIR *pProc = opendir("/proc");
    if (pProc == nullptr) return false;
    const long lSelf = static_cast<long>(getpid());
    long lFound = 0;
    while (const dirent *pEntry = readdir(pProc)) {
        if (!IsNumber(pEntry->d_name)) continue;
        const long lPid = std::strtol(pEntry->d_name, nullptr, 10);
        if (lFound != 0 && lPid == lSelf) continue;
        char szFds[kPathSize];
        std::snprintf(szFds, sizeof szFds, "/proc/%s/fd", pEntry->d_name);
        DIR *pFds = opendir(szFds);
        if (pFds == nullptr) continue;
        bool bOpen = false;
        while (const dirent *pFd = readdir(pFds)) {
            struct stat info {};
            if (IsNumber(pFd->d_name) && fstatat(dirfd(pFds), pFd->d_name, &info, 0) == 0 &&
                SameFile(info, target)) {
                bOpen = true;
                break;
            }
        }
        closedir(pFds);
        if (bOpen) lFound = lPid;
        if (lFound != 0 && lFound != lSelf) break;
    }
    closedir(pProc);
    if (lFound == 0) return false;
    *plPid = lFound;
    char szComm[kPathSize];
    std::snprintf(szComm, sizeof szComm, "/proc/%ld/comm", lFound);
    if (!ReadLine(szComm, pszName, cbName)) std::snprintf(pszName, cbName, "?");
    return true;
}

void AddHolder(Text *pText, const char *pszPath) {
    long lPid = 0;
    char szName[kNameSize];
    if (!FindHolder(pszPath, &lPid, szName, sizeof szName)) {
        Add(pText, "%s: in use by another process, one this user cannot see (as root, fuser -v %s names it)",
            pszPath, pszPath);
    } else if (lPid == static_cast<long>(getpid())) {
        Add(pText, "%s: in use by this process (%ld, %s): another instance has it open", pszPath, lPid,
            szName);
    } else {
        Add(pText, "%s: in use by process %ld (%s); close the port there or end that process", pszPath, lPid,
            szName);
    }
}

}  // namespace

// errno is still CreateFileA's: the serial layer returns at once when the
// open fails.
uint32_t DescribeOpenFailure(const char *pszName, char *pszText, uint32_t cbText) {
    const int iErrno = errno;
    if (pszText == nullptr || cbText == 0) return 0;
    pszText[0] = '\0';
    char szPath[PATH_MAX];
    if (iErrno == 0 || !posix::PortPath(pszName, szPath, sizeof szPath)) return 0;
    Text text{pszText, cbText, 0};
    char szError[128];
    switch (iErrno) {
        case EBUSY:
            AddHolder(&text, szPath);
            break;
        case ENOENT:
            Add(&text, "%s: no such device", szPath);
            AddPorts(&text);
            break;
        case ENXIO:
        case ENODEV:
        case EIO:
            Add(&text, "%s: no device behind it (%s)", szPath, strerror_r(iErrno, szError, sizeof szError));
            AddPorts(&text);
            break;
        case EACCES:
        case EPERM:
            AddPermission(&text, szPath);
            break;
        default:
            Add(&text, "%s: %s", szPath, strerror_r(iErrno, szError, sizeof szError));
            break;
    }
    return static_cast<uint32_t>(text.n);
}

}  // namespace sys
