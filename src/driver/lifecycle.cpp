// Instance lifecycle: install an instance on the host's working block,
// manage its port, describe the driver, and end driver use.
#include "driver/lifecycle.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "base/ended.h"
#include "base/log.h"
#include "config/intfile.h"
#include "line/qobcom.h"
#include "line/send.h"
#include "line/turnaround.h"

namespace zev {

constexpr char kZevTitle[] = "Process Controllers TK";

// Code page 437 box: backspace and line feed, then a double-line frame of
// 63 columns around the driver's name. No line feed after the last border.
constexpr char kZevBanner[] =
    "\x08\n"
    "\xC9"
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
    "\xBB\n"
    "\xBA"
    "  ROVOD :  Controller series P, B and PS (32 bit)              "
    "\xBA\n"
    "\xC8"
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
    "\xBC";

namespace {

constexpr size_t kBannerColumns = 63;

constexpr size_t CountOf(const char *psz, size_t nFrom, size_t nTo, char c) {
    size_t n = 0;
    for (size_t i = nFrom; i < nTo; ++i)
        if (psz[i] == c) ++n;
    return n;
}

static_assert(sizeof(kZevBanner) == 199 + 1, "banner is 199 characters and a NUL");
static_assert(CountOf(kZevBanner, 3, 3 + kBannerColumns, '\xCD') == kBannerColumns, "top border");
static_assert(CountOf(kZevBanner, 135, 135 + kBannerColumns, '\xCD') == kBannerColumns, "bottom border");
static_assert(kZevBanner[68] == '\xBA' && kZevBanner[132] == '\xBA' && kZevBanner[198] == '\xBC', "frame");
static_assert(sizeof(kZevTitle) == 22 + 1, "title");

// ZevInfo constants.
constexpr uint32_t kInfo0 = 70;
constexpr uint32_t kInfo16 = 4;
constexpr uint32_t kInfo28 = 1;
constexpr uint16_t kDefBaud = 9600;
constexpr uint16_t kDefDataBits = 8;
constexpr uint16_t kDefStopBits = 0;
constexpr uint16_t kDefParity = 0;

// Installation values.
constexpr uint16_t kDefaultMask = kMaskDtr | kMaskRts;
constexpr uint16_t kDefaultPtMode = 4;
constexpr uint16_t kDefaultTPPOS = 1;

constexpr uint32_t kSealSalt = 0x524F564Fu;

// Room for why an open failed: the cause, the advice, the ports there are.
constexpr uint32_t kOpenReasonSize = 512;

// A value that only this block's own allocation produces; never 0.
uint32_t SealOf(const uint8_t *pSendBuf, const uint8_t *pRecvBuf) {
    const auto uSend = reinterpret_cast<uintptr_t>(pSendBuf);
    const auto uRecv = reinterpret_cast<uintptr_t>(pRecvBuf);
    uint64_t uMix =
        (static_cast<uint64_t>(uSend) * 0x9E3779B97F4A7C15ull) ^ (static_cast<uint64_t>(uRecv) + kSealSalt);
    const auto uSeal = static_cast<uint32_t>(uMix ^ (uMix >> 32));
    return uSeal == 0 ? 1u : uSeal;
}

// True when the buffers were allocated by this block's ColdStart: only then
// is the block an installed instance whose pointers and handle are ours.
bool IsInstalled(const DriverContext *pContext) {
    return pContext->pSendBuf != nullptr && pContext->pRecvBuf != nullptr &&
           pContext->iBufferSeal == SealOf(pContext->pSendBuf, pContext->pRecvBuf);
}

// The pointers stay in the block as they were; the broken seal alone keeps
// them from being freed or used as ours again.
void FreeBuffers(DriverContext *pContext) {
    if (!IsInstalled(pContext)) return;
    delete[] pContext->pSendBuf;
    delete[] pContext->pRecvBuf;
    pContext->iBufferSeal = 0;
}

// The host's name may fill all 12 bytes without a terminator.
void CopyPortName(char *szTo, const char *szFrom) {
    size_t i = 0;
    for (; i + 1 < sizeof DriverContext::szPort && szFrom[i] != '\0'; ++i) szTo[i] = szFrom[i];
    for (; i < sizeof DriverContext::szPort; ++i) szTo[i] = '\0';
}

// The context of a request that needs one, or null after the refusal line.
DriverContext *ContextFor(const ZevRequest *pRequest, const char *pszOperation) {
    DriverContext *pContext = ContextOf(pRequest);
    if (pContext == nullptr) err(kLogAlert, "ROVOD> %s() no working block", pszOperation);
    return pContext;
}

// The open port of the block, or 0 for a block ColdStart never installed
// (whatever the host left in hCom is no handle of ours).
sys::Handle PortOf(const DriverContext *pContext) { return IsInstalled(pContext) ? pContext->hCom : 0; }

}  // namespace

void SetDefaults(ZevRequest *pRequest) {
    DriverContext *pContext = ContextOf(pRequest);
    const auto *pSettings = static_cast<const PortSettings *>(pRequest->pParams);
    pContext->wFunction = static_cast<uint16_t>(pRequest->iFunction);
    pContext->iTimeout = pSettings->iTimeout;
    pContext->hCom = 0;
    pContext->bSwitching = 0;
    pContext->RecMask = kDefaultMask;
    pContext->SendMask = kDefaultMask;
    pContext->DebugFlag = 0;
    pContext->wPtMode = kDefaultPtMode;
    pContext->ReadBeforeWrite = 0;
    pContext->bRs485 = 0;
    pContext->bLateBytes = 0;
    pContext->TPPOS = kDefaultTPPOS;
    pContext->IFG = 0;
}

uint16_t AllocateBuffers(DriverContext *pContext) {
    // A block installed before gives its own buffers back; anything else in
    // the pointers is the host's and is left alone.
    FreeBuffers(pContext);
    pContext->pSendBuf = nullptr;
    pContext->pRecvBuf = nullptr;
    pContext->iBufferSeal = 0;

    auto *pSendBuf = new (std::nothrow) uint8_t[kSendBufSize];
    if (pSendBuf == nullptr) {
        err(kLogAlert, "ROVOD> AllocateBuffers() Send buffer");
        return ZEV_LINE_FAILURE;
    }
    pContext->wSendLen = 0;
    pContext->pSendBuf = pSendBuf;

    auto *pRecvBuf = new (std::nothrow) uint8_t[kRecvBufSize];
    if (pRecvBuf == nullptr) {
        err(kLogAlert, "ROVOD> AllocateBuffers() Receive buffer");
        // Not installed after all: no one may free it later, so give it back now.
        delete[] pSendBuf;
        pContext->pSendBuf = nullptr;
        return ZEV_LINE_FAILURE;
    }
    pContext->wRecvLen = 0;
    pContext->pRecvBuf = pRecvBuf;
    pContext->iBufferSeal = SealOf(pSendBuf, pRecvBuf);
    return ZEV_OK;
}

sys::Handle OpenCom(DriverContext *pContext) {
    pContext->szPort[sizeof pContext->szPort - 1] = '\0';
    const LineSettings settings{pContext->wBaud, pContext->wDataBits, pContext->wStopBits, pContext->wParity};
    sys::Handle hCom = 0;
    if (QobComOpen(pContext->szPort, &settings, pContext->wOpenMask, &hCom) != kQobOk || hCom == 0) {
        // The device itself would not open: the system says why, asked at
        // once, before anything else on this thread can change the reason.
        char szReason[kOpenReasonSize];
        const bool bReason = hCom == sys::kInvalidHandle &&
                             sys::DescribeOpenFailure(pContext->szPort, szReason, sizeof szReason) != 0;
        err(kLogAlert, "ROVOD> OpenCom() failed");
        if (bReason) err(kLogAlert, "ROVOD> OpenCom() %s", szReason);
        return 0;
    }
    err(kLogTrace, "ROVOD> OpenCom() File handle %u", static_cast<unsigned>(hCom));
    pContext->hCom = hCom;
    SetKernelTurnaround(pContext);
    return hCom;
}

void RtsSwitchingHook(DriverContext *) {}

uint16_t ColdStart(ZevRequest *pRequest) {
    bEnded.store(0);
    err(kLogTrace, "ROVOD> (+DebugTags) version compiled on Jul 23 1998 at time 12:19:17");
    DriverContext *pContext = ContextFor(pRequest, "ColdStart");
    if (pContext == nullptr) return ZEV_REJECTED;
    const auto *pSettings = static_cast<const PortSettings *>(pRequest->pParams);
    if (pSettings == nullptr) {
        err(kLogAlert, "ROVOD> ColdStart() no port settings");
        return ZEV_REJECTED;
    }

    SetDefaults(pRequest);
    if (AllocateBuffers(pContext) != ZEV_OK) {
        err(kLogAlert, "ROVOD> ColdStart() Unable to allocate memory");
        return ZEV_LINE_FAILURE;
    }
    err(kLogTrace, "ROVOD> ColdStart(), Data %d, SB %d, P %d, Baud %hu",
        static_cast<int16_t>(pSettings->wDataBits), static_cast<int16_t>(pSettings->wStopBits),
        static_cast<int16_t>(pSettings->wParity), pSettings->wBaud);
    SetLineTiming(pContext, pSettings);
    ReadIntFile(pRequest);
    SetupCounter(pContext);

    if (pSettings->bOpenPort != 0) {
        CopyPortName(pContext->szPort, pSettings->szPort);
        pContext->wBaud = pSettings->wBaud;
        pContext->wDataBits = pSettings->wDataBits;
        pContext->wStopBits = pSettings->wStopBits;
        pContext->wParity = pSettings->wParity;
        pContext->wOpenMask = pContext->RecMask;
        const sys::Handle hCom = OpenCom(pContext);
        if (hCom == 0) {
            err(kLogAlert, "ROVOD> ColdStart() error opening COM port");
        } else {
            err(kLogTrace, "ROVOD> ColdStart() port opened");
            QobComSetReadTimeout(hCom, static_cast<int32_t>(pSettings->iTimeout));
            if ((pContext->bSwitching & 1) != 0) {
                RtsSwitchingHook(pContext);
            } else {
                err(kLogTrace, "ROVOD> ColdStart() RTS switching is not enabled");
            }
        }
    }
    err(kLogTrace, "ROVOD> ColdStart() installation OK!");
    return ZEV_OK;
}

uint16_t WarmStart(ZevRequest *pRequest) {
    DriverContext *pContext = ContextFor(pRequest, "WarmStart");
    if (pContext == nullptr) return ZEV_REJECTED;
    const sys::Handle hCom = PortOf(pContext);
    bool bBounded = false;
    if (hCom != 0) QobComFlushInput(hCom, &bBounded);
    if (bBounded && pContext->DebugFlag != 0) {
        err(kLogTrace, "ROVOD> WarmStart() Input still arriving after %u ms, flush ended",
            static_cast<unsigned>(kFlushBoundMs));
    }
    err(kLogTrace, "ROVOD> WarmStart()");
    return ZEV_OK;
}

uint16_t CloseCom(ZevRequest *pRequest) {
    DriverContext *pContext = ContextFor(pRequest, "CloseCom");
    if (pContext == nullptr) return ZEV_REJECTED;
    const sys::Handle hCom = PortOf(pContext);
    if (hCom == 0) return ZEV_OK;
    if (QobComClose(hCom) != kQobOk) {
        err(kLogTrace, "ROVOD> CloseCom() exited 2");
        return ZEV_LINE_FAILURE;
    }
    pContext->hCom = 0;
    pContext->bRs485 = static_cast<uint8_t>(pContext->bRs485 & ~kRs485Kernel);
    return ZEV_OK;
}

uint16_t ReOpenCom(ZevRequest *pRequest) {
    DriverContext *pContext = ContextFor(pRequest, "ReOpenCom");
    if (pContext == nullptr) return ZEV_REJECTED;
    if (!IsInstalled(pContext)) {
        // Without ColdStart's buffers a later read would write into the host's garbage.
        err(kLogAlert, "ROVOD> ReOpenCom() instance not installed, exited 2");
        return ZEV_LINE_FAILURE;
    }
    const sys::Handle hPrevious = pContext->hCom;
    const sys::Handle hCom = OpenCom(pContext);
    if (hCom == 0) {
        err(kLogAlert, "ROVOD> ReOpenCom() open COM port failed, exited 2");
        return ZEV_LINE_FAILURE;
    }
    // A device that allows a second open (NUL) would otherwise leak the first handle.
    if (hPrevious != 0 && hPrevious != hCom) QobComClose(hPrevious);
    err(kLogTrace, "ROVOD> ReOpenCom() port opened");
    QobComSetReadTimeout(hCom, static_cast<int32_t>(pContext->iTimeout));
    err(kLogTrace, "ROVOD> ReOpenCom() exited 0");
    return ZEV_OK;
}

uint16_t GetZevInfo(ZevRequest *pRequest) {
    auto *pInfo = static_cast<ZevInfo *>(pRequest->pParams);
    if (pInfo == nullptr) {
        err(kLogAlert, "ROVOD> GetZevInfo() no ZevInfo record");
        return ZEV_REJECTED;
    }
    pInfo->iInfo0 = kInfo0;
    pInfo->pszTitle = kZevTitle;
    pInfo->pszBanner = kZevBanner;
    pInfo->iContextSize = kContextSize;
    pInfo->iInfo16 = kInfo16;
    pInfo->wDefBaud = kDefBaud;
    pInfo->wDefDataBits = kDefDataBits;
    pInfo->wDefStopBits = kDefStopBits;
    pInfo->wDefParity = kDefParity;
    pInfo->iInfo28 = kInfo28;
    err(kLogInfo, "ROVOD> GetZevInfo() exited");
    return ZEV_OK;
}

uint16_t ChangeZevParams(ZevRequest *pRequest) {
    DriverContext *pContext = ContextFor(pRequest, "ChangeZevParams");
    if (pContext == nullptr) return ZEV_REJECTED;
    const auto *pChange = static_cast<const PortChange *>(pRequest->pParams);
    if (pChange == nullptr) {
        err(kLogAlert, "ROVOD> ChangeZevParams() no port change record");
        return ZEV_REJECTED;
    }
    if (!IsInstalled(pContext)) {
        err(kLogAlert, "ROVOD> ChangeZevParams() instance not installed");
        return ZEV_LINE_FAILURE;
    }

    if (pChange->iTimeout != 0 && pChange->iTimeout != -1)
        pContext->iTimeout = static_cast<uint32_t>(pChange->iTimeout);
    if (pContext->hCom != 0) CloseCom(pRequest);
    CopyPortName(pContext->szPort, pChange->szPort);
    if (pChange->wBaud != 0) {
        pContext->wBaud = pChange->wBaud;
        pContext->wDataBits = pChange->wDataBits;
        pContext->wStopBits = pChange->wStopBits;
        pContext->wParity = pChange->wParity;
    }
    const sys::Handle hCom = OpenCom(pContext);
    if (hCom == 0) {
        err(kLogTrace, "ROVOD> ChangeZevParams() open new COM port failed");
        return ZEV_LINE_FAILURE;
    }
    err(kLogTrace, "ROVOD> ChangeZevParams() port opened");
    QobComSetReadTimeout(hCom, static_cast<int32_t>(pContext->iTimeout));
    return ZEV_OK;
}

uint16_t EndZev(ZevRequest *pRequest) {
    bEnded.store(1);
    DriverContext *pContext = ContextFor(pRequest, "EndZev");
    if (pContext == nullptr) return ZEV_REJECTED;
    // The port first: once the buffers are given back the block no longer
    // counts as installed.
    const uint16_t wResult = CloseCom(pRequest);
    FreeBuffers(pContext);
    err(kLogTrace, "ROVOD> EndZev() exited, %d", static_cast<int>(wResult));
    return wResult;
}

}  // namespace zev
