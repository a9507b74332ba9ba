// One single read of an analog value through ZevMain over a pseudo-terminal
// (gap 0), against the same request and reply exchanged by a bare
// write/poll/read loop on a second pseudo-terminal, rounds interleaved in the
// same run. Each far end is served by the same responder. Reports the median
// round trip of both and their ratio; the bar is a ratio of at most 1.3.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "support/test_host.h"
#include "zedadad/zedadad.h"

namespace {

constexpr int kRounds = 1000;
constexpr int kWarmUp = 50;
constexpr double kBar = 1.3;
constexpr size_t kRequestLen = 14;
// The reply of controller 5 to a one-element read: the word 87 D0 (12.5).
constexpr std::array<uint8_t, 11> kReply = {0x68, 0x05, 0x05, 0x68, 0x00, 0x05, 0x08, 0x87, 0xD0, 0x64, 0x16};

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

bool ReadAll(int fd, uint8_t *p, size_t n, int iTimeoutMs) {
    size_t got = 0;
    while (got < n) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, iTimeoutMs) <= 0) return false;
        const ssize_t k = read(fd, p + got, n - got);
        if (k <= 0) return false;
        got += static_cast<size_t>(k);
    }
    return true;
}

struct Line {
    int iMaster = -1;
    int iSlave = -1;
    char szName[64] = {};
};

bool OpenLine(Line *pLine) {
    if (openpty(&pLine->iMaster, &pLine->iSlave, pLine->szName, nullptr, nullptr) != 0) return false;
    termios tio{};
    tcgetattr(pLine->iSlave, &tio);
    cfmakeraw(&tio);
    tcsetattr(pLine->iSlave, TCSANOW, &tio);
    tcgetattr(pLine->iMaster, &tio);
    cfmakeraw(&tio);
    tcsetattr(pLine->iMaster, TCSANOW, &tio);
    return true;
}

// Answers every 14-byte request on the master with the fixed reply.
void Respond(int iMaster, const std::atomic<bool> *pStop) {
    std::array<uint8_t, kRequestLen> request{};
    while (!pStop->load()) {
        if (!ReadAll(iMaster, request.data(), request.size(), 50)) continue;
        if (write(iMaster, kReply.data(), kReply.size()) != static_cast<ssize_t>(kReply.size())) return;
    }
}

int64_t Median(std::vector<int64_t> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    Line driverLine;
    Line bareLine;
    if (!OpenLine(&driverLine) || !OpenLine(&bareLine)) {
        std::perror("openpty");
        return 1;
    }
    std::atomic<bool> stop{false};
    std::thread driverPeer(Respond, driverLine.iMaster, &stop);
    std::thread barePeer(Respond, bareLine.iMaster, &stop);

    // The driver's instance on the first line, its gap set to 0.
    alignas(8) std::array<uint8_t, 96> block{};
    PortSettings settings{};
    const char *pszName =
        std::strncmp(driverLine.szName, "/dev/", 5) == 0 ? driverLine.szName + 5 : driverLine.szName;
    if (std::strlen(pszName) >= sizeof settings.szPort) {
        std::fprintf(stderr, "pty name %s too long for a port name\n", pszName);
        return 1;
    }
    std::memcpy(settings.szPort, pszName, std::strlen(pszName) + 1);
    settings.bOpenPort = 1;
    settings.iTimeout = 100;
    settings.wBaud = 9600;
    settings.wDataBits = 8;
    ZevRequest request{block.data(), ZEV_COLD_START, 96, 0, &settings};
    if (ZevMain(&request) != 0) {
        std::fprintf(stderr, "ColdStart failed:\n%s", testhost::Dump().c_str());
        return 1;
    }
    std::array<uint8_t, 16> value{};
    GateRecord gate{};
    gate.pszAddress = "$IFG";
    gate.iPlcAddr = ZEV_PARAMETER_PLC;
    gate.iMemType = ZEV_MEMTYPE_PARAMETER;
    gate.iTagAddr = 253;
    gate.pValue = value.data();
    request.iFunction = ZEV_SINGLE_WRITE;
    request.pParams = &gate;
    ZevMain(&request);

    gate = GateRecord{};
    gate.pszAddress = "05A0020";
    gate.iPlcAddr = 5;
    gate.iMemType = 'A';
    gate.iTagAddr = 0x20;
    gate.iBitNo = -1;
    gate.iCount = 1;
    gate.pValue = value.data();
    request.iFunction = ZEV_SINGLE_READ;

    const std::array<uint8_t, kRequestLen> bareRequest = {0xA2, 0x05, 0x00, 0x04, 0x20, 0x20, 0,
                                                          0,    0,    0,    0,    0,    0x49, 0x16};
    std::array<uint8_t, kReply.size()> bareReply{};

    std::vector<int64_t> driverNs;
    std::vector<int64_t> bareNs;
    int iFailures = 0;
    for (int i = 0; i < kWarmUp + kRounds; ++i) {
        int64_t t0 = NowNs();
        iFailures += ZevMain(&request) != 0;
        const int64_t tDriver = NowNs() - t0;

        t0 = NowNs();
        const bool bOk = write(bareLine.iSlave, bareRequest.data(), bareRequest.size()) ==
                             static_cast<ssize_t>(bareRequest.size()) &&
                         ReadAll(bareLine.iSlave, bareReply.data(), bareReply.size(), 1000);
        const int64_t tBare = NowNs() - t0;
        iFailures += !bOk;
        if (i >= kWarmUp) {
            driverNs.push_back(tDriver);
            bareNs.push_back(tBare);
        }
    }
    float fValue = 0;
    std::memcpy(&fValue, value.data(), sizeof fValue);

    request.iFunction = ZEV_END_ZEV;
    ZevMain(&request);
    stop = true;
    driverPeer.join();
    barePeer.join();

    const int64_t driverMedian = Median(driverNs);
    const int64_t bareMedian = Median(bareNs);
    const double dRatio = static_cast<double>(driverMedian) / static_cast<double>(bareMedian);
    std::printf("single read through ZevMain: median %.1f us over %d rounds (value %.3f)\n",
                driverMedian / 1000.0, kRounds, static_cast<double>(fValue));
    std::printf("bare write/poll/read:        median %.1f us\n", bareMedian / 1000.0);
    std::printf("ratio %.3f (bar %.1f)%s\n", dRatio, kBar, iFailures != 0 ? ", with failed rounds" : "");
    if (iFailures != 0) std::printf("%d failed rounds\n%s", iFailures, testhost::Dump().c_str());
    return dRatio <= kBar && iFailures == 0 ? 0 : 1;
}
