// Write transactions through ZevMain: request frames for every value type,
// acknowledges, retries, the read-before-write of time values, parameter
// gates and refused writes.
#include "protocol/write.h"

#include "transaction_fixture.h"

namespace {

using testhost::LogLine;
using transaction::AckFrame;
using transaction::Bytes;
using transaction::ReplyFrame;

class Write : public transaction::TransactionTest {
protected:
    void SetUp() override {
        TransactionTest::SetUp();
        context.wPtMode = 4;  // as after installation
        context.TPPOS = 1;
    }
};

struct FrameCase {
    const char *pszName;
    const char *pszAddress;
    int32_t iPlc;
    int32_t iMemType;
    int32_t iTag;
    int32_t iBitNo;
    float fValue;     // for value words
    uint16_t wValue;  // for bytes, bits and switches
    Bytes frame;
};

TEST_F(Write, RequestFramesForEveryValueType) {
    // clang-format off
    const FrameCase cases[] = {
        {"A", "01A0005", 1, 'A', 5, -1, 12.5f, 0, {0xA2, 0x01, 0x00, 0x07, 0x01, 0x05, 0x87, 0xD0, 0x01, 0x05, 0x87, 0xD0, 0xC2, 0x16}},
        {"R", "01R0005", 1, 'R', 5, -1, 12.5f, 0, {0xA2, 0x01, 0x00, 0x07, 0x02, 0x05, 0x87, 0xD0, 0x00, 0x05, 0x87, 0xD0, 0xC2, 0x16}},
        {"P", "01P0009", 1, 'P', 9, -1, 5.5f, 0, {0xA2, 0x01, 0x00, 0x07, 0x01, 0x09, 0x83, 0x70, 0x01, 0x09, 0x83, 0x70, 0x02, 0x16}},
        {"I byte", "07I0010", 7, 'I', 0x10, -1, 0, 0x5A, {0xA2, 0x07, 0x00, 0x0D, 0x10, 0x01, 0x5A, 0, 0, 0, 0, 0, 0x7F, 0x16}},
        {"I byte, high bits dropped", "07I0010", 7, 'I', 0x10, -1, 0, 0x15A, {0xA2, 0x07, 0x00, 0x0D, 0x10, 0x01, 0x5A, 0, 0, 0, 0, 0, 0x7F, 0x16}},
        {"X byte", "07X0012", 7, 'X', 0x12, -1, 0, 0xFF, {0xA2, 0x07, 0x00, 0x0E, 0x00, 0x12, 0x01, 0xFF, 0, 0, 0, 0, 0x27, 0x16}},
        {"X byte, two-byte address", "07X0112", 7, 'X', 0x0112, -1, 0, 0x01, {0xA2, 0x07, 0x00, 0x0E, 0x01, 0x12, 0x01, 0x01, 0, 0, 0, 0, 0x2A, 0x16}},
        {"I bit 3 set", "07I00103", 7, 'I', 0x10, 3, 0, 1, {0xA2, 0x07, 0x00, 0x1F, 0x10, 0x08, 0x10, 0x08, 0, 0, 0, 0, 0x56, 0x16}},
        {"I bit 3 clear", "07I00103", 7, 'I', 0x10, 3, 0, 0, {0xA2, 0x07, 0x00, 0x2F, 0x10, 0xF7, 0x10, 0xF7, 0, 0, 0, 0, 0x44, 0x16}},
        {"X bit 9 set", "07X00109", 7, 'X', 0x10, 9, 0, 1, {0xA2, 0x07, 0x00, 0x1F, 0x10, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0x46, 0x16}},
        {"X bit 9 clear", "07X00109", 7, 'X', 0x10, 9, 0, 0, {0xA2, 0x07, 0x00, 0x2F, 0x10, 0xFF, 0x10, 0xFF, 0, 0, 0, 0, 0x54, 0x16}},
        {"Z tag 3", "02Z0003", 2, 'Z', 3, -1, 0, 1, {0xA2, 0x02, 0x00, 0x08, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0x0B, 0x16}},
        {"Z tag 8", "02Z0008", 2, 'Z', 8, -1, 0, 0x1FF, {0xA2, 0x02, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0xFF, 0x09, 0x16}},
    };
    // clang-format on
    for (const FrameCase &c : cases) {
        SetUp();
        sendBuf.fill(0xCC);  // whatever the context built before
        SetGate(c.pszAddress, c.iPlc, c.iMemType, c.iTag, 1, c.iBitNo);
        SetFloat(c.fValue);
        if (c.iMemType != 'A' && c.iMemType != 'R' && c.iMemType != 'P') SetWord(c.wValue);
        scripted::Reply(AckFrame(static_cast<uint8_t>(c.iPlc)));
        EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u) << c.pszName << testhost::Dump();
        EXPECT_EQ(Writes(), std::vector<Bytes>{c.frame}) << c.pszName;
        EXPECT_TRUE(testhost::Log().empty()) << c.pszName << testhost::Dump();
        EXPECT_EQ(context.wFunction, ZEV_SINGLE_WRITE);
    }
}

TEST_F(Write, TimeValueWithAKnownPointPosition) {
    SetGate("01F0020", 1, 'F', 0x20, 1);
    context.wPtMode = 1;
    SetFloat(12.34f);
    scripted::Reply(AckFrame(1));
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u) << testhost::Dump();
    EXPECT_EQ(Writes(), (std::vector<Bytes>{{0xA2, 0x01, 0x00, 0x07, 0x01, 0x20, 0xCD, 0x21, 0x01, 0x20, 0xCD,
                                             0x21, 0x26, 0x16}}));
    EXPECT_EQ(
        testhost::LogTexts(),
        (std::vector<std::string>{"ROVOD> BuildWriteRequest() Time value : 12.340 -> CD21h, ptpos : 1"}));
}

TEST_F(Write, FirstTimeValueReadsThePointPositionFirst) {
    SetGate("05F0009", 5, 'F', 9, 1);
    gate.iHostWord4 = 0x11111111;
    gate.iHostWord28 = 0x22222222;
    gate.iHostWord44 = 0x33333333;
    const GateRecord before = gate;
    SetFloat(1.25f);
    scripted::Reply(ReplyFrame(5, {0x83, 0xE9}));  // code 1
    scripted::Reply(AckFrame(5));
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u) << testhost::Dump();
    const std::vector<Bytes> writes = Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], (Bytes{0xA2, 0x05, 0x00, 0x04, 0x09, 0x09, 0, 0, 0, 0, 0, 0, 0x1B, 0x16}));
    EXPECT_EQ(writes[1][3], 7);
    EXPECT_EQ(writes[1][6], 0x87);  // 12.5 with code 1
    EXPECT_EQ(writes[1][7], 0xD1);
    EXPECT_EQ(context.wPtMode, 1);
    EXPECT_EQ(std::memcmp(&gate, &before, sizeof gate), 0);
    EXPECT_EQ(request.iFunction, ZEV_SINGLE_WRITE);
    EXPECT_EQ(FloatAt(0), 1.25f) << "the read hands nothing to the host";
    EXPECT_TRUE(testhost::UnCooks().empty());

    // The learned code stays; the next time value is written without a read.
    scripted::Reply(AckFrame(5));
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u);
    EXPECT_EQ(Writes().size(), 3u);

    // With read-before-write on, every time value reads first.
    context.ReadBeforeWrite = 1;
    scripted::Reply(ReplyFrame(5, {0x83, 0xEA}));
    scripted::Reply(AckFrame(5));
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u);
    EXPECT_EQ(Writes().size(), 5u);
    EXPECT_EQ(context.wPtMode, 2);
}

TEST_F(Write, PointPositionReadTakesOneElementWhateverTheWriteGateCounts) {
    for (int32_t iCount : {0, -3, 9, 16}) {
        SetUp();
        SetGate("05F0009", 5, 'F', 9, iCount);
        SetFloat(1.25f);
        scripted::Reply(ReplyFrame(5, {0x83, 0xE9}));
        scripted::Reply(AckFrame(5));
        EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u) << iCount << testhost::Dump();
        ASSERT_EQ(Writes().size(), 2u) << iCount;
        EXPECT_EQ(Writes()[0], (Bytes{0xA2, 0x05, 0x00, 0x04, 0x09, 0x09, 0, 0, 0, 0, 0, 0, 0x1B, 0x16}));
        EXPECT_EQ(context.wPtMode, 1) << iCount;
        EXPECT_EQ(gate.iCount, iCount);
    }
}

TEST_F(Write, FailedPointPositionReadFallsBackToTppos) {
    const uint16_t expected[] = {0, 0, 0, 1, 2, 3, 0, 1, 2, 3};
    for (uint16_t wTppos = 0; wTppos <= 9; ++wTppos) {
        SetUp();
        context.TPPOS = wTppos;
        SetGate("05F0009", 5, 'F', 9, 1);
        const GateRecord before = gate;
        SetFloat(1.0f);
        scripted::NoReply();
        scripted::NoReply();
        scripted::NoReply();
        scripted::Reply(AckFrame(5));
        EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u) << wTppos << testhost::Dump();
        EXPECT_EQ(context.wPtMode, expected[wTppos]) << wTppos;
        EXPECT_TRUE(testhost::Logged("ROVOD> BuildWriteRequest() Unable to read for writing time value"));
        EXPECT_TRUE(testhost::Logged("ROVOD> SingleRead(), ret val is 2 for gate '05F0009'"));
        EXPECT_EQ(Writes().back()[7] & 3, expected[wTppos]) << wTppos;
        EXPECT_EQ(std::memcmp(&gate, &before, sizeof gate), 0);
        EXPECT_EQ(request.iFunction, ZEV_SINGLE_WRITE);
        // The write's own retries build on what the nested read left.
        EXPECT_EQ(context.wFunction, ZEV_SINGLE_READ + 512);
    }
}

TEST_F(Write, Type3GateWritesTheValueItsAddressNames) {
    SetGate("0530205f", 5, '3', 2, 1);  // characters 6-8: "05f"
    context.TPPOS = 5;
    SetFloat(2.0f);
    scripted::NoReply();
    scripted::NoReply();
    scripted::NoReply();
    scripted::Reply(AckFrame(5));
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u) << testhost::Dump();
    const std::vector<Bytes> writes = Writes();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0][3], 4);  // the point-position read of element 5
    EXPECT_EQ(writes[0][4], 5);
    EXPECT_EQ(writes[3][5], 5);
    EXPECT_EQ(writes[3][9], 5);
    EXPECT_EQ(writes[3][7] & 3, 3);
    EXPECT_EQ(gate.iMemType, '3');
    EXPECT_EQ(gate.iTagAddr, 2);
    EXPECT_TRUE(testhost::Logged("ROVOD> BuildWriteRequest() Time value : 2.000 -> 8023h, ptpos : 3"))
        << testhost::Dump();
}

TEST_F(Write, AcknowledgeAndRefusal) {
    SetGate("01A0005", 1, 'A', 5, 1);
    SetFloat(12.5f);
    scripted::Reply({0x10, 0x00, 0x01, 0x10, 0x11, 0x16});
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u);

    testhost::Reset();
    scripted::Reply({0x10, 0x00, 0x01, 0x11, 0x12, 0x16});
    scripted::Reply(AckFrame(1));
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 3u);
    EXPECT_EQ(Writes().size(), 2u) << "no second attempt after NAK";
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{
                                        "ROVOD> CheckRecv() PLC replied with NAK",
                                        "ROVOD> SingleWrite() , ret val is 3 for gate '01A0005'",
                                    }));
}

TEST_F(Write, SilenceShortAcknowledgesAndBadAcknowledgesAreRetried) {
    SetGate("01A0005", 1, 'A', 5, 1);
    SetFloat(12.5f);
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 2u);
    EXPECT_TRUE(testhost::Logged("ROVOD> DoWrite() Retry 1, TLen 14"));
    EXPECT_TRUE(testhost::Logged("ROVOD> DoWrite() Retry 2, TLen 14"));
    EXPECT_TRUE(testhost::Logged("ROVOD> DoWrite() Read reply error"));
    EXPECT_EQ(context.wFunction, ZEV_SINGLE_WRITE + 512);
    EXPECT_EQ(Writes().size(), 3u);
    EXPECT_EQ(Writes()[0], Writes()[2]);

    SetUp();
    SetGate("01A0005", 1, 'A', 5, 1);
    for (int i = 0; i < 3; ++i) scripted::Reply({0x10, 0x00, 0x01, 0x10});
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 2u);
    EXPECT_TRUE(testhost::Logged("ROVOD> DoWrite() Read wrong length reply"));

    SetUp();
    SetGate("01A0005", 1, 'A', 5, 1);
    scripted::Fail(scripted::Call::WriteFile, 3);
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 2u);
    EXPECT_TRUE(testhost::Logged("ROVOD> DoWrite() Send request error"));

    SetUp();
    SetGate("01A0005", 1, 'A', 5, 1);
    scripted::Reply(AckFrame(2));
    scripted::Reply(AckFrame(1, 0x12));
    scripted::Reply(AckFrame(1));
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{
                                        "ROVOD> CheckRecv(W) Wrong PLC address 2 (<>1)",
                                        "ROVOD> DoWrite() Check reply error",
                                        "ROVOD> DoWrite() Retry 1, TLen 14",
                                        "ROVOD> CheckRecv() Reply is not an ACK but 12h",
                                        "ROVOD> DoWrite() Check reply error",
                                        "ROVOD> DoWrite() Retry 2, TLen 14",
                                    }));
}

TEST_F(Write, StrayBytesBeforeAnAcknowledgeAreDrainedSoTheNextAttemptSucceeds) {
    SetGate("01A0005", 1, 'A', 5, 1);
    SetFloat(12.5f);
    Bytes shifted = {0x41, 0x41, 0x41};
    for (uint8_t b : AckFrame(1)) shifted.push_back(b);
    scripted::Reply(shifted);
    scripted::Reply(AckFrame(1));
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u) << testhost::Dump();
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{
                                        "ROVOD> CheckRecv(W) Header fault",
                                        "ROVOD> DoWrite() Check reply error",
                                        "ROVOD> DoWrite() Retry 1, TLen 14",
                                    }));
    EXPECT_EQ(scripted::Pending(), 0u);

    // A host that only writes keeps succeeding on that line.
    testhost::Reset();
    scripted::Reply(AckFrame(1));
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u);
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
}

struct Refusal {
    const char *pszName;
    const char *pszAddress;
    int32_t iMemType;
    int32_t iTag;
    int32_t iBitNo;
    float fValue;
    uint16_t wValue;
    uint32_t iResult;
    std::vector<std::string> lines;
};

TEST_F(Write, RefusedWritesSendNothing) {
    // clang-format off
    const Refusal cases[] = {
        {"overflow", "01A0005", 'A', 5, -1, -200.0f, 0, 3, {"ROVOD> BWriteR() Value overflow", "ROVOD> SingleWrite() , ret val is 3 for gate '01A0005'"}},
        {"too large", "01R0005", 'R', 5, -1, 300.0f, 0, 3, {"ROVOD> BWriteR() Value overflow", "ROVOD> SingleWrite() , ret val is 3 for gate '01R0005'"}},
        {"not a boolean", "01I00103", 'I', 0x10, 3, 0, 2, 3, {"ROVOD> BWriteR() Not a boolean", "ROVOD> SingleWrite() , ret val is 3 for gate '01I00103'"}},
        {"type 2", "0120010", '2', 0x10, -1, 0, 1, 1, {"ROVOD> BWriteR() No write request for gate '0120010'", "ROVOD> SingleWrite() , ret val is 1 for gate '0120010'"}},
        {"type 3 without letter", "0130205", '3', 2, -1, 1.0f, 0, 1, {"ROVOD> BWriteR() No write request for gate '0130205'", "ROVOD> SingleWrite() , ret val is 1 for gate '0130205'"}},
        {"type 3 with another letter", "0130205I", '3', 2, -1, 1.0f, 0, 1, {"ROVOD> BWriteR() No write request for gate '0130205I'", "ROVOD> SingleWrite() , ret val is 1 for gate '0130205I'"}},
        {"type 3 without address", nullptr, '3', 2, -1, 1.0f, 0, 1, {"ROVOD> BWriteR() No write request for gate '(no address)'", "ROVOD> SingleWrite() , ret val is 1 for gate '(no address)'"}},
        {"E", "01E0001", 'E', 1, -1, 0, 1, 1, {"ROVOD> BWriteR() No write request for gate '01E0001'", "ROVOD> SingleWrite() , ret val is 1 for gate '01E0001'"}},
        {"switch tag 9", "01Z0009", 'Z', 9, -1, 0, 1, 1, {"ROVOD> BWriteR() Illegal switch tag 9 in '01Z0009'", "ROVOD> SingleWrite() , ret val is 1 for gate '01Z0009'"}},
        {"switch tag 0", "01Z0000", 'Z', 0, -1, 0, 1, 1, {"ROVOD> BWriteR() Illegal switch tag 0 in '01Z0000'", "ROVOD> SingleWrite() , ret val is 1 for gate '01Z0000'"}},
    };
    // clang-format on
    for (const Refusal &c : cases) {
        SetUp();
        SetGate(c.pszAddress, 1, c.iMemType, c.iTag, 1, c.iBitNo);
        SetFloat(c.fValue);
        if (c.wValue != 0) SetWord(c.wValue);
        scripted::Reply(AckFrame(1));
        EXPECT_EQ(Call(ZEV_SINGLE_WRITE), c.iResult) << c.pszName;
        EXPECT_EQ(testhost::LogTexts(), c.lines) << c.pszName;
        EXPECT_TRUE(Writes().empty()) << c.pszName;
    }

    // What the builder had written before the refusal stays in the buffer.
    struct Started {
        int32_t iMemType;
        int32_t iBitNo;
        Bytes head;  // offsets 0..8; 0x5C untouched
    };
    const Started started[] = {
        {'R', -1, {0xA2, 0x01, 0x00, 0x07, 0x02, 0x05, 0x5C, 0x5C, 0x00}},
        {'I', 3, {0xA2, 0x01, 0x00, 0x5C, 0x05, 0x5C, 0x5C, 0x5C, 0x5C}},
    };
    for (const Started &c : started) {
        SetUp();
        SetGate("01X0005", 1, c.iMemType, 5, 1, c.iBitNo);
        if (c.iBitNo == -1) SetFloat(-200.0f);
        if (c.iBitNo != -1) SetWord(2);
        sendBuf.fill(0x5C);
        EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 3u);
        EXPECT_EQ(Bytes(sendBuf.begin(), sendBuf.begin() + 9), c.head) << static_cast<char>(c.iMemType);
    }
}

TEST_F(Write, BlockWritesAndMissingRecordsAreRefused) {
    SetGate("01A0005", 1, 'A', 5, 8);
    EXPECT_EQ(Call(ZEV_BLOCK_WRITE), 1u);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{
                                        "ROVOD> BWriteR() Block write not implemented",
                                        "ROVOD> BlockWrite(), ret val is 1 for block '01A0005'",
                                    }));

    // Any function but 7 and 10 builds nothing and is not refused.
    testhost::Reset();
    sendBuf.fill(0x5C);
    context.wSendLen = 3;
    request.iFunction = ZEV_SINGLE_READ;
    EXPECT_EQ(zev::BuildWriteRequest(&request), 0u);
    EXPECT_TRUE(testhost::Log().empty());
    EXPECT_EQ(sendBuf[0], 0x5C);
    EXPECT_EQ(context.wSendLen, 3);

    testhost::Reset();
    gate.pValue = nullptr;
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 1u);
    EXPECT_EQ(testhost::Log().front().text, "ROVOD> BWriteR() No value buffer for gate '01A0005'");

    testhost::Reset();
    context.hCom = 0;
    gate.pValue = value.data();
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 1u);
    EXPECT_EQ(testhost::LogTexts(),
              (std::vector<std::string>{"ROVOD> SingleWrite() , ret val is 1 for gate '01A0005'"}));

    testhost::Reset();
    request.pParams = nullptr;
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 1u);
    EXPECT_EQ(Call(ZEV_BLOCK_WRITE), 1u);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> SingleWrite() No gate record",
                                                              "ROVOD> BlockWrite() No gate record"}));
    EXPECT_TRUE(Writes().empty());
}

struct ParameterWrite {
    const char *pszName;
    int32_t iTag;
    uint16_t wValue;
    std::vector<std::string> lines;
};

TEST_F(Write, ParameterGatesChangeTheInstanceWithoutTheLine) {
    context.hCom = 0;
    context.IFG = 7;
    context.fDelay = 0.5f;
    const ParameterWrite cases[] = {
        {"TPPOS 12",
         252,
         12,
         {"ROVOD> SingleWrite() Point pos. value too high...", "ROVOD> SingleWrite() $TPPOS = 1"}},
        {"TPPOS 9", 252, 9, {"ROVOD> SingleWrite() $TPPOS = 9"}},
        {"IFG 6000",
         253,
         6000,
         {"ROVOD> SingleWrite() IFG value too high...", "ROVOD> SingleWrite() IFG = 5000"}},
        {"IFG 20", 253, 20, {"ROVOD> SingleWrite() IFG = 20"}},
        {"FDELAY 25", 254, 25, {"ROVOD> SingleWrite() FDelay = 2.5"}},
        {"FDELAY -10", 254, static_cast<uint16_t>(-10), {"ROVOD> SingleWrite() FDelay = -1.0"}},
        {"FDELAY 5000", 254, 5000, {}},
        {"DEBUG 2", 255, 2, {"ROVOD> SingleWrite() Wrong value for DebugFlag"}},
        {"other tag", 251, 1, {}},
    };
    for (const ParameterWrite &c : cases) {
        testhost::Reset();
        SetGate("$P", 255, ZEV_MEMTYPE_PARAMETER, c.iTag, 1);
        SetWord(c.wValue);
        EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u) << c.pszName;
        EXPECT_EQ(testhost::LogTexts(), c.lines) << c.pszName;
    }
    EXPECT_EQ(context.TPPOS, 9);
    EXPECT_EQ(context.IFG, 20);
    EXPECT_FLOAT_EQ(context.fDelay, -1.0f);
    EXPECT_EQ(context.DebugFlag, 0);

    testhost::Reset();
    SetGate("$DEBUG", 255, ZEV_MEMTYPE_PARAMETER, 255, 1);
    SetWord(1);
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u);
    EXPECT_EQ(context.DebugFlag, 1);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> SingleWrite() DebugFlag set to 1",
                                                              "ROVOD> SingleWrite() Parameter"}));

    testhost::Reset();
    SetGate("$DEBUG", 1, ZEV_MEMTYPE_PARAMETER, 255, 1);
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 1u);
    EXPECT_EQ(testhost::LogTexts(), (std::vector<std::string>{"ROVOD> Write() Wrong parameter"}));

    testhost::Reset();
    SetGate("$IFG", 255, ZEV_MEMTYPE_PARAMETER, 253, 1);
    gate.pValue = nullptr;
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 1u);
    EXPECT_EQ(context.IFG, 20);
    EXPECT_TRUE(Writes().empty());
}

}  // namespace
