// Who turns the line around: the kernel's RS-485 mode where the file asks
// for it and the port takes it, else the driver's own switching; and the
// line a failed open adds with the system's reason.
#include "line/turnaround.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "line/send.h"
#include "scripted/scripted_system.h"
#include "support/test_host.h"

namespace {

namespace fs = std::filesystem;
using scripted::Kind;
using testhost::LogLine;

class Turnaround : public ::testing::Test {
protected:
    fs::path previousDir;
    fs::path dir;
    alignas(8) unsigned char block[zev::kContextSize]{};
    PortSettings settings{"COM1", 1, 25, 9600, 8, 0, 0};

    zev::DriverContext &Context() { return *reinterpret_cast<zev::DriverContext *>(block); }

    void SetUp() override {
        scripted::Reset();
        testhost::Reset();
        previousDir = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "rovod-turnaround-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        fs::current_path(dir);
    }

    void TearDown() override {
        Call(ZEV_END_ZEV);
        testhost::Reset();
        fs::current_path(previousDir);
        fs::remove_all(dir);
    }

    uint32_t Call(uint32_t iFunction, void *pParams = nullptr) {
        ZevRequest request{block, iFunction, 0, 0, pParams};
        return ZevMain(&request);
    }

    // ColdStart with this control-signal file, then one request frame.
    void StartAndSend(const std::string &file) {
        std::ofstream("ROVOD.INT") << file;
        ASSERT_EQ(Call(ZEV_COLD_START, &settings), 0u);
        Context().wSendLen = 6;
        std::memset(Context().pSendBuf, 0x10, 6);
        ASSERT_EQ(zev::Send(&Context()), 0u);
    }
};

// The driver's own work on the signals and the thread, as tags.
std::vector<std::string> OwnSwitching() {
    static const char *const kNames[] = {"", "", "", "SETRTS", "CLRRTS", "SETDTR", "CLRDTR"};
    std::vector<std::string> out;
    for (const scripted::Event &e : scripted::Events()) {
        if (e.kind == Kind::Escape) out.push_back(kNames[e.value]);
        if (e.kind == Kind::Priority) out.push_back("priority");
    }
    return out;
}

std::vector<LogLine> OpenComLines() {
    std::vector<LogLine> out;
    for (const LogLine &line : testhost::Log())
        if (line.text.rfind("ROVOD> OpenCom() ", 0) == 0 &&
            line.text.find("File handle") == std::string::npos)
            out.push_back(line);
    return out;
}

struct TurnaroundCase {
    const char *pszFile;
    bool bAccept;         // the port takes the kernel's mode
    int iAsked;           // SetRs485Mode calls
    sys::Rs485Mode mode;  // what the port was given, when it took it
    std::vector<std::string> own;
    std::vector<LogLine> lines;
};

TEST_F(Turnaround, KernelModeWhereAskedAndTakenElseTheDriversOwnSwitching) {
    const std::vector<std::string> kRtsByDriver = {"SETRTS", "CLRDTR", "priority",
                                                   "CLRDTR", "CLRRTS", "priority"};
    const TurnaroundCase cases[] = {
        // fDelay 2.5 ms rounds up to 3 whole ms after the last character.
        {"SEND = RTS ON\nRECEIVE = RTS OFF\nFDELAY = 25\nRS485 = ON\n",
         true,
         1,
         {1, 0, 0, 3},
         {},
         {{8, "ROVOD> OpenCom() kernel RS485 mode: RTS on while sending, off after, 3 ms after the frame"}}},
        // Inverted levels; the default -1 ms at 9600 baud gives no extra delay.
        {"send = rts off\nreceive = rts on\nrs485 = on\n",
         true,
         1,
         {0, 1, 0, 0},
         {},
         {{8, "ROVOD> OpenCom() kernel RS485 mode: RTS off while sending, on after, 0 ms after the frame"}}},
        // DTR switching stays the driver's, with its hold at time-critical priority.
        {"SEND = DTR ON RTS ON\nRECEIVE = DTR OFF RTS OFF\nRS485 = ON\n",
         true,
         1,
         {1, 0, 0, 0},
         {"SETDTR", "priority", "CLRDTR", "priority"},
         {{8, "ROVOD> OpenCom() kernel RS485 mode: RTS on while sending, off after, 0 ms after the frame"}}},
        {"SEND = RTS ON\nRECEIVE = RTS OFF\nRS485 = ON\n",
         false,
         1,
         {},
         kRtsByDriver,
         {{32, "ROVOD> OpenCom() port COM1 has no kernel RS485 mode: the driver switches RTS itself"}}},
        // Not asked for, or RTS not switched: the port is never asked.
        {"SEND = RTS ON\nRECEIVE = RTS OFF\nRS485 = OFF\n", true, 0, {}, kRtsByDriver, {}},
        {"SEND = RTS ON\nRECEIVE = RTS OFF\n", true, 0, {}, kRtsByDriver, {}},
        {"SEND = DTR ON\nRECEIVE = DTR OFF\nRS485 = ON\n",
         true,
         0,
         {},
         {"SETDTR", "priority", "CLRDTR", "priority"},
         {}},
    };
    for (const TurnaroundCase &c : cases) {
        SCOPED_TRACE(c.pszFile);
        scripted::Reset();
        testhost::Reset();
        scripted::AcceptRs485(c.bAccept);
        StartAndSend(c.pszFile);
        EXPECT_EQ(scripted::CallCount(scripted::Call::SetRs485Mode), c.iAsked);
        const scripted::Port &port = scripted::PortOf(Context().hCom);
        EXPECT_EQ(port.rs485, c.bAccept && c.iAsked > 0);
        if (port.rs485) {
            EXPECT_EQ(port.rs485Mode.bRtsOnSend, c.mode.bRtsOnSend);
            EXPECT_EQ(port.rs485Mode.bRtsAfterSend, c.mode.bRtsAfterSend);
            EXPECT_EQ(port.rs485Mode.dwDelayBeforeSendMs, c.mode.dwDelayBeforeSendMs);
            EXPECT_EQ(port.rs485Mode.dwDelayAfterSendMs, c.mode.dwDelayAfterSendMs);
        }
        EXPECT_EQ(OwnSwitching(), c.own);
        EXPECT_EQ(OpenComLines(), c.lines) << testhost::Dump();
        EXPECT_EQ(scripted::Written(), scripted::Bytes(6, 0x10));
        Call(ZEV_END_ZEV);
    }
}

TEST_F(Turnaround, EveryOpenAsksAgainAndAClosedPortDropsTheKernelMode) {
    scripted::AcceptRs485(true);
    StartAndSend("SEND = RTS ON\nRECEIVE = RTS OFF\nRS485 = ON\n");
    const sys::Handle hFirst = Context().hCom;
    EXPECT_EQ(Context().bRs485, zev::kRs485Asked | zev::kRs485Kernel);
    ASSERT_EQ(Call(ZEV_CLOSE_COM), 0u);
    EXPECT_FALSE(scripted::PortOf(hFirst).rs485);
    EXPECT_EQ(Context().bRs485, zev::kRs485Asked);

    // The port of the next open refuses: one line, and the driver switches RTS.
    scripted::AcceptRs485(false);
    testhost::Reset();
    ASSERT_EQ(Call(ZEV_REOPEN_COM), 0u);
    EXPECT_EQ(
        OpenComLines(),
        (std::vector<LogLine>{
            {32, "ROVOD> OpenCom() port COM1 has no kernel RS485 mode: the driver switches RTS itself"}}));
    EXPECT_EQ(Context().bRs485, zev::kRs485Asked);
    const size_t nBefore = OwnSwitching().size();
    ASSERT_EQ(zev::Send(&Context()), 0u);
    EXPECT_EQ(OwnSwitching().size() - nBefore, 6u);
}

TEST_F(Turnaround, KernelDelayAfterTheFrameFromFDelay) {
    const struct {
        float fDelay;
        uint32_t dwMs;
    } cases[] = {{-1.0f, 0},  {0.0f, 0},     {0.1f, 1},     {1.0f, 1},         {2.5f, 3},
                 {49.9f, 50}, {100.0f, 100}, {500.0f, 100}, {std::nanf(""), 0}};
    for (const auto &c : cases) EXPECT_EQ(zev::KernelDelayAfterSendMs(c.fDelay), c.dwMs) << c.fDelay;
}

TEST_F(Turnaround, FailedOpenAddsTheSystemsReasonOnlyWhenTheDeviceWouldNotOpen) {
    scripted::SetOpenFailureText("COM12: no such port; ports here: COM1");
    std::strcpy(settings.szPort, "COM12");
    ASSERT_EQ(Call(ZEV_COLD_START, &settings), 0u);
    EXPECT_EQ(OpenComLines(),
              (std::vector<LogLine>{{32, "ROVOD> OpenCom() failed"},
                                    {32, "ROVOD> OpenCom() COM12: no such port; ports here: COM1"}}));

    // It opened, but is no serial port: the reason of some earlier open is not this one's.
    testhost::Reset();
    std::strcpy(Context().szPort, "COM1");
    scripted::Fail(scripted::Call::GetCommState);
    EXPECT_EQ(Call(ZEV_REOPEN_COM), 2u);
    EXPECT_EQ(OpenComLines(), (std::vector<LogLine>{{32, "ROVOD> OpenCom() failed"}}));
}

}  // namespace
