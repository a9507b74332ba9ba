// The control-signal file: masks and switching bits, limits, illegal lines,
// piece counting and file-name precedence. Each test runs in a fresh
// temporary directory.
#include "config/intfile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/context.h"
#include "support/test_host.h"

namespace {

namespace fs = std::filesystem;
using testhost::LogLine;

class IntFile : public ::testing::Test {
protected:
    fs::path previousDir;
    fs::path dir;
    zev::DriverContext context{};
    ZevRequest request{};

    void SetUp() override {
        testhost::Reset();
        previousDir = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "rovod-intfile-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        fs::current_path(dir);
        Fresh();
    }

    void TearDown() override {
        fs::current_path(previousDir);
        fs::remove_all(dir);
        testhost::Reset();
    }

    // The block as ColdStart leaves it before the file is read.
    void Fresh() {
        std::memset(&context, 0, sizeof context);
        context.SendMask = 0x0303;
        context.RecMask = 0x0303;
        context.IFG = 3;
        context.fDelay = -1.0f;
        context.TPPOS = 1;
        request = ZevRequest{};
        request.pContext = &context;
        request.iFunction = 1;
        request.iInstance = 0;
    }

    static void Write(const std::string &name, const std::string &text) {
        std::ofstream file(name, std::ios::binary);
        file << text;
    }

    void Read(const std::string &text, uint32_t iInstance = 0) {
        Write("ROVOD.INT", text);
        request.iInstance = iInstance;
        zev::ReadIntFile(&request);
    }
};

struct MaskCase {
    const char *pszText;
    uint16_t wSendMask;
    uint16_t wRecMask;
    uint8_t bSwitching;
};

TEST_F(IntFile, MasksAndSwitchingBitsFromSendAndReceiveLines) {
    const MaskCase cases[] = {
        // A file without SEND or RECEIVE turns both lines off both ways.
        {"DEBUG = OFF\n", 0x0000, 0x0000, 0},
        {"", 0x0000, 0x0000, 0},
        {"SEND = RTS ON\nRECEIVE = RTS OFF\n", 0x0202, 0x0000, 1},
        {"SEND = DTR ON RTS ON\nRECEIVE = DTR ON\n", 0x0303, 0x0101, 1},
        {"SEND = DTR ON\nRECEIVE = RTS ON\n", 0x0101, 0x0202, 3},
        {"send = rts on\nreceive = rts off\n", 0x0202, 0x0000, 1},
        {"SEND = DTR ON\nSEND = RTS ON\n", 0x0303, 0x0000, 3},
        {"SEND = DTR ON RTS ON\nSEND = DTR OFF\n", 0x0202, 0x0000, 1},
        {"SEND = DTR ON garbage\n", 0x0101, 0x0000, 2},
        {"SEND=DTRONRTSON\n", 0x0303, 0x0000, 3},
        // ONE reads as ON; the rest "E RTS OFFSET" is no signal word and ends the list.
        {"SEND = DTR ONE RTS OFFSET\n", 0x0101, 0x0000, 2},
        {"SEND = DTR\nRECEIVE = RTS\n", 0x0000, 0x0000, 0},
        {"   SEND   =   RTS   ON   \nRECEIVE = DTR ON RTS ON\n", 0x0202, 0x0303, 2},
        // Lines ended the Windows way read the same.
        {"SEND = RTS ON\r\nRECEIVE = RTS OFF\r\n\r\n", 0x0202, 0x0000, 1},
    };
    for (const MaskCase &c : cases) {
        Fresh();
        testhost::Reset();
        Read(c.pszText);
        EXPECT_EQ(context.SendMask, c.wSendMask) << c.pszText;
        EXPECT_EQ(context.RecMask, c.wRecMask) << c.pszText;
        EXPECT_EQ(context.bSwitching, c.bSwitching) << c.pszText;
        for (const LogLine &line : testhost::Log())
            EXPECT_EQ(line.text.find("illegal"), std::string::npos) << c.pszText << testhost::Dump();
    }
}

TEST_F(IntFile, EveryLineIsReportedInOrderWithItsCategory) {
    Read(
        "; RS-485 converter on COM2\n"
        "SEND = RTS ON\n"
        "RECEIVE = RTS OFF\n"
        "FDELAY = -5\n"
        "IFG = 20\n"
        "DEBUG = ON\n"
        "READBEFOREWRITE = ON\n"
        "RS485 = ON\n");
    const std::vector<LogLine> expected = {
        {32, "ROVOD> Opening Control Signal file ROVOD.INT"},
        {32, "ROVOD> SEND:DTR=0 RTS=1"},
        {32, "ROVOD> RECEIVE:DTR=0 RTS=0 "},
        {32, "ROVOD> fDelay = -0.500msec"},
        {8, "ROVOD> IFG is set to 20"},
        {8, "ROVOD> Debug information flag = 1"},
        {8, "ROVOD> Flag ReadBeforeWrite = 1"},
        {8, "ROVOD> Kernel RS485 mode = 1"},
        {8, "ROVOD> Total lines read : 8"},
        {8, "ROVOD> SEND : DTR(0), RTS(1) ; RECEIVE : DTR(0), RTS(0)"},
        {8, "ROVOD> SendMask 0202, RecMask 0000"},
        {32, "ROVOD> ReadIntFile() IFG = 20"},
    };
    EXPECT_EQ(testhost::Log(), expected) << testhost::Dump();
    EXPECT_EQ(context.DebugFlag, 1);
    EXPECT_EQ(context.ReadBeforeWrite, 1);
    EXPECT_EQ(context.bRs485, zev::kRs485Asked);
    EXPECT_FLOAT_EQ(context.fDelay, -0.5f);
    EXPECT_EQ(context.IFG, 20);
}

TEST_F(IntFile, FlagsWithoutOffOrOnKeepTheirValueButAreStillReported) {
    Read(
        "DEBUG = ON\nDEBUG = MAYBE\nREADBEFOREWRITE = ONCE\nREADBEFOREWRITE = OFFSET\nREADBEFOREWRITE =\n"
        "RS485 = ON\nRS485 = MAYBE\n");
    EXPECT_EQ(context.DebugFlag, 1);
    EXPECT_EQ(context.ReadBeforeWrite, 0);
    EXPECT_EQ(context.bRs485, zev::kRs485Asked);
    const std::vector<std::string> texts = testhost::LogTexts();
    const std::vector<std::string> flags(texts.begin() + 1, texts.begin() + 8);
    EXPECT_EQ(flags, (std::vector<std::string>{
                         "ROVOD> Debug information flag = 1", "ROVOD> Debug information flag = 1",
                         "ROVOD> Flag ReadBeforeWrite = 1", "ROVOD> Flag ReadBeforeWrite = 0",
                         "ROVOD> Flag ReadBeforeWrite = 0", "ROVOD> Kernel RS485 mode = 1",
                         "ROVOD> Kernel RS485 mode = 1"}));
}

struct LimitCase {
    const char *pszLine;
    float fDelay;  // expected afterwards (start -1.0)
    uint16_t IFG;  // expected afterwards (start 3)
    bool bLogged;  // a value line was written
};

TEST_F(IntFile, DelayAndGapLimitsAndNumbersThatAreNot) {
    const LimitCase cases[] = {
        {"FDELAY = -5\n", -0.5f, 3, true},      {"FDELAY = 499\n", 49.9f, 3, true},
        {"FDELAY = 500\n", -1.0f, 3, false},    {"FDELAY = -32768\n", -3276.8f, 3, true},
        {"FDELAY = 40000\n", -1.0f, 3, false},  // outside 16 bits: refused, not wrapped
        {"FDELAY = -40000\n", -1.0f, 3, false}, {"FDELAY = 99999999999999999999\n", -1.0f, 3, false},
        {"FDELAY = abc\n", -1.0f, 3, false},    {"FDELAY =\n", -1.0f, 3, false},
        {"FDELAY = 5ms\n", 0.5f, 3, true},  // text after the number is ignored
        {"IFG = 4999\n", -1.0f, 4999, true},    {"IFG = 0\n", -1.0f, 0, true},
        {"IFG = 5000\n", -1.0f, 3, false},      {"IFG = 40000\n", -1.0f, 3, false},
        {"IFG = 70000\n", -1.0f, 3, false},  // would wrap to 4464 in 16 bits
        {"IFG = -1\n", -1.0f, 3, false},        {"IFG = \t12x\n", -1.0f, 12, true},
    };
    for (const LimitCase &c : cases) {
        Fresh();
        testhost::Reset();
        Read(c.pszLine);
        EXPECT_FLOAT_EQ(context.fDelay, c.fDelay) << c.pszLine;
        EXPECT_EQ(context.IFG, c.IFG) << c.pszLine;
        // Opening, (value line), total, summary, masks, IFG.
        EXPECT_EQ(testhost::Log().size(), c.bLogged ? 6u : 5u) << c.pszLine << testhost::Dump();
    }
    testhost::Reset();
    Read("FDELAY = 499\n");
    EXPECT_TRUE(testhost::Logged("ROVOD> fDelay = 49.900msec")) << testhost::Dump();
}

TEST_F(IntFile, IllegalLinesAreNumberedCountingCommentsAndEmptyLines) {
    Read(
        "; a comment counts\n"  // 1
        " ; not a comment\n"    // 2: blank before the semicolon
        "\n"                    // 3: empty
        "   \n"                 // 4: blanks only
        "DEBUG\t= ON\n"         // 5: a tab is no blank
        "DEBUGLEVEL = ON\n"     // 6: DEBUG not followed by '='
        "\x01\xff\x80 = 3\n"    // 7: binary
        "IFG 7\n"               // 8: no '='
        "IFG = 7\n");           // 9
    const std::vector<LogLine> &log = testhost::Log();
    std::vector<std::string> illegal;
    for (const LogLine &line : log)
        if (line.text.find("illegal") != std::string::npos) {
            EXPECT_EQ(line.iCategory, 32);
            illegal.push_back(line.text);
        }
    EXPECT_EQ(illegal, (std::vector<std::string>{
                           "ROVOD> ReadIntFile() illegal line 2 in 'ROVOD.INT'",
                           "ROVOD> ReadIntFile() illegal line 4 in 'ROVOD.INT'",
                           "ROVOD> ReadIntFile() illegal line 5 in 'ROVOD.INT'",
                           "ROVOD> ReadIntFile() illegal line 6 in 'ROVOD.INT'",
                           "ROVOD> ReadIntFile() illegal line 7 in 'ROVOD.INT'",
                           "ROVOD> ReadIntFile() illegal line 8 in 'ROVOD.INT'",
                       }));
    EXPECT_TRUE(testhost::Logged("ROVOD> Total lines read : 9"));
    EXPECT_EQ(context.DebugFlag, 0);
    EXPECT_EQ(context.IFG, 7);
}

TEST_F(IntFile, LongLinesAreReadInPiecesOf255ThatCountAsLines) {
    std::string text;
    text += ";" + std::string(253, 'x') + "\n";         // 1: exactly 255 with its line feed
    text += ";" + std::string(254, 'x') + "\n";         // 2, 3: 255 characters, then the lone line feed
    text += std::string(300, 'A') + "\n";               // 4, 5: two illegal pieces
    text += std::string(255, ' ') + "SEND = RTS ON\n";  // 6, 7: blanks, then a setting of its own
    text += "IFG = 9";                                  // 8: no line feed at the end
    Read(text);
    std::vector<std::string> illegal;
    for (const std::string &line : testhost::LogTexts())
        if (line.find("illegal") != std::string::npos) illegal.push_back(line);
    EXPECT_EQ(illegal, (std::vector<std::string>{"ROVOD> ReadIntFile() illegal line 4 in 'ROVOD.INT'",
                                                 "ROVOD> ReadIntFile() illegal line 5 in 'ROVOD.INT'",
                                                 "ROVOD> ReadIntFile() illegal line 6 in 'ROVOD.INT'"}));
    EXPECT_TRUE(testhost::Logged("ROVOD> Total lines read : 8")) << testhost::Dump();
    EXPECT_EQ(context.SendMask, 0x0202);
    EXPECT_EQ(context.IFG, 9);
}

TEST_F(IntFile, BinaryBytesAndEmbeddedNulsStayInsideTheLine) {
    std::string text = "SEND = RTS ON";
    text += '\0';
    text += "garbage\nRECEIVE = DTR ON\n";
    text += std::string(600, '\xff') + "\n";
    Read(text);
    EXPECT_EQ(context.SendMask, 0x0202);
    EXPECT_EQ(context.RecMask, 0x0101);
    EXPECT_TRUE(testhost::Logged("ROVOD> Total lines read : 5")) << testhost::Dump();
}

TEST_F(IntFile, MissingFileChangesNothingAndWritesOnlyTheWarning) {
    const zev::DriverContext before = context;
    zev::ReadIntFile(&request);
    EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0);
    EXPECT_EQ(testhost::Log(), (std::vector<LogLine>{{8, "ROVOD> ColdStart() Warning, no initfile found"}}));
}

struct NameCase {
    uint32_t iInstance;
    std::vector<std::string> files;
    const char *pszOpened;
};

TEST_F(IntFile, FileNamePrecedence) {
    const NameCase cases[] = {
        {3, {"ROVOD.INT", "ROVOD3.INT"}, "ROVOD3.INT"},
        {3, {"ROVOD.INT", "ROVOD3.INT", "ROVOD03.INT"}, "ROVOD03.INT"},
        {3, {"ROVOD.INT"}, "ROVOD.INT"},
        {3, {"ROVOD4.INT", "ROVOD.INT"}, "ROVOD.INT"},
        {0, {"ROVOD0.INT", "ROVOD00.INT"}, "ROVOD00.INT"},
        {12, {"ROVOD.INT", "ROVOD12.INT"}, "ROVOD12.INT"},
        {123456, {"ROVOD.INT", "ROVOD123456.INT"}, "ROVOD123456.INT"},
        // Seven digits do not fit the 15-character name: only the shared file is tried.
        {1234567, {"ROVOD.INT", "ROVOD1234567.INT", "ROVOD1234567.IN"}, "ROVOD.INT"},
        // The name is matched as it stands: no lower-case file.
        {5, {"rovod5.int", "ROVOD.INT"}, "ROVOD.INT"},
    };
    for (const NameCase &c : cases) {
        for (const auto &entry : fs::directory_iterator(dir)) fs::remove(entry.path());
        for (const std::string &name : c.files) Write(name, "IFG = 1\n");
        Fresh();
        testhost::Reset();
        request.iInstance = c.iInstance;
        zev::ReadIntFile(&request);
        ASSERT_FALSE(testhost::Log().empty());
        EXPECT_EQ(testhost::Log()[0].text, std::string("ROVOD> Opening Control Signal file ") + c.pszOpened)
            << c.iInstance;
    }
}

TEST_F(IntFile, MatchKeywordMatchesPrefixesAndMovesTheCursor) {
    constexpr std::array<const char *, 2> words = {"OFF", "ON"};
    constexpr std::array<const char *, 2> keys = {"DEBUG", "IFG"};
    char szLine[64];

    std::strcpy(szLine, "  one more");
    char *pCursor = szLine;
    EXPECT_EQ(zev::MatchKeyword(&pCursor, words, '\0'), 1);
    EXPECT_STREQ(pCursor, "E MORE");  // upper-cased in place, the rest left for the next match

    std::strcpy(szLine, "   xyz");
    pCursor = szLine;
    EXPECT_EQ(zev::MatchKeyword(&pCursor, words, '\0'), -1);
    EXPECT_EQ(pCursor, szLine + 3);  // the blanks stay skipped

    std::strcpy(szLine, "ifg   =   12");
    pCursor = szLine;
    EXPECT_EQ(zev::MatchKeyword(&pCursor, keys, '='), 1);
    EXPECT_STREQ(pCursor, "12");

    std::strcpy(szLine, "DEBUGLEVEL = ON");
    pCursor = szLine;
    EXPECT_EQ(zev::MatchKeyword(&pCursor, keys, '='), -1);
    EXPECT_EQ(pCursor, szLine);

    std::strcpy(szLine, "");
    pCursor = szLine;
    EXPECT_EQ(zev::MatchKeyword(&pCursor, words, '\0'), -1);
    EXPECT_EQ(pCursor, szLine);
}

}  // namespace
