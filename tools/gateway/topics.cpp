// The topics a configuration publishes and subscribes to, and the Home
// Assistant discovery names.
#include <set>

#include "config.h"

namespace gateway {

namespace {

std::string Interval(const LineConfig &line, const GateConfig &gate) {
    const uint32_t ms = gate.intervalMs ? gate.intervalMs : line.intervalMs;
    return "every " + std::to_string(ms) + " ms";
}

}  // namespace

bool SplitGateTopic(const std::string &topic, const std::string &prefix, const std::string &suffix,
                    std::string *pLine, std::string *pGate) {
    const std::string head = prefix + "/";
    if (topic.size() <= head.size() + suffix.size() || topic.compare(0, head.size(), head) != 0 ||
        topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string middle = topic.substr(head.size(), topic.size() - head.size() - suffix.size());
    const size_t slash = middle.find('/');
    if (slash == std::string::npos) return false;
    *pLine = middle.substr(0, slash);
    *pGate = middle.substr(slash + 1);
    return true;
}

std::vector<Topic> Topics(const GatewayConfig &config) {
    const std::string &p = config.broker.prefix;
    std::vector<Topic> topics;
    topics.push_back({p + "/status", "gateway availability: online, offline (retained; the last will)"});
    if (!config.storePath.empty()) {
        std::string what = "the store ";
        what += config.storePath;
        what += " (max_mb " + std::to_string(config.storeMaxMb) + "): samples stored, replayed, dropped, ";
        what += "its size every " + std::to_string(config.diagnosticsS) + " s";
        topics.push_back({p + "/store", what});
    }
    for (const LineConfig &line : config.lines) {
        const std::string base = p + "/" + line.name;
        topics.push_back({base + "/status", "line availability on " + line.port + " (retained)"});
        topics.push_back({base + "/diagnostics",
                          "cycle time, reads, requests, busy share, failures, retries, "
                          "writes, silent controllers every " +
                              std::to_string(config.diagnosticsS) + " s"});
        for (const int plc : LineControllers(line))
            topics.push_back(
                {base + "/controller/" + std::to_string(plc) + "/status",
                 "controller " + std::to_string(plc) + " availability: online, offline (retained)"});
        for (const GateConfig &gate : line.gates) {
            topics.push_back(
                {base + "/" + gate.name,
                 gate.address + (gate.bBlock ? " block of " + std::to_string(gate.count) : "") +
                     " (retained), " + Interval(line, gate) +
                     (gate.publish == Publish::kCycle ? ", published every read" : ", published on change")});
            if (!config.storePath.empty())
                topics.push_back({base + "/" + gate.name + "/history",
                                  "samples made while the broker was away, oldest first, after a reconnect"});
            if (gate.bWritable) {
                topics.push_back(
                    {base + "/" + gate.name + "/set", "writes " + gate.address + " (subscribed)"});
                topics.push_back({base + "/" + gate.name + "/result", "the outcome of each write"});
            }
        }
    }
    if (config.sparkplug.bEnabled) {
        const SparkplugConfig &s = config.sparkplug;
        const std::string node = "spBv1.0/" + s.groupId + "/";
        const std::string &id = s.edgeNodeId;
        topics.push_back({node + "NBIRTH/" + id, "Sparkplug B node birth: bdSeq (kept in " + s.bdSeqFile +
                                                     "), Node Control/Rebirth, the lines' diagnostics"});
        topics.push_back({node + "NDEATH/" + id, "Sparkplug B node death (the node session's will)"});
        topics.push_back({node + "NDATA/" + id, "the lines' diagnostics on change"});
        topics.push_back({node + "NCMD/" + id, "Node Control/Rebirth (subscribed)"});
        for (const LineConfig &line : config.lines)
            for (const int plc : LineControllers(line)) {
                const std::string device = line.name + "-" + std::to_string(plc);
                topics.push_back({node + "DBIRTH/" + id + "/" + device,
                                  "controller " + std::to_string(plc) + " of line " + line.name +
                                      ": its gates as metrics; DDATA, DDEATH likewise"});
                topics.push_back(
                    {node + "DCMD/" + id + "/" + device, "writes its writable gates (subscribed)"});
            }
        if (!s.primaryHostId.empty())
            topics.push_back(
                {"spBv1.0/STATE/" + s.primaryHostId, "the primary host's state: births wait for online"});
    }
    if (config.bHomeAssistant) {
        for (const LineConfig &line : config.lines)
            for (const GateConfig &gate : line.gates)
                for (const int32_t i : DiscoveryElements(gate))
                    topics.push_back(
                        {DiscoveryTopic(config, line, gate, i),
                         i < 0 ? "Home Assistant discovery (retained)"
                               : "Home Assistant discovery of element " + std::to_string(i) + " (retained)"});
    }
    return topics;
}

std::vector<int> LineControllers(const LineConfig &line) {
    std::set<int> plcs;
    for (const GateConfig &gate : line.gates)
        if (PlcOf(gate) != 255) plcs.insert(PlcOf(gate));
    return {plcs.begin(), plcs.end()};
}

std::string DiscoveryId(const std::string &text) {
    std::string id;
    for (char ch : text) id += std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' ? ch : '_';
    return id;
}

std::vector<int32_t> DiscoveryElements(const GateConfig &gate) {
    if (!gate.bBlock) return {-1};
    std::vector<int32_t> elements;
    for (int32_t i = 0; i < gate.count; ++i) elements.push_back(i);
    return elements;
}

std::string DiscoveryTopic(const GatewayConfig &config, const LineConfig &line, const GateConfig &gate,
                           int32_t element) {
    std::string object = line.name + "_" + gate.name;
    if (element >= 0) {
        object += '_';
        object += std::to_string(element);
    }
    return config.discoveryPrefix + "/" + (gate.bWritable ? "number" : "sensor") + "/" +
           DiscoveryId(config.broker.prefix) + "/" + DiscoveryId(object) + "/config";
}

}  // namespace gateway
