// Request frames built in place in the send buffer, and the checks of reply
// and acknowledge frames in the receive buffer.
#include "protocol/frames.h"

#include <algorithm>

#include "base/context.h"
#include "base/log.h"
#include "line/receive.h"

namespace zev {

namespace {

constexpr uint16_t kLongFrameLen = 14;
constexpr uint16_t kShortFrameLen = 6;
constexpr uint16_t kDataFirst = 4;  // first data byte of a long request
constexpr uint16_t kDataEnd = 12;   // one past the last data byte
constexpr uint8_t kOwnStation = 0x00;
constexpr int kMaxAddressList = kDataEnd - kDataFirst;

static_assert(kLongFrameLen <= kSendBufSize, "a long request must fit the send buffer");

// Reads a value word list of at most eight addresses; the reply carries one
// word per address, the repeated last address is not answered.
bool BuildAddressList(uint8_t *pFrame, const GateRecord *pGate) {
    if (pGate->iCount < 1 || pGate->iCount > kMaxAddressList) return false;
    const int n = pGate->iCount;
    const auto bFirst = static_cast<uint8_t>(pGate->iTagAddr);
    for (int i = 0; i < n; ++i) pFrame[kDataFirst + i] = static_cast<uint8_t>(bFirst + i);
    if (n < kMaxAddressList) pFrame[kDataFirst + n] = pFrame[kDataFirst + n - 1];
    return true;
}

// Zeroes the data bytes from wFilled on, then the check sum and end character.
void FinishLongFrame(DriverContext *pContext, uint16_t wFilled) {
    uint8_t *pFrame = pContext->pSendBuf;
    std::fill(pFrame + wFilled, pFrame + kDataEnd, uint8_t{0});
    pFrame[kDataEnd] = CalcFcs(pFrame + 1, kDataEnd - 1);
    pFrame[kDataEnd + 1] = kFrameEnd;
    pContext->wSendLen = kLongFrameLen;
}

void Drain(ZevRequest *pRequest) {
    ContextOf(pRequest)->wRecvLen = 0;
    static_cast<void>(Receive(pRequest, kFrameEnd));
}

uint16_t CheckEndChar(ZevRequest *pRequest) {
    DriverContext *pContext = ContextOf(pRequest);
    const uint16_t n = pContext->wRecvLen;
    const uint8_t bLast = pContext->pRecvBuf[n - 1];
    if (bLast == kFrameEnd) return ZEV_OK;
    err(kLogTrace, "ROVOD> CheckRecv() Missing end char (%d,%02X)", n, bLast);
    Drain(pRequest);
    return ZEV_REJECTED;
}

uint16_t CheckReplyFrame(ZevRequest *pRequest, uint16_t wExpected) {
    DriverContext *pContext = ContextOf(pRequest);
    const auto *pGate = static_cast<const GateRecord *>(pRequest->pParams);
    const uint8_t *pReply = pContext->pRecvBuf;
    const uint16_t n = pContext->wRecvLen;
    const uint8_t bL = pReply[1];
    if (pReply[0] != kFrameReply || pReply[2] != bL || pReply[3] != kFrameReply || pReply[4] != kOwnStation) {
        err(kLogTrace, "ROVOD> CheckRecv() Header fault");
        Drain(pRequest);
        return ZEV_REJECTED;
    }
    // The received count never exceeds the buffer, so n = L + 6 keeps every
    // index below within it.
    if (n != wExpected || n != bL + 6 || n > kRecvBufSize) {
        err(kLogTrace, "ROVOD> CheckRecv() Recv.length %d (<> %d) and/or (<> %d + 6)", n, wExpected, bL);
        return ZEV_REJECTED;
    }
    if (pReply[5] != pGate->iPlcAddr) {
        err(kLogTrace, "ROVOD> CheckRecv() Wrong PLC address %d (<>%d)", pReply[5], pGate->iPlcAddr);
        return ZEV_REJECTED;
    }
    if (CalcFcs(pReply + 4, bL) != pReply[n - 2]) {
        err(kLogTrace, "ROVOD> CheckRecv() FCS error");
        return ZEV_REJECTED;
    }
    return CheckEndChar(pRequest);
}

uint16_t CheckAckFrame(ZevRequest *pRequest) {
    DriverContext *pContext = ContextOf(pRequest);
    const auto *pGate = static_cast<const GateRecord *>(pRequest->pParams);
    const uint8_t *pReply = pContext->pRecvBuf;
    const uint16_t n = pContext->wRecvLen;
    // The write path hands over exactly 6 bytes; anything too short to hold
    // the address, code and check sum is no acknowledge.
    if (n < 4 || n > kRecvBufSize || pReply[0] != kFrameShort || pReply[1] != kOwnStation) {
        err(kLogTrace, "ROVOD> CheckRecv(W) Header fault");
        // Stray bytes before the acknowledge shifted it: read past its end so
        // the next attempt starts on a clean line.
        Drain(pRequest);
        return ZEV_REJECTED;
    }
    if (pReply[2] != pGate->iPlcAddr) {
        err(kLogTrace, "ROVOD> CheckRecv(W) Wrong PLC address %d (<>%d)", pReply[2], pGate->iPlcAddr);
        return ZEV_REJECTED;
    }
    if (CalcFcs(pReply + 1, static_cast<uint16_t>(n - 3)) != pReply[n - 2]) {
        err(kLogTrace, "ROVOD> CheckRecv(W) FCS error");
        return ZEV_REJECTED;
    }
    if (pReply[3] == kNak) {
        err(kLogTrace, "ROVOD> CheckRecv() PLC replied with NAK");
        return ZEV_REFUSED;
    }
    if (pReply[3] != kAck) {
        err(kLogTrace, "ROVOD> CheckRecv() Reply is not an ACK but %02Xh", pReply[3]);
        return ZEV_REJECTED;
    }
    return CheckEndChar(pRequest);
}

}  // namespace

uint8_t CalcFcs(const uint8_t *pBytes, uint16_t wCount) {
    uint8_t bSum = 0;
    for (uint16_t i = 0; i < wCount; ++i) bSum = static_cast<uint8_t>(bSum + pBytes[i]);
    return bSum;
}

void BuildReadRequest(ZevRequest *pRequest) {
    DriverContext *pContext = ContextOf(pRequest);
    const auto *pGate = static_cast<const GateRecord *>(pRequest->pParams);
    uint8_t *pFrame = pContext->pSendBuf;
    pFrame[0] = kFrameLong;
    pFrame[1] = static_cast<uint8_t>(pGate->iPlcAddr);
    pFrame[2] = kOwnStation;
    uint16_t wFilled = kDataFirst;
    switch (pGate->iMemType) {
        case '2':
        case '3':
            pFrame[0] = kFrameShort;
            pFrame[3] = pGate->iMemType == '2' ? 2 : 3;
            pFrame[4] = static_cast<uint8_t>(pFrame[1] + pFrame[3]);
            pFrame[5] = kFrameEnd;
            pContext->wSendLen = kShortFrameLen;
            return;
        case 'A':
        case 'F':
        case 'P':
        case 'R':
            // A list that does not fit the eight data bytes has no request.
            pFrame[3] = 4;
            if (!BuildAddressList(pFrame, pGate)) {
                pContext->wSendLen = 0;
                return;
            }
            wFilled = static_cast<uint16_t>(kDataFirst + std::min(pGate->iCount + 1, kMaxAddressList));
            break;
        case 'I':
            pFrame[3] = 5;
            pFrame[4] = static_cast<uint8_t>(pGate->iTagAddr);
            pFrame[5] = static_cast<uint8_t>(pGate->iCount);
            wFilled = 6;
            break;
        case 'X':
            pFrame[3] = 6;
            pFrame[4] = static_cast<uint8_t>(pGate->iTagAddr >> 8);
            pFrame[5] = static_cast<uint8_t>(pGate->iTagAddr);
            pFrame[6] = static_cast<uint8_t>(pGate->iCount);
            wFilled = 7;
            break;
        default:
            pContext->wSendLen = 0;
            return;
    }
    FinishLongFrame(pContext, wFilled);
}

uint16_t CheckRecv(ZevRequest *pRequest, uint16_t wExpected) {
    const uint32_t iFunction = pRequest->iFunction;
    if (iFunction == ZEV_SINGLE_WRITE || iFunction == ZEV_BLOCK_WRITE) return CheckAckFrame(pRequest);
    return CheckReplyFrame(pRequest, wExpected);
}

}  // namespace zev
