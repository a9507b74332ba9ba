// Reply reception into the instance's 128-byte receive buffer.
#include "line/receive.h"

#include "base/context.h"
#include "base/log.h"
#include "line/qobcom.h"

namespace zev {

namespace {

// A failed read is a silent controller or a device that has gone; the second
// needs the host to reopen the port, so it is said plainly.
void ReportNothingReplied(const DriverContext *pContext) {
    err(kLogTrace, "ROVOD> Receive() Nothing replied");
    if (QobComPortLost(pContext->hCom)) {
        err(kLogAlert, "ROVOD> Receive() Port %.11s lost: the device is gone, ReOpenCom when it is back",
            pContext->szPort);
    }
}

enum : uint16_t { kReceiveOk = 0, kReceiveNothing = 2, kReceiveBrokenOff = 7 };

// One read for the whole expected reply; a short reply is the caller's to judge.
uint16_t ReceiveFixed(DriverContext *pContext) {
    const uint16_t wExpected = pContext->wRecvLen;
    if (wExpected > kRecvBufSize) {
        err(kLogTrace, "ROVOD> Receive() Reply length %d exceeds the buffer (%d)", wExpected, kRecvBufSize);
        return kReceiveNothing;
    }
    uint32_t iReceived = 0;
    if (QobComRead(pContext->hCom, pContext->pRecvBuf, wExpected, &iReceived) != kQobOk) {
        ReportNothingReplied(pContext);
        return kReceiveNothing;
    }
    if (iReceived != wExpected) {
        err(kLogTrace, "ROVOD> Receive() Different reply length %d (%d)", static_cast<int>(iReceived),
            wExpected);
    }
    pContext->wRecvLen = static_cast<uint16_t>(iReceived);
    return kReceiveOk;
}

// Byte by byte up to the end character; each byte waits at most the read
// time-out. A full buffer without the end character counts as a break-off,
// and so does a scan that has run for a whole reply time-out: bytes that
// trickle in without an end character (noise slower than a byte per read
// time-out) would otherwise hold the call for up to 128 time-outs.
uint16_t ReceiveScan(DriverContext *pContext, uint8_t bEndChar) {
    uint8_t *pBuf = pContext->pRecvBuf;
    pContext->wRecvLen = 0;
    const int64_t llStartMs = sys::ClockMs();
    const int64_t llBoundMs = int64_t{pContext->iTimeout} * 10;
    uint32_t iReceived = 0;
    if (QobComRead(pContext->hCom, pBuf, 1, &iReceived) != kQobOk || iReceived != 1) {
        ReportNothingReplied(pContext);
        return kReceiveNothing;
    }
    uint16_t wCode = kReceiveOk;
    uint16_t wLast = 0;
    for (;;) {
        if (pBuf[pContext->wRecvLen] == bEndChar) {
            wLast = 1;
            break;
        }
        ++pContext->wRecvLen;
        if (pContext->wRecvLen >= kRecvBufSize) {
            err(kLogTrace, "ROVOD> Receive() No end character within %d bytes", kRecvBufSize);
            wCode = kReceiveBrokenOff;
            break;
        }
        if (llBoundMs > 0 && sys::ClockMs() - llStartMs >= llBoundMs) {
            if (pContext->DebugFlag != 0) {
                err(kLogTrace, "ROVOD> Receive() Input still arriving after %u ms, scan ended",
                    static_cast<unsigned>(llBoundMs));
            }
            wCode = kReceiveBrokenOff;
            break;
        }
        wCode = QobComRead(pContext->hCom, pBuf + pContext->wRecvLen, 1, &iReceived);
        if (wCode != kQobOk) break;
    }
    pContext->wRecvLen = static_cast<uint16_t>(pContext->wRecvLen + wLast);
    return wCode;
}

}  // namespace

uint16_t Receive(ZevRequest *pRequest, uint8_t bEndChar) {
    DriverContext *pContext = ContextOf(pRequest);
    if (pContext->wRecvLen != 0) return ReceiveFixed(pContext);
    return ReceiveScan(pContext, bEndChar);
}

}  // namespace zev
