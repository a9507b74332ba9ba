// What switched instances spinning at time-critical priority leave to the
// other lines on the same machine. Four instances send switched 14-byte
// frames at 9600-baud timing (a 13.6 ms hold each) back to back, as fast as
// replies would let them; meanwhile four plain instances read through
// ZevMain from controllers on their own ptys, whose data the kernel moves in
// its own (normal-priority) threads. Three runs: no spinners, spinners at
// SCHED_FIFO 99 (the former mapping, done here by hand), spinners through
// the driver's Send with its own mapping. Reported: the plain reads' round
// trip (median, p99, max), reads that failed, and how late the spinners'
// holds ended (p99).
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "base/context.h"
#include "bench_util.h"
#include "driver/lifecycle.h"
#include "instance.h"
#include "line/fake_controller.h"
#include "line/pty.h"
#include "line/qobcom.h"
#include "line/send.h"
#include "platform/system.h"
#include "support/test_host.h"

namespace {

constexpr int kSpinners = 4;
constexpr int kPlain = 4;
constexpr int kRunMs = 2500;
constexpr uint8_t kPlc = 5;
constexpr uint16_t kFrame = 14;

enum class Spin { kNone, kFifo99, kDriver };

int64_t Counter() {
    int64_t ll = 0;
    sys::QueryPerformanceCounter(&ll);
    return ll;
}

struct Spinner {
    ptytest::Pty pty{-1, -1, {}, {}};
    sys::Handle hCom = 0;
    std::array<uint8_t, zev::kSendBufSize> buf{};
    zev::DriverContext context{};
    std::vector<double> lateUs;
};

bool OpenSpinner(Spinner *p) {
    if (!ptytest::PtyOpen(&p->pty)) return false;
    const zev::LineSettings settings{9600, 8, 0, 0};
    if (zev::QobComOpen(p->pty.szName, &settings, 0x0101, &p->hCom) != zev::kQobOk) return false;
    p->buf.fill(0x55);
    zev::DriverContext &c = p->context;
    c.pSendBuf = p->buf.data();
    c.hCom = p->hCom;
    c.bSwitching = 1;
    c.SendMask = 0x0303;
    c.RecMask = 0x0101;
    c.fCharTime = 1.0416666f;
    c.fDelay = -1.0f;
    c.wSendLen = kFrame;
    sys::QueryPerformanceFrequency(&c.llFrequency);
    return true;
}

// The former mapping: the whole hold spun at the highest SCHED_FIFO level.
void SendAtFifo99(zev::DriverContext *c) {
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    const double dHoldMs = static_cast<double>(c->fCharTime) * c->wSendLen + static_cast<double>(c->fDelay);
    uint32_t dwWritten = 0;
    const int64_t llStart = Counter();
    sys::WriteFile(c->hCom, c->pSendBuf, c->wSendLen, &dwWritten);
    const int64_t llTarget = Counter() + static_cast<int64_t>(dHoldMs * 1e6);
    int64_t llNow = 0;
    do llNow = Counter();
    while (llNow < llTarget);
    c->fPracDelay = static_cast<float>((llNow - llStart) / 1e6);
    c->fCalcDelay = static_cast<float>((llTarget - llStart) / 1e6);
    param.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

void RunSpinner(Spinner *p, Spin spin, const std::atomic<bool> *pStop) {
    std::array<uint8_t, 256> drain{};
    while (!pStop->load()) {
        if (spin == Spin::kDriver) {
            zev::Send(&p->context);
        } else {
            SendAtFifo99(&p->context);
        }
        p->lateUs.push_back((static_cast<double>(p->context.fPracDelay) - p->context.fCalcDelay) * 1000.0);
        ptytest::PtyRead(&p->pty, drain.data(), drain.size(), 0);
        sys::Sleep(2);  // the reply's turn
    }
}

struct Plain {
    ptytest::Pty pty{-1, -1, {}, {}};
    std::unique_ptr<fakeplc::Controller> plc;
    reltest::Instance instance{};
    std::vector<double> ms;
    int iFailed = 0;
};

void RunPlain(Plain *p, const std::atomic<bool> *pStop) {
    while (!pStop->load()) {
        float f = 0;
        const int64_t llStart = Counter();
        if (reltest::ReadWord(&p->instance, kPlc, 3, &f) != 0) ++p->iFailed;
        p->ms.push_back(static_cast<double>(Counter() - llStart) / 1e6);
    }
}

void Run(Spin spin, const char *pszName) {
    std::array<Spinner, kSpinners> spinners;
    std::array<Plain, kPlain> plains;
    for (Spinner &s : spinners)
        if (!OpenSpinner(&s)) std::fprintf(stderr, "cannot open a spinner's pty\n");
    for (Plain &p : plains) {
        ptytest::PtyOpen(&p.pty);
        p.plc = std::make_unique<fakeplc::Controller>(&p.pty, kPlc);
        reltest::ColdStartOn(&p.instance, p.pty.szName, 100);  // 1 s reply time-out
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    if (spin != Spin::kNone)
        for (Spinner &s : spinners) threads.emplace_back(RunSpinner, &s, spin, &stop);
    for (Plain &p : plains) threads.emplace_back(RunPlain, &p, &stop);
    std::this_thread::sleep_for(std::chrono::milliseconds(kRunMs));
    stop = true;
    for (std::thread &t : threads) t.join();

    std::vector<double> ms;
    std::vector<double> late;
    int iFailed = 0;
    for (Plain &p : plains) {
        ms.insert(ms.end(), p.ms.begin(), p.ms.end());
        iFailed += p.iFailed;
        zev::EndZev(&p.instance.request);
        p.plc.reset();
        ptytest::PtyClose(&p.pty);
    }
    for (Spinner &s : spinners) {
        late.insert(late.end(), s.lateUs.begin(), s.lateUs.end());
        zev::QobComClose(s.hCom);
        ptytest::PtyClose(&s.pty);
    }
    testhost::Reset();
    std::printf("%-22s | %6zu reads  median %7.2f  p99 %8.2f  max %8.2f ms  failed %3d", pszName, ms.size(),
                bench::Percentile(ms, 50), bench::Percentile(ms, 99), bench::Percentile(ms, 100), iFailed);
    if (!late.empty())
        std::printf(" | %5zu holds late p99 %7.1f us", late.size(), bench::Percentile(late, 99));
    std::printf("\n");
}

}  // namespace

int main() {
    reltest::ScratchDir dir{};
    if (!reltest::EnterScratchDir(&dir)) return 1;
    std::printf("%d plain instances reading while %d switched instances send, %d ms each run\n", kPlain,
                kSpinners, kRunMs);
    Run(Spin::kNone, "no spinners");
    Run(Spin::kFifo99, "spinners at FIFO 99");
    Run(Spin::kDriver, "spinners, driver Send");
    reltest::LeaveScratchDir(&dir);
    return 0;
}
