// The serial access layer against the scripted system: the open sequence and
// its failure codes, the device-control block, read time-out rounding, the
// input flush, short reads and writes.
#include "line/qobcom.h"

#include <gtest/gtest.h>

#include "scripted/scripted_system.h"

namespace {

using scripted::Call;
using scripted::Kind;

constexpr zev::LineSettings kSettings{9600, 8, 0, 2};

class QobCom : public ::testing::Test {
protected:
    void SetUp() override { scripted::Reset(); }

    sys::Handle Open(const char *pszPort = "COM1", uint16_t wMask = 0x0303,
                     const zev::LineSettings &settings = kSettings) {
        sys::Handle h = 0;
        EXPECT_EQ(zev::QobComOpen(pszPort, &settings, wMask, &h), zev::kQobOk);
        return h;
    }
    static void SetReadTimeoutMs(sys::Handle h, uint32_t dwMs) {
        scripted::PortOf(h).timeouts.ReadTotalTimeoutConstant = dwMs;
    }
};

TEST_F(QobCom, OnlyTheUpperCaseNullDeviceSkipsTheSettings) {
    sys::Handle h = Open("NUL");
    EXPECT_NE(h, 0u);
    EXPECT_NE(h, sys::kInvalidHandle);
    EXPECT_EQ(scripted::CallCount(Call::GetCommState), 0);
    EXPECT_TRUE(scripted::EventsOf(Kind::SetState).empty());
    EXPECT_TRUE(scripted::EventsOf(Kind::SetTimeouts).empty());
    EXPECT_TRUE(scripted::EventsOf(Kind::SetupComm).empty());

    // "nul" is configured like a port; it cannot report its settings.
    sys::Handle h2 = 0;
    EXPECT_EQ(zev::QobComOpen("nul", &kSettings, 0x0303, &h2), zev::kQobGetState);
    EXPECT_FALSE(scripted::PortOf(h2).open);
}

struct OpenFailure {
    const char *pszName;
    Call call;  // Call::Count: no failure switched on
    uint16_t wCode;
    bool bOpened;  // a handle was made, so it must be closed again
};

TEST_F(QobCom, EveryFailingOpenGivesItsCodeAndLeavesNoHandleOpen) {
    const OpenFailure cases[] = {
        {"COM7", Call::CreateFileA, zev::kQobOpenFailed, false},
        {"COM99", Call::Count, zev::kQobOpenFailed, false},
        {"COM1", Call::GetCommState, zev::kQobGetState, true},
        {"COM1", Call::SetCommTimeouts, zev::kQobOpenFailed, true},
        {"COM1", Call::SetCommState, zev::kQobSetState, true},
    };
    for (const OpenFailure &c : cases) {
        SCOPED_TRACE(testing::Message() << c.pszName << " call " << static_cast<int>(c.call));
        scripted::Reset();
        if (c.call != Call::Count) scripted::Fail(c.call);
        sys::Handle h = 0;
        EXPECT_EQ(zev::QobComOpen(c.pszName, &kSettings, 0x0303, &h), c.wCode);
        const auto closes = scripted::EventsOf(Kind::Close);
        if (c.bOpened) {
            ASSERT_EQ(closes.size(), 1u);
            EXPECT_EQ(closes[0].value, int64_t{h});
            EXPECT_FALSE(scripted::PortOf(h).open);
        } else {
            EXPECT_EQ(h, sys::kInvalidHandle);
            EXPECT_TRUE(closes.empty());
        }
        EXPECT_TRUE(scripted::EventsOf(Kind::SetupComm).empty());
    }
    // Missing arguments are refused before anything is opened.
    scripted::Reset();
    sys::Handle h = 0;
    EXPECT_EQ(zev::QobComOpen(nullptr, &kSettings, 0, &h), zev::kQobOpenFailed);
    EXPECT_EQ(zev::QobComOpen("COM1", nullptr, 0, &h), zev::kQobOpenFailed);
    EXPECT_EQ(zev::QobComOpen("COM1", &kSettings, 0, nullptr), zev::kQobOpenFailed);
    EXPECT_EQ(scripted::CallCount(Call::CreateFileA), 0);
}

TEST_F(QobCom, AFailingQueueRequestDoesNotFailTheOpen) {
    scripted::Fail(Call::SetupComm);
    Open();
}

TEST_F(QobCom, OpenWritesTheLineSettingsAndKeepsWhatItDoesNotSet) {
    sys::Dcb initial{};
    initial.DCBlength = 0;
    initial.fTXContinueOnXoff = 1;
    initial.fOutX = initial.fInX = initial.fOutxCtsFlow = initial.fOutxDsrFlow = 1;
    initial.fDsrSensitivity = initial.fErrorChar = initial.fNull = initial.fAbortOnError = 1;
    initial.XonLim = 2048;
    initial.XoffLim = 512;
    initial.XonChar = 0x11;
    initial.XoffChar = 0x13;
    initial.EofChar = 0x1A;
    initial.EvtChar = 0x0D;
    scripted::SetInitialDcb(initial);

    // High bytes of the 16-bit words are dropped; no range is checked.
    const zev::LineSettings settings{57600, 0x0107, 1, 0};
    sys::Handle h = Open("COM2", 0x0303, settings);
    const sys::Dcb &d = scripted::PortOf(h).dcb;
    EXPECT_EQ(d.DCBlength, sys::kDcbLength);
    EXPECT_EQ(d.BaudRate, 57600u);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.StopBits, sys::kOne5StopBits);
    EXPECT_EQ(d.Parity, sys::kNoParity);
    EXPECT_EQ(d.fBinary, 1u);
    EXPECT_EQ(d.fParity, 1u) << "parity checking is on even without parity";
    for (uint32_t f : {d.fOutxCtsFlow, d.fOutxDsrFlow, d.fDsrSensitivity, d.fOutX, d.fInX, d.fErrorChar,
                       d.fNull, d.fAbortOnError}) {
        EXPECT_EQ(f, 0u);
    }
    EXPECT_EQ(static_cast<uint8_t>(d.ErrorChar), 0xFC);
    EXPECT_EQ(d.fTXContinueOnXoff, 1u);
    EXPECT_EQ(d.XonLim, 2048);
    EXPECT_EQ(d.XoffLim, 512);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x13);
    EXPECT_EQ(d.EofChar, 0x1A);
    EXPECT_EQ(d.EvtChar, 0x0D);

    const sys::CommTimeouts &t = scripted::PortOf(h).timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(scripted::PortOf(h).inQueue, 1200u);
    EXPECT_EQ(scripted::PortOf(h).outQueue, 1200u);
}

struct MaskCase {
    uint16_t wMask;
    uint32_t dtr;
    uint32_t rts;
};

TEST_F(QobCom, TheMaskSetsDtrAndRtsByTheFirstMatchingRow) {
    const MaskCase cases[] = {
        {0x0303, 1, 1}, {0x0101, 1, 0}, {0x0202, 0, 1}, {0x0001, 1, 0}, {0x0200, 0, 1},
        {0x0000, 0, 0}, {0x8000, 2, 0}, {0x8100, 1, 0}, {0x1000, 0, 2}, {0x3000, 0, 2},
        {0x2000, 0, 3}, {0x2002, 0, 1}, {0xB000, 2, 2}, {0xA000, 2, 3},
    };
    for (const MaskCase &c : cases) {
        SCOPED_TRACE(c.wMask);
        scripted::Reset();
        sys::Handle h = Open("COM3", c.wMask);
        EXPECT_EQ(scripted::PortOf(h).dcb.fDtrControl, c.dtr);
        EXPECT_EQ(scripted::PortOf(h).dcb.fRtsControl, c.rts);
    }
}

struct TimeoutCase {
    uint32_t dwCurrentMs;
    int32_t iArgument;
    int32_t iResult;
    int64_t llWrittenMs;  // -1: nothing written
};

TEST_F(QobCom, SetReadTimeoutWritesOnlyAChangeAndReportsTheOldValueIn10msUnits) {
    const TimeoutCase cases[] = {
        {1000, 100, 100, -1}, {1005, 100, 100, 1000},   {5, 20, 0, 200},
        {0, 0, 0, -1},        {1000, 0, 100, 0},        {999, 50, 99, 500},
        {200, -1, 0, -1},     {200, 0x7FFFFFFF, 0, -1}, {200, 429496729, 20, 4294967290},
    };
    for (const TimeoutCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.dwCurrentMs << " ms, argument " << c.iArgument);
        scripted::Reset();
        sys::Handle h = Open();
        SetReadTimeoutMs(h, c.dwCurrentMs);
        const size_t before = scripted::EventsOf(Kind::SetTimeouts).size();
        EXPECT_EQ(zev::QobComSetReadTimeout(h, c.iArgument), c.iResult);
        const auto writes = scripted::EventsOf(Kind::SetTimeouts);
        if (c.llWrittenMs < 0) {
            EXPECT_EQ(writes.size(), before);
        } else {
            ASSERT_EQ(writes.size(), before + 1);
            EXPECT_EQ(writes.back().value, c.llWrittenMs);
        }
    }
}

TEST_F(QobCom, SetReadTimeoutKeepsTheOtherTimeOutsAndFailsAsZero) {
    sys::Handle h = Open();
    scripted::PortOf(h).timeouts = {7, 8, 1000, 9, 11};
    EXPECT_EQ(zev::QobComSetReadTimeout(h, 30), 100);
    const sys::CommTimeouts &t = scripted::PortOf(h).timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, 7u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 8u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 300u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 9u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 11u);

    scripted::Fail(Call::GetCommTimeouts);
    EXPECT_EQ(zev::QobComSetReadTimeout(h, 50), 0);
    scripted::Fail(Call::SetCommTimeouts);
    EXPECT_EQ(zev::QobComSetReadTimeout(h, 50), 0);
    EXPECT_EQ(scripted::PortOf(h).timeouts.ReadTotalTimeoutConstant, 300u);
}

std::vector<int64_t> ReadSizes() {
    std::vector<int64_t> sizes;
    for (const scripted::Event &e : scripted::EventsOf(Kind::Read)) {
        EXPECT_EQ(e.value, 512);
        sizes.push_back(static_cast<int64_t>(e.bytes.size()));
    }
    return sizes;
}

TEST_F(QobCom, FlushReadsInBlocksOf512At50msThenRestoresTheTimeOut) {
    sys::Handle h = Open();
    SetReadTimeoutMs(h, 300);
    scripted::Feed(scripted::Bytes(1500, 0x55));
    EXPECT_EQ(zev::QobComFlushInput(h), zev::kQobOk);
    EXPECT_EQ(ReadSizes(), (std::vector<int64_t>{512, 512, 476}));
    EXPECT_EQ(scripted::Pending(), 0u);
    const auto writes = scripted::EventsOf(Kind::SetTimeouts);
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[writes.size() - 2].value, 50);
    EXPECT_EQ(writes.back().value, 300);
    EXPECT_EQ(scripted::PortOf(h).timeouts.ReadTotalTimeoutConstant, 300u);

    // Exactly 1024 waiting: the third read comes back empty and ends it.
    scripted::Feed(scripted::Bytes(1024, 0x55));
    scripted::Reset();
    h = Open();
    scripted::Feed(scripted::Bytes(1024, 0xAA));
    EXPECT_EQ(zev::QobComFlushInput(h), zev::kQobOk);
    EXPECT_EQ(ReadSizes(), (std::vector<int64_t>{512, 512, 0}));
}

TEST_F(QobCom, FlushOfABabblingLineEndsAfterItsBound) {
    sys::Handle h = Open();
    SetReadTimeoutMs(h, 300);
    scripted::Babble(64, 2, 2000);  // every 512-byte read fills in 16 ms
    bool bBounded = false;
    EXPECT_EQ(zev::QobComFlushInput(h, &bBounded), zev::kQobOk);
    EXPECT_TRUE(bBounded);
    // Full reads end at 14, 30, ... 110 ms: the first to end past 100 ms is the last.
    EXPECT_EQ(ReadSizes(), (std::vector<int64_t>(7, 512)));
    EXPECT_EQ(scripted::NowNs(), 110 * 1000000);
    const auto writes = scripted::EventsOf(Kind::SetTimeouts);
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[writes.size() - 2].value, 50);
    EXPECT_EQ(writes.back().value, 300);

    // A quiet line is not bounded.
    scripted::Reset();
    h = Open();
    scripted::Feed(scripted::Bytes(600, 0x55));
    EXPECT_EQ(zev::QobComFlushInput(h, &bBounded), zev::kQobOk);
    EXPECT_FALSE(bBounded);
}

TEST_F(QobCom, FlushOfAnEmptyQueueReadsNothing) {
    sys::Handle h = Open();
    const size_t before = scripted::EventsOf(Kind::SetTimeouts).size();
    EXPECT_EQ(zev::QobComFlushInput(h), zev::kQobOk);
    EXPECT_EQ(scripted::CallCount(Call::ReadFile), 0);
    EXPECT_EQ(scripted::EventsOf(Kind::SetTimeouts).size(), before);
}

TEST_F(QobCom, FlushBelow10msLeavesThePortAt50ms) {
    sys::Handle h = Open();
    SetReadTimeoutMs(h, 5);
    scripted::Feed(scripted::Bytes(10, 0x55));
    EXPECT_EQ(zev::QobComFlushInput(h), zev::kQobOk);
    EXPECT_EQ(scripted::PortOf(h).timeouts.ReadTotalTimeoutConstant, 50u);
}

struct FlushFailure {
    int iStatusResult;  // -1: status call works
    int iReadResult;    // -1: reads work
    uint16_t wCode;
    int iReads;
};

TEST_F(QobCom, FlushResultIsThatOfTheLastCallAndTheTimeOutIsRestoredAnyway) {
    const FlushFailure cases[] = {
        {0, -1, zev::kQobOk, 1},          // status failed, the read then worked
        {2, -1, zev::kQobOk, 1},          // only exactly 1 is success
        {0, 0, zev::kQobOpenFailed, 1},   // both failed
        {-1, 0, zev::kQobOpenFailed, 1},  // bytes waiting, the read failed
        {-1, 2, zev::kQobOpenFailed, 1},  // a read that returns 2 failed too
    };
    for (const FlushFailure &c : cases) {
        SCOPED_TRACE(testing::Message() << c.iStatusResult << " " << c.iReadResult);
        scripted::Reset();
        sys::Handle h = Open();
        SetReadTimeoutMs(h, 700);
        scripted::Feed(scripted::Bytes(100, 0x55));
        if (c.iStatusResult >= 0) scripted::Fail(Call::ClearCommError, 1, c.iStatusResult);
        if (c.iReadResult >= 0) scripted::Fail(Call::ReadFile, 1, c.iReadResult);
        EXPECT_EQ(zev::QobComFlushInput(h), c.wCode);
        EXPECT_EQ(scripted::CallCount(Call::ReadFile), c.iReads);
        EXPECT_EQ(scripted::PortOf(h).timeouts.ReadTotalTimeoutConstant, 700u);
    }
}

TEST_F(QobCom, WriteReportsShortAndFailedWrites) {
    sys::Handle h = Open();
    const uint8_t frame[6] = {0x10, 0x01, 0x5B, 0x5C, 0x16, 0x00};
    uint32_t written = 77;
    EXPECT_EQ(zev::QobComWrite(h, frame, 6, &written), zev::kQobOk);
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(zev::QobComWrite(h, frame, 6, nullptr), zev::kQobOk);

    scripted::ShortWrite(4);
    EXPECT_EQ(zev::QobComWrite(h, frame, 6, &written), zev::kQobShortWrite);
    EXPECT_EQ(written, 4u);

    written = 77;
    scripted::Fail(Call::WriteFile);
    EXPECT_EQ(zev::QobComWrite(h, frame, 6, &written), zev::kQobSysFailed);
    EXPECT_EQ(written, 77u) << "a failed write leaves the count alone";
}

TEST_F(QobCom, ReadDeliversShortRepliesAndFailsOnNothing) {
    sys::Handle h = Open();
    SetReadTimeoutMs(h, 300);
    uint8_t buf[8] = {};
    uint32_t got = 99;

    scripted::Feed({0x68, 0x02, 0x02, 0x68, 0x00, 0x16}, 20);
    int64_t t0 = scripted::NowNs();
    EXPECT_EQ(zev::QobComRead(h, buf, 6, &got), zev::kQobOk);
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(scripted::NowNs() - t0, 20 * 1000000) << "returns with the last byte";

    scripted::Feed({0x10, 0x00, 0x00, 0x16});
    t0 = scripted::NowNs();
    EXPECT_EQ(zev::QobComRead(h, buf, 6, &got), zev::kQobOk);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(scripted::NowNs() - t0, 300 * 1000000) << "one request, waited out";
    EXPECT_EQ(scripted::CallCount(Call::ReadFile), 2);

    got = 99;
    EXPECT_EQ(zev::QobComRead(h, buf, 6, &got), zev::kQobSysFailed);
    EXPECT_EQ(got, 0u);

    got = 99;
    scripted::Feed({0x16});
    scripted::Fail(Call::ReadFile);
    EXPECT_EQ(zev::QobComRead(h, buf, 6, &got), zev::kQobSysFailed);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(zev::QobComRead(h, buf, 6, nullptr), zev::kQobOk);
}

TEST_F(QobCom, CloseBreakAndSleep) {
    sys::Handle h = Open();
    EXPECT_EQ(zev::QobComSendBreak(25, h), zev::kQobOk);
    const auto &events = scripted::Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 3].kind, Kind::BreakOn);
    EXPECT_EQ(events[events.size() - 2].kind, Kind::Sleep);
    EXPECT_EQ(events[events.size() - 2].value, 25);
    EXPECT_EQ(events.back().kind, Kind::BreakOff);
    scripted::Fail(Call::SetCommBreak);
    scripted::Fail(Call::ClearCommBreak);
    EXPECT_EQ(zev::QobComSendBreak(1, h), zev::kQobOk);

    const int64_t t0 = scripted::NowNs();
    EXPECT_EQ(zev::QobComSleep(40), zev::kQobOk);
    EXPECT_EQ(scripted::NowNs() - t0, 40 * 1000000);

    scripted::Fail(Call::CloseHandle);
    EXPECT_EQ(zev::QobComClose(h), zev::kQobSysFailed);
    EXPECT_EQ(zev::QobComClose(h), zev::kQobOk);
    EXPECT_EQ(zev::QobComClose(h), zev::kQobSysFailed);
}

}  // namespace
