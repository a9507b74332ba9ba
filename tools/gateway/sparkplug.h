// The gateway as a Sparkplug B edge node, on an MQTT session of its own
// beside the JSON one. Devices are the controllers (LINE-N), metrics their
// gates. Births when the session starts (after the primary host's STATE says
// online, when one is configured), on a rebirth command and when a controller
// answers again; deaths when it goes silent; data by exception; the samples
// the store replays after an outage as historical data.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"

struct mosquitto;

namespace gateway {

// Sparkplug data types the gates map to.
enum SpbType : uint32_t {
    kSpbInt16 = 2,
    kSpbUInt64 = 8,
    kSpbUInt8 = 5,
    kSpbUInt16 = 6,
    kSpbFloat = 9,
    kSpbBoolean = 11,
    kSpbString = 12,
    kSpbUInt8Array = 26,
    kSpbFloatArray = 30,
};
uint32_t SpbTypeOf(const GateConfig &gate);

// A device: one controller of one line and its gates (indexes in the line).
struct SpbDevice {
    size_t line = 0;
    int plc = 0;
    std::string id;  // LINE-N
    std::vector<size_t> gates;
    bool bBorn = false;
};

// A gate's last value as the node sent it.
struct SpbSent {
    std::vector<double> values;
    bool bNull = true;
    bool bForce = false;  // a write came back: its value goes out even when unchanged
};

// A node metric: the gateway's diagnostics, bdSeq and the rebirth control.
struct SpbNodeMetric {
    std::string name;
    uint64_t alias = 0;
    uint32_t type = 0;
    double value = 0;
};

// A replayed sample waiting to go out as historical data.
struct SpbHistory {
    std::string line, gate;
    std::vector<double> values;
    int64_t timeMs = 0;
};

struct Sparkplug {
    Gateway *gw = nullptr;
    SparkplugConfig config;
    BrokerConfig broker;
    std::string base;  // spBv1.0/GROUP
    mosquitto *mosq = nullptr;
    std::thread network, publisher;

    std::mutex mutex;  // guards what follows
    std::condition_variable cv;
    bool bEnd = false;        // the session ends (after the NDEATH)
    uint64_t bdSeq = 0;       // of the session under way (its will)
    uint64_t sessions = 0;    // sessions whose subscriptions the broker took
    int subscribing = 0;      // subscriptions not acknowledged yet
    bool bConnected = false;  // subscribed, publishing
    bool bRebirth = false;    // asked for by a command
    bool bHostOnline = false;
    int64_t hostTimestamp = 0;  // of the last STATE taken
    uint64_t hostOnlines = 0;   // times the host came online
    std::deque<SpbHistory> history;
    std::vector<std::pair<size_t, size_t>> writtenBack;  // line, gate: a write came back
    int deathMid = -1;                                   // the NDEATH at the end, until the broker has it
    bool bDeathAcked = false;

    std::atomic<bool> bStop{false};     // the publisher ends
    std::atomic<bool> bRunning{false};  // started: it takes history

    // Counters, node metrics.
    std::atomic<uint64_t> commands{0}, writes{0}, writesRefused{0};

    // The publisher's own.
    std::vector<SpbDevice> devices;
    std::vector<std::vector<SpbSent>> sent;  // by line, by gate
    uint64_t seq = 0;
    std::vector<SpbNodeMetric> nodeSent;
};

// Starts the node's client (it connects and reconnects by itself) and its
// publisher. False with a message when the client cannot be made.
bool StartSparkplug(Sparkplug *s, Gateway *gw, std::string *pError);
// An orderly end: the publisher stopped, NDEATH with this session's bdSeq
// sent, the session closed.
void StopSparkplug(Sparkplug *s);
// A sample the store replays (topic PREFIX/LINE/GATE/history, its JSON
// payload): historical data once the device has been born. Nothing while
// the node is not running.
void SparkplugHistory(Sparkplug *s, const std::string &topic, const std::string &payload);

}  // namespace gateway
