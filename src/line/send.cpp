// Timed transmit: the inter-frame gap, the plain write, and the switched
// write that holds RTS/DTR in the send state for the frame's line time by
// spinning on the performance counter. Also the line timing of installation.
#include "line/send.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "base/log.h"
#include "line/qobcom.h"
#include "line/settle.h"
#include "line/turnaround.h"

namespace zev {

namespace {

constexpr double kGapFactor = 1001.0;  // elapsed s x 1001: ms with a 0.1 % margin
constexpr double kGapCharacters = 3.5;
constexpr uint16_t kMaxGap = 5000;
constexpr float kMsToSeconds = 0.001f;
constexpr float kCalibrationExtraMs = 10.0f;
constexpr uint32_t kTimerPeriodMs = 1;
// Far beyond any real hold, and far from int64 overflow when added to a
// counter reading.
constexpr double kMaxTicks = 4.0e18;

struct SignalFunctions {
    uint32_t dwDtr;
    uint32_t dwRts;
};

SignalFunctions SignalFunctionsOf(uint16_t wMask) {
    return {(wMask & kMaskDtr) != 0 ? sys::kSetDtr : sys::kClrDtr,
            (wMask & kMaskRts) != 0 ? sys::kSetRts : sys::kClrRts};
}

// Milliseconds to counter ticks, truncated toward zero; NaN and absurd
// values are clamped so the conversion is always defined.
int64_t TicksOf(int64_t llFrequency, float fMs) {
    const double dTicks = static_cast<double>(llFrequency) * static_cast<double>(fMs) * kMsToSeconds;
    if (std::isnan(dTicks)) return 0;
    if (dTicks > kMaxTicks) return static_cast<int64_t>(kMaxTicks);
    if (dTicks < -kMaxTicks) return static_cast<int64_t>(-kMaxTicks);
    return static_cast<int64_t>(dTicks);
}

double CounterMs(int64_t llTicks, int64_t llFrequency) {
    return static_cast<double>(llTicks) / static_cast<double>(llFrequency) * 1000.0;
}

// Spins until the counter reaches llTarget. Returns the number of reads and
// leaves the last reading in *pllLast. A failing counter ends the wait rather
// than spinning forever on a reading that never moves.
// The system may sleep through the bulk of a long wait (SpinPause); the end
// is always spun out on the counter.
uint32_t SpinUntil(int64_t llTarget, int64_t *pllLast) {
    uint32_t iIndex = 0;
    int64_t llNow = 0;
    do {
        if (sys::QueryPerformanceCounter(&llNow) == 0) break;
        ++iIndex;
        if (llNow < llTarget) sys::SpinPause(llTarget - llNow);
    } while (llNow < llTarget);
    *pllLast = llNow;
    return iIndex;
}

bool FrameFits(const DriverContext *pContext) {
    return pContext->pSendBuf != nullptr && pContext->wSendLen <= kSendBufSize;
}

uint16_t SendSwitched(DriverContext *pContext) {
    const sys::Handle hCom = pContext->hCom;
    const SignalFunctions send = SignalFunctionsOf(pContext->SendMask);
    const SignalFunctions receive = SignalFunctionsOf(pContext->RecMask);
    // RTS is left alone where the port turns it around itself.
    const bool bRtsSwitched = send.dwRts != receive.dwRts && (pContext->bRs485 & kRs485Kernel) == 0;

    if (bRtsSwitched) sys::EscapeCommFunction(hCom, send.dwRts);
    sys::EscapeCommFunction(hCom, send.dwDtr);

    const float fHold = static_cast<float>(static_cast<double>(pContext->fCharTime) * pContext->wSendLen +
                                           static_cast<double>(pContext->fDelay));
    const int iPriority = sys::GetThreadPriority();
    sys::TimeBeginPeriod(kTimerPeriodMs);
    const int rc = sys::SetThreadPriority(sys::kThreadPriorityTimeCritical);
    if (rc != 1) err(kLogTrace, "ROVOD> Send() ERROR setting priority, rc %d", rc);

    const int64_t llFrequency = pContext->llFrequency;
    int64_t llStart = 0;
    if (llFrequency > 0) sys::QueryPerformanceCounter(&llStart);

    uint32_t dwWritten = 0;
    const int bWritten = sys::WriteFile(hCom, pContext->pSendBuf, pContext->wSendLen, &dwWritten);

    // No hold planned: the planned end is the start itself.
    int64_t llTarget = llStart;
    uint32_t iIndex = 0;
    // !(>= 0) also sends a NaN hold this way; a negative zero holds for 0.
    if (!(fHold >= 0.0f) || llFrequency <= 0) {
        err(kLogTrace, "ROVOD> No Delay for switching signals RTS or DTR");
    } else {
        int64_t llT0 = 0;
        sys::QueryPerformanceCounter(&llT0);
        llTarget = llT0 + TicksOf(llFrequency, fHold);
        int64_t llLast = 0;
        iIndex = SpinUntil(llTarget, &llLast);
    }

    sys::EscapeCommFunction(hCom, receive.dwDtr);
    if (bRtsSwitched) sys::EscapeCommFunction(hCom, receive.dwRts);

    if (llFrequency > 0) {
        int64_t llNow = 0;
        sys::QueryPerformanceCounter(&llNow);
        pContext->fPracDelay = static_cast<float>(CounterMs(llNow - llStart, llFrequency));
        pContext->fCalcDelay = static_cast<float>(CounterMs(llTarget - llStart, llFrequency));
    }

    if (sys::SetThreadPriority(iPriority) != 1)
        err(kLogTrace, "ROVOD> Send() ERROR !!! RESETTING PRIORITY !!");
    sys::TimeEndPeriod(kTimerPeriodMs);

    const uint16_t wCode = (bWritten == 0 || dwWritten != pContext->wSendLen) ? 1 : 0;
    if (pContext->DebugFlag != 0) {
        err(kLogTrace,
            "ROVOD> Send() Delay : Calc. %.3f, Prac. %.3f, fDelay = %.3f, iIndex = %d, iPriority = %d",
            static_cast<double>(pContext->fCalcDelay), static_cast<double>(pContext->fPracDelay),
            static_cast<double>(fHold), static_cast<int>(iIndex), iPriority);
    }
    return wCode;
}

// Input waiting before a request goes out answers no request still open (a
// late reply of a call that gave up, noise): discard it so it is never taken
// for this request's reply. One flush read also waits out the rest of a
// reply still on its way. A line that is still sending after that read
// never falls quiet: the system drops what is left at once, or, where the
// port cannot purge, the flush reads on to its bound.
void DiscardStaleInput(DriverContext *pContext) {
    uint32_t dwErrors = 0;
    sys::ComStat stat{};
    if (sys::ClearCommError(pContext->hCom, &dwErrors, &stat) != 1 || stat.cbInQue == 0) return;
    const bool bDebug = pContext->DebugFlag != 0;
    if (bDebug)
        err(kLogTrace, "ROVOD> Send() Discarding %u stale bytes", static_cast<unsigned>(stat.cbInQue));
    bool bBounded = false;
    QobComFlushInput(pContext->hCom, &bBounded, 0);
    if (!bBounded) return;
    if (QobComPurgeInput(pContext->hCom) == kQobOk) {
        if (bDebug) err(kLogTrace, "ROVOD> Send() Input still arriving, the rest dropped");
        return;
    }
    QobComFlushInput(pContext->hCom, &bBounded);
    if (bBounded && bDebug) {
        err(kLogTrace, "ROVOD> Send() Input still arriving after %u ms, discard ended",
            static_cast<unsigned>(kFlushBoundMs));
    }
}

}  // namespace

void WaitIFG(DriverContext *pContext) {
    const double dStart = static_cast<double>(sys::ClockMs()) / 1000.0;
    for (;;) {
        sys::Sleep(pContext->IFG);
        const double dElapsed = (static_cast<double>(sys::ClockMs()) / 1000.0 - dStart) * kGapFactor;
        if (pContext->DebugFlag != 0 && pContext->IFG > dElapsed) {
            err(kLogTrace, "ROVOD> IFG failed (%lfms < %dms)", dElapsed, static_cast<int>(pContext->IFG));
        }
        if (!(dElapsed < pContext->IFG)) return;
    }
}

uint16_t Send(DriverContext *pContext) {
    if (LateRepliesOwed(pContext)) SettleLine(pContext);
    if (pContext->IFG != 0) WaitIFG(pContext);
    DiscardStaleInput(pContext);

    uint16_t wCode = 0;
    if (!FrameFits(pContext)) {
        // Never read past the send buffer, whatever the length says.
        err(kLogTrace, "ROVOD> Send() frame of %u bytes does not fit the send buffer",
            static_cast<unsigned>(pContext->wSendLen));
        wCode = kQobSysFailed;
    } else if (OwnSwitching(pContext) == 0) {
        uint32_t dwWritten = 0;
        wCode = QobComWrite(pContext->hCom, pContext->pSendBuf, pContext->wSendLen, &dwWritten);
    } else {
        wCode = SendSwitched(pContext);
    }

    if (wCode != 0) {
        err(kLogTrace, "ROVOD> Send(), QobComWrite() returned %d", static_cast<int>(wCode));
        if (QobComPortLost(pContext->hCom)) {
            err(kLogAlert, "ROVOD> Send() Port %.11s lost: the device is gone, ReOpenCom when it is back",
                pContext->szPort);
        }
    }
    return wCode;
}

void SetLineTiming(DriverContext *pContext, const PortSettings *pSettings) {
    const uint16_t wBaud = pSettings->wBaud;
    const auto iDataBits = static_cast<int16_t>(pSettings->wDataBits);
    const auto iStopBits = static_cast<int16_t>(pSettings->wStopBits);
    const double dBits = iStopBits * 0.5 + (pSettings->wParity != 0 ? 1 : 0) + iDataBits + 2.0;

    // A rate of 0 cannot be put on a line (the port refuses it); it gets no
    // character time and no gap rather than a division by zero.
    float fCharTime = 0.0f;
    if (wBaud != 0) {
        fCharTime = static_cast<float>(dBits / wBaud);
        fCharTime = static_cast<float>(static_cast<double>(fCharTime) * 1000.0);
    }
    pContext->fCharTime = fCharTime;
    err(kLogTrace, "ROVOD> Theoretically # msec per character = %.3f", static_cast<double>(fCharTime));

    // Capped before the conversion, so the cast is always in range.
    const double dGap = static_cast<double>(fCharTime) * kGapCharacters;
    if (!(dGap > 0.0)) {
        pContext->IFG = 0;
    } else if (dGap > kMaxGap) {
        pContext->IFG = kMaxGap;
    } else {
        pContext->IFG = static_cast<uint16_t>(dGap);
    }

    switch (wBaud) {
        case 9600:
        case 19200:
            pContext->fDelay = -1.0f;
            break;
        case 57600:
            pContext->fDelay = 0.0f;
            break;
        default:
            pContext->fDelay = -0.5f;
            break;
    }
}

namespace {

void Calibrate(const DriverContext *pContext) {
    const int64_t llFrequency = pContext->llFrequency;
    const int iPriority = sys::GetThreadPriority();
    sys::TimeBeginPeriod(kTimerPeriodMs);
    const int rc = sys::SetThreadPriority(sys::kThreadPriorityTimeCritical);
    if (rc != 1) err(kLogTrace, "ROVOD> ColdStart() ERROR setting priority, rc %d", rc);

    int64_t llA = 0;
    int64_t llB = 0;
    sys::QueryPerformanceCounter(&llA);
    sys::QueryPerformanceCounter(&llB);
    err(kLogTrace, "ROVOD> ColdStart() Resolution QPC() %f", static_cast<double>(llB - llA));

    const int64_t llTarget = llA + TicksOf(llFrequency, pContext->fDelay + kCalibrationExtraMs);
    int64_t llLast = 0;
    const uint32_t iIndex = SpinUntil(llTarget, &llLast);
    err(kLogTrace, "ROVOD> ColdStart() Freq: %f, Difference QPC() %f, Index %u",
        static_cast<double>(llFrequency), static_cast<double>(llLast - llTarget),
        static_cast<unsigned>(iIndex));

    if (sys::SetThreadPriority(iPriority) != 1)
        err(kLogTrace, "ROVOD> ColdStart() ERROR !!! RESETTING PRIORITY !!");
    sys::TimeEndPeriod(kTimerPeriodMs);
}

}  // namespace

void SetupCounter(DriverContext *pContext) {
    if (pContext->bSwitching == 0) {
        err(kLogTrace, "ROVOD> ColdStart() Switching signals is not enabled");
        return;
    }
    int64_t llFrequency = 0;
    if (sys::QueryPerformanceFrequency(&llFrequency) != 0 && llFrequency > 0) {
        pContext->llFrequency = llFrequency;
    } else {
        err(kLogAlert, "ROVOD> Send() High Resolution Counter not supported");
        pContext->llFrequency = 0;
    }
    if (pContext->DebugFlag != 0 && pContext->llFrequency > 0) Calibrate(pContext);
}

}  // namespace zev
