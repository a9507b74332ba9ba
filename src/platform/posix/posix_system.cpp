// The posix system: the Windows serial, timing and priority services the
// driver uses, on termios, ioctl, poll, flock, clock_gettime and sched.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/posix/posix_line.h"
#include "platform/system.h"

namespace sys {

namespace {

// What Windows keeps per handle. A handle names a slot and the open that
// filled it, so a stale handle never reaches a later port in the same slot.
struct PortSlot {
    Handle h;  // 0: free
    int fd;
    bool bTerminal;
    CommTimeouts timeouts;
    Dcb dcb;                     // members the kernel has no place for
    bool bRs485Saved;            // SetRs485Mode changed the port's mode:
    serial_rs485 rs485Previous;  // the mode to give back at close
};

constexpr uint32_t kSlots = 64;
constexpr uint32_t kMaxDword = 0xFFFFFFFFu;
constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSecond = 1000000000;

std::mutex g_portsMutex;
std::array<PortSlot, kSlots> g_ports{};
uint32_t g_uOpens = 0;

PortSlot *SlotOf(Handle h) {
    if (h == 0 || h == kInvalidHandle) return nullptr;
    PortSlot *pSlot = &g_ports[(h - 1) % kSlots];
    return pSlot->h == h ? pSlot : nullptr;
}

// A copy of the slot, so that blocking calls run without the lock.
bool FindPort(Handle h, PortSlot *pCopy) {
    std::lock_guard<std::mutex> lock(g_portsMutex);
    const PortSlot *pSlot = SlotOf(h);
    if (pSlot == nullptr) return false;
    *pCopy = *pSlot;
    return true;
}

int FdOf(Handle h) {
    PortSlot slot{};
    return FindPort(h, &slot) ? slot.fd : -1;
}

Handle AddPort(int fd, bool bTerminal) {
    std::lock_guard<std::mutex> lock(g_portsMutex);
    for (uint32_t i = 0; i < kSlots; ++i) {
        uint32_t uIndex = (g_uOpens + i) % kSlots;
        PortSlot *pSlot = &g_ports[uIndex];
        if (pSlot->h != 0) continue;
        // Handle = index + 1 + a multiple of the slot count: never 0 and
        // never the invalid handle.
        uint32_t uRound = (g_uOpens / kSlots) % ((kMaxDword - kSlots) / kSlots);
        Handle h = uRound * kSlots + uIndex + 1;
        ++g_uOpens;
        *pSlot = PortSlot{h, fd, bTerminal, {}, {}, false, {}};
        // What a freshly opened Windows port reports for the members that
        // termios lacks.
        pSlot->dcb.DCBlength = kDcbLength;
        pSlot->dcb.fDtrControl = kDtrControlEnable;
        pSlot->dcb.fRtsControl = kRtsControlEnable;
        pSlot->dcb.XonLim = 2048;
        pSlot->dcb.XoffLim = 512;
        pSlot->dcb.XonChar = 0x11;
        pSlot->dcb.XoffChar = 0x13;
        return h;
    }
    return 0;
}

int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * kNsPerSecond + ts.tv_nsec;
}

timespec ToTimespec(int64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    ts.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    return ts;
}

// Builds the device path: "NUL" is the null device, a name that begins with
// '/' or '.' is a path, any other is a device in /dev. The null device's name
// ignores case, as the Windows device name does: "nul" opens it too (and,
// being no terminal, cannot report port settings).
bool DevicePath(const char *pszName, char *pszPath, size_t cbPath) {
    if (pszName == nullptr || pszName[0] == '\0') return false;
    int n = 0;
    if (strcasecmp(pszName, "NUL") == 0) {
        n = std::snprintf(pszPath, cbPath, "/dev/null");
    } else if (pszName[0] == '/' || pszName[0] == '.') {
        n = std::snprintf(pszPath, cbPath, "%s", pszName);
    } else {
        n = std::snprintf(pszPath, cbPath, "/dev/%s", pszName);
    }
    return n > 0 && static_cast<size_t>(n) < cbPath;
}

void AskLowLatency(int fd) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
    serial.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);  // refused by many drivers: no matter
}

// Exclusive use of a terminal: TIOCEXCL keeps out other openers but not
// root, the lock keeps out every instance of the driver.
bool TakeExclusive(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    ioctl(fd, TIOCEXCL);
    return true;
}

void CloseFd(int fd, bool bTerminal) {
    // The exclusive flag outlives this descriptor when another holds the
    // device open; leave the port as it was found.
    if (bTerminal) ioctl(fd, TIOCNXCL);
    while (close(fd) != 0 && errno == EINTR) {
    }
}

bool SetModemLine(int fd, int iLine, bool bOn) { return ioctl(fd, bOn ? TIOCMBIS : TIOCMBIC, &iLine) == 0; }

// Waits for the descriptor; 1 ready, 0 time-out, -1 the port is gone.
// iDeadlineNs < 0 waits without end.
int WaitFor(int fd, short events, int64_t iDeadlineNs) {
    for (;;) {
        pollfd pfd{fd, events, 0};
        timespec ts{};
        timespec *pTs = nullptr;
        if (iDeadlineNs >= 0) {
            int64_t left = iDeadlineNs - MonotonicNs();
            if (left <= 0) return 0;
            ts = ToTimespec(left);
            pTs = &ts;
        }
        int r = ppoll(&pfd, 1, pTs, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) return 0;
        // Data still waiting is delivered before a hang-up is reported.
        if (pfd.revents & events) return 1;
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) return -1;
    }
}

}  // namespace

bool posix::PortPath(const char *pszName, char *pszPath, size_t cbPath) {
    return DevicePath(pszName, pszPath, cbPath);
}

Handle CreateFileA(const char *pszName) {
    char szPath[PATH_MAX];
    // A failed open leaves its reason in errno, as Windows leaves it in the
    // last error, for DescribeOpenFailure.
    if (!DevicePath(pszName, szPath, sizeof szPath)) {
        errno = ENAMETOOLONG;
        return kInvalidHandle;
    }
    // Non-blocking: the open does not wait for carrier, and reads and writes
    // wait in poll, where the time-outs are kept.
    int fd = open(szPath, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return kInvalidHandle;
    const bool bTerminal = isatty(fd) != 0;
    if (bTerminal) {
        if (!TakeExclusive(fd)) {
            CloseFd(fd, false);
            errno = EBUSY;  // another holder's lock
            return kInvalidHandle;
        }
        AskLowLatency(fd);
    }
    Handle h = AddPort(fd, bTerminal);
    if (h == 0) {
        CloseFd(fd, bTerminal);
        errno = EMFILE;
        return kInvalidHandle;
    }
    return h;
}

int CloseHandle(Handle h) {
    int fd = -1;
    bool bTerminal = false;
    bool bRs485 = false;
    serial_rs485 rs485{};
    {
        std::lock_guard<std::mutex> lock(g_portsMutex);
        PortSlot *pSlot = SlotOf(h);
        if (pSlot == nullptr) return 0;
        fd = pSlot->fd;
        bTerminal = pSlot->bTerminal;
        bRs485 = pSlot->bRs485Saved;
        rs485 = pSlot->rs485Previous;
        *pSlot = PortSlot{};
    }
    // The port's RS-485 mode as it was before this open.
    if (bRs485) ioctl(fd, TIOCSRS485, &rs485);
    CloseFd(fd, bTerminal);
    return 1;
}

int GetCommState(Handle h, Dcb *pDcb) {
    PortSlot slot{};
    if (pDcb == nullptr || !FindPort(h, &slot) || !slot.bTerminal) return 0;
    Dcb dcb = slot.dcb;
    if (!posix::ReadLineSettings(slot.fd, &dcb)) return 0;
    *pDcb = dcb;
    return 1;
}

int SetCommState(Handle h, const Dcb *pDcb) {
    PortSlot slot{};
    if (pDcb == nullptr || !FindPort(h, &slot) || !slot.bTerminal) return 0;
    if (pDcb->fDtrControl > kDtrControlHandshake || pDcb->fRtsControl > kRtsControlToggle) return 0;
    if (!posix::WriteLineSettings(slot.fd, pDcb)) return 0;
    // The signals in the state the block asks for; a pseudo-terminal has
    // none, which is no failure.
    if (pDcb->fDtrControl != kDtrControlHandshake) {
        SetModemLine(slot.fd, TIOCM_DTR, pDcb->fDtrControl == kDtrControlEnable);
    }
    if (pDcb->fRtsControl == kRtsControlEnable || pDcb->fRtsControl == kRtsControlDisable) {
        SetModemLine(slot.fd, TIOCM_RTS, pDcb->fRtsControl == kRtsControlEnable);
    }
    std::lock_guard<std::mutex> lock(g_portsMutex);
    if (PortSlot *pSlot = SlotOf(h)) {
        pSlot->dcb = *pDcb;
        pSlot->dcb.DCBlength = kDcbLength;
    }
    return 1;
}

int GetCommTimeouts(Handle h, CommTimeouts *pTimeouts) {
    PortSlot slot{};
    if (pTimeouts == nullptr || !FindPort(h, &slot)) return 0;
    *pTimeouts = slot.timeouts;
    return 1;
}

int SetCommTimeouts(Handle h, const CommTimeouts *pTimeouts) {
    if (pTimeouts == nullptr) return 0;
    std::lock_guard<std::mutex> lock(g_portsMutex);
    PortSlot *pSlot = SlotOf(h);
    if (pSlot == nullptr) return 0;
    pSlot->timeouts = *pTimeouts;
    return 1;
}

int SetupComm(Handle h, uint32_t, uint32_t) {
    // The kernel sizes its own queues.
    return FdOf(h) >= 0 ? 1 : 0;
}

int ClearCommError(Handle h, uint32_t *pErrors, ComStat *pStat) {
    int fd = FdOf(h);
    if (fd < 0) return 0;
    int iIn = 0;
    int iOut = 0;
    if (ioctl(fd, FIONREAD, &iIn) != 0) return 0;
    if (ioctl(fd, TIOCOUTQ, &iOut) != 0) iOut = 0;
    if (pErrors != nullptr) *pErrors = 0;
    if (pStat != nullptr) {
        pStat->cbInQue = iIn > 0 ? static_cast<uint32_t>(iIn) : 0;
        pStat->cbOutQue = iOut > 0 ? static_cast<uint32_t>(iOut) : 0;
    }
    return 1;
}

int PurgeComm(Handle h, uint32_t dwFlags) {
    PortSlot slot{};
    if (!FindPort(h, &slot)) return 0;
    // Only a terminal has an input queue to drop.
    if ((dwFlags & kPurgeRxClear) == 0 || !slot.bTerminal) return 1;
    return posix::DiscardInput(slot.fd) ? 1 : 0;
}

int ReadFile(Handle h, void *pBuffer, uint32_t n, uint32_t *pRead) {
    if (pRead != nullptr) *pRead = 0;
    PortSlot slot{};
    if (!FindPort(h, &slot) || (pBuffer == nullptr && n > 0)) return 0;
    const CommTimeouts &t = slot.timeouts;
    // The Windows rules: a total time-out of multiplier x count + constant,
    // none when both are 0; an interval time-out between bytes; an interval
    // of MAXDWORD with no total returns at once with what is there.
    const bool bAtOnce = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                         t.ReadTotalTimeoutConstant == 0;
    const int64_t llTotalMs = int64_t{t.ReadTotalTimeoutMultiplier} * n + t.ReadTotalTimeoutConstant;
    const int64_t llStart = MonotonicNs();
    const int64_t llTotalDeadline = bAtOnce ? llStart : (llTotalMs > 0 ? llStart + llTotalMs * kNsPerMs : -1);
    const bool bInterval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;

    auto *p = static_cast<uint8_t *>(pBuffer);
    uint32_t got = 0;
    while (got < n) {
        ssize_t k = read(slot.fd, p + got, n - got);
        if (k > 0) {
            got += static_cast<uint32_t>(k);
            continue;
        }
        if (k == 0) {
            // End of file: a terminal has hung up; anything else just ends.
            if (slot.bTerminal) {
                if (pRead != nullptr) *pRead = got;
                return 0;
            }
            break;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) {
            if (pRead != nullptr) *pRead = got;
            return 0;
        }
        int64_t llDeadline = llTotalDeadline;
        if (bInterval && got > 0) {
            int64_t llGap = MonotonicNs() + int64_t{t.ReadIntervalTimeout} * kNsPerMs;
            if (llDeadline < 0 || llGap < llDeadline) llDeadline = llGap;
        }
        int r = WaitFor(slot.fd, POLLIN, llDeadline);
        if (r == 0) break;
        if (r < 0) {
            if (pRead != nullptr) *pRead = got;
            return 0;
        }
    }
    if (pRead != nullptr) *pRead = got;
    return 1;
}

int WriteFile(Handle h, const void *pBuffer, uint32_t n, uint32_t *pWritten) {
    if (pWritten != nullptr) *pWritten = 0;
    PortSlot slot{};
    if (!FindPort(h, &slot) || (pBuffer == nullptr && n > 0)) return 0;
    const CommTimeouts &t = slot.timeouts;
    const int64_t llTotalMs = int64_t{t.WriteTotalTimeoutMultiplier} * n + t.WriteTotalTimeoutConstant;
    const int64_t llDeadline = llTotalMs > 0 ? MonotonicNs() + llTotalMs * kNsPerMs : -1;

    const auto *p = static_cast<const uint8_t *>(pBuffer);
    uint32_t done = 0;
    bool bOk = true;
    while (done < n) {
        ssize_t k = write(slot.fd, p + done, n - done);
        if (k > 0) {
            done += static_cast<uint32_t>(k);
            continue;
        }
        if (k < 0 && errno == EINTR) continue;
        if (k < 0 && errno != EAGAIN) {
            bOk = false;
            break;
        }
        int r = WaitFor(slot.fd, POLLOUT, llDeadline);
        if (r == 0) break;  // write time-out: a short count, as on Windows
        if (r < 0) {
            bOk = false;
            break;
        }
    }
    if (pWritten != nullptr) *pWritten = done;
    return bOk ? 1 : 0;
}

int EscapeCommFunction(Handle h, uint32_t dwFunc) {
    int fd = FdOf(h);
    if (fd < 0) return 0;
    switch (dwFunc) {
        case kSetRts:
            return SetModemLine(fd, TIOCM_RTS, true) ? 1 : 0;
        case kClrRts:
            return SetModemLine(fd, TIOCM_RTS, false) ? 1 : 0;
        case kSetDtr:
            return SetModemLine(fd, TIOCM_DTR, true) ? 1 : 0;
        case kClrDtr:
            return SetModemLine(fd, TIOCM_DTR, false) ? 1 : 0;
        default:
            return 0;
    }
}

int SetCommBreak(Handle h) {
    int fd = FdOf(h);
    return fd >= 0 && ioctl(fd, TIOCSBRK) == 0 ? 1 : 0;
}

int ClearCommBreak(Handle h) {
    int fd = FdOf(h);
    return fd >= 0 && ioctl(fd, TIOCCBRK) == 0 ? 1 : 0;
}

void Sleep(uint32_t dwMilliseconds) {
    timespec ts = ToTimespec(int64_t{dwMilliseconds} * kNsPerMs);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int QueryPerformanceFrequency(int64_t *pFrequency) {
    if (pFrequency == nullptr) return 0;
    *pFrequency = kNsPerSecond;
    return 1;
}

int QueryPerformanceCounter(int64_t *pCount) {
    if (pCount == nullptr) return 0;
    *pCount = MonotonicNs();
    return 1;
}

void TimeBeginPeriod(uint32_t) {}
void TimeEndPeriod(uint32_t) {}

int64_t ClockMs() { return MonotonicNs() / kNsPerMs; }

// Time-critical is a modest real-time level: above every normal thread, so
// the hold is not preempted by them, but below the kernel's threaded
// interrupt handlers (level 50), which move a real UART's data. The kernel
// threads that push received data to the readers (pty and USB adapters
// alike) run at normal priority; SpinPause keeps a hold from shutting them
// out for more than its last stretch.
constexpr int kTimeCriticalFifoLevel = 10;
// What SpinPause leaves to the spin: far above the wake-up latency of a
// real-time thread, so the hold still ends on the counter.
constexpr int64_t kSpinTailNs = 1500000;

void SpinPause(int64_t llTicksLeft) {
    // The counter counts nanoseconds. Only a real-time thread hogs the
    // processor; a normal one is preempted as the scheduler sees fit.
    if (llTicksLeft <= kSpinTailNs || sched_getscheduler(0) != SCHED_FIFO) return;
    timespec ts = ToTimespec(llTicksLeft - kSpinTailNs);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int GetThreadPriority() {
    int iPolicy = 0;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &iPolicy, &param) != 0) return 0;
    if (iPolicy == SCHED_FIFO && param.sched_priority >= kTimeCriticalFifoLevel) {
        return kThreadPriorityTimeCritical;
    }
    return 0;
}

int SetThreadPriority(int iPriority) {
    sched_param param{};
    int iPolicy = SCHED_OTHER;
    if (iPriority == kThreadPriorityTimeCritical) {
        iPolicy = SCHED_FIFO;
        param.sched_priority = kTimeCriticalFifoLevel;
    }
    return pthread_setschedparam(pthread_self(), iPolicy, &param) == 0 ? 1 : 0;
}

int SetRs485Mode(Handle h, const Rs485Mode *pMode) {
    PortSlot slot{};
    if (pMode == nullptr || !FindPort(h, &slot) || !slot.bTerminal) return 0;
    serial_rs485 previous{};
    if (ioctl(slot.fd, TIOCGRS485, &previous) != 0) return 0;
    serial_rs485 mode{};
    mode.flags = SER_RS485_ENABLED | (pMode->bRtsOnSend != 0 ? SER_RS485_RTS_ON_SEND : 0u) |
                 (pMode->bRtsAfterSend != 0 ? SER_RS485_RTS_AFTER_SEND : 0u);
    mode.delay_rts_before_send = pMode->dwDelayBeforeSendMs;
    mode.delay_rts_after_send = pMode->dwDelayAfterSendMs;
    // The kernel hands back what it made of the request: a port that took
    // the call but not the mode is no RS-485 port.
    if (ioctl(slot.fd, TIOCSRS485, &mode) != 0) return 0;
    if ((mode.flags & SER_RS485_ENABLED) == 0) {
        ioctl(slot.fd, TIOCSRS485, &previous);
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_portsMutex);
    PortSlot *pSlot = SlotOf(h);
    if (pSlot != nullptr && !pSlot->bRs485Saved) {
        pSlot->bRs485Saved = true;
        pSlot->rs485Previous = previous;
    }
    return 1;
}

}  // namespace sys
