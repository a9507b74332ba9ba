// The kernel's RS-485 turnaround in place of the driver's RTS switching.
#include "line/turnaround.h"

#include <cmath>

#include "base/log.h"
#include "platform/system.h"

namespace zev {

namespace {

constexpr uint32_t kMaxKernelDelayMs = 100;
constexpr uint8_t kRtsSwitched = 1;

const char *LevelText(uint32_t bOn) { return bOn != 0 ? "on" : "off"; }

}  // namespace

uint32_t KernelDelayAfterSendMs(float fDelay) {
    if (!(fDelay > 0.0f)) return 0;  // NaN too
    if (fDelay >= static_cast<float>(kMaxKernelDelayMs)) return kMaxKernelDelayMs;
    return static_cast<uint32_t>(std::ceil(fDelay));
}

void SetKernelTurnaround(DriverContext *pContext) {
    pContext->bRs485 = static_cast<uint8_t>(pContext->bRs485 & ~kRs485Kernel);
    if ((pContext->bRs485 & kRs485Asked) == 0 || (pContext->bSwitching & kRtsSwitched) == 0) return;

    // RTS as the masks have it; the kernel raises it right before the first
    // bit, as the driver does just before its write call.
    const sys::Rs485Mode mode{(pContext->SendMask & kMaskRts) != 0 ? 1u : 0u,
                              (pContext->RecMask & kMaskRts) != 0 ? 1u : 0u, 0,
                              KernelDelayAfterSendMs(pContext->fDelay)};
    if (sys::SetRs485Mode(pContext->hCom, &mode) == 0) {
        err(kLogAlert, "ROVOD> OpenCom() port %.11s has no kernel RS485 mode: the driver switches RTS itself",
            pContext->szPort);
        return;
    }
    pContext->bRs485 = static_cast<uint8_t>(pContext->bRs485 | kRs485Kernel);
    err(kLogTrace,
        "ROVOD> OpenCom() kernel RS485 mode: RTS %s while sending, %s after, %u ms after the frame",
        LevelText(mode.bRtsOnSend), LevelText(mode.bRtsAfterSend),
        static_cast<unsigned>(mode.dwDelayAfterSendMs));
}

uint8_t OwnSwitching(const DriverContext *pContext) {
    if ((pContext->bRs485 & kRs485Kernel) == 0) return pContext->bSwitching;
    return static_cast<uint8_t>(pContext->bSwitching & ~kRtsSwitched);
}

}  // namespace zev
