// Read requests byte for byte, and every fault the reply and acknowledge
// checks report, with the drain after framing faults.
#include "protocol/frames.h"

#include "transaction_fixture.h"

namespace {

using transaction::AckFrame;
using transaction::Bytes;

class Frames : public transaction::TransactionTest {
protected:
    Bytes SentFrame() const { return Bytes(sendBuf.begin(), sendBuf.begin() + context.wSendLen); }

    void SetReceived(const Bytes &bytes) {
        std::copy(bytes.begin(), bytes.end(), recvBlock.begin());
        context.wRecvLen = static_cast<uint16_t>(bytes.size());
    }
};

TEST(CalcFcs, SumsModulo256WithoutCarry) {
    const uint8_t bytes[] = {0xFF, 0x02, 0x80, 0x80};
    EXPECT_EQ(zev::CalcFcs(bytes, 1), 0xFF);
    EXPECT_EQ(zev::CalcFcs(bytes, 2), 0x01);
    EXPECT_EQ(zev::CalcFcs(bytes, 4), 0x01);
}

struct ReadRequestCase {
    const char *pszName;
    int32_t iPlc;
    int32_t iMemType;
    int32_t iTag;
    int32_t iCount;
    Bytes frame;
};

TEST_F(Frames, ReadRequestsForEveryReadableType) {
    // clang-format off
    const ReadRequestCase cases[] = {
        {"type 2", 5, '2', 0, 10, {0x10, 0x05, 0x00, 0x02, 0x07, 0x16}},
        {"type 3", 5, '3', 0, 16, {0x10, 0x05, 0x00, 0x03, 0x08, 0x16}},
        {"A count 3", 1, 'A', 0x20, 3, {0xA2, 0x01, 0x00, 0x04, 0x20, 0x21, 0x22, 0x22, 0, 0, 0, 0, 0x8A, 0x16}},
        {"A count 1", 1, 'A', 0x20, 1, {0xA2, 0x01, 0x00, 0x04, 0x20, 0x20, 0, 0, 0, 0, 0, 0, 0x45, 0x16}},
        {"A count 8", 1, 'A', 0x20, 8, {0xA2, 0x01, 0x00, 0x04, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x21, 0x16}},
        {"F wraps at 0xFF", 1, 'F', 0xFF, 2, {0xA2, 0x01, 0x00, 0x04, 0xFF, 0x00, 0x00, 0, 0, 0, 0, 0, 0x04, 0x16}},
        {"I count 63", 7, 'I', 0x10, 63, {0xA2, 0x07, 0x00, 0x05, 0x10, 0x3F, 0, 0, 0, 0, 0, 0, 0x5B, 0x16}},
        {"X count 5", 7, 'X', 0x1234, 5, {0xA2, 0x07, 0x00, 0x06, 0x12, 0x34, 0x05, 0, 0, 0, 0, 0, 0x58, 0x16}},
    };
    // clang-format on
    for (const ReadRequestCase &c : cases) {
        sendBuf.fill(0xCC);  // stale bytes of an earlier request must not survive
        SetGate("x", c.iPlc, c.iMemType, c.iTag, c.iCount);
        zev::BuildReadRequest(&request);
        EXPECT_EQ(SentFrame(), c.frame) << c.pszName;
    }
}

TEST_F(Frames, TypesWithoutReadRequestAndOversizedListsBuildNothing) {
    // clang-format off
    const ReadRequestCase cases[] = {
        {"E", 1, 'E', 1, 1, {}},   {"H", 1, 'H', 1, 1, {}},   {"Z", 1, 'Z', 1, 1, {}},
        {"A 9", 1, 'A', 0, 9, {}}, {"A 0", 1, 'A', 0, 0, {}}, {"P 200", 1, 'P', 0, 200, {}},
    };
    // clang-format on
    for (const ReadRequestCase &c : cases) {
        sendBuf.fill(0xCC);
        context.wSendLen = 14;
        SetGate("x", c.iPlc, c.iMemType, c.iTag, c.iCount);
        zev::BuildReadRequest(&request);
        EXPECT_EQ(context.wSendLen, 0) << c.pszName;
        EXPECT_EQ(sendBuf[12], 0xCC) << c.pszName;
        EXPECT_EQ(sendBuf[31], 0xCC) << c.pszName;
    }
}

TEST_F(Frames, GoodReplyPassesWhateverItsFunctionByte) {
    SetGate("05A0001", 5, 'A', 1, 1);
    request.iFunction = ZEV_SINGLE_READ;
    for (uint8_t bFunction : {0x00, 0x08, 0xFF}) {
        SetReceived({0x68, 0x05, 0x05, 0x68, 0x00, 0x05, bFunction, 0x87, 0xD0,
                     static_cast<uint8_t>(0x5C + bFunction), 0x16});
        EXPECT_EQ(zev::CheckRecv(&request, 11), 0) << int(bFunction) << testhost::Dump();
    }
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
    EXPECT_TRUE(scripted::EventsOf(scripted::Kind::Read).empty());
}

struct ReplyFault {
    const char *pszName;
    Bytes received;
    uint16_t wExpected;
    const char *pszLine;
    bool bDrains;
};

TEST_F(Frames, ReplyFaultsReportTheFirstFailingCheck) {
    const Bytes good = {0x68, 0x05, 0x05, 0x68, 0x00, 0x05, 0x00, 0x87, 0xD0, 0x5C, 0x16};
    auto with = [&](size_t i, uint8_t b) {
        Bytes r = good;
        r[i] = b;
        return r;
    };
    Bytes fcsAndEnd = with(9, 0x5D);
    fcsAndEnd[10] = 0x17;
    const ReplyFault cases[] = {
        {"start", with(0, 0x10), 11, "ROVOD> CheckRecv() Header fault", true},
        {"second L", with(2, 0x06), 11, "ROVOD> CheckRecv() Header fault", true},
        {"second start", with(3, 0x67), 11, "ROVOD> CheckRecv() Header fault", true},
        {"destination", with(4, 0x01), 11, "ROVOD> CheckRecv() Header fault", true},
        {"expected", good, 13, "ROVOD> CheckRecv() Recv.length 11 (<> 13) and/or (<> 5 + 6)", false},
        {"L", with(1, 0x06), 11, "ROVOD> CheckRecv() Header fault", true},
        {"L twice",
         [&] {
             Bytes r = with(1, 0x04);
             r[2] = 0x04;
             return r;
         }(),
         11, "ROVOD> CheckRecv() Recv.length 11 (<> 11) and/or (<> 4 + 6)", false},
        {"address", with(5, 0x06), 11, "ROVOD> CheckRecv() Wrong PLC address 6 (<>5)", false},
        {"fcs", with(9, 0x5D), 11, "ROVOD> CheckRecv() FCS error", false},
        {"fcs and end", fcsAndEnd, 11, "ROVOD> CheckRecv() FCS error", false},
        {"end", with(10, 0x17), 11, "ROVOD> CheckRecv() Missing end char (11,17)", true},
    };
    SetGate("05A0001", 5, 'A', 1, 1);
    request.iFunction = ZEV_BLOCK_READ;
    for (const ReplyFault &c : cases) {
        testhost::Reset();
        scripted::Reset();
        context.hCom = sys::CreateFileA("COM1");
        const Bytes rest = {0x33, 0x44, 0x16, 0x99};
        scripted::Feed(rest);
        SetReceived(c.received);
        EXPECT_EQ(zev::CheckRecv(&request, c.wExpected), 1) << c.pszName;
        EXPECT_EQ(testhost::Log(), (std::vector<testhost::LogLine>{{8, c.pszLine}})) << c.pszName;
        if (c.bDrains) {
            // Up to and including the next end character; what follows stays.
            EXPECT_EQ(context.wRecvLen, 3) << c.pszName;
            EXPECT_EQ(Bytes(recvBlock.begin(), recvBlock.begin() + 3), Bytes(rest.begin(), rest.begin() + 3));
            EXPECT_EQ(scripted::Pending(), 1u) << c.pszName;
        } else {
            EXPECT_EQ(context.wRecvLen, c.received.size()) << c.pszName;
            EXPECT_EQ(scripted::Pending(), 4u) << c.pszName;
        }
    }
}

TEST_F(Frames, DrainOfASilentLineLeavesNothingCounted) {
    SetGate("05A0001", 5, 'A', 1, 1);
    request.iFunction = ZEV_SINGLE_READ;
    SetReceived({0x10, 0x00, 0x05, 0x10, 0x15, 0x16, 0, 0, 0, 0, 0});
    EXPECT_EQ(zev::CheckRecv(&request, 11), 1);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> CheckRecv() Header fault",
                                                              "ROVOD> Receive() Nothing replied"}));
    EXPECT_EQ(context.wRecvLen, 0);
}

struct AckCase {
    const char *pszName;
    Bytes received;
    uint16_t wResult;
    const char *pszLine;  // nullptr: no line
    bool bDrains;
};

TEST_F(Frames, AcknowledgeFrames) {
    auto with = [](Bytes r, size_t i, uint8_t b) {
        r[i] = b;
        return r;
    };
    const AckCase cases[] = {
        {"ACK", {0x10, 0x00, 0x05, 0x10, 0x15, 0x16}, 0, nullptr, false},
        {"NAK", {0x10, 0x00, 0x05, 0x11, 0x16, 0x16}, 3, "ROVOD> CheckRecv() PLC replied with NAK", false},
        {"NAK without end",
         {0x10, 0x00, 0x05, 0x11, 0x16, 0x00},
         3,
         "ROVOD> CheckRecv() PLC replied with NAK",
         false},
        {"start", with(AckFrame(5), 0, 0x68), 1, "ROVOD> CheckRecv(W) Header fault", true},
        {"destination", with(AckFrame(5), 1, 0x01), 1, "ROVOD> CheckRecv(W) Header fault", true},
        {"address", AckFrame(6), 1, "ROVOD> CheckRecv(W) Wrong PLC address 6 (<>5)", false},
        {"fcs", with(AckFrame(5), 4, 0x14), 1, "ROVOD> CheckRecv(W) FCS error", false},
        {"code", AckFrame(5, 0x12), 1, "ROVOD> CheckRecv() Reply is not an ACK but 12h", false},
        {"end", with(AckFrame(5), 5, 0x00), 1, "ROVOD> CheckRecv() Missing end char (6,00)", true},
    };
    SetGate("05A0001", 5, 'A', 1, 1);
    for (uint32_t iFunction : {ZEV_SINGLE_WRITE, ZEV_BLOCK_WRITE}) {
        request.iFunction = iFunction;
        for (const AckCase &c : cases) {
            testhost::Reset();
            scripted::Reset();
            context.hCom = sys::CreateFileA("COM1");
            scripted::Feed({0x01, 0x16, 0x02});
            SetReceived(c.received);
            EXPECT_EQ(zev::CheckRecv(&request, 6), c.wResult) << c.pszName;
            std::vector<testhost::LogLine> lines;
            if (c.pszLine) lines.push_back({8, c.pszLine});
            EXPECT_EQ(testhost::Log(), lines) << c.pszName;
            EXPECT_EQ(scripted::Pending(), c.bDrains ? 1u : 3u) << c.pszName;
        }
    }
}

TEST_F(Frames, AcknowledgeOfFewerThanFourBytesIsRefusedWithoutReadingBeforeTheBuffer) {
    SetGate("05A0001", 5, 'A', 1, 1);
    request.iFunction = ZEV_SINGLE_WRITE;
    for (uint16_t n : {0, 1, 3}) {
        testhost::Reset();
        SetReceived(Bytes(n, 0x10));
        EXPECT_EQ(zev::CheckRecv(&request, 6), 1) << n;
        EXPECT_TRUE(testhost::Logged("ROVOD> CheckRecv(W) Header fault")) << n;
    }
}

}  // namespace
