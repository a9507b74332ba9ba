// What the read and write transactions share: the attempt rules, the
// parameter-gate tags, the point-position modes and the host's gate record.
#pragma once

#include <cstdint>

#include "base/context.h"
#include "base/log.h"
#include "line/settle.h"
#include "protocol/frames.h"
#include "zedadad/zedadad.h"

namespace zev {

constexpr int kAttempts = 3;
constexpr uint16_t kRetryStep = 256;    // added to wFunction before each repetition
constexpr uint16_t kPtModeUnknown = 4;  // no point position learned yet
constexpr uint16_t kPtModeRead = 5;     // the write path is learning a point position
enum : int32_t { kTagTppos = 252, kTagIfg = 253, kTagFdelay = 254, kTagDebug = 255 };

// Each attempt whose reply did not come whole may still be answered, one of
// wReplyLen bytes each, after the transaction has given up.
inline void OweLateReplies(DriverContext *pContext, int iReplies, uint16_t wReplyLen) {
    const uint32_t dwBytes = uint32_t{wReplyLen} * static_cast<uint32_t>(iReplies);
    pContext->bLateBytes = dwBytes < kLateInDoubt ? static_cast<uint8_t>(dwBytes) : kLateUnknown;
}

// In doubt, a reply followed at once by the start of another frame comes
// from a controller answering earlier requests in turn, ours last: it is not
// taken. A reply that stands alone ends the doubt.
inline bool ReplyStandsAlone(DriverContext *pContext) {
    if (pContext->bLateBytes != kLateInDoubt) return true;
    const int iNext = ByteBehindReply(pContext);
    if (iNext == kFrameReply || iNext == kFrameShort) {
        if (pContext->DebugFlag != 0)
            err(kLogTrace,
                "ROVOD> Receive() Another frame right behind the reply: an earlier request's, dropped");
        return false;
    }
    pContext->bLateBytes = 0;
    return true;
}

inline GateRecord *GateOf(ZevRequest *pRequest) { return static_cast<GateRecord *>(pRequest->pParams); }

inline const char *GateName(const GateRecord *pGate) {
    return pGate->pszAddress != nullptr ? pGate->pszAddress : "(no address)";
}

// The host's records must be there before anything is read from them.
inline bool HasRecords(ZevRequest *pRequest, const char *pszOperation) {
    if (ContextOf(pRequest) == nullptr || pRequest->pParams == nullptr) {
        err(kLogTrace, "ROVOD> %s() No gate record", pszOperation);
        return false;
    }
    return true;
}

}  // namespace zev
