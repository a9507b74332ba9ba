// rovod-gateway's CPU with its Sparkplug B edge node beside the JSON topics,
// against JSON alone, in the same run: two paced simulators, 16 gates a line
// (4 moving measurements, 12 steady values), every read published on JSON
// (publish: cycle), Sparkplug by exception. The figure: the gateway's CPU
// seconds per 1,000 values read, the two runs' ratio.
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "harness.h"

namespace {

constexpr const char *kBaud = "38400";
constexpr int kRunMs = 10000;

struct Run {
    double cpuS = 0;
    size_t values = 0;       // JSON values: one per read
    size_t spbMessages = 0;  // Sparkplug messages
    size_t spbBytes = 0;     // their payloads
    double cpuPer1000 = 0;
};

bool RunGateway(const std::string &dir, const gwtest::Broker &broker, const std::vector<gwtest::Sim> &sims,
                bool bSparkplug, Run *pRun) {
    std::string yaml = "broker: {host: 127.0.0.1, port: " + std::to_string(broker.port) +
                       ", client_id: bench, prefix: bench}\nlines:\n";
    for (size_t i = 0; i < sims.size(); ++i) {
        yaml += "  - name: l" + std::to_string(i) + "\n    port: " + sims[i].link + "\n    baud: " + kBaud +
                "\n    interval_ms: 0\n    gates:\n";
        char address[16];
        for (int g = 0; g < 16; ++g) {
            std::snprintf(address, sizeof address, "01A00%02X", g < 4 ? g : 0x10 + g);
            yaml += std::string("      - {address: ") + address + ", publish: cycle}\n";
        }
    }
    if (bSparkplug) yaml += "sparkplug: {group_id: bench, edge_node_id: gw, bdseq_file: " + dir + "/bdseq}\n";
    const std::string config = dir + (bSparkplug ? "/spb.yaml" : "/json.yaml");
    gwtest::WriteFile(config, yaml);
    gwtest::Subscriber sub;
    if (!gwtest::Subscribe(&sub, broker.port, "#")) return false;
    gwtest::Child gateway;
    if (!gwtest::StartGateway(config, dir + "/gateway.log", &gateway)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kRunMs));
    if (gwtest::Stop(&gateway, SIGTERM, 5000, &pRun->cpuS) != 0) return false;
    gwtest::Unsubscribe(&sub);
    for (const gwtest::Received &r : sub.all) {
        if (r.topic.rfind("spBv1.0/", 0) == 0) {
            ++pRun->spbMessages;
            pRun->spbBytes += r.payload.size();
        } else if (!r.bRetained && r.payload.rfind("{\"value\":", 0) == 0 &&
                   r.payload.find("\"result\":0") != std::string::npos) {
            ++pRun->values;
        }
    }
    if (pRun->values < 1000 || (bSparkplug && pRun->spbMessages < 10)) {
        std::fprintf(stderr, "sparkplug_bench: %zu values, %zu Sparkplug messages\n", pRun->values,
                     pRun->spbMessages);
        return false;
    }
    pRun->cpuPer1000 = pRun->cpuS / (static_cast<double>(pRun->values) / 1000.0);
    return true;
}

}  // namespace

int main() {
    const std::string dir = gwtest::MakeScratch("sparkplug_bench");
    gwtest::Broker broker;
    std::vector<gwtest::Sim> sims;
    // Paced, with the process image live: the measurements move.
    if (!gwtest::StartBroker(dir, &broker) || !gwtest::StartPacedSims(dir, 2, kBaud, &sims, false)) {
        std::fprintf(stderr, "sparkplug_bench: cannot start the broker or the simulators (%s)\n",
                     dir.c_str());
        return 1;
    }
    Run json, both;
    const bool bOk =
        RunGateway(dir, broker, sims, false, &json) && RunGateway(dir, broker, sims, true, &both);
    for (gwtest::Sim &sim : sims) gwtest::StopSim(&sim);
    gwtest::StopBroker(&broker);
    if (!bOk) {
        std::fprintf(stderr, "sparkplug_bench: a run failed; see %s\n", dir.c_str());
        return 1;
    }
    std::filesystem::remove_all(dir);
    std::printf(
        "2 lines, 16 gates each (4 moving), %s baud, paced simulators, broker on loopback, %d s a run\n",
        kBaud, kRunMs / 1000);
    std::printf("  JSON alone (baseline)       %.3f s CPU per 1,000 values (%zu values, %.2f s)\n",
                json.cpuPer1000, json.values, json.cpuS);
    std::printf("  JSON and Sparkplug B        %.3f s CPU per 1,000 values (%zu values, %.2f s)\n",
                both.cpuPer1000, both.values, both.cpuS);
    std::printf("  Sparkplug messages          %zu (%zu bytes of payload)\n", both.spbMessages,
                both.spbBytes);
    std::printf("  ratio                       %.2f\n", both.cpuPer1000 / json.cpuPer1000);
    return 0;
}
