// How precisely a switched Send ends its hold: the time from the planned end
// of the hold (write returned + character times + fDelay) until the signals
// are back in the receive state, as Send itself measures it
// (fPracDelay - fCalcDelay, on the performance counter), against the same
// sequence with a sleep-based hold (usleep) measured the same way in the same
// run. Bar: the busy-wait's 99th percentile at least 10 times smaller.
// On a pseudo-terminal the signal calls fail; Send ignores that, and the
// calls are still made at the moments measured.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/context.h"
#include "bench_util.h"
#include "line/qobcom.h"
#include "line/send.h"
#include "platform/system.h"
#include "support/test_host.h"

namespace {

constexpr int kRounds = 150;
constexpr float kCharTimeMs = 1.0416666f;  // 9600 8N1
constexpr float kDelayMs = -1.0f;          // the default at 9600
constexpr std::array<uint16_t, 6> kFrameLengths = {1, 2, 6, 14, 20, 32};

int64_t Counter() {
    int64_t ll = 0;
    sys::QueryPerformanceCounter(&ll);
    return ll;
}

void Drain(int iMaster) {
    std::array<uint8_t, 256> buf{};
    while (read(iMaster, buf.data(), buf.size()) > 0) {
    }
}

// The switched sequence with the hold slept instead of spun. Returns the
// lateness in ns of the receive-state signals against the planned end.
int64_t SleepHold(zev::DriverContext *pContext, int64_t llFrequency) {
    const float fHold = static_cast<float>(static_cast<double>(pContext->fCharTime) * pContext->wSendLen +
                                           static_cast<double>(pContext->fDelay));
    sys::EscapeCommFunction(pContext->hCom, sys::kSetRts);
    sys::EscapeCommFunction(pContext->hCom, sys::kSetDtr);
    uint32_t dwWritten = 0;
    sys::WriteFile(pContext->hCom, pContext->pSendBuf, pContext->wSendLen, &dwWritten);
    const int64_t llT0 = Counter();
    const auto llTicks = static_cast<int64_t>(static_cast<double>(llFrequency) * fHold * 0.001);
    usleep(static_cast<useconds_t>(fHold * 1000.0f));
    sys::EscapeCommFunction(pContext->hCom, sys::kSetDtr);
    sys::EscapeCommFunction(pContext->hCom, sys::kClrRts);
    const int64_t llNow = Counter();
    return (llNow - (llT0 + llTicks)) * 1000000000 / llFrequency;
}

}  // namespace

int main() {
    int iMaster = -1;
    int iSlave = -1;
    const char *pszDevice = nullptr;
    if (!bench::OpenRawPty(&iMaster, &iSlave, &pszDevice)) return 1;
    fcntl(iMaster, F_SETFL, fcntl(iMaster, F_GETFL) | O_NONBLOCK);

    const zev::LineSettings settings{9600, 8, 0, 0};
    sys::Handle hCom = 0;
    if (zev::QobComOpen(pszDevice, &settings, 0x0101, &hCom) != zev::kQobOk) {
        std::fprintf(stderr, "cannot open %s\n", pszDevice);
        return 1;
    }
    int64_t llFrequency = 0;
    if (sys::QueryPerformanceFrequency(&llFrequency) == 0 || llFrequency <= 0) return 1;

    std::array<uint8_t, zev::kSendBufSize> sendBuf{};
    sendBuf.fill(0x55);
    zev::DriverContext context{};
    context.pSendBuf = sendBuf.data();
    context.hCom = hCom;
    context.bSwitching = 1;
    context.SendMask = 0x0303;
    context.RecMask = 0x0101;
    context.fCharTime = kCharTimeMs;
    context.fDelay = kDelayMs;
    context.llFrequency = llFrequency;
    context.IFG = 0;

    std::vector<double> spinAll;
    std::vector<double> sleepAll;
    std::printf("lateness of the receive state after the planned end of the hold (microseconds)\n");
    std::printf("%8s %9s | %28s | %28s\n", "bytes", "hold ms", "busy-wait med / p99 / max",
                "usleep med / p99 / max");
    for (uint16_t wLen : kFrameLengths) {
        context.wSendLen = wLen;
        std::vector<double> spin;
        std::vector<double> sleep;
        for (int i = 0; i < kRounds; ++i) {
            // Alternate, so that both see the same load on the machine.
            if (zev::Send(&context) != 0) {
                std::fprintf(stderr, "Send failed\n");
                return 1;
            }
            spin.push_back((static_cast<double>(context.fPracDelay) - context.fCalcDelay) * 1000.0);
            sleep.push_back(static_cast<double>(SleepHold(&context, llFrequency)) / 1000.0);
            Drain(iMaster);
            testhost::Reset();  // priority-failure lines where SCHED_FIFO is not permitted
        }
        std::printf("%8u %9.3f | %8.1f %8.1f %9.1f  | %8.1f %8.1f %9.1f\n", wLen,
                    static_cast<double>(kCharTimeMs) * wLen + kDelayMs, bench::Percentile(spin, 50),
                    bench::Percentile(spin, 99), bench::Percentile(spin, 100), bench::Percentile(sleep, 50),
                    bench::Percentile(sleep, 99), bench::Percentile(sleep, 100));
        spinAll.insert(spinAll.end(), spin.begin(), spin.end());
        sleepAll.insert(sleepAll.end(), sleep.begin(), sleep.end());
    }
    zev::QobComClose(hCom);
    close(iSlave);
    close(iMaster);

    const double dSpin99 = bench::Percentile(spinAll, 99);
    const double dSleep99 = bench::Percentile(sleepAll, 99);
    const double dRatio = dSpin99 > 0 ? dSleep99 / dSpin99 : 0.0;
    std::printf("all holds, %zu sends each way:\n", spinAll.size());
    std::printf("  busy-wait  median %8.1f  p99 %8.1f  max %9.1f\n", bench::Percentile(spinAll, 50), dSpin99,
                bench::Percentile(spinAll, 100));
    std::printf("  usleep     median %8.1f  p99 %8.1f  max %9.1f\n", bench::Percentile(sleepAll, 50),
                dSleep99, bench::Percentile(sleepAll, 100));
    std::printf("p99 ratio usleep / busy-wait %.1f (bar 10): %s\n", dRatio,
                dRatio >= 10.0 ? "met" : "NOT met");
    std::printf("thread priority after the run: %d (0 = back to normal)\n", sys::GetThreadPriority());
    return 0;
}
