#include "line/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ptytest {

namespace {

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

bool PtyOpen(Pty *pPty, bool bHoldSlave) {
    *pPty = Pty{-1, -1, {}, {}};
    int iMaster = -1;
    int iSlave = -1;
    if (openpty(&iMaster, &iSlave, nullptr, nullptr, nullptr) != 0) return false;
    const char *pszPath = ttyname(iSlave);
    if (pszPath == nullptr || std::strncmp(pszPath, "/dev/", 5) != 0 ||
        std::strlen(pszPath) >= sizeof pPty->szPath) {
        int iSaved = errno;
        close(iMaster);
        close(iSlave);
        errno = iSaved == 0 ? ENAMETOOLONG : iSaved;
        return false;
    }
    std::snprintf(pPty->szPath, sizeof pPty->szPath, "%s", pszPath);
    std::snprintf(pPty->szName, sizeof pPty->szName, "%s", pszPath + 5);
    // Raw on both sides, so no byte of the protocol is translated or echoed.
    termios tio{};
    if (tcgetattr(iSlave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(iSlave, TCSANOW, &tio);
    }
    fcntl(iMaster, F_SETFD, FD_CLOEXEC);
    fcntl(iSlave, F_SETFD, FD_CLOEXEC);
    pPty->iMaster = iMaster;
    if (bHoldSlave) {
        pPty->iSlave = iSlave;
    } else {
        close(iSlave);
    }
    return true;
}

void PtyClose(Pty *pPty) {
    PtyCloseMaster(pPty);
    if (pPty->iSlave >= 0) {
        close(pPty->iSlave);
        pPty->iSlave = -1;
    }
}

void PtyCloseMaster(Pty *pPty) {
    if (pPty->iMaster >= 0) {
        close(pPty->iMaster);
        pPty->iMaster = -1;
    }
}

bool PtyWrite(Pty *pPty, const void *pData, size_t n) {
    const auto *p = static_cast<const unsigned char *>(pData);
    while (n > 0) {
        ssize_t k = write(pPty->iMaster, p, n);
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

size_t PtyRead(Pty *pPty, void *pData, size_t n, int iTimeoutMs) {
    auto *p = static_cast<unsigned char *>(pData);
    size_t got = 0;
    const int64_t deadline = NowMs() + iTimeoutMs;
    while (got < n) {
        int64_t left = deadline - NowMs();
        if (left < 0) left = 0;
        pollfd pfd{pPty->iMaster, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || (pfd.revents & POLLIN) == 0) break;
        ssize_t k = read(pPty->iMaster, p + got, n - got);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        got += static_cast<size_t>(k);
    }
    return got;
}

void PtyDrain(Pty *pPty) {
    unsigned char buf[256];
    while (PtyRead(pPty, buf, sizeof buf, 0) > 0) {
    }
}

}  // namespace ptytest
