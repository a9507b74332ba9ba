// Planned block reads and silent controllers set aside, at 9600 baud against
// paced simulators, every figure a ratio against a baseline of the same run:
//   - dense (2 controllers, each 16 consecutive A gates, 8 bit gates of one
//     I byte, 4 consecutive X bytes): the gateway's cycle with blocks against
//     one request per gate (bar: at most 0.25 x), and against the line's
//     lower bound, the plan's characters times the character time plus the
//     measured turnaround per request (bar: at most 1.15 x);
//   - sparse (A gates every 3rd element, every 10th): blocks never slower
//     than one request per gate;
//   - one of three controllers silent, probed at the default retry (10 s):
//     the refresh period of the answering controllers' gates against all
//     three answering (bar: at most 1.2 x), and a write to an answering
//     controller from `set` to `result`, over three probes;
//   - rovod poll over the dense set, with and without blocks.
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "bench_util.h"
#include "harness.h"
#include "plan.h"

namespace {

using nlohmann::json;

constexpr int kRunMs = 6000;
constexpr int kSkipMs = 1500;  // start-up (and the silent controller's first attempts) left out
// Writes through a run with a silent controller: spread over three of its
// probes at the default retry of 10 s.
constexpr int kWrites = 64;
constexpr int kWriteSpacingMs = 500;
constexpr double kDenseBar = 0.25, kBoundBar = 1.15, kSilentBar = 1.2;

struct GateSpec {
    std::string address;
    bool bWatch = false;  // published every read: its period is the refresh period
    bool bWritable = false;
};

std::string Hex2(int v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", v);
    return text;
}

std::vector<GateSpec> Dense(int plc) {
    std::vector<GateSpec> gates;
    for (int e = 0x10; e < 0x20; ++e) gates.push_back({Hex2(plc) + "A00" + Hex2(e), e == 0x10});
    for (int bit = 0; bit < 8; ++bit) gates.push_back({Hex2(plc) + "I0020" + std::to_string(bit)});
    for (int e = 0x30; e < 0x34; ++e) gates.push_back({Hex2(plc) + "X00" + Hex2(e)});
    return gates;
}

std::vector<GateSpec> Sparse(int step) {
    std::vector<GateSpec> gates;
    for (int i = 0; i < 16; ++i) gates.push_back({"01A00" + Hex2(0x10 + step * i), i == 0});
    return gates;
}

struct GwRun {
    double periodMs = 0;          // of the watched gate of controller 1
    std::vector<double> writeMs;  // from set to result
    json diagnostics;             // the last report
};

bool RunGateway(const std::string &dir, const gwtest::Broker &broker, const gwtest::Sim &sim,
                const std::vector<GateSpec> &gates, bool bBlocks, bool bWrites, GwRun *pRun) {
    static int serial = 0;
    const std::string name = "run" + std::to_string(++serial);
    std::string yaml =
        "broker: {host: 127.0.0.1, port: " + std::to_string(broker.port) +
        ", client_id: plan, prefix: " + name +
        "}\ndiagnostics_s: 2\nlines:\n  - name: l\n    port: " + sim.link +
        "\n    baud: 9600\n    interval_ms: 0\n    optimize: " + (bBlocks ? "blocks" : "none") +
        "\n    gates:\n";
    for (const GateSpec &g : gates)
        yaml += "      - {address: " + g.address + (g.bWatch ? ", publish: cycle" : "") +
                (g.bWritable ? ", writable: true" : "") + "}\n";
    const std::string config = dir + "/" + name + ".yaml";
    gwtest::WriteFile(config, yaml);
    gwtest::Subscriber sub;
    if (!gwtest::Subscribe(&sub, broker.port, name + "/#")) return false;
    gwtest::Child gateway;
    if (!gwtest::StartGateway(config, dir + "/" + name + ".log", &gateway)) return false;
    std::vector<int64_t> sentUs;
    if (bWrites) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSkipMs));
        for (int i = 0; i < kWrites; ++i) {
            sentUs.push_back(gwtest::WallUs());
            gwtest::Publish(broker.port, name + "/l/01A0020/set", std::to_string(10 + i % 50));
            std::this_thread::sleep_for(std::chrono::milliseconds(kWriteSpacingMs));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(kRunMs));
    }
    if (gwtest::Stop(&gateway, SIGTERM, 5000) != 0) return false;
    gwtest::Unsubscribe(&sub);
    std::vector<int64_t> reads;
    std::vector<int64_t> results;
    int64_t t0 = 0;
    for (const gwtest::Received &r : sub.all) {
        if (r.topic == name + "/l/diagnostics") pRun->diagnostics = json::parse(r.payload, nullptr, false);
        if (r.topic == name + "/l/01A0020/result") results.push_back(r.atUs);
        if (r.topic != name + "/l/01A0010" || r.bRetained) continue;
        const json j = json::parse(r.payload, nullptr, false);
        if (!j.is_object() || j["result"] != 0) continue;
        const int64_t readUs = gwtest::ParseIsoUs(j["time"].get<std::string>());
        if (t0 == 0) t0 = readUs;
        if (readUs - t0 >= kSkipMs * 1000) reads.push_back(readUs);
    }
    if (reads.size() < 3 || results.size() != sentUs.size()) return false;
    pRun->periodMs = bench::MeanPeriodMs(reads);
    for (size_t i = 0; i < sentUs.size(); ++i) pRun->writeMs.push_back((results[i] - sentUs[i]) / 1000.0);
    return true;
}

// rovod poll over the gates: the mean period of its cycles.
bool RovodPoll(const std::string &dir, const gwtest::Sim &sim, const std::vector<GateSpec> &gates,
               bool bBlocks, double *pCycleMs) {
    const int cycles = bBlocks ? 14 : 6;
    std::vector<std::string> argv{ROVOD_HOST_BIN, "--driver", ROVOD_DRIVER_LIB, "poll"};
    for (const GateSpec &g : gates) argv.push_back(g.address);
    for (const char *a : {"--port", sim.link.c_str(), "--baud", "9600", "--interval", "0", "--optimize",
                          bBlocks ? "blocks" : "none", "--cycles"})
        argv.push_back(a);
    argv.push_back(std::to_string(cycles));
    const std::string csv = dir + (bBlocks ? "/poll_blocks.csv" : "/poll_none.csv");
    argv.push_back("--csv");
    argv.push_back(csv);
    gwtest::Child child;
    if (!gwtest::Spawn(argv, dir + "/poll.out", dir + "/poll.err", &child)) return false;
    if (gwtest::Stop(&child, 0, 60000) != 0) return false;
    std::stringstream text(gwtest::Slurp(csv));
    std::vector<int64_t> starts;
    std::string row;
    std::getline(text, row);
    while (std::getline(text, row)) starts.push_back(gwtest::ParseIsoUs(row.substr(0, row.find(','))));
    if (starts.size() < 4) return false;
    *pCycleMs = bench::MeanPeriodMs(starts, 1);
    return true;
}

// The line's lower bound for the plan of these gates: its characters at
// the character time and the measured turnaround per request.
double LowerBoundMs(const std::vector<GateSpec> &gates, const json &diagnostics) {
    rovod::PortOptions port;
    rovod::LineModel model = rovod::ModelFor(port);
    for (const auto &[plc, ms] : diagnostics["turnaround_ms"].items())
        model.turnaroundMs[std::stoi(plc)] = ms;
    std::vector<rovod::PlanGate> plan;
    std::vector<size_t> all;
    for (const GateSpec &g : gates) {
        all.push_back(plan.size());
        plan.push_back(rovod::PlanGateOf(g.address, false, 1));
    }
    double ms = 0;
    for (const rovod::PlannedRead &r : rovod::Plan(plan, all, model, true))
        ms += static_cast<double>(rovod::RequestChars(r) + rovod::ReplyChars(r)) * model.charMs +
              rovod::TurnaroundMs(model, r.plc);
    return ms;
}

bool StartSim(const std::string &dir, const std::string &name, const char *plcs,
              std::vector<std::string> extra, gwtest::Sim *pSim) {
    extra.insert(extra.end(), {"--baud", "9600", "--pace", "--frozen"});
    *pSim = {dir + "/" + name, "", "", plcs, extra, "", {}};
    return gwtest::StartSim(pSim);
}

}  // namespace

int main() {
    const std::string dir = gwtest::MakeScratch("plan_bench");
    gwtest::Broker broker;
    gwtest::Sim two, three, silent;
    if (!gwtest::StartBroker(dir, &broker) || !StartSim(dir, "two", "1,2", {}, &two) ||
        !StartSim(dir, "three", "1,2,3", {}, &three) ||
        !StartSim(dir, "silent", "1,2,3", {"--off", "3=0"}, &silent)) {
        std::fprintf(stderr, "plan_bench: cannot start the broker or the simulators (%s)\n", dir.c_str());
        return 1;
    }
    std::vector<GateSpec> dense = Dense(1), dense2 = Dense(2);
    dense.insert(dense.end(), dense2.begin(), dense2.end());
    std::vector<GateSpec> triple;
    for (int plc = 1; plc <= 3; ++plc)
        for (int e = 0x10; e < 0x18; ++e)
            triple.push_back({Hex2(plc) + "A00" + Hex2(e), plc == 1 && e == 0x10});
    triple.push_back({"01A0020", false, true});
    GwRun denseBlocks, denseNone, sparse3Blocks, sparse3None, sparse10Blocks, sparse10None, allAnswer,
        oneSilent;
    double pollBlocks = 0, pollNone = 0;
    const bool bOk = RunGateway(dir, broker, two, dense, true, false, &denseBlocks) &&
                     RunGateway(dir, broker, two, dense, false, false, &denseNone) &&
                     RunGateway(dir, broker, two, Sparse(3), true, false, &sparse3Blocks) &&
                     RunGateway(dir, broker, two, Sparse(3), false, false, &sparse3None) &&
                     RunGateway(dir, broker, two, Sparse(10), true, false, &sparse10Blocks) &&
                     RunGateway(dir, broker, two, Sparse(10), false, false, &sparse10None) &&
                     RunGateway(dir, broker, three, triple, true, true, &allAnswer) &&
                     RunGateway(dir, broker, silent, triple, true, true, &oneSilent) &&
                     RovodPoll(dir, two, dense, true, &pollBlocks) &&
                     RovodPoll(dir, two, dense, false, &pollNone);
    for (gwtest::Sim *sim : {&two, &three, &silent}) gwtest::StopSim(sim);
    gwtest::StopBroker(&broker);
    if (!bOk) {
        std::fprintf(stderr, "plan_bench: a run failed; see %s\n", dir.c_str());
        return 1;
    }
    std::filesystem::remove_all(dir);
    const double bound = LowerBoundMs(dense, denseBlocks.diagnostics);
    const double dense_ratio = denseBlocks.periodMs / denseNone.periodMs,
                 bound_ratio = denseBlocks.periodMs / bound;
    const double silent_ratio = oneSilent.periodMs / allAnswer.periodMs;
    std::printf("9600 baud, paced simulators, broker on loopback\n");
    std::printf("  dense, 2 x 28 gates: blocks %.1f ms, none %.1f ms a cycle   ratio %.3f (bar %.2f)\n",
                denseBlocks.periodMs, denseNone.periodMs, dense_ratio, kDenseBar);
    std::printf("  dense against the line's lower bound %.1f ms                 ratio %.3f (bar %.2f)\n",
                bound, bound_ratio, kBoundBar);
    std::printf("    requests per cycle %s, busy share %s, turnaround %s ms\n",
                denseBlocks.diagnostics["requests_per_cycle"].dump().c_str(),
                denseBlocks.diagnostics["busy_share"].dump().c_str(),
                denseBlocks.diagnostics["turnaround_ms"].dump().c_str());
    std::printf("  sparse, every 3rd:  blocks %.1f ms, none %.1f ms              ratio %.3f (bar 1.00)\n",
                sparse3Blocks.periodMs, sparse3None.periodMs, sparse3Blocks.periodMs / sparse3None.periodMs);
    std::printf("  sparse, every 10th: blocks %.1f ms, none %.1f ms              ratio %.3f (bar 1.00)\n",
                sparse10Blocks.periodMs, sparse10None.periodMs,
                sparse10Blocks.periodMs / sparse10None.periodMs);
    std::printf(
        "  3 controllers, 8 A gates each: refresh %.1f ms all answering, %.1f ms one silent  ratio %.3f "
        "(bar %.2f)\n",
        allAnswer.periodMs, oneSilent.periodMs, silent_ratio, kSilentBar);
    std::printf(
        "  write set -> result: all answering p50 %.1f ms p99 %.1f ms; one silent p50 %.1f ms p99 %.1f ms\n",
        bench::Percentile(allAnswer.writeMs, 50), bench::Percentile(allAnswer.writeMs, 99),
        bench::Percentile(oneSilent.writeMs, 50), bench::Percentile(oneSilent.writeMs, 99));
    std::printf("  rovod poll, dense: blocks %.1f ms, none %.1f ms a cycle       ratio %.3f\n", pollBlocks,
                pollNone, pollBlocks / pollNone);
    // Sparse every 10th plans the same requests either way: equal within the noise.
    const bool bPass = dense_ratio <= kDenseBar && bound_ratio <= kBoundBar && silent_ratio <= kSilentBar &&
                       sparse3Blocks.periodMs <= sparse3None.periodMs * 1.02 &&
                       sparse10Blocks.periodMs <= sparse10None.periodMs * 1.02;
    std::printf("%s\n", bPass ? "PASS" : "FAIL");
    return bPass ? 0 : 1;
}
