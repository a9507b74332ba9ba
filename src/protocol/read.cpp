// Read transactions: one request, one checked reply, up to three attempts,
// and the values stored into the host's buffer. Parameter gates are answered
// from the working block.
#include "protocol/read.h"

#include <cstring>

#include "base/context.h"
#include "base/log.h"
#include "line/receive.h"
#include "line/send.h"
#include "protocol/frames.h"
#include "protocol/transaction.h"
#include "protocol/value.h"

namespace zev {

namespace {

constexpr uint16_t kReplyData = 7;  // first data byte of a reply frame
constexpr uint16_t kBlock3Header = 10;

// Element counts a request and the receive buffer can carry, per memory type
// (the limits the block parser admits).
struct CountRange {
    int32_t iMemType;
    int32_t iMin;
    int32_t iMax;
};
constexpr CountRange kCountRanges[] = {
    {'2', 10, 10}, {'3', 1, 16}, {'A', 1, 8},  {'F', 1, 8},
    {'P', 1, 8},   {'R', 1, 8},  {'I', 1, 63}, {'X', 1, 63},
};
constexpr int32_t kMaxBlock3 = 16;

constexpr uint16_t ExpectedLength(int32_t iMemType, int32_t iCount) {
    switch (iMemType) {
        case '2':
            return 19;
        case '3':
            return static_cast<uint16_t>(2 * iCount + 19);
        case 'A':
        case 'F':
        case 'P':
        case 'R':
            return static_cast<uint16_t>(2 * iCount + 9);
        case 'I':
        case 'X':
            return static_cast<uint16_t>(iCount + 9);
        default:
            return 0;
    }
}

static_assert(ExpectedLength('3', kMaxBlock3) <= kRecvBufSize, "largest type-3 reply must fit");
static_assert(ExpectedLength('A', 8) <= kRecvBufSize, "largest value-word reply must fit");
static_assert(ExpectedLength('I', 63) <= kRecvBufSize, "largest byte reply must fit");

const CountRange *FindCountRange(int32_t iMemType) {
    for (const CountRange &range : kCountRanges)
        if (range.iMemType == iMemType) return &range;
    return nullptr;
}

void StoreFloat(void *pValue, int32_t iIndex, float fValue) {
    std::memcpy(static_cast<uint8_t *>(pValue) + 4 * iIndex, &fValue, sizeof fValue);
}

void StoreWord(void *pValue, int32_t iIndex, uint16_t wValue) {
    std::memcpy(static_cast<uint8_t *>(pValue) + 2 * iIndex, &wValue, sizeof wValue);
}

uint16_t ReadParameter(ZevRequest *pRequest) {
    const DriverContext *pContext = ContextOf(pRequest);
    const GateRecord *pGate = GateOf(pRequest);
    if (pGate->iPlcAddr != ZEV_PARAMETER_PLC) {
        err(kLogTrace, "ROVOD> Read() Wrong parameter");
        return ZEV_REJECTED;
    }
    double dValue = 0.0;
    switch (pGate->iTagAddr) {
        case kTagTppos:
            dValue = pContext->TPPOS;
            break;
        case kTagIfg:
            dValue = pContext->IFG;
            break;
        case kTagFdelay:
            dValue = static_cast<double>(pContext->fDelay) * 10.0;  // tenths of a millisecond
            break;
        case kTagDebug:
            dValue = pContext->DebugFlag;
            break;
        default:
            err(kLogTrace, "ROVOD> Read() Wrong parameter");
            return ZEV_REJECTED;
    }
    Mox5UnCook(0, pGate->hGate, dValue, pGate->pValue);
    if (pContext->DebugFlag != 0) err(kLogTrace, "ROVOD> SingleRead() Parameter");
    return ZEV_OK;
}

// A count the request frame or the receive buffer cannot carry, or a value
// buffer that is missing, ends the read before anything is sent.
uint16_t CheckReadable(ZevRequest *pRequest) {
    const DriverContext *pContext = ContextOf(pRequest);
    const GateRecord *pGate = GateOf(pRequest);
    const CountRange *pRange = FindCountRange(pGate->iMemType);
    if (pRange == nullptr) {
        err(kLogTrace, "ROVOD> DoRead() Program construction error");
        return ZEV_REJECTED;
    }
    if (pGate->iCount < pRange->iMin || pGate->iCount > pRange->iMax) {
        err(kLogTrace, "ROVOD> DoRead() Count %d out of range %d..%d for gate '%s'", pGate->iCount,
            pRange->iMin, pRange->iMax, GateName(pGate));
        return ZEV_REJECTED;
    }
    if (pGate->pValue == nullptr && pContext->wPtMode != kPtModeRead) {
        err(kLogTrace, "ROVOD> DoRead() No value buffer for gate '%s'", GateName(pGate));
        return ZEV_REJECTED;
    }
    if (pContext->pSendBuf == nullptr || pContext->pRecvBuf == nullptr) {
        err(kLogTrace, "ROVOD> DoRead() No frame buffers");
        return ZEV_LINE_FAILURE;
    }
    return ZEV_OK;
}

// After a failed check of a type-3 reply: take the block length the
// controller announces, if it is usable, for the next attempt. The host sized
// the value buffer for the count the call came with, so the block may shrink
// but never grow beyond it.
uint16_t AdaptBlockLength(ZevRequest *pRequest, int32_t iEntryCount, uint16_t *pwExpected) {
    const DriverContext *pContext = ContextOf(pRequest);
    GateRecord *pGate = GateOf(pRequest);
    if (pContext->wRecvLen <= 19) return ZEV_REJECTED;
    const int32_t iL = pContext->pRecvBuf[1];
    if (iL - 2 * pGate->iCount == 13) return ZEV_REJECTED;
    err(kLogTrace, "ROVOD> DoRead() ... 2 * Block length %d <> length %d in reply", pGate->iCount, iL - 13);
    if (iL <= 13 || iL % 2 == 0 || (iL - 13) / 2 > iEntryCount) return ZEV_LINE_FAILURE;
    *pwExpected = static_cast<uint16_t>(iL + 6);
    pGate->iCount = (iL - 13) / 2;
    err(kLogTrace, "ROVOD> DoRead() ... Trying with block length %u", static_cast<unsigned>(pGate->iCount));
    return ZEV_REJECTED;
}

// *piOwed counts the attempts whose reply did not come whole in time: it may
// still come.
uint16_t ReadAttempt(ZevRequest *pRequest, int32_t iEntryCount, uint16_t *pwExpected, int *piOwed) {
    DriverContext *pContext = ContextOf(pRequest);
    if (Send(pContext) != 0) {
        err(kLogTrace, "ROVOD> DoRead() Send request error");
        return ZEV_LINE_FAILURE;
    }
    pContext->wRecvLen = *pwExpected;
    if (Receive(pRequest, kFrameEnd) != 0) {
        ++*piOwed;
        err(kLogTrace, "ROVOD> DoRead() Read reply error");
        return ZEV_LINE_FAILURE;
    }
    if (pContext->wRecvLen < *pwExpected) ++*piOwed;
    if (CheckRecv(pRequest, *pwExpected) == ZEV_OK) {
        if (ReplyStandsAlone(pContext)) return ZEV_OK;
        err(kLogTrace, "ROVOD> DoRead() Read reply error");
        return ZEV_LINE_FAILURE;
    }
    err(kLogTrace, "ROVOD> DoRead() Check reply error");
    if (GateOf(pRequest)->iMemType == '3') return AdaptBlockLength(pRequest, iEntryCount, pwExpected);
    return ZEV_REJECTED;
}

}  // namespace

uint16_t SingleRead(ZevRequest *pRequest) {
    if (!HasRecords(pRequest, "SingleRead")) return ZEV_REJECTED;
    const GateRecord *pGate = GateOf(pRequest);
    if (pGate->iMemType == ZEV_MEMTYPE_PARAMETER) return ReadParameter(pRequest);
    uint16_t wResult = ZEV_OK;
    if (pGate->iMemType == '2' || pGate->iMemType == '3') {
        err(kLogTrace, "ROVOD> SingleRead(23) Type only for block read");
        wResult = ZEV_REJECTED;
    } else {
        wResult = DoRead(pRequest);
    }
    if (wResult != ZEV_OK)
        err(kLogTrace, "ROVOD> SingleRead(), ret val is %d for gate '%s'", wResult, GateName(pGate));
    return wResult;
}

uint16_t BlockRead(ZevRequest *pRequest) {
    if (!HasRecords(pRequest, "BlockRead")) return ZEV_REJECTED;
    const uint16_t wResult = DoRead(pRequest);
    if (wResult != ZEV_OK)
        err(kLogTrace, "ROVOD> BlockRead(), ret val is %d for gate '%s'", wResult,
            GateName(GateOf(pRequest)));
    return wResult;
}

uint16_t DoRead(ZevRequest *pRequest) {
    DriverContext *pContext = ContextOf(pRequest);
    GateRecord *pGate = GateOf(pRequest);
    if (pContext->hCom == 0) return ZEV_REJECTED;
    pContext->wFunction = static_cast<uint16_t>(pRequest->iFunction);
    if (pGate->iMemType == 'Z') {
        Mox5UnCook(0, pGate->hGate, 0.0, pGate->pValue);
        if (pContext->DebugFlag != 0) err(kLogTrace, "ROVOD> DoRead() Write ONLY");
        return ZEV_OK;
    }
    const uint16_t wRefusal = CheckReadable(pRequest);
    if (wRefusal != ZEV_OK) return wRefusal;
    const int32_t iEntryCount = pGate->iCount;
    uint16_t wExpected = ExpectedLength(pGate->iMemType, pGate->iCount);

    BuildReadRequest(pRequest);
    uint16_t wResult = ZEV_REJECTED;
    int iOwed = 0;
    for (int iAttempt = 0; iAttempt < kAttempts; ++iAttempt) {
        if (iAttempt > 0) {
            err(kLogTrace, "ROVOD> DoRead() Retry %d, TLen %d", iAttempt, pContext->wSendLen);
            pContext->wFunction = static_cast<uint16_t>(pContext->wFunction + kRetryStep);
        }
        wResult = ReadAttempt(pRequest, iEntryCount, &wExpected, &iOwed);
        if (wResult == ZEV_OK) break;
    }
    // Retries ask for the same thing, so only the next transaction needs
    // the line settled.
    if (iOwed > 0) OweLateReplies(pContext, iOwed, wExpected);
    if (wResult != ZEV_OK) return wResult;

    if (pGate->iCount != iEntryCount)
        err(kLogAlert, "ROVOD> DoRead() Modify block length to %u !!", static_cast<unsigned>(pGate->iCount));
    if (pContext->wPtMode == kPtModeRead) {
        pContext->wPtMode = pContext->pRecvBuf[kReplyData + 1] & 3;
        return ZEV_OK;
    }
    return StoreValues(pRequest, pContext->pRecvBuf + kReplyData);
}

uint16_t StoreValues(ZevRequest *pRequest, const uint8_t *pData) {
    const GateRecord *pGate = GateOf(pRequest);
    void *pValue = pGate->pValue;
    const int32_t iMemType = pGate->iMemType;
    const bool bWords = iMemType == 'A' || iMemType == 'F' || iMemType == 'P' || iMemType == 'R';
    const bool bBytes = iMemType == 'I' || iMemType == 'X';
    if (pRequest->iFunction == ZEV_SINGLE_READ) {
        if (bWords) StoreFloat(pValue, 0, DecodeValue(pData[0], pData[1]));
        if (bBytes) {
            uint16_t wValue = pData[0];
            if (pGate->iBitNo != -1)
                wValue = (pGate->iBitNo >= 0 && pGate->iBitNo < 8) ? (wValue >> pGate->iBitNo) & 1 : 0;
            StoreWord(pValue, 1, wValue);
        }
        return ZEV_OK;
    }
    if (pRequest->iFunction != ZEV_BLOCK_READ) return ZEV_OK;
    for (int32_t i = 0; i < pGate->iCount; ++i) {
        if (iMemType == '2' || bBytes) StoreWord(pValue, i, pData[i]);
        if (iMemType == '3')
            StoreFloat(pValue, i,
                       DecodeValue(pData[kBlock3Header + 2 * i], pData[kBlock3Header + 2 * i + 1]));
        if (bWords) StoreFloat(pValue, i, DecodeValue(pData[2 * i], pData[2 * i + 1]));
    }
    return ZEV_OK;
}

}  // namespace zev
