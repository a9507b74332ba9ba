// Many instances at once, each on its own line and thread, and long runs of
// close/reopen and install/end cycles: no value from another line, no
// descriptor or heap left behind.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "base/context.h"
#include "driver/lifecycle.h"
#include "instance.h"
#include "line/fake_controller.h"
#include "line/pty.h"
#include "support/test_host.h"

namespace {

using reltest::Instance;

constexpr uint8_t kPlc = 5;  // the same on every line: only the values tell the lines apart
constexpr int kLines = 8;
constexpr int kReadsPerLine = 300;
constexpr int kElements = 32;

// Line i's element e holds i x 100 + e.
uint16_t MantissaOf(int iLine, int iElement) { return static_cast<uint16_t>(iLine * 100 + iElement); }

struct Line {
    ptytest::Pty pty{-1, -1, {}, {}};
    std::unique_ptr<fakeplc::Controller> plc;
    Instance instance{};
    int iFailures = 0;
    int iForeign = 0;  // values that are not this line's
};

class Instances : public ::testing::Test {
protected:
    void SetUp() override {
        testhost::Reset();
        ASSERT_TRUE(reltest::EnterScratchDir(&dir));
    }
    void TearDown() override {
        reltest::LeaveScratchDir(&dir);
        testhost::Reset();
    }
    reltest::ScratchDir dir{};
};

TEST_F(Instances, EightLinesAtOnceKeepTheirOwnValues) {
    std::array<Line, kLines> lines;
    for (int i = 0; i < kLines; ++i) {
        Line &line = lines[i];
        ASSERT_TRUE(ptytest::PtyOpen(&line.pty)) << errno;
        line.plc = std::make_unique<fakeplc::Controller>(&line.pty, kPlc);
        for (int e = 0; e < kElements; ++e)
            line.plc->SetWord(static_cast<uint8_t>(e), reltest::WordOf(MantissaOf(i, e)));
        ASSERT_EQ(reltest::ColdStartOn(&line.instance, line.pty.szName, 100), 0u) << testhost::Dump();
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kLines; ++i) {
        threads.emplace_back([&lines, i] {
            Line &line = lines[i];
            for (int k = 0; k < kReadsPerLine; ++k) {
                const int e = (k * 7 + i) % kElements;
                float f = 0;
                if (reltest::ReadWord(&line.instance, kPlc, static_cast<uint8_t>(e), &f) != 0) {
                    ++line.iFailures;
                } else if (f != reltest::ValueOf(MantissaOf(i, e))) {
                    ++line.iForeign;
                }
            }
        });
    }
    for (std::thread &t : threads) t.join();
    int iFailures = 0;
    int iForeign = 0;
    for (Line &line : lines) {
        iFailures += line.iFailures;
        iForeign += line.iForeign;
        // Each instance ends itself (past ZevMain, which the first EndZev shuts).
        EXPECT_EQ(zev::EndZev(&line.instance.request), 0u);
        line.plc.reset();
        ptytest::PtyClose(&line.pty);
    }
    std::printf("%d lines x %d reads: %d failed, %d values of another line\n", kLines, kReadsPerLine,
                iFailures, iForeign);
    EXPECT_EQ(iFailures, 0) << testhost::Dump();
    EXPECT_EQ(iForeign, 0);
}

// Descriptors and heap in use are compared with what a few warm-up cycles
// leave, so the first use of every path is not counted. The heap may differ
// by what the controller thread has in hand at that moment; a leak of the two
// frame buffers per cycle would be tens of kilobytes.
constexpr int kWarmUp = 5;
constexpr size_t kHeapSlack = 4096;

TEST_F(Instances, CloseComReOpenComCyclesLeaveNothingOpen) {
    ptytest::Pty pty{};
    ASSERT_TRUE(ptytest::PtyOpen(&pty)) << errno;
    fakeplc::Controller plc(&pty, kPlc);
    plc.SetWord(3, reltest::WordOf(42));
    Instance instance{};
    ASSERT_EQ(reltest::ColdStartOn(&instance, pty.szName, 100), 0u);
    int iDescriptors = 0;
    size_t heap = 0;
    int iFailures = 0;
    for (int k = 0; k < 300 + kWarmUp; ++k) {
        iFailures += reltest::Call(&instance, ZEV_CLOSE_COM) != 0;
        iFailures += reltest::Call(&instance, ZEV_REOPEN_COM) != 0;
        if (k % 50 == 0) {
            float f = 0;
            iFailures += reltest::ReadWord(&instance, kPlc, 3, &f) != 0 || f != reltest::ValueOf(42);
        }
        testhost::Reset();
        if (k == kWarmUp) {
            iDescriptors = reltest::OpenDescriptors();
            heap = reltest::HeapInUse();
        }
    }
    EXPECT_EQ(iFailures, 0);
    EXPECT_EQ(reltest::OpenDescriptors(), iDescriptors);
    EXPECT_LE(reltest::HeapInUse(), heap + kHeapSlack);
    reltest::Call(&instance, ZEV_END_ZEV);
}

TEST_F(Instances, ColdStartEndZevCyclesLeaveNothingOpen) {
    ptytest::Pty pty{};
    ASSERT_TRUE(ptytest::PtyOpen(&pty)) << errno;
    int iDescriptors = 0;
    size_t heap = 0;
    int iFailures = 0;
    for (int k = 0; k < 100 + kWarmUp; ++k) {
        Instance instance{};
        iFailures += reltest::ColdStartOn(&instance, pty.szName, 100) != 0;
        iFailures += reinterpret_cast<zev::DriverContext *>(instance.block.data())->pSendBuf == nullptr;
        iFailures += reltest::Call(&instance, ZEV_END_ZEV) != 0;
        testhost::Reset();  // the module loaded anew: EndZev ended it
        if (k == kWarmUp) {
            iDescriptors = reltest::OpenDescriptors();
            heap = reltest::HeapInUse();
        }
    }
    EXPECT_EQ(iFailures, 0);
    EXPECT_EQ(reltest::OpenDescriptors(), iDescriptors);
    EXPECT_LE(reltest::HeapInUse(), heap + kHeapSlack);
    ptytest::PtyClose(&pty);
}

}  // namespace
