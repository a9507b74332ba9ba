// The instance lifecycle through ZevMain on pseudo-terminals with the posix
// system: what the port looks like after each step, and silence after the end.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "base/context.h"
#include "driver/lifecycle.h"
#include "line/pty.h"
#include "line/qobcom.h"
#include "support/test_host.h"
#include "zedadad/zedadad.h"

// <asm/termbits.h> and <sys/ioctl.h> do not mix; ioctl is all that is needed.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace {

namespace fs = std::filesystem;

class LifecycleLine : public ::testing::Test {
protected:
    ptytest::Pty first{};
    ptytest::Pty second{};
    alignas(8) std::array<unsigned char, zev::kContextSize> block{};
    PortSettings settings{};
    ZevRequest request{};
    fs::path previousDir;
    fs::path dir;

    zev::DriverContext &Context() { return *reinterpret_cast<zev::DriverContext *>(block.data()); }

    void SetUp() override {
        testhost::Reset();
        ASSERT_TRUE(ptytest::PtyOpen(&first)) << errno;
        ASSERT_TRUE(ptytest::PtyOpen(&second)) << errno;
        // No control-signal file but the test's own.
        previousDir = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "rovod-lifecycle-line-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        fs::current_path(dir);
        std::snprintf(settings.szPort, sizeof settings.szPort, "%.11s", first.szName);
        settings.bOpenPort = 1;
        settings.iTimeout = 12;
        settings.wBaud = 19200;
        settings.wDataBits = 8;
        settings.wStopBits = 2;
        settings.wParity = 0;
    }

    void TearDown() override {
        testhost::Reset();
        ZevRequest end{block.data(), ZEV_END_ZEV, 0, 0, nullptr};
        zev::EndZev(&end);
        testhost::Reset();
        fs::current_path(previousDir);
        fs::remove_all(dir);
        ptytest::PtyClose(&first);
        ptytest::PtyClose(&second);
    }

    uint32_t Call(uint32_t iFunction, void *pParams = nullptr) {
        request = ZevRequest{block.data(), iFunction, 0, 0, pParams};
        return ZevMain(&request);
    }

    // True when no one holds the port: an open of our own succeeds.
    static bool Free(const ptytest::Pty &pty) {
        const zev::LineSettings line{9600, 8, 0, 0};
        sys::Handle h = 0;
        if (zev::QobComOpen(pty.szName, &line, 0x0303, &h) != zev::kQobOk) return false;
        zev::QobComClose(h);
        return true;
    }

    static termios2 DeviceSettings(const ptytest::Pty &pty) {
        termios2 tio{};
        EXPECT_EQ(ioctl(pty.iSlave, TCGETS2, &tio), 0);
        return tio;
    }

    uint32_t Queued() {
        uint32_t dwErrors = 0;
        sys::ComStat stat{};
        EXPECT_EQ(sys::ClearCommError(Context().hCom, &dwErrors, &stat), 1);
        return stat.cbInQue;
    }

    uint32_t ReadTimeoutMs() {
        sys::CommTimeouts timeouts{};
        EXPECT_NE(sys::GetCommTimeouts(Context().hCom, &timeouts), 0);
        return timeouts.ReadTotalTimeoutConstant;
    }
};

TEST_F(LifecycleLine, ColdStartOpensAndConfiguresThePortExclusively) {
    ASSERT_EQ(Call(ZEV_COLD_START, &settings), 0u) << testhost::Dump();
    EXPECT_TRUE(testhost::Logged("ROVOD> ColdStart() port opened")) << testhost::Dump();
    ASSERT_NE(Context().hCom, 0u);
    const termios2 tio = DeviceSettings(first);
    EXPECT_EQ(tio.c_ospeed, 19200u);
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(ReadTimeoutMs(), 120u);
    EXPECT_FALSE(Free(first));
}

TEST_F(LifecycleLine, WarmStartDiscardsPendingInput) {
    ASSERT_EQ(Call(ZEV_COLD_START, &settings), 0u) << testhost::Dump();
    const std::string noise(700, '\x55');
    ASSERT_TRUE(ptytest::PtyWrite(&first, noise.data(), noise.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_GT(Queued(), 0u);
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_WARM_START), 0u);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> WarmStart()"}));
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(ReadTimeoutMs(), 120u);  // the flush gives the time-out back
}

TEST_F(LifecycleLine, CloseComTwiceThenReOpenCom) {
    ASSERT_EQ(Call(ZEV_COLD_START, &settings), 0u) << testhost::Dump();
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_CLOSE_COM), 0u);
    EXPECT_EQ(Context().hCom, 0u);
    EXPECT_TRUE(Free(first));
    EXPECT_EQ(Call(ZEV_CLOSE_COM), 0u);
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();

    // Someone else's settings in between; ReOpenCom puts the instance's back.
    {
        const zev::LineSettings other{1200, 7, 0, 2};
        sys::Handle h = 0;
        ASSERT_EQ(zev::QobComOpen(first.szName, &other, 0x0303, &h), zev::kQobOk);
        zev::QobComClose(h);
    }
    EXPECT_EQ(Call(ZEV_REOPEN_COM), 0u) << testhost::Dump();
    EXPECT_TRUE(testhost::Logged("ROVOD> ReOpenCom() exited 0"));
    EXPECT_NE(Context().hCom, 0u);
    EXPECT_EQ(DeviceSettings(first).c_ospeed, 19200u);
    EXPECT_EQ(ReadTimeoutMs(), 120u);
    EXPECT_FALSE(Free(first));

    // While it is open a second ReOpenCom fails and keeps the open port.
    const sys::Handle hOpen = Context().hCom;
    EXPECT_EQ(Call(ZEV_REOPEN_COM), 2u);
    EXPECT_EQ(Context().hCom, hOpen);
}

TEST_F(LifecycleLine, ChangeZevParamsMovesToAnotherPortWithTheOldLineSettings) {
    ASSERT_EQ(Call(ZEV_COLD_START, &settings), 0u) << testhost::Dump();
    PortChange change{};
    std::snprintf(change.szPort, sizeof change.szPort, "%.11s", second.szName);
    change.iTimeout = -1;
    change.wBaud = 0;
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_CHANGE_ZEV_PARAMS, &change), 0u) << testhost::Dump();
    EXPECT_TRUE(testhost::Logged("ROVOD> ChangeZevParams() port opened"));
    EXPECT_TRUE(Free(first));
    EXPECT_FALSE(Free(second));
    const termios2 tio = DeviceSettings(second);
    EXPECT_EQ(tio.c_ospeed, 19200u);
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(ReadTimeoutMs(), 120u);

    // Frames go to the new port.
    const std::array<uint8_t, 3> frame = {0x10, 0x05, 0x16};
    uint32_t dwWritten = 0;
    ASSERT_EQ(zev::QobComWrite(Context().hCom, frame.data(), frame.size(), &dwWritten), zev::kQobOk);
    std::array<uint8_t, 3> back{};
    EXPECT_EQ(ptytest::PtyRead(&second, back.data(), back.size(), 1000), frame.size());
    EXPECT_EQ(back, frame);
}

TEST_F(LifecycleLine, SwitchedInstallationCalibratesAndGivesThePriorityBack) {
    std::ofstream("ROVOD.INT") << "DEBUG = ON\nSEND = RTS ON DTR ON\nRECEIVE = DTR ON\n";
    const int iPriority = sys::GetThreadPriority();
    ASSERT_EQ(Call(ZEV_COLD_START, &settings), 0u) << testhost::Dump();
    EXPECT_EQ(Context().bSwitching, 1);
    EXPECT_EQ(Context().llFrequency, 1000000000);
    EXPECT_TRUE(testhost::Logged("ROVOD> ColdStart() port opened")) << testhost::Dump();
    bool bCalibrated = false;
    for (const std::string &line : testhost::LogTexts())
        if (line.rfind("ROVOD> ColdStart() Freq: 1000000000.000000, Difference QPC()", 0) == 0)
            bCalibrated = true;
    EXPECT_TRUE(bCalibrated) << testhost::Dump();
    EXPECT_EQ(sys::GetThreadPriority(), iPriority);
}

TEST_F(LifecycleLine, AfterEndZevEveryCallIsAnsweredWithZeroAndNothingMoves) {
    ASSERT_EQ(Call(ZEV_COLD_START, &settings), 0u) << testhost::Dump();
    testhost::Reset();
    EXPECT_EQ(Call(ZEV_END_ZEV), 0u);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> EndZev() exited, 0"}));
    EXPECT_TRUE(Free(first));

    testhost::Log().clear();
    GateRecord gate{};
    gate.pszAddress = "01A0001";
    gate.iPlcAddr = 1;
    gate.iMemType = 'A';
    gate.iTagAddr = 1;
    gate.iCount = 1;
    std::array<uint8_t, 64> value{};
    gate.pValue = value.data();
    PortChange change{};
    std::snprintf(change.szPort, sizeof change.szPort, "%.11s", second.szName);
    ZevInfo info{};
    const struct {
        uint32_t iFunction;
        void *pParams;
    } calls[] = {
        {ZEV_SINGLE_READ, &gate},    {ZEV_SINGLE_WRITE, &gate},        {ZEV_REOPEN_COM, nullptr},
        {ZEV_COLD_START, &settings}, {ZEV_CHANGE_ZEV_PARAMS, &change}, {ZEV_WARM_START, nullptr},
        {ZEV_GET_ZEV_INFO, &info},   {ZEV_CLOSE_COM, nullptr},         {ZEV_END_ZEV, nullptr},
    };
    for (const auto &c : calls) EXPECT_EQ(Call(c.iFunction, c.pParams), 0u) << c.iFunction;
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
    EXPECT_EQ(info.pszTitle, nullptr);
    EXPECT_TRUE(Free(first));
    EXPECT_TRUE(Free(second));
    std::array<uint8_t, 16> heard{};
    EXPECT_EQ(ptytest::PtyRead(&first, heard.data(), heard.size(), 200), 0u);
    EXPECT_EQ(ptytest::PtyRead(&second, heard.data(), heard.size(), 50), 0u);
}

}  // namespace
