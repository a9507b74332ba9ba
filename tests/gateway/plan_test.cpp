// The read planner: its decisions as a table, then rovod poll and the
// gateway reading through it against the simulator.
#include "plan.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "rig.h"

namespace {

using nlohmann::json;

// A plan in short: "A10x8[0 1 2]" a block of 8 from element 10 for gates 0,
// 1, 2; "A18[3]" a gate's own read.
std::string Show(const std::vector<rovod::PlannedRead> &plan) {
    std::string text;
    for (const rovod::PlannedRead &r : plan) {
        char head[32];
        std::snprintf(head, sizeof head, "%s%c%02X", text.empty() ? "" : " ", r.mem ? r.mem : '$', r.first);
        text += head;
        if (r.bBlock) {
            text += 'x';
            text += std::to_string(r.count);
        }
        text += "[";
        for (size_t k = 0; k < r.gates.size(); ++k) {
            if (k) text += ' ';
            text += std::to_string(r.gates[k]);
        }
        text += "]";
    }
    return text;
}

TEST(Plan, GroupsByLineTime) {
    // A character 1 ms, a gap of 3 and a turnaround of 2: a request of n
    // words costs 28 + 2n ms, of n bytes 28 + n.
    rovod::LineModel model;
    model.charMs = 1;
    model.gapMs = 3;
    model.assumedTurnaroundMs = 2;
    struct Case {
        const char *what;
        std::vector<std::string> gates;
        std::string plan;
        bool bBlocks = true;
        std::vector<bool> alone = {};
    };
    const std::vector<Case> cases = {
        {"a run of 8 words",
         {"01A0010", "01A0011", "01A0012", "01A0013", "01A0014", "01A0015", "01A0016", "01A0017"},
         "A10x8[0 1 2 3 4 5 6 7]"},
        {"9 words: 8 and one",
         {"01A0010", "01A0011", "01A0012", "01A0013", "01A0014", "01A0015", "01A0016", "01A0017", "01A0018"},
         "A10x8[0 1 2 3 4 5 6 7] A18[8]"},
        {"a gap of 6 words bridged", {"01A0017", "01A0010"}, "A10x8[1 0]"},
        {"9 elements apart: two requests", {"01A0010", "01A0018"}, "A10[0] A18[1]"},
        {"at the top of the words", {"01A00FE", "01A00FF", "01A00FD"}, "AFDx3[2 0 1]"},
        {"every 3rd word",
         {"01A0010", "01A0013", "01A0016", "01A0019", "01A001C", "01A001F"},
         "A10x7[0 1 2] A19x7[3 4 5]"},
        {"every 10th word", {"01A0010", "01A001A", "01A0024"}, "A10[0] A1A[1] A24[2]"},
        {"bits of one byte and the byte", {"01I00200", "01I00207", "01I0020", "01I00203"}, "I20x1[0 1 2 3]"},
        {"bytes 28 apart bridged", {"01I0001", "01I001D"}, "I01x29[0 1]"},
        {"bytes 29 apart: the crossing", {"01I0001", "01I001E"}, "I01[0] I1E[1]"},
        {"a block gate joins its neighbours", {"01A0012#3", "01A0010", "01A0016"}, "A10x7[1 0 2]"},
        {"X bytes", {"01X0030", "01X0032", "01X00311"}, "X30x3[0 2 1]"},
        {"types never grouped",
         {"0120000", "0130000", "01Z0001", "$IFG", "0120000"},
         "200[0] 300[1] Z01[2] $00[3] 200[4]"},
        {"controllers and types apart",
         {"01A0010", "02A0011", "01F0011", "01A0011"},
         "A10x2[0 3] A11[1] F11[2]"},
        {"a gate read alone",
         {"01A0010", "01A0011", "01A0012"},
         "A10[0] A11[1] A12[2]",
         true,
         {false, true, false}},
        {"optimize none", {"01A0012", "01A0010", "01A0011"}, "A12[0] A10[1] A11[2]", false},
    };
    for (const Case &c : cases) {
        std::vector<rovod::PlanGate> gates;
        std::vector<size_t> all;
        for (const std::string &text : c.gates) {
            const size_t hash = text.find('#');
            const bool bBlock = hash != std::string::npos;
            all.push_back(gates.size());
            gates.push_back(rovod::PlanGateOf(text.substr(0, hash), bBlock,
                                              bBlock ? std::stoi(text.substr(hash + 1)) : 1));
        }
        EXPECT_EQ(Show(rovod::Plan(gates, all, model, c.bBlocks, c.alone)), c.plan) << c.what;
    }
}

TEST(Plan, CountsCharactersAndLineTime) {
    rovod::LineModel model;
    model.charMs = 1;
    model.gapMs = 3;
    model.turnaroundMs[1] = 2;
    model.turnaroundMs[2] = 10;
    std::vector<rovod::PlanGate> gates;
    for (const char *a : {"01A0010", "01A0017", "02I00200", "0120000"})
        gates.push_back(rovod::PlanGateOf(a, false, 1));
    gates[3] = rovod::PlanGateOf("0120000", true, 10);
    const auto plan = rovod::Plan(gates, {0, 1, 2, 3}, model, true);
    const rovod::PlanTotals t = rovod::Totals(plan, model);
    // 14 + 25 words, 14 + 10 bytes, 6 + 19 status.
    EXPECT_EQ(t.requests, 3u);
    EXPECT_EQ(t.chars, 39u + 24u + 25u);
    EXPECT_DOUBLE_EQ(t.ms, (3 + 39 + 2) + (3 + 24 + 10) + (3 + 25 + 2));
}

// --- against the simulator ------------------------------------------------

constexpr const char *kState =
    R"({"controllers": {"1": {"words": {"10": "A580", "11": "87D0", "13": "0250", "14": "8FA0", "15": "9770",
                                        "16": "9F40", "17": "A580", "18": "0250", "1A": "87D0"},
                              "ram": {"0021": "5A", "0022": "89", "0030": "C3", "0031": "7E"}},
                        "2": {"words": {"10": "9770"}}}})";

const std::vector<std::string> kGates = {"01A0010",  "01A0011", "01A0013", "01F0014",  "01F0015",  "01P0016",
                                         "01P0017",  "01R0018", "01R001A", "01I0021",  "01I00220", "01I00227",
                                         "01I00223", "01X0030", "01X0031", "01X00301", "02A0010"};

struct Bench {
    std::string dir;
    gwtest::Sim sim;
    ~Bench() {
        gwtest::StopSim(&sim);
        if (!dir.empty() && !::testing::Test::HasFailure()) std::filesystem::remove_all(dir);
    }
};

void StartBench(Bench *b, const std::string &name, const std::vector<std::string> &extra,
                const char *plcs = "1,2") {
    b->dir = gwtest::MakeScratch(name);
    ASSERT_FALSE(b->dir.empty());
    gwtest::WriteFile(b->dir + "/state.json", kState);
    b->sim = {b->dir + "/line", b->dir + "/state.json", b->dir + "/trace", plcs, extra, "", {}};
    ASSERT_TRUE(gwtest::StartSim(&b->sim));
}

struct PollRun {
    json cycle;       // the last cycle's JSON
    size_t requests;  // what the simulator received
    std::string out, err;
};

PollRun Poll(Bench *b, const std::vector<std::string> &gates, const std::vector<std::string> &options) {
    static int serial = 0;
    const std::string out = b->dir + "/poll" + std::to_string(++serial);
    const size_t before = rigs::Count(gwtest::Slurp(b->sim.trace), " rx ");
    std::vector<std::string> argv{ROVOD_HOST_BIN, "--driver", ROVOD_DRIVER_LIB, "--port", b->sim.link,
                                  "--timeout",    "10",       "--json",         "poll"};
    argv.insert(argv.end(), gates.begin(), gates.end());
    argv.insert(argv.end(), options.begin(), options.end());
    gwtest::Child child;
    PollRun run;
    EXPECT_TRUE(gwtest::Spawn(argv, out + ".out", out + ".err", &child));
    EXPECT_EQ(gwtest::Stop(&child, 0, 30000), 0) << gwtest::Slurp(out + ".err");
    std::string text = gwtest::Slurp(out + ".out"), last;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        last = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    run.cycle = json::parse(last, nullptr, false);
    run.requests = rigs::Count(gwtest::Slurp(b->sim.trace), " rx ") - before;
    run.out = text;
    run.err = gwtest::Slurp(out + ".err");
    return run;
}

TEST(PlanOnTheLine, EveryTypeThroughBlocksReadsWhatSingleReadsRead) {
    Bench b;
    ASSERT_NO_FATAL_FAILURE(StartBench(&b, "plan_types", {}));
    const PollRun blocks = Poll(&b, kGates, {"--cycles", "1"});
    const PollRun singles = Poll(&b, kGates, {"--cycles", "1", "--optimize", "none"});
    ASSERT_TRUE(blocks.cycle.is_object()) << blocks.err;
    ASSERT_EQ(blocks.cycle["gates"].size(), kGates.size());
    for (size_t i = 0; i < kGates.size(); ++i) {
        const json &g = blocks.cycle["gates"][i], &s = singles.cycle["gates"][i];
        EXPECT_EQ(g["result"], 0) << kGates[i] << ": " << g.dump();
        EXPECT_EQ(g["value"], s["value"]) << kGates[i];
    }
    // What the memory holds, as each gate shows it.
    const std::vector<json> expected = {60,   12.5, -3.7, 25, 37.5, 50,   60, -3.7, 12.5,
                                        0x5A, 1,    1,    1,  0xC3, 0x7E, 1,  37.5};
    for (size_t i = 0; i < kGates.size(); ++i)
        EXPECT_EQ(blocks.cycle["gates"][i]["value"], expected[i]) << kGates[i];
    // A 13, F 14..15, P 16..17, R 18..1A, I 21..22, X 30..31, controller 2's A.
    EXPECT_EQ(blocks.requests, 7u);
}

TEST(PlanOnTheLine, OptimizeNoneMakesOneRequestPerGate) {
    Bench b;
    ASSERT_NO_FATAL_FAILURE(StartBench(&b, "plan_none", {}));
    EXPECT_EQ(Poll(&b, kGates, {"--cycles", "2", "--optimize", "none"}).requests, 2 * kGates.size());
}

TEST(PlanOnTheLine, GateRefusedInABlockIsReadAlone) {
    Bench b;
    ASSERT_NO_FATAL_FAILURE(StartBench(&b, "plan_refused", {"--no-block", "1=14"}));
    const std::vector<std::string> gates = {"01A0010", "01A0011", "01A0013", "01A0014", "01A0015", "01A0017"};
    const PollRun first = Poll(&b, gates, {"--cycles", "3"});
    // Every gate has its value in every cycle, the first included.
    for (const json &g : first.cycle["gates"]) EXPECT_EQ(g["result"], 0) << g.dump();
    EXPECT_EQ(rigs::Count(first.err, "read alone from now on"), 1u) << first.err;
    EXPECT_NE(first.err.find("gate 01A0014 of controller 1 is refused in a block read"), std::string::npos)
        << first.err;
    // From then on: the gates before it, it alone, the gates after it.
    const PollRun steady = Poll(&b, gates, {"--cycles", "1", "--plan"});
    EXPECT_NE(steady.err.find("01A0014"), std::string::npos);
    std::vector<std::pair<bool, json>> requests;
    for (const json &r : steady.cycle["requests"]) requests.emplace_back(r["block"], r["gates"]);
    const std::vector<std::pair<bool, json>> expected{
        {true, {"01A0010", "01A0011", "01A0013"}}, {false, {"01A0014"}}, {true, {"01A0015", "01A0017"}}};
    EXPECT_EQ(requests, expected) << steady.out;
    EXPECT_EQ(steady.cycle["one_request_per_gate"]["requests"], gates.size()) << steady.out;
}

// The gateway: controller 3 answers nothing for its first 3 s.
TEST(PlanGateway, SilentControllerIsSetAsideAndComesBack) {
    Bench b;
    ASSERT_NO_FATAL_FAILURE(StartBench(&b, "plan_silent", {"--off", "3=3000"}, "1,2,3"));
    const int64_t onAtUs = gwtest::WallUs() + 3000 * 1000;
    gwtest::Broker broker;
    ASSERT_TRUE(gwtest::StartBroker(b.dir, &broker));
    const std::string config = b.dir + "/gateway.yaml";
    gwtest::WriteFile(config,
                      "broker: {host: 127.0.0.1, port: " + std::to_string(broker.port) +
                          ", prefix: p}\nlines:\n  - name: a\n    port: " + b.sim.link +
                          "\n    interval_ms: 200\n    reply_timeout_ms: 100\n    silent_retry_ms: 1000\n"
                          "    gates:\n      - {address: 01A0010, name: t1, publish: cycle}\n"
                          "      - {address: 03A0010, name: t3}\n      - {address: 03A0011, name: u3}\n");
    gwtest::Subscriber sub;
    ASSERT_TRUE(gwtest::Subscribe(&sub, broker.port, "p/#"));
    gwtest::Child gateway;
    ASSERT_TRUE(gwtest::StartGateway(config, b.dir + "/gateway.log", &gateway));
    const auto status = [&sub](const char *value) {
        return gwtest::WaitFor(
            &sub, [&sub, value] { return sub.last["p/a/controller/3/status"] == value; }, 8000);
    };
    EXPECT_TRUE(status("offline"));
    const int64_t offUs = gwtest::WallUs();
    EXPECT_TRUE(gwtest::WaitFor(
        &sub, [&sub] { return sub.last["p/a/t3"].find("controller 3 silent since") != std::string::npos; },
        1000))
        << gwtest::Last(&sub, "p/a/t3");
    EXPECT_EQ(gwtest::Last(&sub, "p/a/status"), "online");
    EXPECT_TRUE(status("online"));
    const int64_t backUs = gwtest::WallUs();
    // Back within silent_retry_ms and a cycle (and the probe's own time).
    EXPECT_LT(backUs - onAtUs, (1000 + 200 + 700) * 1000);
    EXPECT_TRUE(gwtest::WaitFor(
        &sub, [&sub] { return sub.last["p/a/u3"].find("\"result\":0") != std::string::npos; }, 2000));
    gwtest::Stop(&gateway, SIGTERM, 5000);
    gwtest::Unsubscribe(&sub);
    gwtest::StopBroker(&broker);
    // While it was silent, controller 1 kept its pace of one read every 200 ms.
    std::vector<int64_t> reads;
    for (const gwtest::Received &r : sub.all)
        if (r.topic == "p/a/t1" && r.atUs > offUs && r.atUs < std::min(backUs, onAtUs))
            reads.push_back(r.atUs);
    ASSERT_GE(reads.size(), 3u);
    EXPECT_LT(static_cast<double>(reads.back() - reads.front()) / static_cast<double>(reads.size() - 1),
              300e3);
}

}  // namespace
