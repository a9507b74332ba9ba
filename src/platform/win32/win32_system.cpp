// The win32 system: forwards to Windows. Every Windows function is called
// with its global name, since the seam's own functions share the names.
#include <windows.h>
// After <windows.h>, which it needs.
#include <mmsystem.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/system.h"
#include "platform/text.h"

namespace sys {

namespace {

HANDLE ToWin(Handle h) {
    return h == kInvalidHandle ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h));
}

Handle FromWin(HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? kInvalidHandle : static_cast<Handle>(reinterpret_cast<uintptr_t>(h));
}

void ToDcb(const DCB &w, Dcb *pDcb) {
    pDcb->DCBlength = w.DCBlength;
    pDcb->BaudRate = w.BaudRate;
    pDcb->fBinary = w.fBinary;
    pDcb->fParity = w.fParity;
    pDcb->fOutxCtsFlow = w.fOutxCtsFlow;
    pDcb->fOutxDsrFlow = w.fOutxDsrFlow;
    pDcb->fDtrControl = w.fDtrControl;
    pDcb->fDsrSensitivity = w.fDsrSensitivity;
    pDcb->fTXContinueOnXoff = w.fTXContinueOnXoff;
    pDcb->fOutX = w.fOutX;
    pDcb->fInX = w.fInX;
    pDcb->fErrorChar = w.fErrorChar;
    pDcb->fNull = w.fNull;
    pDcb->fRtsControl = w.fRtsControl;
    pDcb->fAbortOnError = w.fAbortOnError;
    pDcb->XonLim = w.XonLim;
    pDcb->XoffLim = w.XoffLim;
    pDcb->ByteSize = w.ByteSize;
    pDcb->Parity = w.Parity;
    pDcb->StopBits = w.StopBits;
    pDcb->XonChar = w.XonChar;
    pDcb->XoffChar = w.XoffChar;
    pDcb->ErrorChar = w.ErrorChar;
    pDcb->EofChar = w.EofChar;
    pDcb->EvtChar = w.EvtChar;
}

// Bit fields take the low bits of each member, as the block's own
// assignments would.
void FromDcb(const Dcb &d, DCB *pWin) {
    pWin->DCBlength = d.DCBlength;
    pWin->BaudRate = d.BaudRate;
    pWin->fBinary = d.fBinary & 1u;
    pWin->fParity = d.fParity & 1u;
    pWin->fOutxCtsFlow = d.fOutxCtsFlow & 1u;
    pWin->fOutxDsrFlow = d.fOutxDsrFlow & 1u;
    pWin->fDtrControl = d.fDtrControl & 3u;
    pWin->fDsrSensitivity = d.fDsrSensitivity & 1u;
    pWin->fTXContinueOnXoff = d.fTXContinueOnXoff & 1u;
    pWin->fOutX = d.fOutX & 1u;
    pWin->fInX = d.fInX & 1u;
    pWin->fErrorChar = d.fErrorChar & 1u;
    pWin->fNull = d.fNull & 1u;
    pWin->fRtsControl = d.fRtsControl & 3u;
    pWin->fAbortOnError = d.fAbortOnError & 1u;
    pWin->XonLim = d.XonLim;
    pWin->XoffLim = d.XoffLim;
    pWin->ByteSize = d.ByteSize;
    pWin->Parity = d.Parity;
    pWin->StopBits = d.StopBits;
    pWin->XonChar = d.XonChar;
    pWin->XoffChar = d.XoffChar;
    pWin->ErrorChar = d.ErrorChar;
    pWin->EofChar = d.EofChar;
    pWin->EvtChar = d.EvtChar;
}

}  // namespace

Handle CreateFileA(const char *pszName) {
    if (pszName == nullptr) return kInvalidHandle;
    return FromWin(::CreateFileA(pszName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
}

int GetCommState(Handle h, Dcb *pDcb) {
    if (pDcb == nullptr) return 0;
    DCB w{};
    w.DCBlength = pDcb->DCBlength;
    if (!::GetCommState(ToWin(h), &w)) return 0;
    ToDcb(w, pDcb);
    return 1;
}

int SetCommState(Handle h, const Dcb *pDcb) {
    if (pDcb == nullptr) return 0;
    DCB w{};  // reserved members 0, as Windows asks
    FromDcb(*pDcb, &w);
    return ::SetCommState(ToWin(h), &w) ? 1 : 0;
}

int GetCommTimeouts(Handle h, CommTimeouts *pTimeouts) {
    if (pTimeouts == nullptr) return 0;
    COMMTIMEOUTS w{};
    if (!::GetCommTimeouts(ToWin(h), &w)) return 0;
    pTimeouts->ReadIntervalTimeout = w.ReadIntervalTimeout;
    pTimeouts->ReadTotalTimeoutMultiplier = w.ReadTotalTimeoutMultiplier;
    pTimeouts->ReadTotalTimeoutConstant = w.ReadTotalTimeoutConstant;
    pTimeouts->WriteTotalTimeoutMultiplier = w.WriteTotalTimeoutMultiplier;
    pTimeouts->WriteTotalTimeoutConstant = w.WriteTotalTimeoutConstant;
    return 1;
}

int SetCommTimeouts(Handle h, const CommTimeouts *pTimeouts) {
    if (pTimeouts == nullptr) return 0;
    COMMTIMEOUTS w{};
    w.ReadIntervalTimeout = pTimeouts->ReadIntervalTimeout;
    w.ReadTotalTimeoutMultiplier = pTimeouts->ReadTotalTimeoutMultiplier;
    w.ReadTotalTimeoutConstant = pTimeouts->ReadTotalTimeoutConstant;
    w.WriteTotalTimeoutMultiplier = pTimeouts->WriteTotalTimeoutMultiplier;
    w.WriteTotalTimeoutConstant = pTimeouts->WriteTotalTimeoutConstant;
    return ::SetCommTimeouts(ToWin(h), &w) ? 1 : 0;
}

int SetupComm(Handle h, uint32_t dwInQueue, uint32_t dwOutQueue) {
    return ::SetupComm(ToWin(h), dwInQueue, dwOutQueue) ? 1 : 0;
}

int ClearCommError(Handle h, uint32_t *pErrors, ComStat *pStat) {
    DWORD dwErrors = 0;
    COMSTAT stat{};
    BOOL bOk = ::ClearCommError(ToWin(h), &dwErrors, &stat);
    if (!bOk) return 0;
    if (pErrors != nullptr) *pErrors = dwErrors;
    if (pStat != nullptr) {
        pStat->cbInQue = stat.cbInQue;
        pStat->cbOutQue = stat.cbOutQue;
    }
    return 1;
}

static_assert(kPurgeRxClear == PURGE_RXCLEAR);

int PurgeComm(Handle h, uint32_t dwFlags) { return ::PurgeComm(ToWin(h), dwFlags) ? 1 : 0; }

int ReadFile(Handle h, void *pBuffer, uint32_t n, uint32_t *pRead) {
    DWORD dwRead = 0;
    BOOL bOk = ::ReadFile(ToWin(h), pBuffer, n, &dwRead, nullptr);
    if (pRead != nullptr) *pRead = dwRead;
    return bOk ? 1 : 0;
}

int WriteFile(Handle h, const void *pBuffer, uint32_t n, uint32_t *pWritten) {
    DWORD dwWritten = 0;
    BOOL bOk = ::WriteFile(ToWin(h), pBuffer, n, &dwWritten, nullptr);
    if (pWritten != nullptr) *pWritten = dwWritten;
    return bOk ? 1 : 0;
}

int CloseHandle(Handle h) {
    if (h == 0 || h == kInvalidHandle) return 0;
    return ::CloseHandle(ToWin(h)) ? 1 : 0;
}

int EscapeCommFunction(Handle h, uint32_t dwFunc) { return ::EscapeCommFunction(ToWin(h), dwFunc) ? 1 : 0; }
int SetCommBreak(Handle h) { return ::SetCommBreak(ToWin(h)) ? 1 : 0; }
int ClearCommBreak(Handle h) { return ::ClearCommBreak(ToWin(h)) ? 1 : 0; }

void Sleep(uint32_t dwMilliseconds) { ::Sleep(dwMilliseconds); }

int QueryPerformanceFrequency(int64_t *pFrequency) {
    if (pFrequency == nullptr) return 0;
    LARGE_INTEGER li{};
    if (!::QueryPerformanceFrequency(&li)) return 0;
    *pFrequency = li.QuadPart;
    return 1;
}

int QueryPerformanceCounter(int64_t *pCount) {
    if (pCount == nullptr) return 0;
    LARGE_INTEGER li{};
    if (!::QueryPerformanceCounter(&li)) return 0;
    *pCount = li.QuadPart;
    return 1;
}

void TimeBeginPeriod(uint32_t uPeriod) { ::timeBeginPeriod(uPeriod); }
void TimeEndPeriod(uint32_t uPeriod) { ::timeEndPeriod(uPeriod); }

int64_t ClockMs() { return static_cast<int64_t>(std::clock()) * 1000 / CLOCKS_PER_SEC; }

// Windows keeps its own threads that move serial data above time-critical
// application threads: the hold is spun whole, as it always was.
void SpinPause(int64_t) {}

int GetThreadPriority() { return ::GetThreadPriority(::GetCurrentThread()); }

int SetThreadPriority(int iPriority) { return ::SetThreadPriority(::GetCurrentThread(), iPriority) ? 1 : 0; }

// Windows has no kernel RS-485 mode of its own; the driver switches RTS.
int SetRs485Mode(Handle, const Rs485Mode *) { return 0; }

namespace {

constexpr int kHighestComPort = 256;

// The COM names the device map has.
void AddPorts(Text *pText) {
    int nFound = 0;
    for (int i = 1; i <= kHighestComPort; ++i) {
        char szName[16];
        char szTarget[256];
        std::snprintf(szName, sizeof szName, "COM%d", i);
        if (::QueryDosDeviceA(szName, szTarget, sizeof szTarget) == 0) continue;
        Add(pText, "%s%s", nFound++ == 0 ? "; ports here: " : ", ", szName);
    }
    if (nFound == 0) Add(pText, "; no COM port found on this machine");
}

}  // namespace

// The thread's last error is still CreateFileA's: the serial layer returns
// at once when the open fails.
uint32_t DescribeOpenFailure(const char *pszName, char *pszText, uint32_t cbText) {
    const DWORD dwError = ::GetLastError();
    if (pszText == nullptr || cbText == 0) return 0;
    pszText[0] = '\0';
    if (dwError == ERROR_SUCCESS || pszName == nullptr) return 0;
    Text text{pszText, cbText, 0};
    switch (dwError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            Add(&text, "%s: no such port", pszName);
            AddPorts(&text);
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            Add(&text, "%s: in use by another program (a port serves one at a time); close it there first",
                pszName);
            break;
        default: {
            char szMessage[256] = "";
            ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwError, 0,
                             szMessage, sizeof szMessage, nullptr);
            szMessage[std::strcspn(szMessage, "\r\n")] = '\0';
            Add(&text, "%s: error %lu %s", pszName, static_cast<unsigned long>(dwError), szMessage);
            break;
        }
    }
    return static_cast<uint32_t>(text.n);
}

}  // namespace sys
