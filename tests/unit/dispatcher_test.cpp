// ZevMain: the function table, the two dispatcher errors, the ended flag.
#include <gtest/gtest.h>

#include "base/ended.h"
#include "support/test_host.h"

namespace {

class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override { testhost::Reset(); }
    void TearDown() override { testhost::Reset(); }
};

struct BadNumber {
    uint32_t iFunction;
    const char *pszLine;
};

TEST_F(Dispatcher, RefusesNumbersOutsideTheTableAndEmptySlots) {
    const BadNumber cases[] = {
        {0, "ROVOD> ZevMain() Wrong function number -1"},
        {17, "ROVOD> ZevMain() Wrong function number 16"},
        {20, "ROVOD> ZevMain() Wrong function number 19"},
        {0xFFFFFFFFu, "ROVOD> ZevMain() Wrong function number -2"},
        {0x80000000u, "ROVOD> ZevMain() Wrong function number 2147483647"},
        {8, "ROVOD> ZevMain() Function 7 not supported in this ZEV"},
        {9, "ROVOD> ZevMain() Function 8 not supported in this ZEV"},
        {16, "ROVOD> ZevMain() Function 15 not supported in this ZEV"},
    };
    for (const BadNumber &c : cases) {
        testhost::Reset();
        ZevRequest request{};
        request.iFunction = c.iFunction;
        EXPECT_EQ(ZevMain(&request), 2u) << c.iFunction;
        ASSERT_EQ(testhost::Log().size(), 1u) << c.iFunction << testhost::Dump();
        EXPECT_EQ(testhost::Log()[0], (testhost::LogLine{ZEV_LOG_ALERT, c.pszLine}));
    }
}

TEST_F(Dispatcher, MissingRequestIsRefusedWithALine) {
    EXPECT_EQ(ZevMain(nullptr), 2u);
    EXPECT_EQ(testhost::Log(),
              (std::vector<testhost::LogLine>{{ZEV_LOG_ALERT, "ROVOD> ZevMain() no request record"}}));
}

TEST_F(Dispatcher, AfterTheEndEveryCallIsAnsweredWithZeroAndNothingElse) {
    zev::bEnded.store(1);
    for (uint32_t n : {0u, 1u, 3u, 5u, 8u, 14u, 17u, 0xFFFFFFFFu}) {
        ZevRequest request{};
        request.iFunction = n;
        EXPECT_EQ(ZevMain(&request), 0u) << n;
    }
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
}

}  // namespace
