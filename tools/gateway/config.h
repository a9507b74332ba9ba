// gateway.yaml: the broker, the lines and their gates, read and checked in
// full before anything starts. Every error names file:line:column.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host.h"

namespace gateway {

enum class Publish { kChange, kCycle };

struct GateConfig {
    std::string address;
    std::string name;         // the topic level
    uint32_t intervalMs = 0;  // 0: the line's
    bool bWritable = false;
    Publish publish = Publish::kChange;
    bool bBlock = false;
    int32_t count = 1;     // elements (blocks), 1 for single gates
    int32_t dataType = 0;  // host data type, as rovod gives it
    bool bFloats = false;  // the values are floats
    bool operator==(const GateConfig &) const = default;
};

struct LineConfig {
    std::string name;
    std::string port;  // as written (a link is resolved at every open)
    uint16_t baud = 9600, dataBits = 8, stopBits = 0, parity = 0;
    uint32_t timeout = 20;   // reply time-out in the driver's 10 ms units
    std::string controlDir;  // where the control-signal file is looked for
    uint32_t instance = 0;   // selects ROVOD<nn>.INT
    uint32_t intervalMs = 1000;
    bool bBlocks = true;             // optimize: blocks (or none: one request per gate)
    uint32_t silentRetryMs = 10000;  // a silent controller's probe period
    std::vector<GateConfig> gates;
    bool operator==(const LineConfig &) const = default;
};

struct BrokerConfig {
    std::string host = "localhost";
    uint16_t port = 1883;
    std::string clientId;
    std::string prefix = "rovod";
    std::string user, passwordFile, caFile;
    // Read from passwordFile at load, so that a reload sees a changed password.
    std::string password;
    uint32_t keepAlive = 30;
    int qos = 0;  // of the values; status and results go with 1
    bool operator==(const BrokerConfig &) const = default;
};

// Modbus register spaces: a bit gate is a coil (writable) or a discrete
// input, any other a run of holding (writable) or input registers.
enum class Space { kCoil = 0, kDiscrete = 1, kHolding = 2, kInput = 3 };

struct ModbusRegister {
    size_t gate = 0;  // index in the line's gates
    uint16_t address = 0;
    bool bLowWordFirst = false;  // floats: the low word in the first register
    bool operator==(const ModbusRegister &) const = default;
};

struct ModbusLine {
    size_t line = 0;           // index in the lines
    std::map<int, int> units;  // controller address -> unit id
    std::vector<ModbusRegister> registers;
    bool operator==(const ModbusLine &) const = default;
};

struct ModbusConfig {
    bool bEnabled = false;
    std::string listen = "127.0.0.1";
    uint16_t port = 502;
    uint32_t maxClients = 32;
    std::vector<ModbusLine> lines;
    bool operator==(const ModbusConfig &) const = default;
};

// A Sparkplug B edge node beside the JSON topics, on a session of its own.
struct SparkplugConfig {
    bool bEnabled = false;
    std::string groupId, edgeNodeId;
    std::string primaryHostId;  // "": births go out at once
    std::string bdSeqFile;      // where bdSeq is kept across restarts
    bool operator==(const SparkplugConfig &) const = default;
};

struct GatewayConfig {
    std::string path;
    BrokerConfig broker;
    bool bHomeAssistant = false;
    std::string discoveryPrefix = "homeassistant";
    uint32_t diagnosticsS = 10;
    // Samples the broker has not taken are kept here ("": no store).
    std::string storePath;
    uint32_t storeMaxMb = 64;
    std::vector<LineConfig> lines;
    ModbusConfig modbus;
    SparkplugConfig sparkplug;
};

// The controller a gate addresses (255 for the parameter gates).
int PlcOf(const GateConfig &gate);
// The Modbus space of a gate and how many registers (or bits) it takes: two
// per float, one per integer or bit.
Space SpaceOf(const GateConfig &gate);
uint16_t RegisterCount(const GateConfig &gate);

// Reads and checks the file; gate addresses go through the driver's own
// parsers on the port-less instance *parser. False with one message per
// error, each "file:line:column: what is wrong".
bool LoadConfig(const std::string &path, rovod::Session *parser, GatewayConfig *pConfig,
                std::vector<std::string> *pErrors);

struct Topic {
    std::string topic;
    std::string what;
};
// PREFIX/LINE/GATE<suffix> split into line and gate names (the gate name may
// hold slashes); false for any other topic.
bool SplitGateTopic(const std::string &topic, const std::string &prefix, const std::string &suffix,
                    std::string *pLine, std::string *pGate);
// The controllers a line's gates address (parameter gates aside), in order.
std::vector<int> LineControllers(const LineConfig &line);
// Every topic the configuration publishes or subscribes to.
std::vector<Topic> Topics(const GatewayConfig &config);
// Home Assistant's discovery topic of a gate's entity (element -1 for a
// single gate; a block has one per element, 0, 1, ...), and the ids in it
// (letters, digits, '-' and '_').
std::string DiscoveryTopic(const GatewayConfig &config, const LineConfig &line, const GateConfig &gate,
                           int32_t element = -1);
std::string DiscoveryId(const std::string &text);
// The elements a gate's entities stand for: {-1} for a single gate.
std::vector<int32_t> DiscoveryElements(const GateConfig &gate);

}  // namespace gateway
