// How late QobComRead returns after the last byte of a reply has arrived,
// against a bare poll+read loop on the same pseudo-terminal in the same run.
// The driver's read should cost no more than the bare loop (ratio of the
// medians at most 1.2) and never wait in 100 ms steps.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "line/qobcom.h"

namespace {

constexpr int kRounds = 400;
constexpr uint16_t kCount = 6;
constexpr int64_t kStepNs = 50 * 1000000LL;  // far beyond any wake-up, well below 100 ms

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// Sends five bytes, waits until the reader must be waiting for the sixth,
// then stamps and sends it. Returns the stamp.
int64_t SendReply(int iMaster) {
    const uint8_t reply[kCount] = {0x68, 0x02, 0x02, 0x68, 0x00, 0x16};
    if (write(iMaster, reply, kCount - 1) != kCount - 1) return -1;
    timespec pause{0, 2000000};
    nanosleep(&pause, nullptr);
    int64_t t = NowNs();
    if (write(iMaster, reply + kCount - 1, 1) != 1) return -1;
    return t;
}

bool BareRead(int fd, uint8_t *p, size_t n) {
    size_t got = 0;
    while (got < n) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 1000) <= 0) return false;
        ssize_t k = read(fd, p + got, n - got);
        if (k <= 0) return false;
        got += static_cast<size_t>(k);
    }
    return true;
}

template <typename ReadFn>
int64_t Delay(int iMaster, ReadFn readFn) {
    std::atomic<int64_t> tLast{-1};
    std::thread writer([&] { tLast = SendReply(iMaster); });
    const bool bOk = readFn();
    const int64_t tEnd = NowNs();
    writer.join();
    return bOk && tLast >= 0 ? tEnd - tLast : -1;
}

}  // namespace

int main() {
    int iMaster = -1;
    int iSlave = -1;
    const char *pszDevice = nullptr;
    if (!bench::OpenRawPty(&iMaster, &iSlave, &pszDevice)) return 1;

    const zev::LineSettings settings{9600, 8, 0, 0};
    sys::Handle hCom = 0;
    if (zev::QobComOpen(pszDevice, &settings, 0x0303, &hCom) != zev::kQobOk) {
        std::fprintf(stderr, "cannot open %s\n", pszDevice);
        return 1;
    }
    zev::QobComSetReadTimeout(hCom, 100);  // 1 s: a late return would show, not fail

    std::vector<int64_t> driver;
    std::vector<int64_t> bare;
    uint8_t buf[kCount];
    for (int i = 0; i < kRounds; ++i) {
        // Alternate, so that both see the same load on the machine.
        int64_t d = Delay(iMaster, [&] {
            uint32_t got = 0;
            return zev::QobComRead(hCom, buf, kCount, &got) == zev::kQobOk && got == kCount;
        });
        int64_t b = Delay(iMaster, [&] { return BareRead(iSlave, buf, kCount); });
        if (d < 0 || b < 0) {
            std::fprintf(stderr, "round %d: a read failed\n", i);
            return 1;
        }
        driver.push_back(d);
        bare.push_back(b);
    }
    zev::QobComClose(hCom);
    close(iSlave);
    close(iMaster);

    const int64_t medDriver = bench::Percentile(driver, 50);
    const int64_t medBare = bench::Percentile(bare, 50);
    const double ratio = medBare > 0 ? static_cast<double>(medDriver) / static_cast<double>(medBare) : 0.0;
    const auto steps = std::count_if(driver.begin(), driver.end(), [](int64_t d) { return d >= kStepNs; });
    std::printf("last byte to return, %d rounds (microseconds)\n", kRounds);
    std::printf("  QobComRead      median %8.1f  p90 %8.1f  max %8.1f\n", medDriver / 1e3,
                bench::Percentile(driver, 90) / 1e3, bench::Percentile(driver, 100) / 1e3);
    std::printf("  poll+read loop  median %8.1f  p90 %8.1f  max %8.1f\n", medBare / 1e3,
                bench::Percentile(bare, 90) / 1e3, bench::Percentile(bare, 100) / 1e3);
    std::printf("median ratio %.2f (bar 1.20): %s\n", ratio, ratio <= 1.2 ? "within" : "OVER");
    std::printf("returns 50 ms or more after the last byte: %ld\n", static_cast<long>(steps));
    return 0;
}
