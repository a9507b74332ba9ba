// DERUDE.exe for the Windows test: a minimal host that loads ZEDADAD.dll the
// way the real host does (LoadLibraryA, GetProcAddress of ZevMain), exports
// the two functions the driver imports, and drives one instance through a COM
// port that a controller simulator serves. Every step is checked; the exit
// status is the number of failed checks.
//
//   DERUDE.exe COM5 [plc]
//
// The same source builds on Linux against libzedadad.so (port pts/N), so the
// scenario itself can be tried where Wine cannot run.
//
// The working directory holds ROVOD.INT with switched mode on (RTS while
// sending): the signal calls fail on the emulated port and the driver must
// carry on regardless.
#if defined(_WIN32)
#include <windows.h>
#define HOST_EXPORT __declspec(dllexport)
#else
#include <dlfcn.h>

#include <chrono>
#define HOST_EXPORT __attribute__((visibility("default")))
#endif

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zedadad/zedadad.h"

namespace {

struct LogLine {
    int32_t iCategory;
    std::string text;
};

std::vector<LogLine> gLog;
int gFailures = 0;
int gChecks = 0;

void Check(bool bOk, const char *pszWhat, const std::string &detail = {}) {
    ++gChecks;
    if (bOk) {
        std::printf("ok   %s\n", pszWhat);
    } else {
        ++gFailures;
        std::printf("FAIL %s %s\n", pszWhat, detail.c_str());
    }
    std::fflush(stdout);
}

bool Logged(const char *pszText, int32_t iCategory = -1) {
    for (const LogLine &line : gLog)
        if (line.text == pszText && (iCategory < 0 || line.iCategory == iCategory)) return true;
    return false;
}

// A line that starts with the prefix (and holds pszAlso, when given).
bool LoggedPrefix(const char *pszPrefix, const char *pszAlso = nullptr) {
    for (const LogLine &line : gLog)
        if (line.text.rfind(pszPrefix, 0) == 0 &&
            (pszAlso == nullptr || line.text.find(pszAlso) != std::string::npos))
            return true;
    return false;
}

// A gate as the host keeps it: definition, I/O record and value buffer.
struct Gate {
    std::string address;
    int32_t iDataType = 0;
    bool bBlock = false;
    GateDefinition def{};
    GateRecord rec{};
    alignas(4) unsigned char value[64]{};
};

std::vector<Gate *> gGates;  // index + 1 is the gate handle

}  // namespace

// The host's imports, exported by name from DERUDE.exe.
extern "C" HOST_EXPORT int ZEV_CALL err(int32_t iCategory, const char *pszFormat, ...) {
    char text[512];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(text, sizeof text, pszFormat ? pszFormat : "(null)", args);
    va_end(args);
    gLog.push_back({iCategory, text});
    std::printf("  [%2d] %s\n", iCategory, text);
    return 0;
}

extern "C" HOST_EXPORT int ZEV_CALL Mox5UnCook(int32_t, uint32_t hGate, double dValue, void *pValue) {
    if (hGate == 0 || hGate > gGates.size() || pValue != gGates[hGate - 1]->value) {
        std::printf("  Mox5UnCook: unknown gate %u\n", hGate);
        ++gFailures;
        return 1;
    }
    Gate *gate = gGates[hGate - 1];
    if (gate->iDataType == ZEV_TYPE_LONG) {
        const float f = static_cast<float>(dValue);
        std::memcpy(gate->value, &f, sizeof f);
    } else {
        const int16_t v = static_cast<int16_t>(dValue);
        std::memcpy(gate->value + 2, &v, sizeof v);
    }
    return 0;
}

namespace {

using ZevMainFn = uint32_t(ZEV_CALL *)(ZevRequest *);
ZevMainFn gZevMain = nullptr;

#if defined(_WIN32)
ZevMainFn LoadZevMain(const char *pszLibrary) {
    HMODULE module = LoadLibraryA(pszLibrary);
    if (module == nullptr) {
        std::printf("FAIL LoadLibraryA(%s): error %lu\n", pszLibrary, GetLastError());
        return nullptr;
    }
    return reinterpret_cast<ZevMainFn>(reinterpret_cast<void *>(GetProcAddress(module, "ZevMain")));
}
uint32_t NowMs() { return GetTickCount(); }
// Wine's serial emulation grants a second open of an open COM port; Windows'
// serial driver grants one at a time.
bool SharedOpenGranted() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}
#else
ZevMainFn LoadZevMain(const char *pszLibrary) {
    void *module = dlopen(pszLibrary, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::printf("FAIL dlopen(%s): %s\n", pszLibrary, dlerror());
        return nullptr;
    }
    return reinterpret_cast<ZevMainFn>(dlsym(module, "ZevMain"));
}
uint32_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
bool SharedOpenGranted() { return false; }  // exclusive open holds on every Linux port
#endif

uint32_t Call(ZevRequest *pRequest, uint32_t iFunction, void *pParams) {
    pRequest->iFunction = iFunction;
    pRequest->pParams = pParams;
    return gZevMain(pRequest);
}

float FloatAt(const Gate &gate, int i = 0) {
    float f;
    std::memcpy(&f, gate.value + 4 * i, sizeof f);
    return f;
}

uint16_t WordAt(const Gate &gate, int iOffset) {
    uint16_t w;
    std::memcpy(&w, gate.value + iOffset, sizeof w);
    return w;
}

void SetFloat(Gate *gate, float f) { std::memcpy(gate->value, &f, sizeof f); }
void SetWord(Gate *gate, uint16_t w) { std::memcpy(gate->value + 2, &w, sizeof w); }

Gate *Register(ZevRequest *pRequest, const std::string &address, int32_t iDataType, int32_t iBlock = 0) {
    Gate *gate = new Gate;
    gGates.push_back(gate);
    gate->address = address;
    gate->iDataType = iDataType;
    gate->bBlock = iBlock > 0;
    gate->def.pszAddress = gate->address.c_str();
    gate->def.iDataType = iDataType;
    gate->def.iBlockSize = iBlock;
    const uint32_t rc =
        Call(pRequest, gate->bBlock ? ZEV_BLOCK_ADDRESS_PARSER : ZEV_SINGLE_ADDRESS_PARSER, &gate->def);
    Check(rc == 0, ("parse " + address).c_str(), "rc " + std::to_string(rc));
    gate->rec.pszAddress = gate->address.c_str();
    gate->rec.iPlcAddr = gate->def.iPlcAddr;
    gate->rec.iMemType = gate->def.iMemType;
    gate->rec.iTagAddr = gate->def.iTagAddr;
    gate->rec.iBitNo = gate->def.iBitNo;
    gate->rec.iBits = gate->def.iBits;
    gate->rec.iCount = gate->bBlock ? iBlock : 1;
    gate->rec.hGate = static_cast<uint32_t>(gGates.size());
    gate->rec.pValue = gate->value;
    return gate;
}

uint32_t Read(ZevRequest *pRequest, Gate *gate) {
    return Call(pRequest, gate->bBlock ? ZEV_BLOCK_READ : ZEV_SINGLE_READ, &gate->rec);
}

uint32_t Write(ZevRequest *pRequest, Gate *gate) { return Call(pRequest, ZEV_SINGLE_WRITE, &gate->rec); }

std::string Hex(const std::string &s) {
    char out[4];
    std::string r;
    for (unsigned char ch : s) {
        std::snprintf(out, sizeof out, "%02X", ch);
        r += out;
    }
    return r;
}

void CheckInfo() {
    ZevRequest request{};
    ZevInfo info{};
    const uint32_t rc = Call(&request, ZEV_GET_ZEV_INFO, &info);
    Check(rc == 0, "GetZevInfo without a working block");
    Check(info.iInfo0 == 70 && info.iInfo16 == 4 && info.iInfo28 == 1, "GetZevInfo constants 70, 4, 1");
    Check(info.pszTitle != nullptr && std::strcmp(info.pszTitle, "Process Controllers TK") == 0, "title");
    Check(info.iContextSize == 96, "working block size 96", std::to_string(info.iContextSize));
    Check(info.wDefBaud == 9600 && info.wDefDataBits == 8 && info.wDefStopBits == 0 && info.wDefParity == 0,
          "default line settings 9600 8 0 0");
    const std::string banner = info.pszBanner ? info.pszBanner : "";
    Check(banner.size() == 199 && banner.compare(0, 3, "\x08\x0A\xC9") == 0 &&
              static_cast<unsigned char>(banner.back()) == 0xBC,
          "banner: 199 characters of code page 437", Hex(banner.substr(0, 4)));
    Check(Logged("ROVOD> GetZevInfo() exited", ZEV_LOG_INFO), "GetZevInfo logs with category 64");
}

void CheckReads(ZevRequest *pRequest, int plc) {
    char prefix[3];
    std::snprintf(prefix, sizeof prefix, "%02X", plc);
    const std::string p = prefix;
    struct Single {
        const char *pszTail;
        int32_t iDataType;
    };
    // Every memory type that a single gate can read.
    const Single singles[] = {{"A0005", ZEV_TYPE_LONG},       {"F0020", ZEV_TYPE_LONG},
                              {"P0009", ZEV_TYPE_LONG},       {"R0003", ZEV_TYPE_LONG},
                              {"I0010", ZEV_TYPE_ANALOG16_0}, {"I00103", ZEV_TYPE_DIGITAL},
                              {"X0012", ZEV_TYPE_ANALOG16_0}, {"X00125", ZEV_TYPE_DIGITAL}};
    for (const Single &single : singles) {
        Gate *gate = Register(pRequest, p + single.pszTail, single.iDataType);
        const uint32_t rc = Read(pRequest, gate);
        Check(rc == 0, ("single read " + gate->address).c_str(), "rc " + std::to_string(rc));
        if (gate->rec.iBitNo >= 0) Check(WordAt(*gate, 2) <= 1, ("bit is 0 or 1: " + gate->address).c_str());
        if (single.iDataType == ZEV_TYPE_LONG)
            Check(std::isfinite(FloatAt(*gate)), ("float value: " + gate->address).c_str());
    }
    // A switch reads as 0 without line traffic.
    Gate *sw = Register(pRequest, p + "Z0003", ZEV_TYPE_ANALOG16_0);
    SetWord(sw, 0x1234);
    Check(Read(pRequest, sw) == 0 && WordAt(*sw, 2) == 0, "switch reads 0 through Mox5UnCook");

    struct Block {
        const char *pszTail;
        int32_t iSize;
    };
    const Block blocks[] = {{"20000", 10}, {"30000", 16}, {"A0000", 8},  {"F0010", 4},
                            {"P0000", 8},  {"R0000", 2},  {"I0001", 16}, {"X0001", 8}};
    for (const Block &block : blocks) {
        Gate *gate = Register(pRequest, p + block.pszTail, ZEV_TYPE_ANALOG16_0, block.iSize);
        const uint32_t rc = Read(pRequest, gate);
        Check(rc == 0, ("block read " + gate->address + " x" + std::to_string(block.iSize)).c_str(),
              "rc " + std::to_string(rc));
    }
}

void CheckWrites(ZevRequest *pRequest, int plc) {
    char prefix[3];
    std::snprintf(prefix, sizeof prefix, "%02X", plc);
    const std::string p = prefix;

    // Value words: what is written reads back within the word's step.
    struct Analog {
        const char *pszTail;
        float fValue;
        float fStep;
    };
    const Analog analogs[] = {{"A0040", 12.5f, 0.0f}, {"R0041", -3.7f, 0.025f}, {"P0042", 5.5f, 0.0f}};
    for (const Analog &analog : analogs) {
        Gate *gate = Register(pRequest, p + analog.pszTail, ZEV_TYPE_LONG);
        SetFloat(gate, analog.fValue);
        uint32_t rc = Write(pRequest, gate);
        Check(rc == 0, ("write " + gate->address).c_str(), "rc " + std::to_string(rc));
        SetFloat(gate, -999.0f);
        rc = Read(pRequest, gate);
        const float back = FloatAt(*gate);
        Check(rc == 0 && std::fabs(back - analog.fValue) <= analog.fStep + 1e-4f,
              ("reads back " + gate->address).c_str(), std::to_string(back));
    }

    // A time value: the first write of the instance reads the point position
    // first. 1.5 has an exact word under each of the four point positions.
    Gate *time = Register(pRequest, p + "F0043", ZEV_TYPE_LONG);
    SetFloat(time, 1.5f);
    gLog.clear();
    uint32_t rc = Write(pRequest, time);
    Check(rc == 0, "write time value", "rc " + std::to_string(rc));
    Check(LoggedPrefix("ROVOD> BuildWriteRequest() Time value : 1.500 -> "),
          "time value logged with its word");
    Check(!LoggedPrefix("ROVOD> BuildWriteRequest() Unable to read"), "read-before-write succeeded");
    SetFloat(time, 0.0f);
    rc = Read(pRequest, time);
    Check(rc == 0 && std::fabs(FloatAt(*time) - 1.5f) < 1e-4f, "time value reads back",
          std::to_string(FloatAt(*time)));

    // Bytes and bits of RAM.
    Gate *byteI = Register(pRequest, p + "I0020", ZEV_TYPE_ANALOG16_0);
    SetWord(byteI, 0x5A);
    Check(Write(pRequest, byteI) == 0, "write I byte");
    SetWord(byteI, 0);
    Check(Read(pRequest, byteI) == 0 && WordAt(*byteI, 2) == 0x5A, "I byte reads back 0x5A");
    Gate *bitI = Register(pRequest, p + "I00200", ZEV_TYPE_DIGITAL);
    SetWord(bitI, 1);
    Check(Write(pRequest, bitI) == 0, "set I bit 0");
    Check(Read(pRequest, byteI) == 0 && WordAt(*byteI, 2) == 0x5B, "I byte after set bit 0 is 0x5B");
    SetWord(bitI, 0);
    Check(Write(pRequest, bitI) == 0, "clear I bit 0");
    Check(Read(pRequest, bitI) == 0 && WordAt(*bitI, 2) == 0, "I bit 0 reads 0");
    SetWord(bitI, 2);
    Check(Write(pRequest, bitI) == ZEV_REFUSED && Logged("ROVOD> BWriteR() Not a boolean"),
          "bit value 2 refused with 3");

    Gate *byteX = Register(pRequest, p + "X0021", ZEV_TYPE_ANALOG16_0);
    SetWord(byteX, 0xFF);
    Check(Write(pRequest, byteX) == 0, "write X byte");
    SetWord(byteX, 0);
    Check(Read(pRequest, byteX) == 0 && WordAt(*byteX, 2) == 0xFF, "X byte reads back 0xFF",
          std::to_string(WordAt(*byteX, 2)));
    Gate *bitX = Register(pRequest, p + "X00217", ZEV_TYPE_DIGITAL);
    SetWord(bitX, 0);
    Check(Write(pRequest, bitX) == 0, "clear X bit 7");

    Gate *sw = Register(pRequest, p + "Z0003", ZEV_TYPE_ANALOG16_0);
    SetWord(sw, 1);
    Check(Write(pRequest, sw) == 0, "switch write acknowledged");

    // Refused before anything is sent.
    Gate *overflow = Register(pRequest, p + "A0044", ZEV_TYPE_LONG);
    SetFloat(overflow, -200.0f);
    Check(Write(pRequest, overflow) == ZEV_REFUSED && Logged("ROVOD> BWriteR() Value overflow"),
          "overflow refused with 3");
    Gate *block = Register(pRequest, p + "A0000", ZEV_TYPE_LONG, 4);
    Check(Call(pRequest, ZEV_BLOCK_WRITE, &block->rec) == ZEV_REJECTED, "block write refused with 1");

    // Parameter gates change the instance and read back.
    Gate *ifg = Register(pRequest, "$IFG", ZEV_TYPE_ANALOG16_0);
    SetWord(ifg, 20);
    Check(Write(pRequest, ifg) == 0, "write $IFG 20");
    SetWord(ifg, 0);
    Check(Read(pRequest, ifg) == 0 && WordAt(*ifg, 2) == 20, "$IFG reads back 20");
    Gate *fdelay = Register(pRequest, "$FDELAY", ZEV_TYPE_ANALOG16_1);
    SetWord(fdelay, 25);
    Check(Write(pRequest, fdelay) == 0 && Logged("ROVOD> SingleWrite() FDelay = 2.5"), "write $FDELAY 25");
    Gate *debug = Register(pRequest, "$DEBUG", ZEV_TYPE_DIGITAL);
    SetWord(debug, 0);
    Check(Write(pRequest, debug) == 0 && Logged("ROVOD> SingleWrite() DebugFlag set to 0"), "write $DEBUG 0");
    Check(Read(pRequest, ifg) == 0 && Read(pRequest, byteI) == 0, "reads go on with the new gap");
}

void CheckPortManagement(ZevRequest *pRequest, const char *pszPort, int plc) {
    char address[8];
    std::snprintf(address, sizeof address, "%02XA0005", plc);
    Gate *gate = Register(pRequest, address, ZEV_TYPE_LONG);

    Check(Call(pRequest, ZEV_WARM_START, nullptr) == 0 && Logged("ROVOD> WarmStart()"), "WarmStart");
    Check(Call(pRequest, ZEV_CLOSE_COM, nullptr) == 0, "CloseCom");
    Check(Read(pRequest, gate) == ZEV_REJECTED, "read with the port closed gives 1");
    Check(Call(pRequest, ZEV_CLOSE_COM, nullptr) == 0, "CloseCom again is silent");
    Check(Call(pRequest, ZEV_REOPEN_COM, nullptr) == 0 && Logged("ROVOD> ReOpenCom() exited 0"), "ReOpenCom");
    Check(Read(pRequest, gate) == 0, "read after ReOpenCom");

    // The port is held exclusively: a second instance cannot open it.
    std::vector<unsigned char> block2(96, 0xA5);
    ZevRequest second{block2.data(), 0, 2, 0, nullptr};
    PortSettings settings{};
    std::snprintf(settings.szPort, sizeof settings.szPort, "%s", pszPort);
    settings.bOpenPort = 1;
    settings.iTimeout = 20;
    settings.wBaud = 9600;
    settings.wDataBits = 8;
    gLog.clear();
    const uint32_t rcSecond = Call(&second, ZEV_COLD_START, &settings);
    if (SharedOpenGranted()) {
        std::printf("skip a second open of the same port fails: not enforced by this platform\n");
        Check(rcSecond == 0, "a second instance on the same port, ColdStart still 0");
        Call(&second, ZEV_CLOSE_COM, nullptr);
    } else {
        Check(rcSecond == 0 && Logged("ROVOD> ColdStart() error opening COM port", ZEV_LOG_ALERT),
              "a second open of the same port fails, ColdStart still 0");
    }

    // A port that does not exist: the instance keeps its settings for ReOpenCom.
    PortChange change{};
    std::snprintf(change.szPort, sizeof change.szPort, "COM199");
    change.iTimeout = -1;
    gLog.clear();
    Check(Call(pRequest, ZEV_CHANGE_ZEV_PARAMS, &change) == ZEV_LINE_FAILURE &&
              Logged("ROVOD> OpenCom() failed", ZEV_LOG_ALERT),
          "ChangeZevParams to a missing port gives 2");
    // The reason follows: Windows' "no such port" with the COM names there
    // are, or the posix "no such device" with the serial ports.
    Check(LoggedPrefix("ROVOD> OpenCom() ", ": no such "), "the missing port's reason is logged");
    std::snprintf(change.szPort, sizeof change.szPort, "%s", pszPort);
    Check(Call(pRequest, ZEV_CHANGE_ZEV_PARAMS, &change) == 0, "ChangeZevParams back to the port");
    Check(Read(pRequest, gate) == 0, "read after ChangeZevParams");

    // A controller that does not answer: three attempts, then 2.
    char silent[8];
    std::snprintf(silent, sizeof silent, "%02XA0005", plc == 0x7E ? 0x7D : 0x7E);
    Gate *missing = Register(pRequest, silent, ZEV_TYPE_LONG);
    gLog.clear();
    const uint32_t start = NowMs();
    const uint32_t rc = Read(pRequest, missing);
    const uint32_t elapsed = NowMs() - start;
    Check(rc == ZEV_LINE_FAILURE && Logged("ROVOD> DoRead() Retry 2, TLen 14"),
          "no reply: two retries, then 2", "rc " + std::to_string(rc));
    // Each attempt waits out the reply time-out (20 x 10 ms) before it gives up.
    std::printf("  no-reply read took %lu ms for 3 attempts of 200 ms\n",
                static_cast<unsigned long>(elapsed));
    Check(elapsed >= 3 * 200 * 8 / 10, "the reply time-out is waited out, not cut short",
          std::to_string(elapsed) + " ms");
}

#if defined(_WIN32)
// The Windows the host sees: Wine's prefix can present itself as XP.
void PrintWindowsVersion() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (GetVersionExA(&info))
        std::printf("host: Windows %lu.%lu build %lu\n", info.dwMajorVersion, info.dwMinorVersion,
                    info.dwBuildNumber);
}
#endif

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: DERUDE.exe COMn [plc] [driver]\n");
        return 64;
    }
    const char *pszPort = argv[1];
    const int plc = argc > 2 ? std::atoi(argv[2]) : 1;
#if defined(_WIN32)
    const char *pszDefault = "ZEDADAD.dll";
    PrintWindowsVersion();
#else
    const char *pszDefault = "libzedadad.so";
#endif
    gZevMain = LoadZevMain(argc > 3 ? argv[3] : pszDefault);
    Check(gZevMain != nullptr, "ZevMain exported undecorated");
    if (gZevMain == nullptr) return 1;

    CheckInfo();

    // The host hands over a block of the reported size, not cleared.
    std::vector<unsigned char> block(96, 0xCD);
    ZevRequest request{block.data(), 0, 1, 0, nullptr};
    Check(Call(&request, 8, nullptr) == ZEV_LINE_FAILURE &&
              Logged("ROVOD> ZevMain() Function 7 not supported in this ZEV", ZEV_LOG_ALERT),
          "function 8 is not supported");

    PortSettings settings{};
    std::snprintf(settings.szPort, sizeof settings.szPort, "%s", pszPort);
    settings.bOpenPort = 1;
    settings.iTimeout = 20;
    settings.wBaud = 9600;
    settings.wDataBits = 8;
    gLog.clear();
    uint32_t rc = Call(&request, ZEV_COLD_START, &settings);
    Check(rc == 0, "ColdStart", "rc " + std::to_string(rc));
    Check(Logged("ROVOD> ColdStart() port opened"), "the COM port opened");
    Check(Logged("ROVOD> Opening Control Signal file ROVOD.INT", ZEV_LOG_ALERT), "ROVOD.INT read");
    Check(Logged("ROVOD> SendMask 0202, RecMask 0000"),
          "RTS switched: on while sending, off while receiving");
    Check(LoggedPrefix("ROVOD> ColdStart() Freq: "), "counter calibrated (debug on)");
    Check(Logged("ROVOD> ColdStart() installation OK!"), "installation OK");
    if (!Logged("ROVOD> ColdStart() port opened")) {
        std::printf("%d of %d checks failed (no port)\n", gFailures, gChecks);
        return gFailures;
    }

    CheckReads(&request, plc);
    CheckWrites(&request, plc);
    CheckPortManagement(&request, pszPort, plc);

    gLog.clear();
    Check(Call(&request, ZEV_END_ZEV, nullptr) == 0 && Logged("ROVOD> EndZev() exited, 0"), "EndZev");
    ZevInfo untouched{};
    untouched.iInfo0 = 12345;
    Check(Call(&request, ZEV_GET_ZEV_INFO, &untouched) == 0 && untouched.iInfo0 == 12345,
          "after EndZev every call answers 0 and does nothing");

    std::printf("%d passed, %d failed\n", gChecks - gFailures, gFailures);
    return gFailures == 0 ? 0 : 1;
}
