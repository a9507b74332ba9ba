// win32_line.exe (x86-64 Windows build, under wine64): the driver's win32
// system and line layer on a COM port whose far end is pty_peer, which sends
// what each request line asks for. Checks what the 32-bit host scenario
// cannot afford: read time-outs, queue counts, the WarmStart flush, break,
// the port names, a babbling line, a port that disappears during a read.
//
//   win32_line.exe COM1   (COM1..COM9 and COM10 all lead to the same pty)
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/context.h"
#include "line/qobcom.h"
#include "platform/system.h"
#include "zedadad/zedadad.h"

extern "C" int ZEV_CALL err(int32_t, const char *pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::printf("  ");
    std::vprintf(pszFormat, args);
    std::printf("\n");
    va_end(args);
    return 0;
}

extern "C" int ZEV_CALL Mox5UnCook(int32_t, uint32_t, double, void *) { return 0; }

namespace {

int gFailures = 0;
int gChecks = 0;

void Check(bool bOk, const std::string &what, const std::string &detail = {}) {
    ++gChecks;
    if (!bOk) ++gFailures;
    std::printf("%s %s %s\n", bOk ? "ok  " : "FAIL", what.c_str(), bOk ? "" : detail.c_str());
    std::fflush(stdout);
}

uint32_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void Pause(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint32_t Call(ZevRequest *pRequest, uint32_t iFunction, void *pParams) {
    pRequest->iFunction = iFunction;
    pRequest->pParams = pParams;
    return ZevMain(pRequest);
}

sys::Handle Port(ZevRequest *pRequest) { return zev::ContextOf(pRequest)->hCom; }

bool Ask(sys::Handle h, const std::string &command) {
    const std::string line = command + "\n";
    uint32_t dwWritten = 0;
    return zev::QobComWrite(h, line.data(), static_cast<uint32_t>(line.size()), &dwWritten) == zev::kQobOk;
}

uint32_t InQueue(sys::Handle h) {
    uint32_t dwErrors = 0;
    sys::ComStat stat{};
    return sys::ClearCommError(h, &dwErrors, &stat) == 1 ? stat.cbInQue : 0xFFFFFFFFu;
}

// The bytes the peer sends for "S n ...": 'A'..'Z' over and over.
bool Pattern(const uint8_t *p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        if (p[i] != 'A' + i % 26) return false;
    return true;
}

void CheckPortNames(ZevRequest *pRequest) {
    const char *names[] = {"COM1", "COM2", "COM3", "COM4", "COM6", "COM7", "COM8", "COM9", "\\\\.\\COM10"};
    for (const char *pszName : names) {
        PortChange change{};
        std::snprintf(change.szPort, sizeof change.szPort, "%s", pszName);
        change.iTimeout = -1;
        Check(Call(pRequest, ZEV_CHANGE_ZEV_PARAMS, &change) == 0 && Port(pRequest) != 0,
              std::string("port name ") + pszName + " opens");
    }
}

void CheckTimeouts(sys::Handle h) {
    struct Case {
        const char *pszWhat;
        const char *pszAsk;
        int32_t iTimeout10ms;
        uint32_t dwWant;  // bytes the read returns
        uint32_t dwMinMs, dwMaxMs;
    };
    const Case cases[] = {
        {"no reply, 100 ms", "S 0 0 0", 10, 0, 90, 400},
        {"no reply, 500 ms", "S 0 0 0", 50, 0, 480, 900},
        {"no reply, 1 s", "S 0 0 0", 100, 0, 980, 1500},
        {"12 bytes in 3 pieces 100 ms apart, 1 s", "S 12 3 100", 100, 12, 180, 900},
        {"12 bytes in 3 pieces 250 ms apart, 400 ms", "S 12 3 250", 40, 8, 380, 700},
        {"40 bytes at once, 200 ms", "S 40 1 0", 20, 40, 0, 150},
    };
    for (const Case &c : cases) {
        zev::QobComSetReadTimeout(h, c.iTimeout10ms);
        Check(Ask(h, c.pszAsk), std::string("ask: ") + c.pszAsk);
        uint8_t buffer[64]{};
        uint32_t dwRead = 0;
        const uint32_t start = NowMs();
        const uint16_t rc = zev::QobComRead(h, buffer, c.dwWant == 40 ? 40 : 12, &dwRead);
        const uint32_t elapsed = NowMs() - start;
        const bool bCount =
            c.dwWant == 0 ? rc == zev::kQobSysFailed && dwRead == 0 : rc == zev::kQobOk && dwRead == c.dwWant;
        Check(bCount && Pattern(buffer, dwRead) && elapsed >= c.dwMinMs && elapsed <= c.dwMaxMs,
              std::string("read time-out: ") + c.pszWhat,
              "rc " + std::to_string(rc) + ", " + std::to_string(dwRead) + " bytes in " +
                  std::to_string(elapsed) + " ms");
        Pause(300);
        zev::QobComFlushInput(h);  // the rest of a cut reply
    }
}

void CheckQueueCounts(sys::Handle h) {
    Check(Ask(h, "S 37 1 0"), "ask for 37 bytes");
    Pause(300);
    uint32_t dwErrors = 0xFFFF;
    sys::ComStat stat{9999, 9999};
    Check(sys::ClearCommError(h, &dwErrors, &stat) == 1 && dwErrors == 0 && stat.cbInQue == 37 &&
              stat.cbOutQue == 0,
          "ClearCommError: 37 in, 0 out, no errors",
          std::to_string(stat.cbInQue) + " in, " + std::to_string(stat.cbOutQue) + " out, errors " +
              std::to_string(dwErrors));
    uint8_t buffer[40]{};
    uint32_t dwRead = 0;
    zev::QobComSetReadTimeout(h, 20);
    zev::QobComRead(h, buffer, 20, &dwRead);
    Check(dwRead == 20 && InQueue(h) == 17, "after reading 20 of them 17 wait", std::to_string(InQueue(h)));
    zev::QobComRead(h, buffer, 40, &dwRead);
    Check(dwRead == 17 && buffer[0] == 'A' + 20 && InQueue(h) == 0, "the last 17 read, none wait");
}

void CheckWarmStartFlush(ZevRequest *pRequest) {
    const sys::Handle h = Port(pRequest);
    // More than the 1200-byte queue the driver asks for, and more than the
    // pty passes on at once.
    Check(Ask(h, "S 6000 1 0"), "ask for 6000 bytes");
    Pause(500);
    const uint32_t dwWaiting = InQueue(h);
    std::printf("  %u bytes wait before WarmStart\n", dwWaiting);
    Check(Call(pRequest, ZEV_WARM_START, nullptr) == 0 && InQueue(h) == 0,
          "WarmStart empties a full input queue", std::to_string(InQueue(h)) + " bytes left");
    uint8_t buffer[8]{};
    uint32_t dwRead = 0;
    Check(Ask(h, "S 5 1 0") && zev::QobComRead(h, buffer, 8, &dwRead) == zev::kQobOk && dwRead == 5 &&
              Pattern(buffer, 5),
          "the next reply arrives whole, no stale byte before it", std::to_string(dwRead) + " bytes");
}

GateRecord GateFor(ZevRequest *pRequest, const char *pszAddress, bool bBlock, int32_t iDataType,
                   int32_t iCount, unsigned char *pValue) {
    GateDefinition def{};
    def.pszAddress = pszAddress;
    def.iDataType = iDataType;
    def.iBlockSize = iCount;
    Call(pRequest, bBlock ? ZEV_BLOCK_ADDRESS_PARSER : ZEV_SINGLE_ADDRESS_PARSER, &def);
    GateRecord rec{};
    rec.pszAddress = pszAddress;
    rec.iPlcAddr = def.iPlcAddr;
    rec.iMemType = def.iMemType;
    rec.iTagAddr = def.iTagAddr;
    rec.iBitNo = def.iBitNo;
    rec.iBits = def.iBits;
    rec.iCount = iCount;
    rec.hGate = 1;
    rec.pValue = pValue;
    return rec;
}

// A line that never falls quiet: every call ends in about the time three
// silent attempts take (200 ms reply time-out), plus the flush's bound.
void CheckBabble(ZevRequest *pRequest) {
    const sys::Handle h = Port(pRequest);
    zev::QobComSetReadTimeout(h, 20);
    const uint32_t asked = NowMs();
    Check(Ask(h, "B 3000"), "ask the far end to babble for 3 s");
    Pause(100);
    struct Babbled {
        const char *pszAddress;
        bool bBlock;
        int32_t iDataType;
        int32_t iCount;
        uint32_t iFunction;
    };
    const Babbled calls[] = {
        {"01A0005", false, ZEV_TYPE_LONG, 1, ZEV_SINGLE_READ},
        {"01A0000", true, ZEV_TYPE_LONG, 8, ZEV_BLOCK_READ},
        {"01I00123", false, ZEV_TYPE_DIGITAL, 1, ZEV_SINGLE_READ},
        {"01A0010", false, ZEV_TYPE_LONG, 1, ZEV_SINGLE_WRITE},
        {"01I0020", false, ZEV_TYPE_ANALOG16_0, 1, ZEV_SINGLE_WRITE},
    };
    uint32_t longest = 0;
    for (const Babbled &c : calls) {
        alignas(4) unsigned char value[64];
        std::memset(value, 0x5A, sizeof value);
        if (c.iFunction == ZEV_SINGLE_WRITE) {
            const float f = 1.0f;  // a value every write gate takes
            std::memcpy(value, &f, sizeof f);
        }
        unsigned char before[sizeof value];
        std::memcpy(before, value, sizeof value);
        GateRecord rec = GateFor(pRequest, c.pszAddress, c.bBlock, c.iDataType, c.iCount, value);
        const uint32_t start = NowMs();
        const uint32_t rc = Call(pRequest, c.iFunction, &rec);
        const uint32_t elapsed = NowMs() - start;
        longest = elapsed > longest ? elapsed : longest;
        const bool bUntouched = std::memcmp(before, value, sizeof value) == 0;
        Check((rc == 1 || rc == 2) && elapsed <= 3 * 203 + 150 + 250 && bUntouched,
              std::string("babbling line: ") + c.pszAddress + " ends within its bound",
              "rc " + std::to_string(rc) + " after " + std::to_string(elapsed) + " ms");
    }
    std::printf("  longest call on the babbling line: %u ms\n", longest);
    const uint32_t start = NowMs();
    const uint32_t rc = Call(pRequest, ZEV_WARM_START, nullptr);
    const uint32_t elapsed = NowMs() - start;
    Check(rc == 0 && elapsed <= 150 + 250, "babbling line: WarmStart ends within its bound",
          std::to_string(elapsed) + " ms");
    const uint32_t since = NowMs() - asked;
    if (since < 3400) Pause(3400 - since);
    Call(pRequest, ZEV_WARM_START, nullptr);
    uint8_t buffer[8]{};
    uint32_t dwRead = 0;
    Check(Ask(h, "S 5 1 0") && zev::QobComRead(h, buffer, 8, &dwRead) == zev::kQobOk && dwRead == 5 &&
              Pattern(buffer, 5),
          "after the babble the next reply arrives whole", std::to_string(dwRead) + " bytes");
}

void CheckBreak(sys::Handle h) {
    const uint32_t start = NowMs();
    Check(zev::QobComSendBreak(100, h) == zev::kQobOk && NowMs() - start >= 95,
          "QobComSendBreak holds 100 ms");
    Check(sys::SetCommBreak(h) == 1 && sys::ClearCommBreak(h) == 1,
          "SetCommBreak and ClearCommBreak succeed");
    uint8_t buffer[8]{};
    uint32_t dwRead = 0;
    Check(Ask(h, "S 4 1 0") && zev::QobComRead(h, buffer, 4, &dwRead) == zev::kQobOk && dwRead == 4,
          "the line works after a break");
}

void CheckHangup(ZevRequest *pRequest, int plc) {
    const sys::Handle h = Port(pRequest);
    zev::QobComSetReadTimeout(h, 200);
    Check(Ask(h, "H 200"), "ask the far end to go away in 200 ms");
    uint8_t buffer[16]{};
    uint32_t dwRead = 0;
    const uint32_t start = NowMs();
    const uint16_t rc = zev::QobComRead(h, buffer, 16, &dwRead);
    const uint32_t elapsed = NowMs() - start;
    Check(rc != zev::kQobOk && dwRead == 0 && elapsed <= 2600,
          "a read when the port disappears fails, no hang",
          "rc " + std::to_string(rc) + " after " + std::to_string(elapsed) + " ms");
    char address[8];
    std::snprintf(address, sizeof address, "%02XA0005", plc);
    alignas(4) unsigned char value[8]{};
    GateRecord rec = GateFor(pRequest, address, false, ZEV_TYPE_LONG, 1, value);
    const uint32_t rcRead = Call(pRequest, ZEV_SINGLE_READ, &rec);
    Check(rcRead == ZEV_LINE_FAILURE, "a gate read on the vanished port gives 2",
          "rc " + std::to_string(rcRead));
}

}  // namespace

int main(int argc, char **argv) {
    const char *pszPort = argc > 1 ? argv[1] : "COM1";
    std::vector<unsigned char> block(96, 0xCD);
    ZevRequest request{block.data(), 0, 1, 0, nullptr};
    PortSettings settings{};
    std::snprintf(settings.szPort, sizeof settings.szPort, "%s", pszPort);
    settings.bOpenPort = 1;
    settings.iTimeout = 20;
    settings.wBaud = 9600;
    settings.wDataBits = 8;
    Check(Call(&request, ZEV_COLD_START, &settings) == 0 && Port(&request) != 0,
          "ColdStart on the peer's port");
    if (Port(&request) == 0) return 1;

    CheckPortNames(&request);
    const sys::Handle h = Port(&request);
    CheckTimeouts(h);
    CheckQueueCounts(h);
    CheckWarmStartFlush(&request);
    CheckBabble(&request);
    CheckBreak(h);
    CheckHangup(&request, 1);
    Call(&request, ZEV_END_ZEV, nullptr);
    std::printf("%d passed, %d failed\n", gChecks - gFailures, gFailures);
    return gFailures == 0 ? 0 : 1;
}
