// The instance lifecycle through ZevMain on the scripted system: the log
// sequences of installation, port management, description and the end, and
// the working block the host owns (never freed or trusted by the driver
// unless ColdStart filled it).
#include "driver/lifecycle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "base/context.h"
#include "base/ended.h"
#include "line/qobcom.h"
#include "scripted/scripted_system.h"
#include "support/test_host.h"

namespace {

// Array allocations without exceptions fail on demand: the n-th from now
// (1 = the next) returns null. Only the frame buffers are allocated this way.
int gFailNothrowArrayNew = 0;

}  // namespace

void *operator new[](std::size_t n, const std::nothrow_t &) noexcept {
    if (gFailNothrowArrayNew > 0 && --gFailNothrowArrayNew == 0) return nullptr;
    try {
        return ::operator new[](n);
    } catch (...) {
        return nullptr;
    }
}

namespace {

namespace fs = std::filesystem;
using scripted::Kind;
using testhost::LogLine;

constexpr uint8_t kHostGarbage = 0xA5;

class Lifecycle : public ::testing::Test {
protected:
    fs::path previousDir;
    fs::path dir;
    alignas(8) unsigned char block[zev::kContextSize];
    PortSettings settings{};
    ZevRequest request{};

    zev::DriverContext &Context() { return *reinterpret_cast<zev::DriverContext *>(block); }

    void SetUp() override {
        scripted::Reset();
        testhost::Reset();
        gFailNothrowArrayNew = 0;
        previousDir = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "rovod-lifecycle-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        fs::current_path(dir);
        // The host's block before installation: anything at all.
        std::memset(block, kHostGarbage, sizeof block);
        std::strcpy(settings.szPort, "COM1");
        settings.bOpenPort = 1;
        settings.iTimeout = 25;
        settings.wBaud = 9600;
        settings.wDataBits = 8;
        settings.wStopBits = 0;
        settings.wParity = 0;
    }

    // A new host block on a fresh machine, in the same directory.
    void Fresh() {
        scripted::Reset();
        testhost::Reset();
        gFailNothrowArrayNew = 0;
        std::memset(block, kHostGarbage, sizeof block);
    }

    void TearDown() override {
        // Give the buffers back (the end flag may be set: call directly).
        testhost::Reset();
        ZevRequest end{block, ZEV_END_ZEV, 0, 0, nullptr};
        zev::EndZev(&end);
        testhost::Reset();
        gFailNothrowArrayNew = 0;
        fs::current_path(previousDir);
        fs::remove_all(dir);
    }

    uint32_t Call(uint32_t iFunction, void *pParams = nullptr, uint32_t iInstance = 0) {
        request = ZevRequest{block, iFunction, iInstance, 0, pParams};
        return ZevMain(&request);
    }

    uint32_t ColdStart() { return Call(ZEV_COLD_START, &settings); }

    static void WriteIntFile(const std::string &text) { std::ofstream("ROVOD.INT") << text; }
};

const std::vector<LogLine> kInstalledOnCom1 = {
    {8, "ROVOD> (+DebugTags) version compiled on Jul 23 1998 at time 12:19:17"},
    {8, "ROVOD> ColdStart(), Data 8, SB 0, P 0, Baud 9600"},
    {8, "ROVOD> Theoretically # msec per character = 1.042"},
    {8, "ROVOD> ColdStart() Warning, no initfile found"},
    {8, "ROVOD> ColdStart() Switching signals is not enabled"},
    {8, "ROVOD> OpenCom() File handle 256"},
    {8, "ROVOD> ColdStart() port opened"},
    {8, "ROVOD> ColdStart() RTS switching is not enabled"},
    {8, "ROVOD> ColdStart() installation OK!"},
};

TEST_F(Lifecycle, ColdStartInstallsDefaultsAndOpensThePort) {
    zev::bEnded.store(0);
    EXPECT_EQ(ColdStart(), 0u);
    EXPECT_EQ(testhost::Log(), kInstalledOnCom1) << testhost::Dump();

    const zev::DriverContext &c = Context();
    EXPECT_EQ(c.hCom, 256u);
    EXPECT_STREQ(c.szPort, "COM1");
    EXPECT_EQ(c.wBaud, 9600);
    EXPECT_EQ(c.wDataBits, 8);
    EXPECT_EQ(c.wStopBits, 0);
    EXPECT_EQ(c.wParity, 0);
    EXPECT_EQ(c.wOpenMask, 0x0303);
    EXPECT_EQ(c.SendMask, 0x0303);
    EXPECT_EQ(c.RecMask, 0x0303);
    EXPECT_EQ(c.bSwitching, 0);
    EXPECT_EQ(c.DebugFlag, 0);
    EXPECT_EQ(c.ReadBeforeWrite, 0);
    EXPECT_EQ(c.wPtMode, 4);
    EXPECT_EQ(c.TPPOS, 1);
    EXPECT_EQ(c.wFunction, 1);
    EXPECT_EQ(c.wSendLen, 0);
    EXPECT_EQ(c.wRecvLen, 0);
    EXPECT_EQ(c.iTimeout, 25u);
    EXPECT_NEAR(c.fCharTime, 1.041667f, 1e-5);
    EXPECT_EQ(c.IFG, 3);
    EXPECT_EQ(c.fDelay, -1.0f);
    ASSERT_NE(c.pSendBuf, nullptr);
    ASSERT_NE(c.pRecvBuf, nullptr);
    // The reply time-out is the instance's, in 10 ms units.
    EXPECT_EQ(scripted::PortOf(c.hCom).timeouts.ReadTotalTimeoutConstant, 250u);
    EXPECT_EQ(scripted::PortOf(c.hCom).dcb.BaudRate, 9600u);
    EXPECT_TRUE(scripted::PortOf(c.hCom).dtr);
    EXPECT_TRUE(scripted::PortOf(c.hCom).rts);
}

TEST_F(Lifecycle, ColdStartWithoutOpeningLeavesThePortFieldsAlone) {
    settings.bOpenPort = 0;
    EXPECT_EQ(ColdStart(), 0u);
    const std::vector<LogLine> expected = {
        kInstalledOnCom1[0], kInstalledOnCom1[1], kInstalledOnCom1[2],
        kInstalledOnCom1[3], kInstalledOnCom1[4], kInstalledOnCom1[8],
    };
    EXPECT_EQ(testhost::Log(), expected) << testhost::Dump();
    EXPECT_EQ(Context().hCom, 0u);
    for (char ch : Context().szPort) EXPECT_EQ(static_cast<uint8_t>(ch), kHostGarbage);
    EXPECT_EQ(Context().wBaud, 0xA5A5);
    EXPECT_EQ(Context().wOpenMask, 0xA5A5);
    EXPECT_TRUE(scripted::EventsOf(Kind::Open).empty());
}

TEST_F(Lifecycle, ColdStartWhosePortWillNotOpenStillInstalls) {
    std::strcpy(settings.szPort, "COM42");
    EXPECT_EQ(ColdStart(), 0u);
    const std::vector<LogLine> expected = {
        kInstalledOnCom1[0],
        kInstalledOnCom1[1],
        kInstalledOnCom1[2],
        kInstalledOnCom1[3],
        kInstalledOnCom1[4],
        {32, "ROVOD> OpenCom() failed"},
        {32, "ROVOD> ColdStart() error opening COM port"},
        {8, "ROVOD> ColdStart() installation OK!"},
    };
    EXPECT_EQ(testhost::Log(), expected) << testhost::Dump();
    EXPECT_EQ(Context().hCom, 0u);
    EXPECT_STREQ(Context().szPort, "COM42");

    // The host may try again once the device is there.
    scripted::AddDevice("COM42");
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_REOPEN_COM), 0u);
    EXPECT_EQ(testhost::LogTexts(),
              (std::vector<std::string>{"ROVOD> OpenCom() File handle 256", "ROVOD> ReOpenCom() port opened",
                                        "ROVOD> ReOpenCom() exited 0"}));
    EXPECT_EQ(scripted::PortOf(256).timeouts.ReadTotalTimeoutConstant, 250u);
}

TEST_F(Lifecycle, ColdStartWithRtsSwitchingCalibratesWhenDebugging) {
    WriteIntFile("DEBUG = ON\nSEND = RTS ON\nRECEIVE = RTS OFF\n");
    scripted::SetThreadPriorityValue(2);
    EXPECT_EQ(ColdStart(), 0u);
    const std::vector<LogLine> expected = {
        kInstalledOnCom1[0],
        kInstalledOnCom1[1],
        kInstalledOnCom1[2],
        {32, "ROVOD> Opening Control Signal file ROVOD.INT"},
        {8, "ROVOD> Debug information flag = 1"},
        {32, "ROVOD> SEND:DTR=0 RTS=1"},
        {32, "ROVOD> RECEIVE:DTR=0 RTS=0 "},
        {8, "ROVOD> Total lines read : 3"},
        {8, "ROVOD> SEND : DTR(0), RTS(1) ; RECEIVE : DTR(0), RTS(0)"},
        {8, "ROVOD> SendMask 0202, RecMask 0000"},
        {32, "ROVOD> ReadIntFile() IFG = 3"},
        {8, "ROVOD> ColdStart() Resolution QPC() 1000.000000"},
        {8, "ROVOD> ColdStart() Freq: 1000000000.000000, Difference QPC() 0.000000, Index 8999"},
        {8, "ROVOD> OpenCom() File handle 256"},
        {8, "ROVOD> ColdStart() port opened"},
        {8, "ROVOD> ColdStart() installation OK!"},
    };
    EXPECT_EQ(testhost::Log(), expected) << testhost::Dump();
    EXPECT_EQ(Context().llFrequency, 1000000000);
    EXPECT_EQ(Context().bSwitching, 1);
    // The port opens in the receive state.
    EXPECT_EQ(Context().wOpenMask, 0x0000);
    EXPECT_FALSE(scripted::PortOf(256).rts);
    EXPECT_FALSE(scripted::PortOf(256).dtr);
    EXPECT_EQ(scripted::ThreadPriority(), 2);
    EXPECT_EQ(scripted::TimerPeriodDepth(), 0);
}

TEST_F(Lifecycle, ColdStartWithSwitchingButNoDebugOnlyQueriesTheCounter) {
    WriteIntFile("SEND = DTR ON\n");  // DTR switched, RTS not
    scripted::SetFrequency(3579545);
    EXPECT_EQ(ColdStart(), 0u);
    EXPECT_EQ(Context().llFrequency, 3579545);
    EXPECT_EQ(Context().bSwitching, 2);
    EXPECT_TRUE(scripted::EventsOf(Kind::Priority).empty());
    for (const std::string &line : testhost::LogTexts())
        EXPECT_EQ(line.find("QPC"), std::string::npos) << line;
    EXPECT_TRUE(testhost::Logged("ROVOD> ColdStart() RTS switching is not enabled"));

    // Without a counter: the alert, frequency 0, installation goes on.
    testhost::Reset();
    scripted::Reset();
    scripted::Fail(scripted::Call::QueryPerformanceFrequency);
    EXPECT_EQ(ColdStart(), 0u);
    EXPECT_EQ(Context().llFrequency, 0);
    EXPECT_TRUE(testhost::Log().end() !=
                std::find(testhost::Log().begin(), testhost::Log().end(),
                          LogLine{32, "ROVOD> Send() High Resolution Counter not supported"}));
    EXPECT_EQ(testhost::Log().back().text, "ROVOD> ColdStart() installation OK!");
}

TEST_F(Lifecycle, ColdStartLogsLineParametersAsSignedWords) {
    settings.wDataBits = 0xFFFF;
    settings.wStopBits = 0x8000;
    settings.wParity = 2;
    settings.wBaud = 65535;
    settings.bOpenPort = 0;
    ASSERT_EQ(ColdStart(), 0u);
    EXPECT_EQ(testhost::Log()[1].text, "ROVOD> ColdStart(), Data -1, SB -32768, P 2, Baud 65535");
}

TEST_F(Lifecycle, FailedAllocationStopsTheInstallationAndFreesNothingOfTheHosts) {
    for (int iFailing : {1, 2}) {
        Fresh();
        gFailNothrowArrayNew = iFailing;
        EXPECT_EQ(ColdStart(), 2u);
        const std::vector<LogLine> expected = {
            kInstalledOnCom1[0],
            {32, iFailing == 1 ? "ROVOD> AllocateBuffers() Send buffer"
                               : "ROVOD> AllocateBuffers() Receive buffer"},
            {32, "ROVOD> ColdStart() Unable to allocate memory"},
        };
        EXPECT_EQ(testhost::Log(), expected) << testhost::Dump();
        EXPECT_TRUE(scripted::EventsOf(Kind::Open).empty());
        EXPECT_EQ(Context().hCom, 0u);

        // Nothing the block holds is the driver's to free; a ReOpenCom is refused.
        testhost::Reset();
        EXPECT_EQ(Call(ZEV_REOPEN_COM), 2u);
        EXPECT_EQ(testhost::Log(),
                  (std::vector<LogLine>{{32, "ROVOD> ReOpenCom() instance not installed, exited 2"}}));
        testhost::Reset();
        EXPECT_EQ(Call(ZEV_END_ZEV), 0u);
        EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> EndZev() exited, 0"}));
    }
}

TEST_F(Lifecycle, BlockNeverInstalledIsNeitherFreedNorClosed) {
    // The host's garbage: pointers and a "handle" that are not the driver's.
    Context().hCom = sys::CreateFileA("COM2");
    EXPECT_EQ(Call(ZEV_WARM_START), 0u);
    EXPECT_EQ(Call(ZEV_CLOSE_COM), 0u);
    EXPECT_EQ(Call(ZEV_END_ZEV), 0u);
    EXPECT_EQ(testhost::LogTexts(),
              (std::vector<std::string>{"ROVOD> WarmStart()", "ROVOD> EndZev() exited, 0"}));
    EXPECT_TRUE(scripted::EventsOf(Kind::Close).empty());
    EXPECT_TRUE(scripted::EventsOf(Kind::ClearError).empty());
}

TEST_F(Lifecycle, SecondColdStartOnTheSameBlockReplacesItsOwnBuffers) {
    ASSERT_EQ(ColdStart(), 0u);
    settings.bOpenPort = 0;
    ASSERT_EQ(ColdStart(), 0u);  // the leak checker of the sanitizer build sees a lost buffer
    ASSERT_NE(Context().pSendBuf, nullptr);
    std::memset(Context().pSendBuf, 0, zev::kSendBufSize);
    std::memset(Context().pRecvBuf, 0, zev::kRecvBufSize);
}

TEST_F(Lifecycle, PortNameWithoutTerminatorIsCutTo11Characters) {
    std::memcpy(settings.szPort, "COM1ABCDEFGH", 12);  // all 12 bytes, no NUL
    scripted::AddDevice("COM1ABCDEFG");
    EXPECT_EQ(ColdStart(), 0u);
    EXPECT_STREQ(Context().szPort, "COM1ABCDEFG");
    ASSERT_EQ(scripted::EventsOf(Kind::Open).size(), 1u);
    EXPECT_EQ(scripted::EventsOf(Kind::Open)[0].text, "COM1ABCDEFG");

    PortChange change{};
    std::memcpy(change.szPort, "COM2XXXXXXXX", 12);
    scripted::AddDevice("COM2XXXXXXX");
    EXPECT_EQ(Call(ZEV_CHANGE_ZEV_PARAMS, &change), 0u);
    EXPECT_STREQ(Context().szPort, "COM2XXXXXXX");
}

TEST_F(Lifecycle, WarmStartFlushesOnlyAnOpenPort) {
    settings.bOpenPort = 0;
    ASSERT_EQ(ColdStart(), 0u);
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_WARM_START), 0u);
    EXPECT_EQ(testhost::Log(), (std::vector<LogLine>{{8, "ROVOD> WarmStart()"}}));
    EXPECT_TRUE(scripted::EventsOf(Kind::ClearError).empty());

    settings.bOpenPort = 1;
    ASSERT_EQ(ColdStart(), 0u);
    scripted::Feed({1, 2, 3});
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_WARM_START), 0u);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> WarmStart()"}));
    EXPECT_EQ(scripted::Pending(), 0u);

    // A babbling line: the flush ends after its bound, said when debugging.
    for (uint16_t wDebug : {0, 1}) {
        scripted::AdvanceMs(1000);  // the last babble is over
        scripted::Babble(64, 2, 500);
        Context().DebugFlag = wDebug;
        testhost::Reset();
        const int64_t llStart = scripted::NowNs();
        EXPECT_EQ(Call(ZEV_WARM_START), 0u);
        EXPECT_LE(scripted::NowNs() - llStart, (zev::kFlushBoundMs + 50) * 1000000);
        std::vector<std::string> expected{"ROVOD> WarmStart()"};
        if (wDebug)
            expected.insert(expected.begin(),
                            "ROVOD> WarmStart() Input still arriving after 100 ms, flush ended");
        EXPECT_EQ(testhost::LogTexts(), expected);
    }
}

TEST_F(Lifecycle, CloseComClosesOnceAndReportsAFailedClose) {
    ASSERT_EQ(ColdStart(), 0u);
    testhost::Reset();
    scripted::Fail(scripted::Call::CloseHandle);
    EXPECT_EQ(Call(ZEV_CLOSE_COM), 2u);
    EXPECT_EQ(testhost::Log(), (std::vector<LogLine>{{8, "ROVOD> CloseCom() exited 2"}}));
    EXPECT_EQ(Context().hCom, 256u);

    testhost::Reset();
    EXPECT_EQ(Call(ZEV_CLOSE_COM), 0u);
    EXPECT_EQ(Context().hCom, 0u);
    EXPECT_EQ(Call(ZEV_CLOSE_COM), 0u);
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
    EXPECT_EQ(scripted::EventsOf(Kind::Close).size(), 1u);
}

TEST_F(Lifecycle, ReOpenComUsesTheStoredSettingsAndLeavesTheInstanceOnFailure) {
    settings.wBaud = 19200;
    settings.wParity = 2;
    ASSERT_EQ(ColdStart(), 0u);
    ASSERT_EQ(Call(ZEV_CLOSE_COM), 0u);
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_REOPEN_COM), 0u);
    EXPECT_EQ(testhost::Log(), (std::vector<LogLine>{{8, "ROVOD> OpenCom() File handle 257"},
                                                     {8, "ROVOD> ReOpenCom() port opened"},
                                                     {8, "ROVOD> ReOpenCom() exited 0"}}));
    EXPECT_EQ(Context().hCom, 257u);
    EXPECT_EQ(scripted::PortOf(257).dcb.BaudRate, 19200u);
    EXPECT_EQ(scripted::PortOf(257).dcb.Parity, 2);
    EXPECT_EQ(scripted::PortOf(257).timeouts.ReadTotalTimeoutConstant, 250u);

    // Still open: the exclusive open fails and the instance keeps its port.
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_REOPEN_COM), 2u);
    EXPECT_EQ(testhost::Log(),
              (std::vector<LogLine>{{32, "ROVOD> OpenCom() failed"},
                                    {32, "ROVOD> ReOpenCom() open COM port failed, exited 2"}}));
    EXPECT_EQ(Context().hCom, 257u);
}

TEST_F(Lifecycle, ReOpenComOfADeviceThatOpensTwiceClosesTheFirstHandle) {
    std::strcpy(settings.szPort, "NUL");
    ASSERT_EQ(ColdStart(), 0u);
    ASSERT_EQ(Call(ZEV_REOPEN_COM), 0u);
    EXPECT_EQ(Context().hCom, 257u);
    ASSERT_EQ(scripted::EventsOf(Kind::Close).size(), 1u);
    EXPECT_EQ(scripted::EventsOf(Kind::Close)[0].value, 256);
}

TEST_F(Lifecycle, ChangeZevParamsTakesTheNewNameAndKeepsWhatItIsToldToKeep) {
    ASSERT_EQ(ColdStart(), 0u);
    const zev::DriverContext before = Context();
    PortChange change{};
    std::strcpy(change.szPort, "COM2");
    change.iTimeout = -1;
    change.wBaud = 0;
    change.wDataBits = 5;
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_CHANGE_ZEV_PARAMS, &change), 0u);
    EXPECT_EQ(testhost::Log(), (std::vector<LogLine>{{8, "ROVOD> OpenCom() File handle 257"},
                                                     {8, "ROVOD> ChangeZevParams() port opened"}}));
    ASSERT_EQ(scripted::EventsOf(Kind::Close).size(), 1u);
    EXPECT_EQ(scripted::EventsOf(Kind::Close)[0].value, 256);
    EXPECT_EQ(scripted::EventsOf(Kind::Open).back().text, "COM2");
    EXPECT_EQ(scripted::PortOf(257).dcb.BaudRate, 9600u);
    EXPECT_EQ(scripted::PortOf(257).dcb.ByteSize, 8);
    EXPECT_EQ(scripted::PortOf(257).timeouts.ReadTotalTimeoutConstant, 250u);
    EXPECT_EQ(Context().iTimeout, 25u);

    // New rate and time-out; the timing values stay those of the installation.
    std::strcpy(change.szPort, "COM3");
    change = PortChange{"COM3", 7, 1200, 7, 2, 1};
    EXPECT_EQ(Call(ZEV_CHANGE_ZEV_PARAMS, &change), 0u);
    EXPECT_EQ(Context().iTimeout, 7u);
    EXPECT_EQ(Context().wBaud, 1200);
    EXPECT_EQ(Context().wDataBits, 7);
    EXPECT_EQ(Context().wStopBits, 2);
    EXPECT_EQ(Context().wParity, 1);
    EXPECT_EQ(scripted::PortOf(258).timeouts.ReadTotalTimeoutConstant, 70u);
    EXPECT_EQ(Context().fCharTime, before.fCharTime);
    EXPECT_EQ(Context().IFG, before.IFG);
    EXPECT_EQ(Context().fDelay, before.fDelay);
    EXPECT_EQ(Context().wOpenMask, before.wOpenMask);

    // Time-out 0 keeps the current one too.
    change = PortChange{"COM4", 0, 0, 0, 0, 0};
    EXPECT_EQ(Call(ZEV_CHANGE_ZEV_PARAMS, &change), 0u);
    EXPECT_EQ(Context().iTimeout, 7u);
}

TEST_F(Lifecycle, ChangeZevParamsWithoutAnOpenPortOrWithAMissingOne) {
    settings.bOpenPort = 0;
    ASSERT_EQ(ColdStart(), 0u);
    Context().wBaud = 9600;  // the host's block had no settings stored
    PortChange change{"COM2", 0, 4800, 8, 0, 0};
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_CHANGE_ZEV_PARAMS, &change), 0u);
    EXPECT_TRUE(scripted::EventsOf(Kind::Close).empty());
    EXPECT_EQ(scripted::PortOf(Context().hCom).dcb.BaudRate, 4800u);

    change = PortChange{"COM77", 9, 0, 0, 0, 0};
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_CHANGE_ZEV_PARAMS, &change), 2u);
    EXPECT_EQ(testhost::Log(),
              (std::vector<LogLine>{{32, "ROVOD> OpenCom() failed"},
                                    {8, "ROVOD> ChangeZevParams() open new COM port failed"}}));
    EXPECT_EQ(Context().hCom, 0u);
    // The new name and time-out stay for a later ReOpenCom.
    EXPECT_STREQ(Context().szPort, "COM77");
    EXPECT_EQ(Context().iTimeout, 9u);
    scripted::AddDevice("COM77");
    EXPECT_EQ(Call(ZEV_REOPEN_COM), 0u);
    EXPECT_EQ(scripted::EventsOf(Kind::Open).back().text, "COM77");
}

TEST_F(Lifecycle, GetZevInfoDescribesTheDriverWithoutAContext) {
    ZevInfo info;
    std::memset(&info, 0x5A, sizeof info);
    request = ZevRequest{nullptr, ZEV_GET_ZEV_INFO, 0, 0, &info};
    EXPECT_EQ(ZevMain(&request), 0u);
    EXPECT_EQ(testhost::Log(), (std::vector<LogLine>{{64, "ROVOD> GetZevInfo() exited"}}));
    EXPECT_EQ(info.iInfo0, 70u);
    EXPECT_STREQ(info.pszTitle, "Process Controllers TK");
    EXPECT_EQ(info.iContextSize, 96u);
    EXPECT_EQ(info.iInfo16, 4u);
    EXPECT_EQ(info.wDefBaud, 9600);
    EXPECT_EQ(info.wDefDataBits, 8);
    EXPECT_EQ(info.wDefStopBits, 0);
    EXPECT_EQ(info.wDefParity, 0);
    EXPECT_EQ(info.iInfo28, 1u);

    const std::string banner = info.pszBanner;
    ASSERT_EQ(banner.size(), 199u);
    const std::string top = "\xC9" + std::string(63, '\xCD') + "\xBB";
    const std::string bottom = "\xC8" + std::string(63, '\xCD') + "\xBC";
    const std::string middle = "\xBA  ROVOD :  Controller series P, B and PS (32 bit)              \xBA";
    EXPECT_EQ(banner, "\x08\n" + top + "\n" + middle + "\n" + bottom);

    // The block is not touched.
    const std::vector<unsigned char> before(block, block + sizeof block);
    request = ZevRequest{block, ZEV_GET_ZEV_INFO, 0, 0, &info};
    EXPECT_EQ(ZevMain(&request), 0u);
    EXPECT_EQ(std::vector<unsigned char>(block, block + sizeof block), before);
}

TEST_F(Lifecycle, MissingRecordsAreRefusedWithALine) {
    const struct {
        uint32_t iFunction;
        bool bContext;
        const char *pszLine;
    } cases[] = {
        {ZEV_COLD_START, false, "ROVOD> ColdStart() no working block"},
        {ZEV_COLD_START, true, "ROVOD> ColdStart() no port settings"},
        {ZEV_WARM_START, false, "ROVOD> WarmStart() no working block"},
        {ZEV_CLOSE_COM, false, "ROVOD> CloseCom() no working block"},
        {ZEV_REOPEN_COM, false, "ROVOD> ReOpenCom() no working block"},
        {ZEV_GET_ZEV_INFO, true, "ROVOD> GetZevInfo() no ZevInfo record"},
        {ZEV_CHANGE_ZEV_PARAMS, false, "ROVOD> ChangeZevParams() no working block"},
        {ZEV_CHANGE_ZEV_PARAMS, true, "ROVOD> ChangeZevParams() no port change record"},
        {ZEV_END_ZEV, false, "ROVOD> EndZev() no working block"},
    };
    for (const auto &c : cases) {
        testhost::Reset();
        request = ZevRequest{c.bContext ? block : nullptr, c.iFunction, 0, 0, nullptr};
        EXPECT_EQ(ZevMain(&request), 1u) << c.pszLine;
        EXPECT_TRUE(testhost::Log().end() !=
                    std::find(testhost::Log().begin(), testhost::Log().end(), LogLine{32, c.pszLine}))
            << testhost::Dump();
    }
}

TEST_F(Lifecycle, EndZevClosesFreesAndEndsEveryInstance) {
    ASSERT_EQ(ColdStart(), 0u);
    const uint8_t *pSendBuf = Context().pSendBuf;
    const uint8_t *pRecvBuf = Context().pRecvBuf;
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_END_ZEV), 0u);
    EXPECT_EQ(testhost::Log(), (std::vector<LogLine>{{8, "ROVOD> EndZev() exited, 0"}}));
    EXPECT_EQ(zev::bEnded.load(), 1u);
    EXPECT_EQ(scripted::EventsOf(Kind::Close).size(), 1u);
    EXPECT_EQ(Context().hCom, 0u);
    // Freed, but the pointers are left in the block.
    EXPECT_EQ(Context().pSendBuf, pSendBuf);
    EXPECT_EQ(Context().pRecvBuf, pRecvBuf);

    // From now on nothing runs: not even ColdStart, on this block or another.
    const size_t nEvents = scripted::Events().size();
    testhost::Log().clear();
    alignas(8) unsigned char other[zev::kContextSize] = {};
    ZevInfo info{};
    for (uint32_t n : {1u, 2u, 5u, 12u, 13u, 14u, 15u, 11u}) {
        request =
            ZevRequest{n == 1 ? other : block, n, 0, 0, n == 14 ? static_cast<void *>(&info) : &settings};
        EXPECT_EQ(ZevMain(&request), 0u) << n;
    }
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
    EXPECT_EQ(scripted::Events().size(), nEvents);
    EXPECT_EQ(info.pszTitle, nullptr);
}

TEST_F(Lifecycle, EndZevPassesOnAFailedClose) {
    ASSERT_EQ(ColdStart(), 0u);
    testhost::Reset();
    scripted::Fail(scripted::Call::CloseHandle);
    EXPECT_EQ(Call(ZEV_END_ZEV), 2u);
    EXPECT_EQ(testhost::Log(),
              (std::vector<LogLine>{{8, "ROVOD> CloseCom() exited 2"}, {8, "ROVOD> EndZev() exited, 2"}}));
    EXPECT_EQ(zev::bEnded.load(), 1u);
}

}  // namespace
