// The device vanishes under a running instance (the pty's far end closed, as
// a USB adapter unplugged hangs up its tty): the call fails within the reply
// time-out, later calls fail at once and say why, and ReOpenCom recovers
// once the device is back under the same name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "instance.h"
#include "line/fake_controller.h"
#include "line/pty.h"
#include "support/test_host.h"

namespace {

using reltest::Instance;
using reltest::NowMs;

constexpr uint8_t kPlc = 5;
constexpr int32_t kTimeout10ms = 50;  // 500 ms
constexpr int64_t kAtOnceMs = 50;
constexpr const char *kLink = "./line";

bool LoggedLost() {
    for (const testhost::LogLine &line : testhost::Log())
        if (line.iCategory == ZEV_LOG_ALERT &&
            line.text.find("lost: the device is gone") != std::string::npos)
            return true;
    return false;
}

void ExpectReadOf(Instance *pInstance, ptytest::Pty *pPty, uint16_t m) {
    fakeplc::Controller plc(pPty, kPlc);
    plc.SetWord(7, reltest::WordOf(m));
    float f = 0;
    EXPECT_EQ(reltest::ReadWord(pInstance, kPlc, 7, &f), 0u) << testhost::Dump();
    EXPECT_FLOAT_EQ(f, 0.025f * m);
}

class LostPort : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        testhost::Reset();
        iDescriptors = reltest::OpenDescriptors();
        ASSERT_TRUE(reltest::EnterScratchDir(&dir));
    }
    void TearDown() override {
        reltest::Call(&instance, ZEV_END_ZEV);
        ptytest::PtyClose(&first);
        ptytest::PtyClose(&second);
        reltest::LeaveScratchDir(&dir);
        testhost::Reset();
        EXPECT_EQ(reltest::OpenDescriptors(), iDescriptors);
    }

    reltest::ScratchDir dir{};
    int iDescriptors = 0;
    ptytest::Pty first{-1, -1, {}, {}};
    ptytest::Pty second{-1, -1, {}, {}};
    Instance instance{};
};

// true: the device goes while the driver waits for the reply; false: before
// the request is sent.
TEST_P(LostPort, FailsFastThenReOpenComRecovers) {
    const bool bDuringReply = GetParam();
    ASSERT_TRUE(ptytest::PtyOpen(&first, false));
    ASSERT_EQ(symlink(first.szPath, kLink), 0);
    ASSERT_EQ(reltest::ColdStartOn(&instance, kLink, kTimeout10ms), 0u);
    ExpectReadOf(&instance, &first, 100);

    std::thread farEnd;
    if (bDuringReply) {
        farEnd = std::thread([this] {
            uint8_t request[14];
            ptytest::PtyRead(&first, request, sizeof request, 2000);
            ptytest::PtyCloseMaster(&first);
        });
    } else {
        ptytest::PtyCloseMaster(&first);
    }
    float f = 0;
    int64_t llStart = NowMs();
    EXPECT_EQ(reltest::ReadWord(&instance, kPlc, 7, &f), 2u);
    EXPECT_LT(NowMs() - llStart, kTimeout10ms * 10);
    if (farEnd.joinable()) farEnd.join();
    EXPECT_TRUE(LoggedLost()) << testhost::Dump();

    // From now on every call fails at once and says so.
    for (uint32_t iFunction : {ZEV_SINGLE_READ, ZEV_SINGLE_WRITE}) {
        testhost::Reset();
        llStart = NowMs();
        const uint32_t rc = iFunction == ZEV_SINGLE_READ ? reltest::ReadWord(&instance, kPlc, 7, &f)
                                                         : reltest::WriteWord(&instance, kPlc, 7, 1.0f);
        EXPECT_EQ(rc, 2u) << iFunction;
        EXPECT_LT(NowMs() - llStart, kAtOnceMs) << iFunction;
        EXPECT_TRUE(LoggedLost()) << testhost::Dump();
    }

    // The name leads nowhere: ReOpenCom fails and keeps the instance as it was.
    llStart = NowMs();
    EXPECT_EQ(reltest::Call(&instance, ZEV_REOPEN_COM), 2u);
    EXPECT_LT(NowMs() - llStart, kAtOnceMs);

    // The device is back under the same name.
    ASSERT_TRUE(ptytest::PtyOpen(&second, false));
    ASSERT_EQ(unlink(kLink), 0);
    ASSERT_EQ(symlink(second.szPath, kLink), 0);
    EXPECT_EQ(reltest::Call(&instance, ZEV_REOPEN_COM), 0u) << testhost::Dump();
    ExpectReadOf(&instance, &second, 200);
}

INSTANTIATE_TEST_SUITE_P(Moments, LostPort, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "DuringTheReply" : "BeforeTheRequest";
                         });

}  // namespace
