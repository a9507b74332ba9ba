// Reply reception in both modes, and the bounds of the 128-byte buffer.
#include "line/receive.h"

#include "transaction_fixture.h"

namespace {

using transaction::Bytes;

class Receive : public transaction::TransactionTest {
protected:
    uint16_t Run(uint16_t wExpected, uint8_t bEnd) {
        context.wRecvLen = wExpected;
        return zev::Receive(&request, bEnd);
    }
    Bytes Received() const { return Bytes(recvBlock.begin(), recvBlock.begin() + context.wRecvLen); }
};

struct ReceiveCase {
    const char *pszName;
    uint16_t wExpected;  // 0: scan mode to 0x16
    Bytes line;          // bytes on the line, then silence
    uint16_t wResult;
    uint16_t wRecvLen;
    std::vector<std::string> lines;
    size_t leftOnLine;
};

TEST_F(Receive, FixedLengthAndScanMode) {
    const Bytes six = {0x10, 0x00, 0x05, 0x10, 0x15, 0x16};
    const ReceiveCase cases[] = {
        {"fixed, all of it", 6, six, 0, 6, {}, 0},
        {"fixed, short", 6, {1, 2, 3, 4}, 0, 4, {"ROVOD> Receive() Different reply length 4 (6)"}, 0},
        {"fixed, silence", 6, {}, 2, 6, {"ROVOD> Receive() Nothing replied"}, 0},
        {"fixed, more than asked", 6, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0, 6, {}, 4},
        {"fixed, the whole buffer", 128, Bytes(128, 0x16), 0, 128, {}, 0},
        {"scan, end first", 0, {0x16, 0x01}, 0, 1, {}, 1},
        {"scan, end third", 0, {0x01, 0x02, 0x16, 0x03}, 0, 3, {}, 1},
        {"scan, break-off", 0, {1, 2, 3, 4, 5}, 7, 5, {}, 0},
        {"scan, silence", 0, {}, 2, 0, {"ROVOD> Receive() Nothing replied"}, 0},
    };
    for (const ReceiveCase &c : cases) {
        SetUp();
        scripted::Feed(c.line);
        EXPECT_EQ(Run(c.wExpected, 0x16), c.wResult) << c.pszName;
        EXPECT_EQ(context.wRecvLen, c.wRecvLen) << c.pszName;
        EXPECT_EQ(testhost::LogTexts(), c.lines) << c.pszName;
        EXPECT_EQ(scripted::Pending(), c.leftOnLine) << c.pszName;
        if (c.wResult != 2) {
            EXPECT_EQ(Received(), Bytes(c.line.begin(), c.line.begin() + c.wRecvLen)) << c.pszName;
        }
    }
}

TEST_F(Receive, FixedLengthWaitsOneTimeOutForTheWholeReply) {
    scripted::Feed({1, 2, 3, 4});
    EXPECT_EQ(Run(6, 0x16), 0);
    const auto reads = scripted::EventsOf(scripted::Kind::Read);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].value, 6);
    EXPECT_EQ(scripted::NowNs(), 100 * 1000000);
}

TEST_F(Receive, FixedReadFailureIsNothingReplied) {
    scripted::Feed({1, 2, 3, 4, 5, 6});
    scripted::Fail(scripted::Call::ReadFile);
    EXPECT_EQ(Run(6, 0x16), 2);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> Receive() Nothing replied"}));
}

TEST_F(Receive, ExpectedLengthBeyondTheBufferIsRefusedWithoutReading) {
    scripted::Feed(Bytes(200, 0x55));
    for (uint16_t wExpected : {129, 200, 0xFFFF}) {
        testhost::Reset();
        EXPECT_NE(Run(wExpected, 0x16), 0) << wExpected;
        EXPECT_EQ(testhost::Log().size(), 1u) << testhost::Dump();
    }
    EXPECT_EQ(scripted::CallCount(scripted::Call::ReadFile), 0);
    EXPECT_TRUE(GuardIntact());
}

TEST_F(Receive, ScanStopsAtAFullBufferWithoutTheEndCharacter) {
    scripted::Feed(Bytes(300, 0x55));
    EXPECT_NE(Run(0, 0x16), 0);
    EXPECT_EQ(context.wRecvLen, 128);
    EXPECT_TRUE(GuardIntact());
    EXPECT_EQ(scripted::Pending(), 300u - 128u);
    EXPECT_EQ(testhost::LogTexts(),
              (std::vector<std::string>{"ROVOD> Receive() No end character within 128 bytes"}));
}

TEST_F(Receive, ScanTakesAnEndCharacterInTheLastPlace) {
    Bytes line(127, 0x55);
    line.push_back(0x16);
    scripted::Feed(line);
    EXPECT_EQ(Run(0, 0x16), 0);
    EXPECT_EQ(context.wRecvLen, 128);
    EXPECT_TRUE(GuardIntact());
}

}  // namespace
