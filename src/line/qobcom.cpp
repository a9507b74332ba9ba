// Serial port access layer. Every call goes to the port through the system
// interface; the layer keeps no state and writes no log lines.
#include "line/qobcom.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace zev {

namespace {

constexpr uint32_t kOpenReadTimeoutMs = 1000;
constexpr uint32_t kQueueSize = 1200;
constexpr char kErrorChar = static_cast<char>(0xFC);
constexpr uint32_t kFlushReadSize = 512;
constexpr int32_t kFlushTimeout10ms = 5;
constexpr int64_t kMsPerUnit = 10;

// Mask bits of the line signals at open.
constexpr uint16_t kMaskDtrOn = 0x0101;
constexpr uint16_t kMaskRtsOn = 0x0202;
constexpr uint16_t kMaskDtrHandshake = 0x8000;
constexpr uint16_t kMaskRtsHandshake = 0x1000;
constexpr uint16_t kMaskRtsToggle = 0x2000;

uint32_t DtrControlFor(uint16_t wMask) {
    if (wMask & kMaskDtrOn) return sys::kDtrControlEnable;
    if (wMask & kMaskDtrHandshake) return sys::kDtrControlHandshake;
    return sys::kDtrControlDisable;
}

uint32_t RtsControlFor(uint16_t wMask) {
    if (wMask & kMaskRtsOn) return sys::kRtsControlEnable;
    if (wMask & kMaskRtsHandshake) return sys::kRtsControlHandshake;
    if (wMask & kMaskRtsToggle) return sys::kRtsControlToggle;
    return sys::kRtsControlDisable;
}

// The settings the driver runs on; members not named here keep what the
// port reported.
void ApplyLineSettings(sys::Dcb *pDcb, const LineSettings *pSettings, uint16_t wMask) {
    pDcb->BaudRate = pSettings->wBaud;
    pDcb->ByteSize = static_cast<uint8_t>(pSettings->wDataBits);
    pDcb->StopBits = static_cast<uint8_t>(pSettings->wStopBits);
    pDcb->Parity = static_cast<uint8_t>(pSettings->wParity);
    pDcb->fBinary = 1;
    pDcb->fParity = 1;
    pDcb->fOutxCtsFlow = 0;
    pDcb->fOutxDsrFlow = 0;
    pDcb->fDsrSensitivity = 0;
    pDcb->fOutX = 0;
    pDcb->fInX = 0;
    pDcb->fErrorChar = 0;
    pDcb->fNull = 0;
    pDcb->fAbortOnError = 0;
    pDcb->fDtrControl = DtrControlFor(wMask);
    pDcb->fRtsControl = RtsControlFor(wMask);
    pDcb->ErrorChar = kErrorChar;
}

uint16_t CloseAndReturn(sys::Handle hCom, uint16_t wCode) {
    sys::CloseHandle(hCom);
    return wCode;
}

}  // namespace

uint16_t QobComOpen(const char *pszPort, const LineSettings *pSettings, uint16_t wMask, sys::Handle *phCom) {
    if (pszPort == nullptr || pSettings == nullptr || phCom == nullptr) return kQobOpenFailed;

    sys::Handle hCom = sys::CreateFileA(pszPort);
    *phCom = hCom;
    if (hCom == sys::kInvalidHandle) return kQobOpenFailed;

    // The null device takes no settings; only the exact upper-case name.
    if (std::strcmp(pszPort, "NUL") == 0) return kQobOk;

    sys::Dcb dcb{};
    dcb.DCBlength = sys::kDcbLength;
    if (!sys::GetCommState(hCom, &dcb)) return CloseAndReturn(hCom, kQobGetState);

    const sys::CommTimeouts timeouts{0, 0, kOpenReadTimeoutMs, 0, 0};
    if (!sys::SetCommTimeouts(hCom, &timeouts)) return CloseAndReturn(hCom, kQobOpenFailed);

    ApplyLineSettings(&dcb, pSettings, wMask);
    if (!sys::SetCommState(hCom, &dcb)) return CloseAndReturn(hCom, kQobSetState);

    sys::SetupComm(hCom, kQueueSize, kQueueSize);
    return kQobOk;
}

uint16_t QobComClose(sys::Handle hCom) { return sys::CloseHandle(hCom) ? kQobOk : kQobSysFailed; }

int32_t QobComSetReadTimeout(sys::Handle hCom, int32_t iTimeout10ms) {
    // A time-out below zero or beyond 32 bits of milliseconds cannot be set:
    // refuse it like a failing port rather than wrap it around.
    const int64_t llWantedMs = int64_t{iTimeout10ms} * kMsPerUnit;
    if (llWantedMs < 0 || llWantedMs > int64_t{UINT32_MAX}) return 0;

    sys::CommTimeouts timeouts{};
    if (!sys::GetCommTimeouts(hCom, &timeouts)) return 0;
    const uint32_t dwPreviousMs = timeouts.ReadTotalTimeoutConstant;
    if (dwPreviousMs != static_cast<uint32_t>(llWantedMs)) {
        timeouts.ReadTotalTimeoutConstant = static_cast<uint32_t>(llWantedMs);
        if (!sys::SetCommTimeouts(hCom, &timeouts)) return 0;
    }
    return static_cast<int32_t>(dwPreviousMs / kMsPerUnit);
}

uint16_t QobComFlushInput(sys::Handle hCom, bool *pbBounded, uint32_t dwBoundMs) {
    if (pbBounded != nullptr) *pbBounded = false;
    uint32_t dwErrors = 0;
    sys::ComStat stat{};
    bool bFailed = sys::ClearCommError(hCom, &dwErrors, &stat) != 1;
    if (bFailed || stat.cbInQue > 0) {
        const int32_t iPrevious = QobComSetReadTimeout(hCom, kFlushTimeout10ms);
        std::array<uint8_t, kFlushReadSize> discard{};
        const int64_t llStartMs = sys::ClockMs();
        bool bFull = false;
        for (;;) {
            uint32_t dwRead = 0;
            bFailed =
                sys::ReadFile(hCom, discard.data(), static_cast<uint32_t>(discard.size()), &dwRead) != 1;
            bFull = !bFailed && dwRead == discard.size();
            if (!bFull) break;
            // A babbling line fills every read: without a bound the call
            // would never come back to the host.
            if (sys::ClockMs() - llStartMs >= dwBoundMs) break;
        }
        if (bFull && pbBounded != nullptr) *pbBounded = true;
        if (iPrevious != 0) QobComSetReadTimeout(hCom, iPrevious);
    }
    return bFailed ? kQobOpenFailed : kQobOk;
}

uint16_t QobComAwaitQuiet(sys::Handle hCom, const QuietBounds *pBounds, uint32_t *pdwDropped,
                          bool *pbBounded) {
    *pdwDropped = 0;
    *pbBounded = false;
    const auto iQuiet10ms = static_cast<int32_t>((int64_t{pBounds->dwQuietMs} + kMsPerUnit - 1) / kMsPerUnit);
    const int32_t iPrevious = QobComSetReadTimeout(hCom, iQuiet10ms);
    const int64_t llStartMs = sys::ClockMs();
    bool bFailed = false;
    // One byte a read, so that the quiet time counts from the last byte.
    for (;;) {
        uint8_t bDropped = 0;
        uint32_t dwRead = 0;
        bFailed = sys::ReadFile(hCom, &bDropped, 1, &dwRead) != 1;
        if (bFailed || dwRead == 0) break;
        ++*pdwDropped;
        if (*pdwDropped >= pBounds->dwMaxBytes || sys::ClockMs() - llStartMs >= pBounds->dwBoundMs) {
            *pbBounded = true;
            break;
        }
    }
    if (iPrevious != 0) QobComSetReadTimeout(hCom, iPrevious);
    return bFailed ? kQobOpenFailed : kQobOk;
}

uint16_t QobComPurgeInput(sys::Handle hCom) {
    return sys::PurgeComm(hCom, sys::kPurgeRxClear) != 0 ? kQobOk : kQobOpenFailed;
}

uint16_t QobComWrite(sys::Handle hCom, const void *pBuffer, uint32_t dwCount, uint32_t *pWritten) {
    uint32_t dwWritten = 0;
    if (!sys::WriteFile(hCom, pBuffer, dwCount, &dwWritten)) return kQobSysFailed;
    if (pWritten != nullptr) *pWritten = dwWritten;
    return dwWritten == dwCount ? kQobOk : kQobShortWrite;
}

uint16_t QobComRead(sys::Handle hCom, void *pBuffer, uint16_t wCount, uint32_t *pReceived) {
    if (pReceived != nullptr) *pReceived = 0;
    uint32_t dwRead = 0;
    if (!sys::ReadFile(hCom, pBuffer, wCount, &dwRead)) return kQobSysFailed;
    if (dwRead == 0) return kQobSysFailed;
    // A system that reports more than it was asked for is not believed.
    if (dwRead > wCount) dwRead = wCount;
    if (pReceived != nullptr) *pReceived = dwRead;
    return kQobOk;
}

uint16_t QobComSendBreak(uint32_t dwMilliseconds, sys::Handle hCom) {
    sys::SetCommBreak(hCom);
    sys::Sleep(dwMilliseconds);
    sys::ClearCommBreak(hCom);
    return kQobOk;
}

uint16_t QobComSleep(uint32_t dwMilliseconds) {
    sys::Sleep(dwMilliseconds);
    return kQobOk;
}

bool QobComPortLost(sys::Handle hCom) {
    uint32_t dwErrors = 0;
    sys::ComStat stat{};
    return sys::ClearCommError(hCom, &dwErrors, &stat) != 1;
}

}  // namespace zev
