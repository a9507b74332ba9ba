// Send on the scripted line: the gap, plain and switched writes, the signal
// order, the counter hold, and the timing set up at installation.
#include "line/send.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/context.h"
#include "scripted/scripted_system.h"
#include "support/test_host.h"

namespace {

using scripted::Kind;

constexpr int64_t kNsPerMs = 1000000;

class SendTest : public ::testing::Test {
protected:
    std::array<uint8_t, zev::kSendBufSize> sendBuf{};
    zev::DriverContext context{};

    void SetUp() override {
        scripted::Reset();
        testhost::Reset();
        std::memset(&context, 0, sizeof context);
        for (size_t i = 0; i < sendBuf.size(); ++i) sendBuf[i] = static_cast<uint8_t>(0x40 + i);
        context.pSendBuf = sendBuf.data();
        context.hCom = sys::CreateFileA("COM1");
        context.wSendLen = 6;
        context.SendMask = 0x0303;
        context.RecMask = 0x0303;
        context.fCharTime = 1.0416666f;  // 9600 8N1
        context.fDelay = -1.0f;
        context.llFrequency = 1000000000;
        context.fCalcDelay = 123.0f;
        context.fPracDelay = 456.0f;
    }

    void TearDown() override { testhost::Reset(); }

    void Switch(uint16_t wSendMask, uint16_t wRecMask) {
        context.SendMask = wSendMask;
        context.RecMask = wRecMask;
        context.bSwitching = 1;
    }
};

// The calls a switched send makes, in order, as short tags.
std::vector<std::string> Trace() {
    std::vector<std::string> out;
    for (const scripted::Event &e : scripted::Events()) {
        switch (e.kind) {
            case Kind::Escape: {
                static const char *const names[] = {"", "", "", "SETRTS", "CLRRTS", "SETDTR", "CLRDTR"};
                out.push_back(e.value >= 3 && e.value <= 6 ? names[e.value] : "escape?");
                break;
            }
            case Kind::Write:
                out.push_back("write");
                break;
            case Kind::Sleep:
                out.push_back("sleep " + std::to_string(e.value));
                break;
            case Kind::Priority:
                out.push_back("priority " + std::to_string(e.value));
                break;
            case Kind::TimerBegin:
                out.push_back("timer+");
                break;
            case Kind::TimerEnd:
                out.push_back("timer-");
                break;
            default:
                break;
        }
    }
    return out;
}

const scripted::Event *FirstAfterWrite(Kind kind) {
    bool bWritten = false;
    for (const scripted::Event &e : scripted::Events()) {
        if (e.kind == Kind::Write) bWritten = true;
        if (bWritten && e.kind == kind) return &e;
    }
    return nullptr;
}

TEST_F(SendTest, PlainModeWritesTheFrameAndTouchesNothingElse) {
    context.IFG = 0;
    EXPECT_EQ(zev::Send(&context), 0u);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"write"}));
    EXPECT_EQ(scripted::Written(), scripted::Bytes(sendBuf.begin(), sendBuf.begin() + 6));
    EXPECT_EQ(context.fCalcDelay, 123.0f);
    EXPECT_EQ(context.fPracDelay, 456.0f);
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
}

TEST_F(SendTest, PlainModeReportsTheSerialLayersCode) {
    scripted::Fail(scripted::Call::WriteFile);
    EXPECT_EQ(zev::Send(&context), 7u);
    scripted::ShortWrite(2);
    EXPECT_EQ(zev::Send(&context), 2u);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> Send(), QobComWrite() returned 7",
                                                              "ROVOD> Send(), QobComWrite() returned 2"}));
}

struct SignalCase {
    uint16_t wSendMask;
    uint16_t wRecMask;
    std::vector<std::string> trace;
};

TEST_F(SendTest, SwitchedModeDrivesTheSignalsAroundTheWriteInOrder) {
    // clang-format off
    const SignalCase cases[] = {
        // RTS on only while sending, DTR on throughout.
        {0x0303, 0x0101, {"SETRTS", "SETDTR", "timer+", "priority 15", "write", "SETDTR", "CLRRTS", "priority 0", "timer-"}},
        // The same RTS state both ways: RTS is never touched, DTR always twice.
        {0x0303, 0x0202, {"SETDTR", "timer+", "priority 15", "write", "CLRDTR", "priority 0", "timer-"}},
        {0x0000, 0x0000, {"CLRDTR", "timer+", "priority 15", "write", "CLRDTR", "priority 0", "timer-"}},
        {0x0202, 0x0000, {"SETRTS", "CLRDTR", "timer+", "priority 15", "write", "CLRDTR", "CLRRTS", "priority 0", "timer-"}},
        {0x0101, 0x0202, {"CLRRTS", "SETDTR", "timer+", "priority 15", "write", "CLRDTR", "SETRTS", "priority 0", "timer-"}},
        // Any bit of a pair counts.
        {0x0200, 0x0001, {"SETRTS", "CLRDTR", "timer+", "priority 15", "write", "SETDTR", "CLRRTS", "priority 0", "timer-"}},
    };
    // clang-format on
    for (const SignalCase &c : cases) {
        SetUp();
        Switch(c.wSendMask, c.wRecMask);
        EXPECT_EQ(zev::Send(&context), 0u);
        EXPECT_EQ(Trace(), c.trace) << std::hex << c.wSendMask << " " << c.wRecMask;
    }
}

struct HoldCase {
    int64_t llFrequency;
    float fCharTime;
    uint16_t wSendLen;
    float fDelay;
    double dHoldMs;
};

TEST_F(SendTest, HoldsTheSendStateForCharacterTimesPlusDelayOnTheCounter) {
    const HoldCase cases[] = {
        {1000000000, 1.0416666f, 20, -1.0f, 19.833333},  // 9600 8N1, 20-byte frame
        {3579545, 1.0416666f, 20, -1.0f, 19.833333},     // an old-style counter
        {10000000, 0.5208333f, 14, 2.5f, 9.791666},
        {1000000000, 25.0f, 6, 0.0f, 150.0},
    };
    for (const HoldCase &c : cases) {
        SetUp();
        Switch(0x0303, 0x0101);
        scripted::SetFrequency(c.llFrequency);
        context.llFrequency = c.llFrequency;
        context.fCharTime = c.fCharTime;
        context.wSendLen = c.wSendLen;
        context.fDelay = c.fDelay;
        ASSERT_EQ(zev::Send(&context), 0u);

        const scripted::Event *pWrite = FirstAfterWrite(Kind::Write);
        const scripted::Event *pBack = FirstAfterWrite(Kind::Escape);
        ASSERT_TRUE(pWrite && pBack);
        const double dHeldMs = static_cast<double>(pBack->tNs - pWrite->tNs) / kNsPerMs;
        // One counter tick and a few 1 us counter steps of slack, never less than planned.
        const double dTickMs = 1000.0 / static_cast<double>(c.llFrequency);
        EXPECT_GE(dHeldMs, c.dHoldMs - dTickMs) << c.llFrequency;
        EXPECT_LE(dHeldMs, c.dHoldMs + dTickMs + 0.005) << c.llFrequency;
        EXPECT_NEAR(context.fCalcDelay, c.dHoldMs, dTickMs + 0.005);
        EXPECT_GE(context.fPracDelay, context.fCalcDelay);
        EXPECT_NEAR(context.fPracDelay, c.dHoldMs, dTickMs + 0.01);
        EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
    }
}

TEST_F(SendTest, DebugTraceReportsPlanMeasureHoldReadsAndSavedPriority) {
    Switch(0x0303, 0x0101);
    context.wSendLen = 20;
    context.DebugFlag = 1;
    scripted::SetThreadPriorityValue(2);
    ASSERT_EQ(zev::Send(&context), 0u);
    ASSERT_EQ(testhost::Log().size(), 1u) << testhost::Dump();
    float fCalc = 0, fPrac = 0, fHold = 0;
    int iIndex = 0, iPriority = 0;
    ASSERT_EQ(
        std::sscanf(testhost::Log()[0].text.c_str(),
                    "ROVOD> Send() Delay : Calc. %f, Prac. %f, fDelay = %f, iIndex = %d, iPriority = %d",
                    &fCalc, &fPrac, &fHold, &iIndex, &iPriority),
        5)
        << testhost::Dump();
    EXPECT_EQ(testhost::Log()[0].iCategory, ZEV_LOG_TRACE);
    EXPECT_NEAR(fCalc, context.fCalcDelay, 0.0006);
    EXPECT_NEAR(fPrac, context.fPracDelay, 0.0006);
    EXPECT_FLOAT_EQ(fHold, 19.833f);  // the hold of this send, not fDelay
    // 1 us per counter read over a 19.833 ms hold.
    EXPECT_NEAR(iIndex, 19833, 3);
    EXPECT_EQ(iPriority, 2);
    EXPECT_EQ(scripted::ThreadPriority(), 2);
}

TEST_F(SendTest, NegativeHoldOrNoCounterSwitchesBackRightAfterTheWrite) {
    // 38400 8N1 with the default -0.5 ms and a 1-byte frame: 0.26 - 0.5 < 0.
    Switch(0x0303, 0x0101);
    context.fCharTime = 0.2604167f;
    context.fDelay = -0.5f;
    context.wSendLen = 1;
    context.DebugFlag = 1;
    ASSERT_EQ(zev::Send(&context), 0u);
    EXPECT_EQ(scripted::CallCount(scripted::Call::QueryPerformanceCounter), 2);  // start and end only
    ASSERT_EQ(testhost::Log().size(), 2u) << testhost::Dump();
    EXPECT_EQ(testhost::Log()[0], (testhost::LogLine{8, "ROVOD> No Delay for switching signals RTS or DTR"}));
    EXPECT_NE(testhost::Log()[1].text.find("iIndex = 0,"), std::string::npos) << testhost::Dump();
    EXPECT_EQ(context.fCalcDelay, 0.0f);  // no hold was planned

    // Without a counter: the same line, no counter reads, the trace fields keep their values.
    SetUp();
    Switch(0x0303, 0x0101);
    context.llFrequency = 0;
    ASSERT_EQ(zev::Send(&context), 0u);
    EXPECT_EQ(scripted::CallCount(scripted::Call::QueryPerformanceCounter), 0);
    EXPECT_EQ(testhost::LogTexts(),
              (std::vector<std::string>{"ROVOD> No Delay for switching signals RTS or DTR"}));
    EXPECT_EQ(context.fCalcDelay, 123.0f);
    EXPECT_EQ(context.fPracDelay, 456.0f);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"SETRTS", "SETDTR", "timer+", "priority 15", "write",
                                                 "SETDTR", "CLRRTS", "priority 0", "timer-"}));
}

TEST_F(SendTest, ZeroHoldTakesTheWaitPathWithOneCounterRead) {
    const std::array<float, 2> signs = {0.0f, -0.0f};  // a negative zero counts as 0
    for (float fZero : signs) {
        SetUp();
        Switch(0x0303, 0x0101);
        context.fCharTime = fZero;
        context.wSendLen = 1;
        context.fDelay = fZero;
        context.DebugFlag = 1;
        ASSERT_EQ(zev::Send(&context), 0u);
        EXPECT_FALSE(testhost::Logged("ROVOD> No Delay for switching signals RTS or DTR"))
            << testhost::Dump();
        ASSERT_EQ(testhost::Log().size(), 1u);
        EXPECT_NE(testhost::Log()[0].text.find("iIndex = 1,"), std::string::npos) << testhost::Dump();
    }
}

TEST_F(SendTest, FailedOrShortSwitchedWriteStillRestoresLineThreadAndTimer) {
    for (int iCase = 0; iCase < 2; ++iCase) {
        SetUp();
        Switch(0x0303, 0x0101);
        scripted::SetThreadPriorityValue(-1);
        if (iCase == 0) scripted::Fail(scripted::Call::WriteFile);
        if (iCase == 1) scripted::ShortWrite(3);
        EXPECT_EQ(zev::Send(&context), 1u);
        EXPECT_EQ(testhost::LogTexts(),
                  (std::vector<std::string>{"ROVOD> Send(), QobComWrite() returned 1"}));
        const scripted::Port &port = scripted::PortOf(context.hCom);
        EXPECT_TRUE(port.dtr);
        EXPECT_FALSE(port.rts);
        EXPECT_EQ(scripted::ThreadPriority(), -1);
        EXPECT_EQ(scripted::TimerPeriodDepth(), 0);
    }
}

TEST_F(SendTest, PriorityFailuresAreLoggedAndTheSendGoesOn) {
    Switch(0x0303, 0x0101);
    scripted::Fail(scripted::Call::SetThreadPriority, 2, -5);
    EXPECT_EQ(zev::Send(&context), 0u);
    EXPECT_EQ(testhost::LogTexts(),
              (std::vector<std::string>{"ROVOD> Send() ERROR setting priority, rc -5",
                                        "ROVOD> Send() ERROR !!! RESETTING PRIORITY !!"}));
    EXPECT_EQ(scripted::Written().size(), 6u);
    EXPECT_EQ(scripted::TimerPeriodDepth(), 0);
}

TEST_F(SendTest, FrameLongerThanTheSendBufferIsRefusedUnread) {
    for (uint8_t bSwitching : {0, 1}) {
        SetUp();
        context.bSwitching = bSwitching;
        context.wSendLen = zev::kSendBufSize + 1;
        EXPECT_EQ(zev::Send(&context), 7u);
        EXPECT_TRUE(scripted::EventsOf(Kind::Write).empty());
        EXPECT_EQ(testhost::LogTexts(),
                  (std::vector<std::string>{"ROVOD> Send() frame of 33 bytes does not fit the send buffer",
                                            "ROVOD> Send(), QobComWrite() returned 7"}));
    }
}

TEST_F(SendTest, GapSleepsBeforeTheSignalsAndRepeatsWhenTheClockShowsLess) {
    Switch(0x0303, 0x0101);
    context.IFG = 3;
    context.DebugFlag = 1;
    scripted::SleepAdvances({2, 3});
    ASSERT_EQ(zev::Send(&context), 0u);
    const std::vector<std::string> trace = Trace();
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(trace[0], "sleep 3");
    EXPECT_EQ(trace[1], "sleep 3");
    EXPECT_EQ(trace[2], "SETRTS");
    ASSERT_FALSE(testhost::Log().empty());
    EXPECT_EQ(testhost::Log()[0], (testhost::LogLine{8, "ROVOD> IFG failed (2.002000ms < 3ms)"}));

    // Without debugging the repeat is silent; with a clock on time there is one sleep.
    SetUp();
    context.IFG = 3;
    scripted::SleepAdvances({1, 1, 1});
    ASSERT_EQ(zev::Send(&context), 0u);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"sleep 3", "sleep 3", "sleep 3", "write"}));
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();

    SetUp();
    context.IFG = 40;
    context.DebugFlag = 1;
    ASSERT_EQ(zev::Send(&context), 0u);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"sleep 40", "write"}));
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
}

struct TimingCase {
    uint16_t wBaud, wDataBits, wStopBits, wParity;
    float fCharTime;
    uint16_t IFG;
    float fDelay;
    const char *pszLine;
};

TEST_F(SendTest, LineTimingFromThePortSettings) {
    const TimingCase cases[] = {
        {9600, 8, 0, 0, 1.041667f, 3, -1.0f, "ROVOD> Theoretically # msec per character = 1.042"},
        {9600, 8, 2, 2, 1.25f, 4, -1.0f, "ROVOD> Theoretically # msec per character = 1.250"},
        {19200, 7, 0, 2, 0.520833f, 1, -1.0f, "ROVOD> Theoretically # msec per character = 0.521"},
        {300, 5, 1, 0, 25.0f, 87, -0.5f, "ROVOD> Theoretically # msec per character = 25.000"},
        {57600, 8, 0, 0, 0.173611f, 0, 0.0f, "ROVOD> Theoretically # msec per character = 0.174"},
        {38400, 8, 0, 0, 0.260417f, 0, -0.5f, "ROVOD> Theoretically # msec per character = 0.260"},
        {1200, 8, 0, 0, 8.333333f, 29, -0.5f, "ROVOD> Theoretically # msec per character = 8.333"},
        {2, 8, 0, 0, 5000.0f, 5000, -0.5f, "ROVOD> Theoretically # msec per character = 5000.000"},
        // Far beyond the cap: capped before the conversion to an integer.
        {1, 0x7FFF, 2, 4, 32771000.0f, 5000, -0.5f,
         "ROVOD> Theoretically # msec per character = 32771000.000"},
        // A negative bit count (data bits read as signed) gives no gap.
        {9600, 0x8000, 0, 0, -3413.125f, 0, -1.0f, "ROVOD> Theoretically # msec per character = -3413.125"},
        // Rate 0: no character time, no gap.
        {0, 8, 0, 0, 0.0f, 0, -0.5f, "ROVOD> Theoretically # msec per character = 0.000"},
    };
    for (const TimingCase &c : cases) {
        testhost::Reset();
        PortSettings settings{};
        settings.wBaud = c.wBaud;
        settings.wDataBits = c.wDataBits;
        settings.wStopBits = c.wStopBits;
        settings.wParity = c.wParity;
        context.IFG = 999;
        zev::SetLineTiming(&context, &settings);
        EXPECT_NEAR(context.fCharTime, c.fCharTime, std::fabs(c.fCharTime) * 1e-5) << c.wBaud;
        EXPECT_EQ(context.IFG, c.IFG) << c.wBaud << " " << c.wDataBits;
        EXPECT_EQ(context.fDelay, c.fDelay) << c.wBaud;
        EXPECT_EQ(testhost::Log(), (std::vector<testhost::LogLine>{{8, c.pszLine}}));
    }
}

TEST_F(SendTest, CounterSetUpOnlyWhenSwitchingAndCalibrationOnlyWhenDebugging) {
    context.llFrequency = 77;
    context.bSwitching = 0;
    zev::SetupCounter(&context);
    EXPECT_EQ(context.llFrequency, 77);
    EXPECT_EQ(testhost::LogTexts(),
              (std::vector<std::string>{"ROVOD> ColdStart() Switching signals is not enabled"}));

    testhost::Reset();
    context.bSwitching = 1;
    scripted::SetFrequency(3579545);
    zev::SetupCounter(&context);
    EXPECT_EQ(context.llFrequency, 3579545);
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
    EXPECT_TRUE(scripted::EventsOf(Kind::Priority).empty());

    testhost::Reset();
    scripted::Fail(scripted::Call::QueryPerformanceFrequency);
    context.DebugFlag = 1;
    zev::SetupCounter(&context);
    EXPECT_EQ(context.llFrequency, 0);
    EXPECT_EQ(testhost::Log(),
              (std::vector<testhost::LogLine>{{32, "ROVOD> Send() High Resolution Counter not supported"}}));
}

TEST_F(SendTest, CalibrationMeasuresLogsAndRestoresTheThread) {
    scripted::Reset();
    scripted::SetThreadPriorityValue(1);
    context.bSwitching = 2;
    context.DebugFlag = 1;
    context.fDelay = -1.0f;  // waits fDelay + 10 = 9 ms
    const zev::DriverContext before = context;
    zev::SetupCounter(&context);
    EXPECT_EQ(testhost::Log(),
              (std::vector<testhost::LogLine>{
                  {8, "ROVOD> ColdStart() Resolution QPC() 1000.000000"},
                  {8, "ROVOD> ColdStart() Freq: 1000000000.000000, Difference QPC() 0.000000, Index 8999"}}))
        << testhost::Dump();
    EXPECT_EQ(context.fCalcDelay, before.fCalcDelay);
    EXPECT_EQ(context.fDelay, before.fDelay);
    EXPECT_EQ(scripted::ThreadPriority(), 1);
    EXPECT_EQ(scripted::TimerPeriodDepth(), 0);
    EXPECT_EQ(scripted::EventsOf(Kind::Priority).size(), 2u);

    testhost::Reset();
    scripted::Fail(scripted::Call::SetThreadPriority, 2, 0);
    zev::SetupCounter(&context);
    ASSERT_EQ(testhost::Log().size(), 4u) << testhost::Dump();
    EXPECT_EQ(testhost::Log()[0].text, "ROVOD> ColdStart() ERROR setting priority, rc 0");
    EXPECT_EQ(testhost::Log()[3].text, "ROVOD> ColdStart() ERROR !!! RESETTING PRIORITY !!");
    EXPECT_EQ(scripted::TimerPeriodDepth(), 0);
}

}  // namespace
