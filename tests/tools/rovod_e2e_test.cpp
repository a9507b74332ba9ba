// rovod and rovod-sim run as programs, the way people and scripts use them:
// every subcommand, the JSON output, the exit codes, the built-in simulator
// and the driver's retries and results against each injected fault.
#include "e2e.h"

namespace {

using namespace rovod_e2e;

TEST(RovodInfo, DescribesTheDriver) {
    const Outcome o = Rovod("info --json");
    ASSERT_EQ(o.status, 0) << o.err;
    const json j = Json(o);
    EXPECT_EQ(j["title"], "Process Controllers TK");
    EXPECT_EQ(j["context_size"], 96);
    EXPECT_EQ(j["defaults"]["baud"], 9600);
    EXPECT_EQ(j["defaults"]["data"], 8);
    const std::string banner = j["banner"];
    EXPECT_NE(banner.find("\u2554"), std::string::npos);  // ╔ from CP437 0xC9
    EXPECT_NE(banner.find("ROVOD :  Controller series P, B and PS (32 bit)"), std::string::npos);
    EXPECT_EQ(banner.find('\b'), std::string::npos);

    const Outcome table = Rovod("info");
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("\u255D"), std::string::npos);  // ╝
}

TEST(RovodParse, ShowsTheFieldsOrTheRefusal) {
    struct Case {
        const char *args;
        int status;
        int plc, memType, tag, bit, bits;
        const char *reason;
    };
    const Case cases[] = {
        {"01A0005", 0, 1, 'A', 5, -1, 32, ""},
        {"0ai00123", 0, 10, 'I', 0x12, 3, 16, ""},
        {"'$IFG'", 0, 255, 336, 253, -1, 16, ""},
        {"01H0001", 1, 0, 0, 0, 0, 0, "ROVOD> Parse(PHE) Not implemented"},
        {"01A0001 --block 9", 1, 0, 0, 0, 0, 0, "(max.8)"},
        // A negative size is still a block, refused here only for type 2's size.
        {"0120000 --block -5", 1, 0, 0, 0, 0, 0, "Block size must be 10"},
        {"01A0005 --type 0", 1, 0, 0, 0, 0, 0, "should be LONG"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome o = Rovod(std::string("parse --json ") + c.args);
        EXPECT_EQ(o.status, c.status) << o.err;
        const json gate = Json(o)["gates"][0];
        if (c.status == 0) {
            EXPECT_EQ(gate["iPlcAddr"], c.plc);
            EXPECT_EQ(gate["iMemType"], c.memType);
            EXPECT_EQ(gate["iTagAddr"], c.tag);
            EXPECT_EQ(gate["iBitNo"], c.bit);
            EXPECT_EQ(gate["iBits"], c.bits);
        } else {
            EXPECT_NE(gate["reason"].get<std::string>().find(c.reason), std::string::npos) << gate;
        }
    }
}

TEST(RovodUsage, RefusesBadCommandLinesWith64) {
    for (const char *args :
         {"", "frobnicate", "read", "write 01A0010", "write 01A0010 abc", "write 01A0010 1e300",
          "write 01I0010 70000", "read 01A0005 --count 0", "info --baud many", "parse 01A0005 --type 9",
          "scan --plc 0..5", "scan --plc 5..2", "scan --baud fast", "check", "check 01A0011 --reads 0",
          "plot /nonexistent.csv --out t.png", "plot",
          "poll 01A0011 --cycles 1 --csv /nonexistent/dir/x.csv"}) {
        const Outcome o = Rovod(args);
        EXPECT_EQ(o.status, 64) << args << "\n" << o.out << o.err;
    }
    for (const char *args : {"--help", "read --help", "poll --help", "write --help", "parse --help",
                             "info --help", "scan --help", "check --help", "plot --help"})
        EXPECT_EQ(Rovod(args).status, 0) << args;
#if defined(ROVOD_HAVE_PORTS)
    EXPECT_EQ(Rovod("ports --help").status, 0);
#endif
}

TEST(RovodRead, WorksWithNothingAttached) {
    const Outcome o = Rovod("read 01A0011 01I0010 0AI00113 0120000 --sim-frozen --json");
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    const json j = Json(o);
    EXPECT_EQ(j["gates"][0]["value"], 12.5);
    EXPECT_EQ(j["gates"][1]["value"], 0x5A);
    EXPECT_EQ(j["gates"][2]["value"], 1);  // bit 3 of 0x08
    EXPECT_EQ(j["gates"][3]["values"].size(), 10u);
    EXPECT_EQ(j["gates"][3]["values"][0], 1);  // the status block begins with the controller address
}

TEST(RovodRead, BlocksOfValueWords) {
    const Outcome o = Rovod("read 01A0010 --count 3 --sim-frozen --json");
    ASSERT_EQ(o.status, 0) << o.err;
    const json values = Json(o)["gates"][0]["values"];
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0], 60.0);
    EXPECT_EQ(values[1], 12.5);
    EXPECT_NEAR(values[2].get<double>(), -3.7, 1e-6);
}

TEST(RovodWrite, WhatIsWrittenReadsBack) {
    Simulator sim({});
    ASSERT_FALSE(sim.port.empty());
    const std::string port = " --port " + sim.port + " --timeout 10 ";
    struct Case {
        const char *address, *value;
        double expected;
    };
    const Case cases[] = {
        {"01A0012", "42.25", 42.25}, {"01R0013", "-7.5", -7.5}, {"01P0014", "5.5", 5.5},
        {"01F0020", "7.5", 7.5},     {"01I0012", "0x33", 0x33}, {"01X0013", "200", 200},
        {"01I00140", "1", 1},        {"02A0012", "1.25", 1.25},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        const Outcome w = Rovod(std::string("write --json") + port + c.address + " " + c.value);
        ASSERT_EQ(w.status, 0) << w.out << w.err;
        EXPECT_EQ(Json(w)["result"], 0);
        const Outcome r = Rovod(std::string("read --json") + port + c.address);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NEAR(Json(r)["gates"][0]["value"].get<double>(), c.expected, 1e-6);
    }
    // The bit write left the rest of the byte alone; a clear takes it back.
    EXPECT_EQ(Rovod("write" + port + "01I00140 0").status, 0);
    EXPECT_EQ(Json(Rovod("read --json" + port + "01I0014"))["gates"][0]["value"], 0);
}

TEST(RovodWrite, RefusalsCarryTheDriversCodes) {
    struct Case {
        const char *args;
        int status;
        const char *line;
    };
    const Case cases[] = {
        {"write 01A0010 -200", 3, "Value overflow"},     // no word for it
        {"write 01I00120 2", 3, "Not a boolean"},        // a bit takes 0 or 1
        {"write 01A0000 1", 3, "PLC replied with NAK"},  // a live measurement
        {"write 01A0010 1 --sim-fault nak", 3, "NAK"},   // the controller says no
    };
    for (const Case &c : cases) {
        const Outcome o = Rovod(std::string(c.args) + " --timeout 10 --json");
        EXPECT_EQ(o.status, c.status) << c.args << o.out << o.err;
        EXPECT_NE(Json(o)["error"].get<std::string>().find(c.line), std::string::npos) << c.args << o.out;
    }
}

// Each fault of the simulator against the driver: result and retries.
TEST(RovodFaults, RetriesAndResults) {
    struct Case {
        const char *args;
        int status;
        size_t retries;
    };
    const Case cases[] = {
        {"read 01A0011 --sim-fault drop@1", 0, 1},
        {"read 01A0011 --sim-fault drop", 2, 2},
        {"read 01A0011 --sim-fault badfcs@1..2", 0, 2},
        {"read 01A0011 --sim-fault badfcs", 1, 2},
        {"read 01A0011 --sim-fault wrongplc", 1, 2},
        {"read 01A0011 --sim-fault nak", 1, 2},
        {"read 01A0011 --sim-fault noise=3@1", 0, 1},
        {"read 01A0011 --sim-fault delay=300@1 --timeout 20", 0, 1},
        {"read 01A0011 --sim-fault split=20", 0, 0},
        {"read 01A0011 --sim-fault trailing=2", 0, 0},
        {"write 01A0010 2.5 --sim-fault drop@1..2", 0, 2},
        {"write 01A0010 2.5 --sim-fault drop", 2, 2},
        {"write 01A0010 2.5 --sim-fault badfcs", 1, 2},
        {"write 01A0010 2.5 --sim-fault badlen", 2, 2},
        {"write 01A0010 2.5 --sim-fault nak", 3, 0},
    };
    for (const Case &c : cases) {
        const std::string args = c.args;
        const Outcome o = Rovod(args + " --sim-frozen -v" +
                                (args.find("--timeout") == std::string::npos ? " --timeout 10" : ""));
        EXPECT_EQ(o.status, c.status) << c.args << "\n" << o.out << o.err;
        EXPECT_EQ(Count(o.err, "() Retry "), c.retries) << c.args << "\n" << o.err;
    }
}

TEST(RovodPoll, CountsErrorsAndRetriesPerGate) {
    const Outcome o =
        Rovod("poll 01A0011 01A0000 --cycles 3 --interval 10 --timeout 10 --json --sim-fault drop@3..5");
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    std::istringstream lines(o.out);
    std::vector<json> cycles;
    for (std::string line; std::getline(lines, line);) cycles.push_back(json::parse(line));
    ASSERT_EQ(cycles.size(), 3u);
    // Requests 1 and 2 are cycle 1; 3..5 are the three attempts at the first gate of cycle 2.
    EXPECT_EQ(cycles[0]["gates"][0]["errors"], 0);
    EXPECT_EQ(cycles[1]["result"], 2);
    EXPECT_EQ(cycles[1]["gates"][0]["result"], 2);
    EXPECT_EQ(cycles[1]["gates"][0]["retries"], 2);
    EXPECT_EQ(cycles[1]["gates"][1]["result"], 0);
    EXPECT_EQ(cycles[2]["gates"][0]["errors"], 1);
    EXPECT_EQ(cycles[2]["gates"][0]["value"], 12.5);
    EXPECT_EQ(cycles[2]["cycle"], 3);
}

TEST(RovodPort, ReportsWhatCannotBeOpenedOrLoaded) {
    const Outcome port = Rovod("read 01A0005 --port ttyNOPE9");
    EXPECT_EQ(port.status, 2);
    EXPECT_NE(port.err.find("cannot open port ttyNOPE9"), std::string::npos) << port.err;
    const Outcome driver = Rovod("info", "/nonexistent/libzedadad.so");
    EXPECT_EQ(driver.status, 2) << driver.err;
    EXPECT_NE(driver.err.find("cannot load the driver"), std::string::npos) << driver.err;
}

}  // namespace

// A controller that answers some requests later than the reply time-out:
// a late reply names no element, yet no reading may ever be another
// element's value. Reads give their own value or fail; singles and a block.
TEST(RovodPoll, LateRepliesNeverGiveAnotherElementsValue) {
    const double expected[] = {60.0, 12.5, -3.7};
    for (const char *pszDelay : {"delay=250%50", "delay=450%40", "delay=650%30"}) {
        SCOPED_TRACE(pszDelay);
        const Simulator sim({"--fault", pszDelay, "--seed", "5"}, "1");
        ASSERT_FALSE(sim.port.empty());
        const std::string line = " --port " + sim.port + " --timeout 20 --interval 0 --json";
        for (const std::string &gates : {std::string("01A0010 01A0011 01A0012 --cycles 3"),
                                         std::string("01A0010 --count 3 --cycles 2")}) {
            const Outcome o = Rovod("poll " + gates + line);
            std::istringstream lines(o.out);
            size_t iGood = 0;
            for (std::string text; std::getline(lines, text);) {
                const json cycle = json::parse(text);
                for (const json &gate : cycle["gates"]) {
                    if (gate["result"].get<int>() != 0) continue;
                    const size_t first =
                        std::stoul(gate["address"].get<std::string>().substr(5), nullptr, 16) - 0x10;
                    for (size_t i = 0; i < gate["values"].size(); ++i) {
                        EXPECT_NEAR(gate["values"][i].get<double>(), expected[first + i], 1e-6) << text;
                        ++iGood;
                    }
                }
            }
            EXPECT_GT(iGood, 0u) << o.out << o.err;
        }
    }
}
