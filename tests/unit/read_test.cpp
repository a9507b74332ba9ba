// Read transactions through ZevMain: requests, stored values, retries, the
// type-3 block-length adaptation, parameter gates and refused reads.
#include "protocol/read.h"

#include "line/qobcom.h"
#include "transaction_fixture.h"

namespace {

using testhost::LogLine;
using transaction::Bytes;
using transaction::ReplyFrame;

class Read : public transaction::TransactionTest {};

// Ten header bytes and then the value words of a type-3 block.
Bytes Block3Data(size_t n) {
    Bytes data = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    for (size_t i = 0; i < n; ++i) {
        const auto wWord = static_cast<uint16_t>(0x8000 + 40 * (i + 1));  // 0.25 (i + 1)
        data.push_back(static_cast<uint8_t>(wWord >> 8));
        data.push_back(static_cast<uint8_t>(wWord));
    }
    return data;
}

TEST_F(Read, SingleAnalogValue) {
    SetGate("05A0020", 5, 'A', 0x20, 1);
    scripted::Reply(ReplyFrame(5, {0x87, 0xD0}));
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
    EXPECT_EQ(Writes(),
              (std::vector<Bytes>{{0xA2, 0x05, 0x00, 0x04, 0x20, 0x20, 0, 0, 0, 0, 0, 0, 0x49, 0x16}}));
    EXPECT_EQ(scripted::EventsOf(scripted::Kind::Read).at(0).value, 11);
    EXPECT_EQ(FloatAt(0), 12.5f);
    EXPECT_EQ(value[4], 0xAB);
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
    EXPECT_EQ(context.wFunction, ZEV_SINGLE_READ);
}

struct ByteRead {
    int32_t iBitNo;
    uint8_t bReplied;
    uint16_t wStored;
};

TEST_F(Read, SingleRamBytesAndBits) {
    const ByteRead cases[] = {
        {3, 0x08, 1}, {3, 0xF7, 0}, {-1, 0x08, 0x08}, {-1, 0xF7, 0xF7}, {7, 0x80, 1}, {9, 0xFF, 0},
    };
    for (int32_t iMemType : {'I', 'X'}) {
        for (const ByteRead &c : cases) {
            SetUp();
            SetGate("07I0010", 7, iMemType, 0x10, 1, c.iBitNo);
            scripted::Reply(ReplyFrame(7, {c.bReplied}));
            EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
            EXPECT_EQ(WordAt(1), c.wStored) << c.iBitNo << " " << int(c.bReplied);
            EXPECT_EQ(WordAt(0), 0xABAB) << "the first half is not written";
        }
    }
}

TEST_F(Read, BlocksOfEveryMemoryType) {
    // Words 0x8028 * k decode to 0.25 k.
    SetGate("01A0020", 1, 'A', 0x20, 3);
    scripted::Reply(ReplyFrame(1, {0x80, 0x28, 0x80, 0x50, 0x80, 0x78}));
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 0u) << testhost::Dump();
    EXPECT_EQ(FloatAt(0), 0.25f);
    EXPECT_EQ(FloatAt(1), 0.5f);
    EXPECT_EQ(FloatAt(2), 0.75f);
    EXPECT_EQ(value[12], 0xAB);

    SetUp();
    SetGate("07X1234", 7, 'X', 0x1234, 5);
    scripted::Reply(ReplyFrame(7, {1, 2, 3, 0xFE, 0xFF}));
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 0u) << testhost::Dump();
    EXPECT_EQ(scripted::EventsOf(scripted::Kind::Read).at(0).value, 14);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(WordAt(i), (Bytes{1, 2, 3, 0xFE, 0xFF}[i]));
    EXPECT_EQ(WordAt(5), 0xABAB);

    SetUp();
    SetGate("0520000", 5, '2', 0, 10);
    scripted::Reply(ReplyFrame(5, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 0u) << testhost::Dump();
    EXPECT_EQ(Writes().at(0), (Bytes{0x10, 0x05, 0x00, 0x02, 0x07, 0x16}));
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(WordAt(i), 9 - i);

    SetUp();
    SetGate("0530000", 5, '3', 0, 4);
    scripted::Reply(ReplyFrame(5, Block3Data(4)));
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 0u) << testhost::Dump();
    EXPECT_EQ(scripted::EventsOf(scripted::Kind::Read).at(0).value, 27);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(FloatAt(i), 0.25f * (i + 1));
    EXPECT_EQ(value[16], 0xAB);
}

TEST_F(Read, Type3BlockAdaptsToTheLengthTheControllerAnnounces) {
    SetGate("0530000", 5, '3', 0, 16);
    const Bytes reply = ReplyFrame(5, Block3Data(10));
    ASSERT_EQ(reply[1], 33);
    scripted::Reply(reply);
    scripted::Reply(reply);
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 0u) << testhost::Dump();
    EXPECT_EQ(testhost::Log(), (std::vector<LogLine>{
                                   {8, "ROVOD> Receive() Different reply length 39 (51)"},
                                   {8, "ROVOD> CheckRecv() Recv.length 39 (<> 51) and/or (<> 33 + 6)"},
                                   {8, "ROVOD> DoRead() Check reply error"},
                                   {8, "ROVOD> DoRead() ... 2 * Block length 16 <> length 20 in reply"},
                                   {8, "ROVOD> DoRead() ... Trying with block length 10"},
                                   {8, "ROVOD> DoRead() Retry 1, TLen 6"},
                                   {32, "ROVOD> DoRead() Modify block length to 10 !!"},
                               }));
    const auto reads = scripted::EventsOf(scripted::Kind::Read);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].value, 51);
    EXPECT_EQ(reads[1].value, 39);
    EXPECT_EQ(gate.iCount, 10);
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(FloatAt(i), 0.25f * (i + 1)) << i;
    EXPECT_EQ(value[40], 0xAB);
}

struct UnusableLength {
    const char *pszName;
    uint8_t bL;
    int32_t iCount;
};

TEST_F(Read, Type3BlockKeepsItsCountWhenTheAnnouncedLengthIsUnusable) {
    // Even, too small, or more values than the host's buffer was sized for:
    // the block it configured.
    const UnusableLength cases[] = {{"even", 34, 16},           {"13", 13, 16},
                                    {"17 values", 47, 16},      {"largest", 121, 16},
                                    {"10 values for 4", 33, 4}, {"2 values for 1", 17, 1}};
    for (const UnusableLength &c : cases) {
        SetUp();
        SetGate("0530000", 5, '3', 0, c.iCount);
        // A whole frame of the configured block whose length bytes announce L.
        Bytes reply = ReplyFrame(5, Block3Data(static_cast<size_t>(c.iCount)));
        reply[1] = reply[2] = c.bL;
        for (int i = 0; i < 3; ++i) scripted::Reply(reply);
        EXPECT_EQ(Call(ZEV_BLOCK_READ), 2u) << c.pszName << testhost::Dump();
        EXPECT_EQ(gate.iCount, c.iCount) << c.pszName;
        EXPECT_FALSE(testhost::Logged("ROVOD> DoRead() ... Trying with block length " +
                                      std::to_string((c.bL - 13) / 2)))
            << c.pszName;
        EXPECT_TRUE(testhost::Logged("ROVOD> DoRead() ... 2 * Block length " + std::to_string(c.iCount) +
                                     " <> length " + std::to_string(c.bL - 13) + " in reply"))
            << c.pszName;
        EXPECT_EQ(scripted::EventsOf(scripted::Kind::Read).size(), 3u) << c.pszName;
        EXPECT_EQ(value[0], 0xAB) << c.pszName;
    }
}

TEST_F(Read, Type3ReplyThatAgreesWithTheBlockIsNotAdapted) {
    SetGate("0530000", 5, '3', 0, 4);
    Bytes reply = ReplyFrame(5, Block3Data(4));
    reply[7] = static_cast<uint8_t>(reply[7] + 1);  // FCS now wrong
    for (int i = 0; i < 3; ++i) scripted::Reply(reply);
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 1u);
    EXPECT_FALSE(testhost::Logged("ROVOD> DoRead() ... 2 * Block length 4 <> length 4 in reply"));
    EXPECT_EQ(gate.iCount, 4);
}

TEST_F(Read, ThreeBadRepliesMakeTwoRetriesAndResultOne) {
    struct Case {
        int32_t iMemType;
        int32_t iCount;
        uint32_t iFunction;
        int iTLen;
    };
    for (const Case c : {Case{'A', 1, ZEV_SINGLE_READ, 14}, Case{'2', 10, ZEV_BLOCK_READ, 6}}) {
        SetUp();
        SetGate("05A0001", 5, c.iMemType, 0, c.iCount);
        const Bytes good = ReplyFrame(5, Bytes(c.iMemType == '2' ? 10 : 2, 0x80));
        Bytes bad = good;
        bad[5] = 6;  // another controller
        for (int i = 0; i < 3; ++i) scripted::Reply(bad);
        EXPECT_EQ(Call(c.iFunction), 1u);
        const std::string tLen = std::to_string(c.iTLen);
        EXPECT_TRUE(testhost::Logged("ROVOD> DoRead() Retry 1, TLen " + tLen)) << testhost::Dump();
        EXPECT_TRUE(testhost::Logged("ROVOD> DoRead() Retry 2, TLen " + tLen)) << testhost::Dump();
        EXPECT_EQ(Writes().size(), 3u);
        EXPECT_EQ(Writes()[0], Writes()[2]);
        EXPECT_EQ(context.wFunction, c.iFunction + 512);
        EXPECT_EQ(testhost::Log().back().text,
                  std::string(c.iFunction == ZEV_SINGLE_READ ? "ROVOD> SingleRead()" : "ROVOD> BlockRead()") +
                      ", ret val is 1 for gate '05A0001'");
        EXPECT_EQ(value[0], 0xAB);
    }
}

TEST_F(Read, SilenceAndSendFailuresAreLineFailures) {
    SetGate("05A0001", 5, 'A', 1, 1);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 2u);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{
                                        "ROVOD> Receive() Nothing replied",
                                        "ROVOD> DoRead() Read reply error",
                                        "ROVOD> DoRead() Retry 1, TLen 14",
                                        "ROVOD> Receive() Nothing replied",
                                        "ROVOD> DoRead() Read reply error",
                                        "ROVOD> DoRead() Retry 2, TLen 14",
                                        "ROVOD> Receive() Nothing replied",
                                        "ROVOD> DoRead() Read reply error",
                                        "ROVOD> SingleRead(), ret val is 2 for gate '05A0001'",
                                    }));

    SetUp();
    SetGate("05A0001", 5, 'A', 1, 1);
    scripted::Fail(scripted::Call::WriteFile, 3);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 2u);
    EXPECT_TRUE(testhost::Logged("ROVOD> DoRead() Send request error"));
    EXPECT_EQ(scripted::CallCount(scripted::Call::ReadFile), 0);

    // A good reply on the last attempt wins.
    SetUp();
    SetGate("05A0001", 5, 'A', 1, 1);
    scripted::Fail(scripted::Call::WriteFile, 2);
    scripted::Reply(ReplyFrame(5, {0x87, 0xD0}));
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u);
    EXPECT_EQ(FloatAt(0), 12.5f);
}

TEST_F(Read, AcknowledgeInAnswerToAReadIsAHeaderFaultAndIsDrained) {
    SetGate("05A0001", 5, 'A', 1, 1);
    scripted::Reply({0x10, 0x00, 0x05, 0x10, 0x15, 0x16, 0x68, 0x05, 0x05, 0x68, 0x00});
    scripted::Reply(ReplyFrame(5, {0x87, 0xD0}));
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
    EXPECT_TRUE(testhost::Logged("ROVOD> CheckRecv() Header fault"));
    EXPECT_EQ(FloatAt(0), 12.5f);
}

TEST_F(Read, LateReplyOfAnAbandonedReadIsDiscardedBeforeTheNextRequest) {
    SetGate("05A0001", 5, 'A', 1, 1);
    context.DebugFlag = 1;
    // The controller answers the first request long after all three attempts
    // gave up, with a frame of the very length the next read expects.
    scripted::Reply(ReplyFrame(5, {0x87, 0xD0}), 1000);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 2u);
    scripted::AdvanceMs(1000);
    ASSERT_EQ(scripted::Pending(), 11u);

    testhost::Reset();
    scripted::Reply(ReplyFrame(5, {0x80, 0x28}));
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
    EXPECT_EQ(FloatAt(0), 0.25f);
    EXPECT_TRUE(testhost::Logged("ROVOD> Send() Line settled after 100 ms, 11 late bytes dropped"))
        << testhost::Dump();
    EXPECT_EQ(scripted::Pending(), 0u);
}

struct BabbledCall {
    const char *pszAddress;
    int32_t iMemType;
    int32_t iTag;
    int32_t iCount;
    int32_t iBitNo;
    uint32_t iFunction;
};

// A line that never falls quiet (a converter stuck sending): every read and
// write ends as a rejected or failed call, in no more time than three silent
// attempts take, and leaves the host's value buffer as it was.
TEST_F(Read, BabblingLineEndsEveryCallWithinItsBound) {
    const BabbledCall calls[] = {
        {"05A0020", 'A', 0x20, 1, -1, ZEV_SINGLE_READ},   {"05I00213", 'I', 0x21, 1, 3, ZEV_SINGLE_READ},
        {"05A0010", 'F', 0x10, 8, -1, ZEV_BLOCK_READ},    {"05X0110", 'X', 0x110, 4, -1, ZEV_BLOCK_READ},
        {"0520000", '2', 0, 10, -1, ZEV_BLOCK_READ},      {"0530000", '3', 0, 16, -1, ZEV_BLOCK_READ},
        {"05A0030", 'A', 0x30, 1, -1, ZEV_SINGLE_WRITE},  {"05P0032", 'P', 0x32, 1, -1, ZEV_SINGLE_WRITE},
        {"05I0040", 'I', 0x40, 1, -1, ZEV_SINGLE_WRITE},  {"05I00407", 'I', 0x40, 1, 7, ZEV_SINGLE_WRITE},
        {"05X0140", 'X', 0x140, 1, -1, ZEV_SINGLE_WRITE}, {"05Z0004", 'Z', 4, 1, -1, ZEV_SINGLE_WRITE},
    };
    for (bool bPurges : {true, false}) {
        for (const BabbledCall &c : calls) {
            SCOPED_TRACE(testing::Message() << c.pszAddress << (bPurges ? "" : " without purge"));
            SetUp();
            context.iTimeout = 10;
            context.IFG = 3;
            context.DebugFlag = 1;
            if (!bPurges) scripted::Fail(scripted::Call::PurgeComm, -1);
            scripted::Babble(64, 2, 10000);
            SetGate(c.pszAddress, 5, c.iMemType, c.iTag, c.iCount, c.iBitNo);
            if (c.iFunction == ZEV_SINGLE_WRITE) SetWord(1);
            const auto before = value;
            const int64_t llStart = scripted::NowNs();
            const uint32_t result = Call(c.iFunction);
            EXPECT_TRUE(result == 1 || result == 2) << result << testhost::Dump();
            // Three attempts against a silent controller (gap and reply time-out
            // each), and per attempt the discard's one read, or where the port
            // cannot purge, the whole bounded flush as well.
            int64_t llBoundMs = 3 * (3 + 100 + 50);
            if (!bPurges) llBoundMs += 3 * (zev::kFlushBoundMs + 50);
            EXPECT_LE(scripted::NowNs() - llStart, llBoundMs * 1000000);
            EXPECT_EQ(value, before);
            EXPECT_TRUE(GuardIntact());
            EXPECT_EQ(testhost::Logged("ROVOD> Send() Input still arriving after 100 ms, discard ended"),
                      !bPurges);
        }
    }
}

// Noise that trickles in slower than a byte per gap but faster than the
// reply time-out: the drain after the header fault ends after one time-out.
TEST_F(Read, TricklingNoiseEndsTheDrainAfterOneReplyTimeOut) {
    context.iTimeout = 10;
    context.DebugFlag = 1;
    SetGate("05A0020", 5, 'A', 0x20, 1);
    scripted::Babble(1, 30, 100000);
    const int64_t llStart = scripted::NowNs();
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 1u);
    EXPECT_TRUE(testhost::Logged("ROVOD> Receive() Input still arriving after 100 ms, scan ended"));
    // Per attempt: the 11-byte read (100 ms) and a drain of at most 100 ms plus one byte.
    EXPECT_LE(scripted::NowNs() - llStart, 3 * (100 + 100 + 30) * 1000000);
}

TEST_F(Read, ReplyInPiecesWithTrailingBytesAndNoiseBefore) {
    SetGate("05A0001", 5, 'A', 1, 1);
    const Bytes reply = ReplyFrame(5, {0x87, 0xD0});
    scripted::ReplyInPieces(
        {{Bytes(reply.begin(), reply.begin() + 4), 5}, {Bytes(reply.begin() + 4, reply.end()), 20}});
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
    EXPECT_EQ(FloatAt(0), 12.5f);

    // Trailing bytes stay queued and are no part of this reply.
    Bytes trailing = reply;
    trailing.push_back(0x42);
    scripted::Reply(trailing);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
    EXPECT_EQ(scripted::Pending(), 1u);
}

struct ParameterRead {
    int32_t iTag;
    double dValue;
};

TEST_F(Read, ParameterGatesAnswerFromTheWorkingBlock) {
    context.TPPOS = 7;
    context.IFG = 20;
    context.fDelay = 1.5f;
    context.DebugFlag = 0;
    context.hCom = 0;  // no line needed
    const ParameterRead cases[] = {{252, 7.0}, {253, 20.0}, {254, 15.0}, {255, 0.0}};
    for (const ParameterRead &c : cases) {
        testhost::Reset();
        SetGate("$X", 255, ZEV_MEMTYPE_PARAMETER, c.iTag, 1);
        EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << c.iTag;
        ASSERT_EQ(testhost::UnCooks().size(), 1u);
        const testhost::UnCookCall uncook = testhost::UnCooks()[0];
        EXPECT_EQ(uncook.iZero, 0);
        EXPECT_EQ(uncook.hGate, 0x4711u);
        EXPECT_EQ(uncook.dValue, c.dValue) << c.iTag;
        EXPECT_EQ(uncook.pValue, value.data());
        EXPECT_TRUE(testhost::Log().empty());
    }
    EXPECT_EQ(value[0], 0xAB);

    testhost::Reset();
    context.DebugFlag = 1;
    SetGate("$DEBUG", 255, ZEV_MEMTYPE_PARAMETER, 255, 1);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u);
    EXPECT_EQ(testhost::UnCooks().at(0).dValue, 1.0);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> SingleRead() Parameter"}));

    for (auto [iPlc, iTag] : {std::pair{1, 255}, std::pair{255, 251}}) {
        testhost::Reset();
        SetGate("$DEBUG", iPlc, ZEV_MEMTYPE_PARAMETER, iTag, 1);
        EXPECT_EQ(Call(ZEV_SINGLE_READ), 1u);
        EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> Read() Wrong parameter"}));
        EXPECT_TRUE(testhost::UnCooks().empty());
    }
}

TEST_F(Read, SwitchesAreWriteOnlyAndReadAsZero) {
    for (uint32_t iFunction : {ZEV_SINGLE_READ, ZEV_BLOCK_READ}) {
        for (uint16_t wDebug : {0, 1}) {
            testhost::Reset();
            context.DebugFlag = wDebug;
            SetGate("02Z0003", 2, 'Z', 3, 1);
            EXPECT_EQ(Call(iFunction), 0u);
            ASSERT_EQ(testhost::UnCooks().size(), 1u);
            EXPECT_EQ(testhost::UnCooks()[0].dValue, 0.0);
            EXPECT_EQ(testhost::Logged("ROVOD> DoRead() Write ONLY"), wDebug == 1);
        }
    }
    EXPECT_TRUE(Writes().empty());
}

TEST_F(Read, RefusedReadsSendNothing) {
    struct Case {
        const char *pszName;
        uint32_t iFunction;
        int32_t iMemType;
        int32_t iCount;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"single 2",
         ZEV_SINGLE_READ,
         '2',
         10,
         {"ROVOD> SingleRead(23) Type only for block read",
          "ROVOD> SingleRead(), ret val is 1 for gate 'G'"}},
        {"single 3",
         ZEV_SINGLE_READ,
         '3',
         1,
         {"ROVOD> SingleRead(23) Type only for block read",
          "ROVOD> SingleRead(), ret val is 1 for gate 'G'"}},
        {"E",
         ZEV_BLOCK_READ,
         'E',
         1,
         {"ROVOD> DoRead() Program construction error", "ROVOD> BlockRead(), ret val is 1 for gate 'G'"}},
        {"single A 200",
         ZEV_SINGLE_READ,
         'A',
         200,
         {"ROVOD> DoRead() Count 200 out of range 1..8 for gate 'G'",
          "ROVOD> SingleRead(), ret val is 1 for gate 'G'"}},
        {"A 9",
         ZEV_BLOCK_READ,
         'A',
         9,
         {"ROVOD> DoRead() Count 9 out of range 1..8 for gate 'G'",
          "ROVOD> BlockRead(), ret val is 1 for gate 'G'"}},
        {"R 0",
         ZEV_BLOCK_READ,
         'R',
         0,
         {"ROVOD> DoRead() Count 0 out of range 1..8 for gate 'G'",
          "ROVOD> BlockRead(), ret val is 1 for gate 'G'"}},
        {"3 17",
         ZEV_BLOCK_READ,
         '3',
         17,
         {"ROVOD> DoRead() Count 17 out of range 1..16 for gate 'G'",
          "ROVOD> BlockRead(), ret val is 1 for gate 'G'"}},
        {"3 -1",
         ZEV_BLOCK_READ,
         '3',
         -1,
         {"ROVOD> DoRead() Count -1 out of range 1..16 for gate 'G'",
          "ROVOD> BlockRead(), ret val is 1 for gate 'G'"}},
        {"2 9",
         ZEV_BLOCK_READ,
         '2',
         9,
         {"ROVOD> DoRead() Count 9 out of range 10..10 for gate 'G'",
          "ROVOD> BlockRead(), ret val is 1 for gate 'G'"}},
        {"I 64",
         ZEV_BLOCK_READ,
         'I',
         64,
         {"ROVOD> DoRead() Count 64 out of range 1..63 for gate 'G'",
          "ROVOD> BlockRead(), ret val is 1 for gate 'G'"}},
        {"X 0",
         ZEV_SINGLE_READ,
         'X',
         0,
         {"ROVOD> DoRead() Count 0 out of range 1..63 for gate 'G'",
          "ROVOD> SingleRead(), ret val is 1 for gate 'G'"}},
    };
    for (const Case &c : cases) {
        testhost::Reset();
        SetGate("G", 5, c.iMemType, 1, c.iCount);
        scripted::Reply(Bytes(128, 0x68));
        EXPECT_EQ(Call(c.iFunction), 1u) << c.pszName;
        EXPECT_EQ(testhost::LogTexts(), c.lines) << c.pszName;
    }
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(value[0], 0xAB);
}

TEST_F(Read, MissingRecordsAndClosedPortAreRefused) {
    SetGate("05A0001", 5, 'A', 1, 1);
    context.hCom = 0;
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 1u);
    EXPECT_EQ(testhost::LogTexts(),
              (std::vector<std::string>{"ROVOD> SingleRead(), ret val is 1 for gate '05A0001'"}));

    context.hCom = sys::CreateFileA("COM2");
    testhost::Reset();
    gate.pValue = nullptr;
    gate.pszAddress = nullptr;
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 1u);
    EXPECT_EQ(testhost::LogTexts(),
              (std::vector<std::string>{"ROVOD> DoRead() No value buffer for gate '(no address)'",
                                        "ROVOD> BlockRead(), ret val is 1 for gate '(no address)'"}));

    testhost::Reset();
    request.pParams = nullptr;
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 1u);
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 1u);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> SingleRead() No gate record",
                                                              "ROVOD> BlockRead() No gate record"}));
    EXPECT_TRUE(Writes().empty());
}

TEST_F(Read, PointPositionReadLearnsTheCodeAndStoresNothing) {
    SetGate("05F0009", 5, 'F', 9, 1);
    context.wPtMode = 5;
    scripted::Reply(ReplyFrame(5, {0x83, 0xE9}));
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
    EXPECT_EQ(context.wPtMode, 1);
    EXPECT_EQ(value[0], 0xAB);
    EXPECT_TRUE(testhost::UnCooks().empty());
}

TEST_F(Read, NoisyRepliesNeverWritePastTheBuffers) {
    // Every length of garbage, with and without end characters, on the
    // largest reads each type allows.
    for (int32_t iMemType : {'3', 'A', 'I'}) {
        for (size_t n : {0, 1, 19, 20, 51, 127, 128, 129, 300}) {
            SetUp();
            SetGate("G", 5, iMemType, 1, iMemType == '3' ? 16 : iMemType == 'A' ? 8 : 63);
            for (int i = 0; i < 3; ++i) {
                Bytes noise(n, 0x68);
                if (n > 20) noise[n / 2] = 0x16;
                scripted::Reply(noise);
            }
            EXPECT_NE(Call(ZEV_BLOCK_READ), 0u) << n;
            EXPECT_TRUE(GuardIntact()) << n;
            EXPECT_EQ(value[0], 0xAB) << n;
        }
    }
}

}  // namespace
