// Gate address parsers through ZevMain: result, the five address fields and
// the exact log lines, for single gates (function 3) and blocks (function 4).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/test_host.h"

namespace {

constexpr int32_t kOld = -7777;  // a field the parser must not have written
constexpr int32_t kParam = ZEV_MEMTYPE_PARAMETER;

// iPlcAddr, iMemType, iTagAddr, iBitNo, iBits
using Fields = std::array<int32_t, 5>;
constexpr Fields kUntouched = {kOld, kOld, kOld, kOld, kOld};

struct Outcome {
    uint32_t iResult;
    Fields fields;
};

Outcome ParseGate(uint32_t iFunction, const char *pszAddress, int32_t iDataType, int32_t iBlockSize = 0) {
    GateDefinition def{};
    def.pszAddress = pszAddress;
    def.iDataType = iDataType;
    def.iBlockSize = iBlockSize;
    def.iPlcAddr = def.iMemType = def.iTagAddr = def.iBitNo = def.iBits = kOld;
    ZevRequest request{};
    request.iFunction = iFunction;
    request.pParams = &def;
    const uint32_t iResult = ZevMain(&request);
    return {iResult, {def.iPlcAddr, def.iMemType, def.iTagAddr, def.iBitNo, def.iBits}};
}

struct Case {
    std::string address;
    int32_t iDataType;
    int32_t iBlockSize;
    uint32_t iResult;
    Fields fields;
    std::vector<std::string> lines;  // all of category 8
};

void Check(uint32_t iFunction, const Case &c) {
    testhost::Reset();
    const Outcome outcome = ParseGate(iFunction, c.address.c_str(), c.iDataType, c.iBlockSize);
    const std::string where = "'" + c.address + "' type " + std::to_string(c.iDataType) + " size " +
                              std::to_string(c.iBlockSize) + " function " + std::to_string(iFunction);
    EXPECT_EQ(outcome.iResult, c.iResult) << where;
    EXPECT_EQ(outcome.fields, c.fields) << where;
    EXPECT_EQ(testhost::LogTexts(), c.lines) << where;
    for (const testhost::LogLine &line : testhost::Log()) EXPECT_EQ(line.iCategory, ZEV_LOG_TRACE) << where;
}

class AddressParser : public ::testing::Test {
protected:
    void SetUp() override { testhost::Reset(); }
    void TearDown() override { testhost::Reset(); }
};

const std::string kLong32 = "01a00053" + std::string(24, 'q');
const std::string kLong33 = "01a0005" + std::string(26, 'q');

TEST_F(AddressParser, GrammarOfControllerAddresses) {
    // clang-format off
    const Case cases[] = {
        // Length: refused before anything is written, shown as the host passed it.
        {kLong33, 3, 0, 1, kUntouched, {"ROVOD> Parse() Gate address string '" + kLong33 + "' too long ( > 32)"}},
        {kLong32, 3, 0, 1, {1, 'A', 5, -1, 32}, {"ROVOD> Parse() Address string wrong length '01A00053" + std::string(24, 'Q') + "'"}},
        {"01A000512", 3, 0, 1, {1, 'A', 5, -1, 32}, {"ROVOD> Parse() Address string wrong length '01A000512'"}},
        // Lower case is taken as upper case; Parse's lines show the upper-cased copy.
        {"01a0005", 3, 0, 0, {1, 'A', 5, -1, 32}, {}},
        {"fFa00fF", 3, 0, 0, {255, 'A', 255, -1, 32}, {}},
        {"01a0105", 3, 0, 0, {1, 'A', 5, -1, 32}, {"ROVOD> Parse() Not using information '01YY' in '01A0105'"}},
        {"01IAB05", 0, 0, 0, {1, 'I', 5, -1, 16}, {"ROVOD> Parse() Not using information 'ABYY' in '01IAB05'"}},
        {"01R0000", 3, 0, 0, {1, 'R', 0, -1, 32}, {}},
        {"01P0001", 3, 0, 0, {1, 'P', 1, -1, 32}, {}},
        // RAM bytes and bits: 1..63, for X with the position in block as high byte.
        {"01X0010", 0, 0, 0, {1, 'X', 16, -1, 16}, {}},
        {"01X0110", 0, 0, 1, {1, 'X', 0x110, kOld, 16}, {"ROVOD> Parse() Illegal RAM address in '01X0110'"}},
        {"01X0100", 0, 0, 1, {1, 'X', 0x100, kOld, 16}, {"ROVOD> Parse() Illegal RAM address in '01X0100'"}},
        {"01I003F", 0, 0, 0, {1, 'I', 63, -1, 16}, {}},
        {"01I0040", 0, 0, 1, {1, 'I', 64, kOld, 16}, {"ROVOD> Parse() Illegal RAM address in '01I0040'"}},
        {"01I0000", 0, 0, 1, {1, 'I', 0, kOld, 16}, {"ROVOD> Parse() Illegal RAM address in '01I0000'"}},
        // Switches 1..8.
        {"01Z0000", 0, 0, 1, {1, 'Z', 0, kOld, 16}, {"ROVOD> Parse(Z) Not implemented"}},
        {"01Z0009", 0, 0, 1, {1, 'Z', 9, kOld, 16}, {"ROVOD> Parse() Illegal switch tag 9 in '01Z0009'"}},
        {"01Z0008", 0, 0, 0, {1, 'Z', 8, -1, 16}, {}},
        {"01Z00081", 0, 0, 1, {1, 'Z', 8, -1, 16}, {"ROVOD> Parse() Illegal bit number in '01Z00081'"}},
        // E and H are refused as a type.
        {"01H0001", 3, 0, 1, {1, 'H', 1, kOld, 16}, {"ROVOD> Parse(PHE) Not implemented"}},
        {"01e0001", 3, 0, 1, {1, 'E', 1, kOld, 16}, {"ROVOD> Parse(PHE) Not implemented"}},
        // PLC address and short strings fail at the first field they lack.
        {"00A0001", 3, 0, 1, kUntouched, {"ROVOD> Parse() Illegal PLC addr in '00A0001'"}},
        {"", 3, 0, 1, kUntouched, {"ROVOD> Parse() Illegal PLC addr in ''"}},
        {"0", 3, 0, 1, kUntouched, {"ROVOD> Parse() Illegal PLC addr in '0'"}},
        {"1", 3, 0, 1, {1, 0, kOld, kOld, kOld}, {"ROVOD> Parse() Illegal tag addr in '1'"}},
        {"01A", 3, 0, 1, {1, 'A', kOld, kOld, kOld}, {"ROVOD> Parse() Illegal tag addr in '01A'"}},
        {"01A00", 3, 0, 1, {1, 'A', kOld, kOld, kOld}, {"ROVOD> Parse() Illegal tag addr in '01A00'"}},
        {"01A000", 3, 0, 1, {1, 'A', 0, -1, 32}, {"ROVOD> Parse() Address string wrong length '01A000'"}},
        {"01A0007", 3, 0, 0, {1, 'A', 7, -1, 32}, {}},
        // The eighth character: a bit number for 2, I and X.
        {"01I00123", 6, 0, 0, {1, 'I', 0x12, 3, 16}, {}},
        {"01I0012F", 6, 0, 0, {1, 'I', 0x12, 15, 16}, {}},
        {"01X00010", 6, 0, 0, {1, 'X', 1, 0, 16}, {}},
        {"012000A5", 6, 0, 0, {1, '2', 0xA, 5, 16}, {}},
        {"01I0012R", 6, 0, 1, {1, 'I', 0x12, -1, 16}, {"ROVOD> Parse() Wrong bit number in '01I0012R'"}},
        {"01I0012 ", 6, 0, 1, {1, 'I', 0x12, -1, 16}, {"ROVOD> Parse() Wrong bit number in '01I0012 '"}},
        {"01I0012G", 6, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 8 in '01I0012G'"}},
        {"01A00053", 6, 0, 1, {1, 'A', 5, -1, 32}, {"ROVOD> Parse() Illegal bit number in '01A00053'"}},
        // Type 3: the position in block is the element, the eighth character a value type.
        {"0130205A", 3, 0, 0, {1, '3', 2, -1, 32}, {}},
        {"0130205r", 3, 0, 0, {1, '3', 2, -1, 32}, {}},
        {"0130205", 3, 0, 0, {1, '3', 2, -1, 32}, {}},
        {"0130205B", 3, 0, 1, {1, '3', 2, -1, 32}, {"ROVOD> Parse() Wrong type 'B' in '0130205B'"}},
        {"01302053", 3, 0, 1, {1, '3', 2, -1, 32}, {"ROVOD> Parse() Wrong type '3' in '01302053'"}},
        // Characters outside the sets, at the first offending position.
        {"01Y0005", 3, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 3 in '01Y0005'"}},
        {"01A00-5", 3, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 6 in '01A00-5'"}},
        {"01%s%n5", 3, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 3 in '01%S%N5'"}},
        {"01A\xE9" "005", 3, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 4 in '01A\xE9" "005'"}},
        {"01A0005\xFF", 3, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 8 in '01A0005\xFF'"}},
        // Beyond the eighth position nothing is examined, only the length counts.
        {"01A0005 \x01", 3, 0, 1, {1, 'A', 5, -1, 32}, {"ROVOD> Parse() Address string wrong length '01A0005 \x01'"}},
    };
    // clang-format on
    for (const Case &c : cases) Check(ZEV_SINGLE_ADDRESS_PARSER, c);
}

TEST_F(AddressParser, ParameterGatesNeedTheirDataTypeAndTheSingleParser) {
    // clang-format off
    const Case cases[] = {
        {"$DEBUG", 6, 0, 0, {255, kParam, 255, -1, 1}, {}},
        {"$FDELAY", 1, 0, 0, {255, kParam, 254, -1, 16}, {}},
        {"$IFG", 0, 0, 0, {255, kParam, 253, -1, 16}, {}},
        {"$ifg", 0, 0, 0, {255, kParam, 253, -1, 16}, {}},
        {"$TpPos", 0, 0, 0, {255, kParam, 252, -1, 16}, {}},
        {"$DEBUG", 0, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 1 in '$DEBUG'"}},
        {"$fdelay", 0, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 1 in '$FDELAY'"}},
        {"$IFG", 6, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 1 in '$IFG'"}},
        {"$DEBUG ", 6, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 1 in '$DEBUG '"}},
        {"$DEBU", 6, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 1 in '$DEBU'"}},
    };
    // clang-format on
    for (const Case &c : cases) Check(ZEV_SINGLE_ADDRESS_PARSER, c);

    // clang-format off
    const Case blocks[] = {
        {"$DEBUG", 6, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 1 in '$DEBUG'"}},
        {"$ifg", 0, 0, 1, kUntouched, {"ROVOD> Parse() Illegal character 1 in '$IFG'"}},
    };
    // clang-format on
    for (const Case &c : blocks) Check(ZEV_BLOCK_ADDRESS_PARSER, c);
}

// SingleParse prints the string as the host passed it.
TEST_F(AddressParser, SingleGatesMustMatchTheHostDataType) {
    // clang-format off
    const Case cases[] = {
        {"01I00123", 0, 0, 1, {1, 'I', 0x12, 3, 16}, {"ROVOD> SingleParse() gate '01I00123' should be DIGITAL"}},
        {"01i00123", 3, 0, 1, {1, 'I', 0x12, 3, 16}, {"ROVOD> SingleParse() gate '01i00123' should be DIGITAL"}},
        {"01I0012", 6, 0, 1, {1, 'I', 0x12, -1, 16}, {"ROVOD> SingleParse() gate '01I0012' should be analog 16"}},
        {"01I0012", 1, 0, 0, {1, 'I', 0x12, -1, 16}, {}},
        {"01I0012", 3, 0, 1, {1, 'I', 0x12, -1, 16}, {"ROVOD> SingleParse() gate '01I0012' should be analog 16"}},
        {"01I0012", -1, 0, 1, {1, 'I', 0x12, -1, 16}, {"ROVOD> SingleParse() gate '01I0012' should be analog 16"}},
        {"01a0005", 0, 0, 1, {1, 'A', 5, -1, 32}, {"ROVOD> SingleParse() gate '01a0005' should be LONG"}},
        {"01A0005", 3, 0, 0, {1, 'A', 5, -1, 32}, {}},
        {"0130205A", 0, 0, 1, {1, '3', 2, -1, 32}, {"ROVOD> SingleParse() gate '0130205A' should be LONG"}},
        {"01A0005", 7, 0, 1, {1, 'A', 5, -1, 32}, {"ROVOD> SingleParse() no STRING gates allowed gate '01A0005'"}},
        {"01I00123", 7, 0, 1, {1, 'I', 0x12, 3, 16}, {"ROVOD> SingleParse() no STRING gates allowed gate '01I00123'"}},
        {"01I0012", 5, 0, 1, {1, 'I', 0x12, -1, 16}, {"ROVOD> SingleParse() gate '01I0012' should be analog 16"}},
        {"01A0005", 4, 0, 1, {1, 'A', 5, -1, 32}, {"ROVOD> SingleParse() gate '01A0005' should be LONG"}},
    };
    // clang-format on
    for (const Case &c : cases) Check(ZEV_SINGLE_ADDRESS_PARSER, c);
}

// The block rules print the string as the host passed it.
TEST_F(AddressParser, BlocksFollowTheSizeRulesOfTheirType) {
    // clang-format off
    const Case cases[] = {
        {"0120000", 0, 10, 0, {1, '2', 0, -1, 16}, {}},
        {"0120000", 0, 8, 1, {1, '2', 0, -1, 16}, {"ROVOD> Parse() Block size must be 10 in '0120000'"}},
        {"0120003", 0, 10, 0, {1, '2', 0, -1, 16}, {"ROVOD> Parse() Wrong gateAddr in '0120003'.  Using 0000 in block def"}},
        {"0120003", 0, 0, 1, {1, '2', 0, -1, 16}, {"ROVOD> Parse() Wrong gateAddr in '0120003'.  Using 0000 in block def", "ROVOD> Parse() Block size must be 10 in '0120003'"}},
        {"0130000", 3, 16, 0, {1, '3', 0, -1, 32}, {}},
        {"0130000", 3, 17, 1, {1, '3', 0, -1, 32}, {"ROVOD> Parse() Block size out of range in '0130000' (max.16)"}},
        {"0130205A", 3, 4, 0, {1, '3', 0, -1, 32}, {"ROVOD> Parse() Wrong gateAddr in '0130205A'.  Using 0000 in block def"}},
        {"01A0000", 3, 8, 0, {1, 'A', 0, -1, 32}, {}},
        {"01a0000", 3, 9, 1, {1, 'A', 0, -1, 32}, {"ROVOD> Parse() block size out of range in block '01a0000' (max.8)"}},
        {"01I0001", 0, 63, 0, {1, 'I', 1, -1, 16}, {}},
        {"01I0001", 0, 64, 1, {1, 'I', 1, -1, 16}, {"ROVOD> Parse() block size out of range block '01I0001' (max.63)"}},
        {"01X0001", 0, 64, 1, {1, 'X', 1, -1, 16}, {"ROVOD> Parse() block size out of range block '01X0001' (max.63)"}},
        // No lower bound: the size is compared as a signed number.
        {"01A0000", 0, -5, 0, {1, 'A', 0, -1, 32}, {}},
        {"0120000", 0, 0, 1, {1, '2', 0, -1, 16}, {"ROVOD> Parse() Block size must be 10 in '0120000'"}},
        // Switches are accepted with a warning; bits are never blocks.
        {"01Z0001", 0, 100, 0, {1, 'Z', 1, -1, 16}, {"ROVOD> Parse() No blocks supported for type Z"}},
        {"01I00123", 6, 1, 1, {1, 'I', 0x12, 3, 16}, {"ROVOD> Parse() no spec. dig. gates allowed for blocks '01I00123'"}},
        // The data type is of no concern to a block.
        {"01A0000", 7, 1, 0, {1, 'A', 0, -1, 32}, {}},
        // Grammar errors are the same as for single gates.
        {"01A000", 3, 1, 1, {1, 'A', 0, -1, 32}, {"ROVOD> Parse() Address string wrong length '01A000'"}},
    };
    // clang-format on
    for (const Case &c : cases) Check(ZEV_BLOCK_ADDRESS_PARSER, c);
}

TEST_F(AddressParser, RefusesMissingRecordsAndOverlongStringsSafely) {
    for (uint32_t iFunction : {ZEV_SINGLE_ADDRESS_PARSER, ZEV_BLOCK_ADDRESS_PARSER}) {
        testhost::Reset();
        ZevRequest request{};
        request.iFunction = iFunction;
        EXPECT_EQ(ZevMain(&request), 1u);
        EXPECT_EQ(testhost::Log(),
                  (std::vector<testhost::LogLine>{{8, "ROVOD> Parse() No gate definition"}}));

        testhost::Reset();
        GateDefinition def{};
        def.iDataType = ZEV_TYPE_LONG;
        def.iPlcAddr = def.iMemType = def.iTagAddr = def.iBitNo = def.iBits = kOld;
        request.pParams = &def;
        EXPECT_EQ(ZevMain(&request), 1u);
        EXPECT_EQ(testhost::Log(),
                  (std::vector<testhost::LogLine>{{8, "ROVOD> Parse() No gate address string"}}));
        EXPECT_EQ((Fields{def.iPlcAddr, def.iMemType, def.iTagAddr, def.iBitNo, def.iBits}), kUntouched);

        // Far beyond the working copy: refused on its length, nothing copied.
        testhost::Reset();
        const std::string huge(100000, 'A');
        EXPECT_EQ(ParseGate(iFunction, huge.c_str(), ZEV_TYPE_LONG).iResult, 1u);
        ASSERT_EQ(testhost::Log().size(), 1u);
        EXPECT_EQ(testhost::Log()[0].text.rfind("ROVOD> Parse() Gate address string 'AAAA", 0), 0u);
    }
}

// Fields of an earlier pass stay only where this pass did not reach.
TEST_F(AddressParser, EachPassOverwritesTheFieldsItReaches) {
    GateDefinition def{};
    def.iDataType = ZEV_TYPE_DIGITAL;
    ZevRequest request{};
    request.iFunction = ZEV_SINGLE_ADDRESS_PARSER;
    request.pParams = &def;
    def.pszAddress = "0AI00123";
    ASSERT_EQ(ZevMain(&request), 0u);
    EXPECT_EQ((Fields{def.iPlcAddr, def.iMemType, def.iTagAddr, def.iBitNo, def.iBits}),
              (Fields{10, 'I', 0x12, 3, 16}));
    def.pszAddress = "0BX00";
    EXPECT_EQ(ZevMain(&request), 1u);
    EXPECT_EQ((Fields{def.iPlcAddr, def.iMemType, def.iTagAddr, def.iBitNo, def.iBits}),
              (Fields{11, 'X', 0x12, 3, 16}));
}

}  // namespace
