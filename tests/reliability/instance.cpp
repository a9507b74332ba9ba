#include "instance.h"

#include <dirent.h>
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace reltest {

uint32_t Call(Instance *pInstance, uint32_t iFunction, void *pParams) {
    pInstance->request = ZevRequest{pInstance->block.data(), iFunction, 0, 0, pParams};
    return ZevMain(&pInstance->request);
}

uint32_t ColdStartOn(Instance *pInstance, const char *pszPort, int32_t iTimeout10ms) {
    PortSettings &s = pInstance->settings;
    s = PortSettings{};
    std::snprintf(s.szPort, sizeof s.szPort, "%.11s", pszPort);
    s.bOpenPort = 1;
    s.iTimeout = iTimeout10ms;
    s.wBaud = 57600;
    s.wDataBits = 8;
    return Call(pInstance, ZEV_COLD_START, &s);
}

namespace {

void SetGate(Instance *pInstance, uint8_t bPlc, uint8_t bElement) {
    GateRecord &g = pInstance->gate;
    g = GateRecord{};
    g.pszAddress = "A";
    g.iPlcAddr = bPlc;
    g.iMemType = 'A';
    g.iTagAddr = bElement;
    g.iBitNo = -1;
    g.iCount = 1;
    g.pValue = pInstance->value.data();
}

}  // namespace

uint32_t ReadWord(Instance *pInstance, uint8_t bPlc, uint8_t bElement, float *pfValue) {
    SetGate(pInstance, bPlc, bElement);
    pInstance->value.fill(0xAB);
    const uint32_t rc = Call(pInstance, ZEV_SINGLE_READ, &pInstance->gate);
    std::memcpy(pfValue, pInstance->value.data(), sizeof *pfValue);
    return rc;
}

uint32_t WriteWord(Instance *pInstance, uint8_t bPlc, uint8_t bElement, float fValue) {
    SetGate(pInstance, bPlc, bElement);
    std::memcpy(pInstance->value.data(), &fValue, sizeof fValue);
    return Call(pInstance, ZEV_SINGLE_WRITE, &pInstance->gate);
}

int OpenDescriptors() {
    int n = 0;
    DIR *pDir = opendir("/proc/self/fd");
    if (pDir == nullptr) return -1;
    while (dirent *pEntry = readdir(pDir))
        if (pEntry->d_name[0] != '.') ++n;
    closedir(pDir);
    return n - 1;  // the directory's own
}

size_t HeapInUse() { return mallinfo2().uordblks; }

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

bool EnterScratchDir(ScratchDir *pDir) {
    std::snprintf(pDir->szPath, sizeof pDir->szPath, "/tmp/rovod-rel-XXXXXX");
    if (getcwd(pDir->szPrevious, sizeof pDir->szPrevious) == nullptr) return false;
    return mkdtemp(pDir->szPath) != nullptr && chdir(pDir->szPath) == 0;
}

void LeaveScratchDir(ScratchDir *pDir) {
    if (chdir(pDir->szPrevious) != 0) return;
    std::error_code ec;
    std::filesystem::remove_all(pDir->szPath, ec);
}

}  // namespace reltest
