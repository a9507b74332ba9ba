// What the gateway scenarios share: a broker, two simulators on ptys behind
// links (controllers 1 and 2 on line a, 5 on line b, each with memory of its
// own), the gateway as a program and a subscriber to everything.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "harness.h"

namespace rigs {

using gwtest::Last;
using gwtest::WaitFor;
using nlohmann::json;

// Memory the simulators start with, different on every controller, so that
// a value from the wrong controller or line shows.
constexpr const char *kStateA =
    R"({"controllers": {"1": {"words": {"30": "8FA0"}, "ram": {"0020": "11"}},
                        "2": {"words": {"30": "9770"}, "ram": {"0020": "22"}}}})";
constexpr const char *kStateB = R"({"controllers": {"5": {"words": {"30": "9F40"}, "ram": {"0020": "55"}}}})";

constexpr const char *kGatesA = R"(
    gates:
      - {address: 01A0030, name: v1, publish: cycle}
      - {address: 02A0030, name: v2}
      - {address: 01A0010, name: sp1, writable: true}
      - {address: 01A0000, name: pv1, writable: true}
      - {address: 01I0020, name: ram1}
      - {address: 02I0020, name: ram2}
      - {address: 01I00113, name: bit1}
      - {address: 01A0011, name: blk, count: 2}
      - {address: 01F0020, name: time1}
)";
constexpr const char *kGatesB = R"(
    gates:
      - {address: 05A0030, name: v5}
      - {address: 05I0020, name: ram5, writable: true}
      - {address: 05A0010, name: sp5, writable: true}
)";

struct Rig {
    std::string dir, config, log;
    gwtest::Broker broker;
    gwtest::Sim a, b;
    gwtest::Child gateway;
    gwtest::Subscriber sub;
    std::string extraB;  // more gates of line b
    std::string modbus;  // the modbus section's lines (its port is modbusPort)
    uint16_t modbusPort = 0;
    bool bPersistentBroker = false;  // keeps retained messages across a restart
    std::string top;                 // more top-level keys
    int replyTimeoutAMs = 100;       // line a's; its controllers all answer
    ~Rig();
};

inline std::string ConfigText(const Rig &rig, const std::string &extraA = "") {
    const std::string modbus =
        rig.modbus.empty() ? "" : "modbus:\n  port: " + std::to_string(rig.modbusPort) + "\n" + rig.modbus;
    return "broker: {host: 127.0.0.1, port: " + std::to_string(rig.broker.port) +
           ", client_id: gwtest, prefix: plant}\n" + rig.top +
           "diagnostics_s: 1\nhomeassistant: true\nlines:\n"
           "  - name: a\n    port: ./a.link\n    interval_ms: 100\n    reply_timeout_ms: " +
           std::to_string(rig.replyTimeoutAMs) + "\n" + kGatesA + extraA +
           "  - name: b\n    port: ./b.link\n    interval_ms: 100\n    reply_timeout_ms: 100\n" + kGatesB +
           rig.extraB + modbus;
}

inline bool StartGateway(Rig *rig) { return gwtest::StartGateway(rig->config, rig->log, &rig->gateway); }

// Broker, both simulators, a subscriber to everything and the gateway;
// beforeGateway runs just before the gateway starts.
inline void Start(Rig *rig, const std::string &name, const std::function<void(Rig *)> &beforeGateway = {}) {
    rig->dir = gwtest::MakeScratch(name);
    ASSERT_FALSE(rig->dir.empty());
    ASSERT_TRUE(gwtest::StartBroker(rig->dir, &rig->broker, rig->bPersistentBroker))
        << gwtest::Slurp(rig->dir + "/mosquitto.log");
    gwtest::WriteFile(rig->dir + "/a.json", kStateA);
    gwtest::WriteFile(rig->dir + "/b.json", kStateB);
    rig->a = {rig->dir + "/a.link", rig->dir + "/a.json", rig->dir + "/a.trace", "1,2", {}, "", {}};
    rig->b = {rig->dir + "/b.link", rig->dir + "/b.json", rig->dir + "/b.trace", "5", {}, "", {}};
    ASSERT_TRUE(gwtest::StartSim(&rig->a));
    ASSERT_TRUE(gwtest::StartSim(&rig->b));
    rig->config = rig->dir + "/gateway.yaml";
    if (!rig->modbus.empty()) rig->modbusPort = gwtest::FreePort();
    rig->log = rig->dir + "/gateway.log";
    gwtest::WriteFile(rig->config, ConfigText(*rig));
    ASSERT_TRUE(gwtest::Subscribe(&rig->sub, rig->broker.port, "#"));
    if (beforeGateway) beforeGateway(rig);
    ASSERT_TRUE(StartGateway(rig));
}

// Everything started is stopped, also after a failed assertion.
inline Rig::~Rig() {
    gwtest::Unsubscribe(&sub);
    gwtest::Stop(&gateway, SIGKILL, 3000);
    // A sanitizer's report from the gateway (tsan, asan builds) fails the test.
    const std::string text = log.empty() ? "" : gwtest::Slurp(log);
    const size_t report = text.find("Sanitizer");
    if (report != std::string::npos)
        ADD_FAILURE() << "the gateway's log has a sanitizer's report:\n"
                      << text.substr(text.rfind('\n', report) + 1, 6000);
    gwtest::StopSim(&a);
    gwtest::StopSim(&b);
    gwtest::StopBroker(&broker);
    // Kept for a look when the test failed.
    if (!dir.empty() && !::testing::Test::HasFailure()) std::filesystem::remove_all(dir);
}

inline std::string Log(const Rig &rig) { return gwtest::Slurp(rig.log); }

inline bool AllOnline(Rig *rig, int64_t timeoutMs) {
    return WaitFor(
        &rig->sub,
        [rig] {
            auto &last = rig->sub.last;
            return last["plant/status"] == "online" && last["plant/a/status"] == "online" &&
                   last["plant/b/status"] == "online";
        },
        timeoutMs);
}

// A field of a JSON payload; null when the payload is none (yet).
inline json Field(const std::string &payload, const char *key) {
    const json j = json::parse(payload, nullptr, false);
    return j.is_object() && j.contains(key) ? j[key] : json();
}

inline json Payload(Rig *rig, const std::string &topic) {
    return json::parse(Last(&rig->sub, topic), nullptr, false);
}

// The value published for a gate once it has one with result 0.
inline json GoodValue(Rig *rig, const std::string &topic) {
    WaitFor(
        &rig->sub, [&] { return Field(rig->sub.last[topic], "result") == 0; }, 3000);
    return Payload(rig, topic);
}

inline size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace rigs
