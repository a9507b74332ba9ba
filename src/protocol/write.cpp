// Write transactions: one long request, one acknowledge frame, up to three
// attempts. Parameter gates change the working block instead.
#include "protocol/write.h"

#include <algorithm>
#include <cstring>

#include "base/context.h"
#include "base/log.h"
#include "line/receive.h"
#include "line/send.h"
#include "protocol/frames.h"
#include "protocol/read.h"
#include "protocol/transaction.h"
#include "protocol/value.h"

namespace zev {

namespace {

constexpr uint16_t kAckLen = 6;
constexpr uint16_t kLongFrameLen = 14;
constexpr uint16_t kDataFirst = 4;
constexpr uint16_t kDataEnd = 12;
constexpr int32_t kSwitchTagMax = 8;

static_assert(kLongFrameLen <= kSendBufSize, "a write request must fit the send buffer");

enum : uint8_t {
    kFnWriteWord = 7,
    kFnSwitch = 8,
    kFnWriteRamByte = 13,
    kFnWriteExtByte = 14,
    kFnSetBit = 31,
    kFnClearBit = 47,
};

constexpr uint16_t kTpposMax = 9;
constexpr uint16_t kIfgMax = 5000;
constexpr int16_t kFdelayLimit = 5000;

float ValueFloat(const GateRecord *pGate) {
    float fValue = 0.0f;
    std::memcpy(&fValue, pGate->pValue, sizeof fValue);
    return fValue;
}

uint16_t ValueWord(const GateRecord *pGate) {
    uint16_t wValue = 0;
    std::memcpy(&wValue, static_cast<const uint8_t *>(pGate->pValue) + 2, sizeof wValue);
    return wValue;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// What is written and where: a type-3 gate names both in characters 6 to 8 of
// its address, every other gate in its memory type and element address.
struct WriteTarget {
    int32_t iValueType;
    uint8_t bElement;
};

bool FindWriteTarget(const GateRecord *pGate, WriteTarget *pTarget) {
    if (pGate->iMemType != '3') {
        pTarget->iValueType = pGate->iMemType;
        pTarget->bElement = static_cast<uint8_t>(pGate->iTagAddr);
        return true;
    }
    const char *psz = pGate->pszAddress;
    if (psz == nullptr) return false;
    for (int i = 0; i < 8; ++i)
        if (psz[i] == '\0') return false;
    const int iHigh = HexDigit(psz[5]);
    const int iLow = HexDigit(psz[6]);
    if (iHigh < 0 || iLow < 0) return false;
    int32_t iType = static_cast<uint8_t>(psz[7]);
    if (iType > 'Z') iType -= 0x20;
    pTarget->iValueType = iType;
    pTarget->bElement = static_cast<uint8_t>(iHigh * 16 + iLow);
    return iType == 'A' || iType == 'F' || iType == 'P' || iType == 'R';
}

bool HasWriteRequest(int32_t iValueType) {
    switch (iValueType) {
        case 'A':
        case 'F':
        case 'P':
        case 'R':
        case 'I':
        case 'X':
        case 'Z':
            return true;
        default:
            return false;
    }
}

// The controller's point position for a time value: read the element once,
// with the gate record and the request set up for it and restored afterwards.
void LearnPointPosition(ZevRequest *pRequest, uint8_t bElement) {
    DriverContext *pContext = ContextOf(pRequest);
    GateRecord *pGate = GateOf(pRequest);
    GateRecord saved;
    std::memcpy(&saved, pGate, sizeof saved);
    pGate->iMemType = 'F';
    pGate->iTagAddr = bElement;
    // A write gate's count means nothing to the host (often 0, or a type-3
    // block's size): one element tells the point position.
    if (pGate->iCount < 1 || pGate->iCount > 8) pGate->iCount = 1;
    pRequest->iFunction = ZEV_SINGLE_READ;
    pContext->wPtMode = kPtModeRead;
    const uint16_t wResult = SingleRead(pRequest);
    pRequest->iFunction = ZEV_SINGLE_WRITE;
    std::memcpy(pGate, &saved, sizeof saved);
    if (wResult == ZEV_OK && pContext->wPtMode != kPtModeRead) return;
    err(kLogTrace, "ROVOD> BuildWriteRequest() Unable to read for writing time value");
    pContext->wPtMode = pContext->TPPOS <= 1 ? 0 : static_cast<uint16_t>((pContext->TPPOS - 2) % 4);
}

// Function 7 with the element address and value word twice; returns the
// number of bytes filled, 0 after a refusal already logged.
uint16_t FillWordWrite(ZevRequest *pRequest, const WriteTarget &target, uint16_t *pwResult) {
    const DriverContext *pContext = ContextOf(pRequest);
    const GateRecord *pGate = GateOf(pRequest);
    uint8_t *pFrame = pContext->pSendBuf;
    // Function, kinds and element addresses go in before the value is
    // encoded; a refused value leaves them there, unsent.
    const bool bRegister = target.iValueType == 'R';
    pFrame[3] = kFnWriteWord;
    pFrame[4] = bRegister ? 2 : 1;
    pFrame[5] = target.bElement;
    pFrame[8] = bRegister ? 0 : 1;
    const float fValue = ValueFloat(pGate);
    uint16_t wWord = 0;
    switch (target.iValueType) {
        case 'A':
        case 'R':
            wWord = EncodeValue(fValue);
            break;
        case 'P':
            wWord = EncodeTimeValue(fValue, 0);
            break;
        default:
            wWord = EncodeTimeValue(fValue, pContext->wPtMode);
            err(kLogTrace, "ROVOD> BuildWriteRequest() Time value : %.3f -> %04Xh, ptpos : %d",
                static_cast<double>(fValue), wWord,
                pContext->TPPOS > 2 ? pContext->TPPOS - 2 : pContext->wPtMode);
            break;
    }
    if (wWord == kValueOverflow) {
        err(kLogTrace, "ROVOD> BWriteR() Value overflow");
        *pwResult = ZEV_REFUSED;
        return 0;
    }
    const auto bHigh = static_cast<uint8_t>(wWord >> 8);
    const auto bLow = static_cast<uint8_t>(wWord);
    pFrame[6] = bHigh;
    pFrame[7] = bLow;
    pFrame[9] = target.bElement;
    pFrame[10] = bHigh;
    pFrame[11] = bLow;
    return 12;
}

uint16_t FillByteWrite(ZevRequest *pRequest, const WriteTarget &target, uint16_t *pwResult) {
    const DriverContext *pContext = ContextOf(pRequest);
    const GateRecord *pGate = GateOf(pRequest);
    uint8_t *pFrame = pContext->pSendBuf;
    const uint16_t wValue = ValueWord(pGate);
    if (pGate->iBitNo != -1) {
        pFrame[4] = target.bElement;
        if (wValue > 1) {
            err(kLogTrace, "ROVOD> BWriteR() Not a boolean");
            *pwResult = ZEV_REFUSED;
            return 0;
        }
        // Bit numbers 8..15 lie outside the byte: nothing to set, nothing kept.
        const auto bSetMask =
            static_cast<uint8_t>(pGate->iBitNo >= 0 && pGate->iBitNo < 8 ? 1u << pGate->iBitNo : 0u);
        const uint8_t bMask = wValue == 1 ? bSetMask : static_cast<uint8_t>(~bSetMask);
        pFrame[3] = wValue == 1 ? kFnSetBit : kFnClearBit;
        pFrame[5] = bMask;
        pFrame[6] = target.bElement;
        pFrame[7] = bMask;
        return 8;
    }
    if (target.iValueType == 'I') {
        pFrame[3] = kFnWriteRamByte;
        pFrame[4] = target.bElement;
        pFrame[5] = 1;
        pFrame[6] = static_cast<uint8_t>(wValue);
        return 7;
    }
    pFrame[3] = kFnWriteExtByte;
    pFrame[4] = static_cast<uint8_t>(pGate->iTagAddr >> 8);
    pFrame[5] = static_cast<uint8_t>(pGate->iTagAddr);
    pFrame[6] = 1;
    pFrame[7] = static_cast<uint8_t>(wValue);
    return 8;
}

uint16_t FillSwitchWrite(ZevRequest *pRequest, uint16_t *pwResult) {
    const DriverContext *pContext = ContextOf(pRequest);
    const GateRecord *pGate = GateOf(pRequest);
    uint8_t *pFrame = pContext->pSendBuf;
    if (pGate->iTagAddr < 1 || pGate->iTagAddr > kSwitchTagMax) {
        err(kLogTrace, "ROVOD> BWriteR() Illegal switch tag %d in '%s'", pGate->iTagAddr, GateName(pGate));
        *pwResult = ZEV_REJECTED;
        return 0;
    }
    pFrame[3] = kFnSwitch;
    std::fill(pFrame + kDataFirst, pFrame + kDataEnd, uint8_t{0});
    pFrame[3 + pGate->iTagAddr] = static_cast<uint8_t>(ValueWord(pGate));
    return kDataEnd;
}

// *piOwed counts the attempts whose acknowledge did not come whole in time:
// it may still come.
uint16_t WriteAttempt(ZevRequest *pRequest, int *piOwed) {
    DriverContext *pContext = ContextOf(pRequest);
    if (Send(pContext) != 0) {
        err(kLogTrace, "ROVOD> DoWrite() Send request error");
        return ZEV_LINE_FAILURE;
    }
    pContext->wRecvLen = kAckLen;
    if (Receive(pRequest, 0) != 0) {
        ++*piOwed;
        err(kLogTrace, "ROVOD> DoWrite() Read reply error");
        return ZEV_LINE_FAILURE;
    }
    if (pContext->wRecvLen != kAckLen) {
        ++*piOwed;
        err(kLogTrace, "ROVOD> DoWrite() Read wrong length reply");
        return ZEV_LINE_FAILURE;
    }
    const uint16_t wResult = CheckRecv(pRequest, kAckLen);
    if (wResult != ZEV_OK && wResult != ZEV_REFUSED) {
        err(kLogTrace, "ROVOD> DoWrite() Check reply error");
        return wResult;
    }
    if (ReplyStandsAlone(pContext)) return wResult;
    err(kLogTrace, "ROVOD> DoWrite() Read reply error");
    return ZEV_LINE_FAILURE;
}

uint16_t WriteParameter(ZevRequest *pRequest) {
    DriverContext *pContext = ContextOf(pRequest);
    const GateRecord *pGate = GateOf(pRequest);
    if (pGate->iPlcAddr != ZEV_PARAMETER_PLC) {
        err(kLogTrace, "ROVOD> Write() Wrong parameter");
        return ZEV_REJECTED;
    }
    if (pGate->pValue == nullptr) {
        err(kLogTrace, "ROVOD> SingleWrite() No value buffer for gate '%s'", GateName(pGate));
        return ZEV_REJECTED;
    }
    const uint16_t wValue = ValueWord(pGate);
    switch (pGate->iTagAddr) {
        case kTagTppos: {
            uint16_t wTppos = wValue;
            if (wTppos > kTpposMax) {
                err(kLogTrace, "ROVOD> SingleWrite() Point pos. value too high...");
                wTppos = 1;
            }
            pContext->TPPOS = wTppos;
            err(kLogTrace, "ROVOD> SingleWrite() $TPPOS = %d", wTppos);
            break;
        }
        case kTagIfg: {
            uint16_t wIfg = wValue;
            if (wIfg > kIfgMax) {
                err(kLogTrace, "ROVOD> SingleWrite() IFG value too high...");
                wIfg = kIfgMax;
            }
            pContext->IFG = wIfg;
            err(kLogTrace, "ROVOD> SingleWrite() IFG = %d", wIfg);
            break;
        }
        case kTagFdelay: {
            const auto iTenths = static_cast<int16_t>(wValue);
            if (iTenths >= kFdelayLimit) break;
            const double dDelay = iTenths * 0.1;
            pContext->fDelay = static_cast<float>(dDelay);
            err(kLogTrace, "ROVOD> SingleWrite() FDelay = %.1f", dDelay);
            break;
        }
        case kTagDebug:
            if (wValue == 0 || wValue == 1) {
                pContext->DebugFlag = wValue;
                err(kLogTrace, "ROVOD> SingleWrite() DebugFlag set to %d", wValue);
            } else {
                err(kLogTrace, "ROVOD> SingleWrite() Wrong value for DebugFlag");
            }
            break;
        default:
            break;
    }
    if (pContext->DebugFlag != 0) err(kLogTrace, "ROVOD> SingleWrite() Parameter");
    return ZEV_OK;
}

}  // namespace

uint16_t SingleWrite(ZevRequest *pRequest) {
    if (!HasRecords(pRequest, "SingleWrite")) return ZEV_REJECTED;
    const GateRecord *pGate = GateOf(pRequest);
    if (pGate->iMemType == ZEV_MEMTYPE_PARAMETER) return WriteParameter(pRequest);
    const uint16_t wResult = DoWrite(pRequest);
    if (wResult != ZEV_OK)
        err(kLogTrace, "ROVOD> SingleWrite() , ret val is %d for gate '%s'", wResult, GateName(pGate));
    return wResult;
}

uint16_t BlockWrite(ZevRequest *pRequest) {
    if (!HasRecords(pRequest, "BlockWrite")) return ZEV_REJECTED;
    const uint16_t wResult = DoWrite(pRequest);
    if (wResult != ZEV_OK)
        err(kLogTrace, "ROVOD> BlockWrite(), ret val is %d for block '%s'", wResult,
            GateName(GateOf(pRequest)));
    return wResult;
}

uint16_t DoWrite(ZevRequest *pRequest) {
    DriverContext *pContext = ContextOf(pRequest);
    if (pContext->hCom == 0) return ZEV_REJECTED;
    pContext->wFunction = static_cast<uint16_t>(pRequest->iFunction);
    const uint16_t wBuilt = BuildWriteRequest(pRequest);
    if (wBuilt != ZEV_OK) return wBuilt;
    uint16_t wResult = ZEV_REJECTED;
    int iOwed = 0;
    for (int iAttempt = 0; iAttempt < kAttempts; ++iAttempt) {
        if (iAttempt > 0) {
            err(kLogTrace, "ROVOD> DoWrite() Retry %d, TLen %d", iAttempt, pContext->wSendLen);
            pContext->wFunction = static_cast<uint16_t>(pContext->wFunction + kRetryStep);
        }
        wResult = WriteAttempt(pRequest, &iOwed);
        if (wResult == ZEV_OK || wResult == ZEV_REFUSED) break;
    }
    // Retries ask for the same thing, so only the next transaction needs
    // the line settled.
    if (iOwed > 0) OweLateReplies(pContext, iOwed, kAckLen);
    return wResult;
}

uint16_t BuildWriteRequest(ZevRequest *pRequest) {
    DriverContext *pContext = ContextOf(pRequest);
    const GateRecord *pGate = GateOf(pRequest);
    if (pRequest->iFunction == ZEV_BLOCK_WRITE) {
        err(kLogTrace, "ROVOD> BWriteR() Block write not implemented");
        return ZEV_REJECTED;
    }
    // Only a single write has a request; the dispatcher passes no other
    // function here, and the buffer is left as it is.
    if (pRequest->iFunction != ZEV_SINGLE_WRITE) return ZEV_OK;
    WriteTarget target{};
    if (!FindWriteTarget(pGate, &target) || !HasWriteRequest(target.iValueType)) {
        err(kLogTrace, "ROVOD> BWriteR() No write request for gate '%s'", GateName(pGate));
        return ZEV_REJECTED;
    }
    if (pGate->pValue == nullptr) {
        err(kLogTrace, "ROVOD> BWriteR() No value buffer for gate '%s'", GateName(pGate));
        return ZEV_REJECTED;
    }
    if (pContext->pSendBuf == nullptr || pContext->pRecvBuf == nullptr) {
        err(kLogTrace, "ROVOD> BWriteR() No frame buffers");
        return ZEV_LINE_FAILURE;
    }
    if (target.iValueType == 'F' && (pContext->ReadBeforeWrite == 1 || pContext->wPtMode == kPtModeUnknown))
        LearnPointPosition(pRequest, target.bElement);

    uint8_t *pFrame = pContext->pSendBuf;
    pFrame[0] = kFrameLong;
    pFrame[1] = static_cast<uint8_t>(pGate->iPlcAddr);
    pFrame[2] = 0x00;
    uint16_t wResult = ZEV_OK;
    uint16_t wFilled = 0;
    switch (target.iValueType) {
        case 'A':
        case 'F':
        case 'P':
        case 'R':
            wFilled = FillWordWrite(pRequest, target, &wResult);
            break;
        case 'Z':
            wFilled = FillSwitchWrite(pRequest, &wResult);
            break;
        default:
            wFilled = FillByteWrite(pRequest, target, &wResult);
            break;
    }
    if (wResult != ZEV_OK) return wResult;
    std::fill(pFrame + wFilled, pFrame + kDataEnd, uint8_t{0});
    pFrame[kDataEnd] = CalcFcs(pFrame + 1, kDataEnd - 1);
    pFrame[kDataEnd + 1] = kFrameEnd;
    pContext->wSendLen = kLongFrameLen;
    return ZEV_OK;
}

}  // namespace zev
