#include "line/settle.h"

#include <algorithm>
#include <cstdint>

#include "base/log.h"
#include "line/qobcom.h"

namespace zev {

namespace {

// Beyond the attempts' own span: the host's scheduling, a flush read of
// stale input, the turnaround.
constexpr uint32_t kSettleMarginMs = 100;
constexpr double kSettleAttempts = 3.0;
// Quiet after the replies owed: a reply longer than the one expected; and
// behind a reply in doubt: the next reply of a controller answering in turn.
constexpr uint32_t kSettleTailMs = 20;
constexpr uint32_t kSettleBoundFactor = 4;
constexpr double kSettleMaxMs = 600000.0;
// Late replies are at most one per attempt of three: more input than that
// is noise, not a reply to wait out.
constexpr uint32_t kLateBytesMax = 3u * kRecvBufSize;

}  // namespace

// After a transaction whose attempts went unanswered, their replies may still
// come, and would be taken for the next request's. A controller that is slow
// rather than silent answers them in turn, each as late as the first; so the
// next request waits until the replies owed are in, or until the line has
// been quiet for as long as a whole transaction takes (three attempts of
// request, gap and reply time-out): a reply later than that cannot be told
// from none. What comes meanwhile is dropped; a line that keeps sending is
// left to the discard that follows. A controller held up longer than that
// may still answer: the line stays in doubt (ReplyStandsAlone).
void SettleLine(DriverContext *pContext) {
    const uint32_t dwOwed = pContext->bLateBytes;
    pContext->bLateBytes = kLateInDoubt;
    const double dAttemptMs = static_cast<double>(pContext->iTimeout) * 10.0 + pContext->IFG +
                              static_cast<double>(pContext->fCharTime) * pContext->wSendLen;
    const double dQuietMs = std::clamp(dAttemptMs * kSettleAttempts, 0.0, kSettleMaxMs) + kSettleMarginMs;
    const auto dwQuietMs = static_cast<uint32_t>(dQuietMs);
    const uint32_t dwUntilOwed = dwOwed == kLateUnknown ? kLateBytesMax : dwOwed;
    const QuietBounds owed{dwQuietMs, dwQuietMs * kSettleBoundFactor, dwUntilOwed};
    const int64_t llStartMs = sys::ClockMs();
    uint32_t dwDropped = 0;
    bool bBounded = false;
    QobComAwaitQuiet(pContext->hCom, &owed, &dwDropped, &bBounded);
    if (bBounded && dwDropped >= dwUntilOwed && dwOwed != kLateUnknown) {
        // Every reply owed is in: only the rest of a longer one is left.
        const QuietBounds rest{kSettleTailMs, dwQuietMs, kLateBytesMax};
        uint32_t dwRest = 0;
        QobComAwaitQuiet(pContext->hCom, &rest, &dwRest, &bBounded);
        dwDropped += dwRest;
    }
    if (pContext->DebugFlag == 0) return;
    const auto iWaitedMs = static_cast<unsigned>(sys::ClockMs() - llStartMs);
    if (bBounded) {
        err(kLogTrace, "ROVOD> Send() Input still arriving after %u ms, settling ended", iWaitedMs);
    } else {
        err(kLogTrace, "ROVOD> Send() Line settled after %u ms, %u late bytes dropped", iWaitedMs,
            static_cast<unsigned>(dwDropped));
    }
}

int ByteBehindReply(DriverContext *pContext) {
    if (pContext->bLateBytes != kLateInDoubt) return -1;
    const int32_t iPrevious = QobComSetReadTimeout(pContext->hCom, kSettleTailMs / 10);
    uint8_t bNext = 0;
    uint32_t dwRead = 0;
    const bool bMore = QobComRead(pContext->hCom, &bNext, 1, &dwRead) == kQobOk && dwRead == 1;
    if (iPrevious != 0) QobComSetReadTimeout(pContext->hCom, iPrevious);
    return bMore ? bNext : -1;
}

}  // namespace zev
