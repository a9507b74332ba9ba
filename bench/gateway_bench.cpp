// rovod-gateway against paced simulators and a mosquitto broker on loopback,
// with `rovod poll` over the same gates in the same run as the baseline:
//   - cycle time: the period between two reads of a line's first gate, the
//     gateway's lines against rovod poll's rows (bar: at most 1.05 x);
//   - read-to-delivery latency: from the time a value was read (the
//     payload's time, taken when the driver returned) to its arrival at a
//     subscriber, p50 and p99 (bar: p99 at most 5 ms);
//   - CPU seconds per 1,000 published values, against rovod poll's per
//     1,000 values read;
//   - 8 lines in one process: their cycle against the two-line run's.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "bench_util.h"
#include "harness.h"

namespace {

constexpr const char *kBaud = "38400";
constexpr int kGates = 16;
constexpr int kPollCycles = 40;
constexpr int kRunMs = 8000;
constexpr int kSkipMs = 1500;  // start-up left out of the figures
constexpr double kCycleBar = 1.05;
constexpr double kLatencyBarMs = 5.0;

std::vector<std::string> Addresses() {
    std::vector<std::string> addresses;
    char text[16];
    for (int i = 0; i < kGates; ++i) {
        std::snprintf(text, sizeof text, "01A00%02X", 0x10 + i);
        addresses.push_back(text);
    }
    return addresses;
}

double Mean(const std::vector<double> &v) {
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? 0 : sum / v.size();
}

// rovod poll over the gates on the first simulator: the period of its rows
// (each row is one cycle, stamped at its start) and its CPU per value.
bool RovodPoll(const std::string &dir, const gwtest::Sim &sim, double *pCycleMs, double *pCpuPerValue) {
    std::vector<std::string> argv{ROVOD_HOST_BIN, "--driver", ROVOD_DRIVER_LIB, "poll"};
    for (const std::string &a : Addresses()) argv.push_back(a);
    for (const char *a : {"--port", sim.link.c_str(), "--baud", kBaud, "--interval", "0", "--cycles"})
        argv.push_back(a);
    argv.push_back(std::to_string(kPollCycles));
    argv.push_back("--csv");
    argv.push_back(dir + "/poll.csv");
    gwtest::Child child;
    if (!gwtest::Spawn(argv, dir + "/poll.out", dir + "/poll.err", &child)) return false;
    double cpu = 0;
    if (gwtest::Stop(&child, 0, 60000, &cpu) != 0) return false;
    std::stringstream csv(gwtest::Slurp(dir + "/poll.csv"));
    std::vector<int64_t> starts;
    std::string row;
    std::getline(csv, row);
    while (std::getline(csv, row)) starts.push_back(gwtest::ParseIsoUs(row.substr(0, row.find(','))));
    if (starts.size() < 10) return false;
    // The first rows carry the start-up.
    *pCycleMs = bench::MeanPeriodMs(starts, 5);
    *pCpuPerValue = cpu / (kPollCycles * kGates);
    return true;
}

struct Run {
    double cycleMs = 0;  // mean over the lines
    std::vector<double> lineCycleMs;
    double p50Ms = 0, p99Ms = 0;
    double cpuPer1000 = 0;
    size_t values = 0;
};

bool RunGateway(const std::string &dir, const gwtest::Broker &broker, const std::vector<gwtest::Sim> &sims,
                Run *pRun) {
    std::string yaml = "broker: {host: 127.0.0.1, port: " + std::to_string(broker.port) +
                       ", client_id: bench, prefix: bench}\nlines:\n";
    for (size_t i = 0; i < sims.size(); ++i) {
        yaml += "  - name: l" + std::to_string(i) + "\n    port: " + sims[i].link + "\n    baud: " + kBaud +
                "\n    interval_ms: 0\n    gates:\n";
        for (const std::string &a : Addresses()) yaml += "      - {address: " + a + ", publish: cycle}\n";
    }
    const std::string config = dir + "/gateway" + std::to_string(sims.size()) + ".yaml";
    gwtest::WriteFile(config, yaml);
    gwtest::Subscriber sub;
    if (!gwtest::Subscribe(&sub, broker.port, "bench/+/+")) return false;
    gwtest::Child gateway;
    if (!gwtest::StartGateway(config, dir + "/gateway.log", &gateway)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kRunMs));
    double cpu = 0;
    if (gwtest::Stop(&gateway, SIGTERM, 5000, &cpu) != 0) return false;
    gwtest::Unsubscribe(&sub);

    // Per line, the read times of its first gate; every value's latency.
    std::map<std::string, std::vector<int64_t>> firstGate;
    std::vector<double> latencies;
    int64_t t0 = 0;
    for (const gwtest::Received &r : sub.all) {
        if (r.bRetained || r.payload.empty() || r.payload[0] != '{') continue;
        const nlohmann::json j = nlohmann::json::parse(r.payload, nullptr, false);
        if (!j.is_object() || j["result"] != 0) continue;
        ++pRun->values;
        const int64_t readUs = gwtest::ParseIsoUs(j["time"].get<std::string>());
        if (t0 == 0) t0 = readUs;
        if (readUs - t0 < kSkipMs * 1000) continue;
        latencies.push_back((r.atUs - readUs) / 1000.0);
        const size_t slash = r.topic.rfind('/');
        if (r.topic.compare(slash + 1, std::string::npos, "01A0010") == 0)
            firstGate[r.topic.substr(0, slash)].push_back(readUs);
    }
    for (const auto &[line, times] : firstGate) {
        if (times.size() < 3) return false;
        pRun->lineCycleMs.push_back(bench::MeanPeriodMs(times));
    }
    if (pRun->lineCycleMs.size() != sims.size()) return false;
    pRun->cycleMs = Mean(pRun->lineCycleMs);
    pRun->p50Ms = bench::Percentile(latencies, 50);
    pRun->p99Ms = bench::Percentile(latencies, 99);
    pRun->cpuPer1000 = cpu / (static_cast<double>(pRun->values) / 1000.0);
    return true;
}

}  // namespace

int main() {
    const std::string dir = gwtest::MakeScratch("gateway_bench");
    gwtest::Broker broker;
    std::vector<gwtest::Sim> sims;
    if (!gwtest::StartBroker(dir, &broker) || !gwtest::StartPacedSims(dir, 8, kBaud, &sims)) {
        std::fprintf(stderr, "gateway_bench: cannot start the broker or the simulators (%s)\n", dir.c_str());
        return 1;
    }
    double pollMs = 0, pollCpuPerValue = 0;
    Run two, eight;
    const bool bOk = RovodPoll(dir, sims[0], &pollMs, &pollCpuPerValue) &&
                     RunGateway(dir, broker, {sims[0], sims[1]}, &two) &&
                     RunGateway(dir, broker, sims, &eight);
    for (gwtest::Sim &sim : sims) gwtest::StopSim(&sim);
    gwtest::StopBroker(&broker);
    if (!bOk) {
        std::fprintf(stderr, "gateway_bench: a run failed; see %s\n", dir.c_str());
        return 1;
    }
    std::filesystem::remove_all(dir);
    const double ratio = two.cycleMs / pollMs, ratio8 = eight.cycleMs / pollMs;
    std::printf("%d gates per line, %s baud, paced simulators, broker on loopback\n", kGates, kBaud);
    std::printf("  rovod poll cycle (baseline)          %7.2f ms\n", pollMs);
    std::printf("  gateway, 2 lines: cycle              %7.2f ms  ratio %.3f (bar %.2f)\n", two.cycleMs,
                ratio, kCycleBar);
    std::printf("  gateway, 8 lines: cycle              %7.2f ms  ratio %.3f (slowest line %.2f ms)\n",
                eight.cycleMs, ratio8, *std::max_element(eight.lineCycleMs.begin(), eight.lineCycleMs.end()));
    std::printf("  read-to-delivery, 2 lines            p50 %.3f ms  p99 %.3f ms (bar p99 %.1f ms)\n",
                two.p50Ms, two.p99Ms, kLatencyBarMs);
    std::printf("  read-to-delivery, 8 lines            p50 %.3f ms  p99 %.3f ms\n", eight.p50Ms,
                eight.p99Ms);
    std::printf(
        "  CPU per 1,000 values                 gateway %.3f s (2 lines), %.3f s (8 lines); rovod poll "
        "%.3f s per 1,000 read: ratio %.2f\n",
        two.cpuPer1000, eight.cpuPer1000, pollCpuPerValue * 1000, two.cpuPer1000 / (pollCpuPerValue * 1000));
    std::printf("  values published                     %zu (2 lines), %zu (8 lines) in %d s each\n",
                two.values, eight.values, kRunMs / 1000);
    const bool bPass = ratio <= kCycleBar && two.p99Ms <= kLatencyBarMs;
    std::printf("%s\n", bPass ? "PASS" : "FAIL");
    return bPass ? 0 : 1;
}
