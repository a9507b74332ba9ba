// The serial access layer with the posix system on real pseudo-terminals:
// what the device shows after an open, exclusive use, read timing, and a
// line that vanishes under a read.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "line/pty.h"
#include "line/qobcom.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

class QobComLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ptytest::PtyOpen(&pty)) << errno; }
    void TearDown() override {
        if (hCom != 0 && hCom != sys::kInvalidHandle) zev::QobComClose(hCom);
        ptytest::PtyClose(&pty);
    }
    // Opens the slave at 9600 8N1 with DTR and RTS on, read time-out iTimeout10ms.
    void OpenPort(int32_t iTimeout10ms) {
        const zev::LineSettings settings{9600, 8, 0, 0};
        ASSERT_EQ(zev::QobComOpen(pty.szName, &settings, 0x0303, &hCom), zev::kQobOk);
        zev::QobComSetReadTimeout(hCom, iTimeout10ms);
    }

    ptytest::Pty pty{};
    sys::Handle hCom = 0;
};

// Recent kernels keep a pseudo-terminal at 8 bits without parity enable
// whatever is asked; the rest of the word format they keep.
bool PtyKeepsCharacterFormat(int fd) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    termios2 probe = tio;
    probe.c_cflag = (probe.c_cflag & ~tcflag_t{CSIZE}) | CS7 | PARENB;
    if (ioctl(fd, TCSETS2, &probe) != 0 || ioctl(fd, TCGETS2, &probe) != 0) return false;
    ioctl(fd, TCSETS2, &tio);
    return (probe.c_cflag & (CSIZE | PARENB)) == (CS7 | PARENB);
}

struct DeviceCase {
    zev::LineSettings settings;
    speed_t rate;
    tcflag_t size;
    tcflag_t parity;  // PARENB | PARODD | CMSPAR as expected
    bool bStopb;
};

TEST_F(QobComLine, OpenShowsTheSettingsOnTheDeviceInRawMode) {
    const DeviceCase cases[] = {
        {{9600, 8, 0, 0}, 9600, CS8, 0, false},
        {{19200, 7, 2, 2}, 19200, CS7, PARENB, true},
        {{1200, 8, 0, 1}, 1200, CS8, PARENB | PARODD, false},
        {{57600, 8, 0, 3}, 57600, CS8, PARENB | PARODD | CMSPAR, false},
        {{4800, 7, 0, 4}, 4800, CS7, PARENB | CMSPAR, false},
        {{12345, 8, 2, 0}, 12345, CS8, 0, true},
        {{300, 5, 1, 2}, 300, CS5, PARENB, true},
        {{9600, 8, 1, 0}, 9600, CS8, 0, true},
        {{2400, 5, 2, 0}, 2400, CS5, 0, true},
    };
    const bool bFormat = PtyKeepsCharacterFormat(pty.iSlave);
    const tcflag_t kParityBits = bFormat ? PARENB | PARODD | CMSPAR : PARODD | CMSPAR;
    for (const DeviceCase &c : cases) {
        SCOPED_TRACE(c.settings.wBaud);
        sys::Handle h = 0;
        ASSERT_EQ(zev::QobComOpen(pty.szName, &c.settings, 0x0303, &h), zev::kQobOk);
        termios2 tio{};
        ASSERT_EQ(ioctl(pty.iSlave, TCGETS2, &tio), 0);
        EXPECT_EQ(tio.c_ospeed, c.rate);
        if (bFormat) {
            EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
        }
        EXPECT_EQ(tio.c_cflag & kParityBits, c.parity & kParityBits);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.bStopb);
        EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), tcflag_t{CREAD | CLOCAL});
        EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK), 0u);
        EXPECT_NE(tio.c_iflag & INPCK, 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(zev::QobComClose(h), zev::kQobOk);
    }
}

TEST_F(QobComLine, RateZeroIsRefusedAndTheLineStaysUp) {
    const zev::LineSettings settings{0, 8, 0, 0};
    sys::Handle h = 0;
    EXPECT_EQ(zev::QobComOpen(pty.szName, &settings, 0x0303, &h), zev::kQobSetState);
    OpenPort(10);  // closed on the failing path, so it opens again
    ASSERT_TRUE(ptytest::PtyWrite(&pty, "ok", 2));
    char buf[2];
    uint32_t got = 0;
    EXPECT_EQ(zev::QobComRead(hCom, buf, 2, &got), zev::kQobOk);
    EXPECT_EQ(got, 2u);
}

TEST_F(QobComLine, ASecondOpenOfAnOpenPortFailsUntilItIsClosed) {
    // The tests may run as root, for whom TIOCEXCL alone does not hold.
    OpenPort(10);
    const zev::LineSettings settings{9600, 8, 0, 0};
    sys::Handle h2 = 0;
    EXPECT_EQ(zev::QobComOpen(pty.szName, &settings, 0x0303, &h2), zev::kQobOpenFailed);
    EXPECT_EQ(h2, sys::kInvalidHandle);
    ASSERT_EQ(zev::QobComClose(hCom), zev::kQobOk);
    hCom = 0;
    ASSERT_EQ(zev::QobComOpen(pty.szName, &settings, 0x0303, &hCom), zev::kQobOk);
    EXPECT_NE(hCom, 0u);
}

TEST_F(QobComLine, ReadReturnsWhenTheCountIsCompleteElseAtTheTimeOut) {
    OpenPort(60);  // 600 ms
    ASSERT_TRUE(ptytest::PtyWrite(&pty, "\x68\x03\x03\x68\x00", 5));
    std::thread last([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ptytest::PtyWrite(&pty, "\x16", 1);
    });
    uint8_t buf[6] = {};
    uint32_t got = 0;
    auto t0 = Clock::now();
    EXPECT_EQ(zev::QobComRead(hCom, buf, 6, &got), zev::kQobOk);
    int64_t ms = MsSince(t0);
    last.join();
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(buf[5], 0x16);
    EXPECT_GE(ms, 80);
    EXPECT_LT(ms, 450) << "the read waited for the time-out";

    ASSERT_TRUE(ptytest::PtyWrite(&pty, "\x10\x00\x00\x16", 4));
    t0 = Clock::now();
    EXPECT_EQ(zev::QobComRead(hCom, buf, 6, &got), zev::kQobOk);
    ms = MsSince(t0);
    EXPECT_EQ(got, 4u);
    EXPECT_GE(ms, 590);
    EXPECT_LT(ms, 3000);

    t0 = Clock::now();
    EXPECT_EQ(zev::QobComRead(hCom, buf, 6, &got), zev::kQobSysFailed);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(MsSince(t0), 590);
}

TEST_F(QobComLine, ClosingTheFarEndFailsAPendingReadAtOnce) {
    OpenPort(500);  // 5 s
    std::thread hangUp([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ptytest::PtyCloseMaster(&pty);
    });
    uint8_t buf[6];
    uint32_t got = 99;
    auto t0 = Clock::now();
    EXPECT_EQ(zev::QobComRead(hCom, buf, 6, &got), zev::kQobSysFailed);
    int64_t ms = MsSince(t0);
    hangUp.join();
    EXPECT_EQ(got, 0u);
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(zev::QobComWrite(hCom, "\x10\x01\x16", 3, nullptr), zev::kQobSysFailed);
}

TEST_F(QobComLine, FlushDiscardsEverythingWaitingAndRestoresTheTimeOut) {
    OpenPort(20);
    std::string noise(1500, '\x55');
    ASSERT_TRUE(ptytest::PtyWrite(&pty, noise.data(), noise.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(zev::QobComFlushInput(hCom), zev::kQobOk);
    sys::CommTimeouts timeouts{};
    ASSERT_TRUE(sys::GetCommTimeouts(hCom, &timeouts));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 200u);
    uint8_t buf[1];
    uint32_t got = 0;
    EXPECT_EQ(zev::QobComRead(hCom, buf, 1, &got), zev::kQobSysFailed);
}

TEST_F(QobComLine, WrittenBytesReachTheFarEndUnchanged) {
    OpenPort(10);
    const uint8_t frame[] = {0xA2, 0x0A, 0x0D, 0x11, 0x13, 0x00, 0xFF, 0x16};
    uint32_t written = 0;
    EXPECT_EQ(zev::QobComWrite(hCom, frame, sizeof frame, &written), zev::kQobOk);
    EXPECT_EQ(written, sizeof frame);
    uint8_t back[sizeof frame] = {};
    ASSERT_EQ(ptytest::PtyRead(&pty, back, sizeof back, 1000), sizeof frame);
    EXPECT_EQ(0, memcmp(frame, back, sizeof frame));
}

TEST(QobComNames, DevicesPathsAndTheNullDevice) {
    const zev::LineSettings settings{9600, 8, 0, 0};
    sys::Handle h = 0;
    EXPECT_EQ(zev::QobComOpen("ttyNOSUCH9", &settings, 0x0303, &h), zev::kQobOpenFailed);
    EXPECT_EQ(zev::QobComOpen("/dev/nonexistent-port", &settings, 0x0303, &h), zev::kQobOpenFailed);
    // "nul" is the null device too, but only "NUL" skips the settings: the
    // null device cannot report them, and is closed.
    EXPECT_EQ(zev::QobComOpen("nul", &settings, 0x0303, &h), zev::kQobGetState);
    EXPECT_EQ(zev::QobComClose(h), zev::kQobSysFailed);

    ASSERT_EQ(zev::QobComOpen("NUL", &settings, 0x0303, &h), zev::kQobOk);
    EXPECT_NE(h, 0u);
    uint32_t written = 0;
    EXPECT_EQ(zev::QobComWrite(h, "abc", 3, &written), zev::kQobOk);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(zev::QobComClose(h), zev::kQobOk);
    EXPECT_EQ(zev::QobComClose(h), zev::kQobSysFailed) << "a closed handle stays closed";

    // A file is no terminal: its settings cannot be read, and it is closed.
    char szPath[] = "/tmp/qobcom-fileXXXXXX";
    int fd = mkstemp(szPath);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(zev::QobComOpen(szPath, &settings, 0x0303, &h), zev::kQobGetState);
    EXPECT_EQ(sys::CloseHandle(h), 0) << "the failing open left its handle open";
    unlink(szPath);
}

}  // namespace

namespace {

// The posix system beneath the layer: what the driver relies on that the
// access-layer tests above do not reach.
TEST(PosixSystem, HandlesAreNeverZeroAndAClosedHandleStaysDead) {
    ptytest::Pty pty{};
    ASSERT_TRUE(ptytest::PtyOpen(&pty));
    const zev::LineSettings settings{9600, 8, 0, 0};
    sys::Handle hFirst = 0;
    ASSERT_EQ(zev::QobComOpen(pty.szName, &settings, 0x0303, &hFirst), zev::kQobOk);
    ASSERT_EQ(zev::QobComClose(hFirst), zev::kQobOk);
    // Enough opens to come round to the first handle's slot again.
    for (int i = 0; i < 200; ++i) {
        sys::Handle h = 0;
        ASSERT_EQ(zev::QobComOpen(pty.szName, &settings, 0x0303, &h), zev::kQobOk);
        EXPECT_NE(h, 0u);
        EXPECT_NE(h, hFirst);
        sys::CommTimeouts t{};
        EXPECT_EQ(sys::GetCommTimeouts(hFirst, &t), 0);
        ASSERT_EQ(zev::QobComClose(h), zev::kQobOk);
    }
    ptytest::PtyClose(&pty);
}

TEST(PosixSystem, WordFormatsTheLineCannotTakeAreRefused) {
    ptytest::Pty pty{};
    ASSERT_TRUE(ptytest::PtyOpen(&pty));
    const zev::LineSettings refused[] = {
        {9600, 9, 0, 0},
        {9600, 4, 0, 0},
        {9600, 8, 3, 0},
        {9600, 8, 0, 5},
    };
    for (const zev::LineSettings &s : refused) {
        SCOPED_TRACE(testing::Message() << s.wDataBits << " " << s.wStopBits << " " << s.wParity);
        sys::Handle h = 0;
        EXPECT_EQ(zev::QobComOpen(pty.szName, &s, 0x0303, &h), zev::kQobSetState);
    }
    ptytest::PtyClose(&pty);
}

TEST(PosixSystem, InstancesOnDifferentThreadsKeepTheirOwnTimeOuts) {
    constexpr int kPorts = 4;
    ptytest::Pty ptys[kPorts];
    sys::Handle handles[kPorts] = {};
    const zev::LineSettings settings{19200, 8, 0, 0};
    for (int i = 0; i < kPorts; ++i) {
        ASSERT_TRUE(ptytest::PtyOpen(&ptys[i]));
        ASSERT_EQ(zev::QobComOpen(ptys[i].szName, &settings, 0x0303, &handles[i]), zev::kQobOk);
        zev::QobComSetReadTimeout(handles[i], 10 + 10 * i);
    }
    int64_t elapsed[kPorts] = {};
    uint16_t codes[kPorts] = {};
    std::thread threads[kPorts];
    for (int i = 0; i < kPorts; ++i) {
        threads[i] = std::thread([&, i] {
            uint8_t buf[4];
            auto t0 = Clock::now();
            codes[i] = zev::QobComRead(handles[i], buf, sizeof buf, nullptr);
            elapsed[i] = MsSince(t0);
        });
    }
    for (std::thread &t : threads) t.join();
    for (int i = 0; i < kPorts; ++i) {
        EXPECT_EQ(codes[i], zev::kQobSysFailed);
        EXPECT_GE(elapsed[i], 100 + 100 * i - 10) << i;
        EXPECT_LT(elapsed[i], 100 + 100 * i + 1500) << i;
        zev::QobComClose(handles[i]);
        ptytest::PtyClose(&ptys[i]);
    }
}

TEST(PosixSystem, ClockCounterSleepAndPriority) {
    int64_t llFrequency = 0;
    ASSERT_EQ(sys::QueryPerformanceFrequency(&llFrequency), 1);
    EXPECT_EQ(llFrequency, 1000000000);
    int64_t c0 = 0;
    int64_t c1 = 0;
    const int64_t ms0 = sys::ClockMs();
    ASSERT_EQ(sys::QueryPerformanceCounter(&c0), 1);
    sys::Sleep(20);
    ASSERT_EQ(sys::QueryPerformanceCounter(&c1), 1);
    EXPECT_GE(c1 - c0, 20 * 1000000);
    EXPECT_GE(sys::ClockMs() - ms0, 20);

    // Raised where the process may, refused where it may not; back either way.
    EXPECT_EQ(sys::GetThreadPriority(), 0);
    if (sys::SetThreadPriority(sys::kThreadPriorityTimeCritical) == 1) {
        EXPECT_EQ(sys::GetThreadPriority(), sys::kThreadPriorityTimeCritical);
    } else {
        EXPECT_EQ(sys::GetThreadPriority(), 0);
    }
    EXPECT_EQ(sys::SetThreadPriority(0), 1);
    EXPECT_EQ(sys::GetThreadPriority(), 0);
}

TEST(PosixSystem, QueueCountAndTheNullDevice) {
    ptytest::Pty pty{};
    ASSERT_TRUE(ptytest::PtyOpen(&pty));
    const zev::LineSettings settings{9600, 8, 0, 0};
    sys::Handle h = 0;
    ASSERT_EQ(zev::QobComOpen(pty.szName, &settings, 0x0303, &h), zev::kQobOk);
    ASSERT_TRUE(ptytest::PtyWrite(&pty, "12345", 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sys::ComStat stat{};
    uint32_t errors = 1;
    ASSERT_EQ(sys::ClearCommError(h, &errors, &stat), 1);
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_EQ(errors, 0u);
    zev::QobComClose(h);
    ptytest::PtyClose(&pty);

    // The null device reads as empty at once and swallows writes.
    ASSERT_EQ(zev::QobComOpen("NUL", &settings, 0x0303, &h), zev::kQobOk);
    uint8_t buf[4];
    uint32_t got = 9;
    auto t0 = Clock::now();
    EXPECT_EQ(zev::QobComRead(h, buf, 4, &got), zev::kQobSysFailed);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(MsSince(t0), 500);
    zev::QobComClose(h);
}

}  // namespace
