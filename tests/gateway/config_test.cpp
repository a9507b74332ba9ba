// gateway.yaml: every error names file:line:column and what is wrong, the
// program exits 64 and starts nothing (rovod-gateway --check).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>

#include "harness.h"

namespace {

struct Checked {
    int status;
    std::string out, err;
};

Checked Check(const std::string &dir, const std::string &yaml) {
    const std::string path = dir + "/gw.yaml";
    gwtest::WriteFile(path, yaml);
    gwtest::Child child;
    std::remove((dir + "/out").c_str());
    std::remove((dir + "/err").c_str());
    gwtest::Spawn({ROVOD_GATEWAY_BIN, "--driver", ROVOD_DRIVER_LIB, "--check", path}, dir + "/out",
                  dir + "/err", &child);
    const int status = gwtest::Stop(&child, 0, 10000);
    return {status, gwtest::Slurp(dir + "/out"), gwtest::Slurp(dir + "/err")};
}

// A line around the gate list given.
std::string WithGates(const std::string &gates) {
    return "lines:\n  - name: boiler\n    port: ttyUSB0\n    gates:\n" + gates;
}

// Three gates on a line and a modbus section for it.
std::string WithModbus(const std::string &line) {
    return WithGates(
               "      - {address: 01A0010, name: sp, writable: true}\n"
               "      - {address: 01A0011, name: pv}\n      - {address: 01A0012, name: pv2}\n") +
           "modbus:\n  lines:\n" + line;
}

TEST(GatewayConfig, EveryErrorNamesItsPlaceAndNothingStarts) {
    const std::string dir = gwtest::MakeScratch("gw_config");
    const std::string gate = "      - {address: 01A0010}\n";
    const struct {
        std::string yaml, error;
    } cases[] = {
        {"lines: [\n", "gw.yaml:2:1: end of sequence flow not found"},
        {"brokers: {}\n" + WithGates(gate), "gw.yaml:1:1: unknown key 'brokers' in the file"},
        {"lines:\n  - name: boiler\n    port: ttyUSB0\n    bauds: 9600\n    gates:\n" + gate,
         "gw.yaml:4:5: unknown key 'bauds' in a line (known: name, port, baud,"},
        {WithGates("      - {address: 01A00G5}\n"),
         "gw.yaml:5:19: gate address '01A00G5' refused by the driver: ROVOD> Parse() Illegal character 6 in "
         "'01A00G5'"},
        {WithGates("      - {address: 01A0000, count: 9}\n"),
         "gw.yaml:5:19: gate address '01A0000' refused by the driver: ROVOD> Parse() block size out of range "
         "in "
         "block '01A0000' (max.8)"},
        {WithGates("      - {address: 01A0010, name: sp}\n      - {address: 01A0011, name: sp}\n"),
         "gw.yaml:6:34: duplicate gate name 'sp' in line 'boiler' (first at 5:34)"},
        {"lines:\n  - name: boiler\n    gates:\n" + gate, "gw.yaml:2:5: line 'boiler' has no port"},
        {"lines:\n  - name: boiler\n    port: ttyUSB0\n    baud: 115200\n    gates:\n" + gate,
         "gw.yaml:4:11: baud 115200 does not fit the driver's 16-bit rate (at most 65535)"},
        {"lines:\n  - name: boiler\n    port: ttyUSB0\n    parity: odd-ish\n    gates:\n" + gate,
         "gw.yaml:4:13: parity wants none, odd, even, mark or space, not 'odd-ish'"},
        {"lines:\n  - name: boiler\n    port: ttyUSB0\n    interval_ms: soon\n    gates:\n" + gate,
         "gw.yaml:4:18: interval_ms wants a whole number from 0 to 86400000, not 'soon'"},
        {WithGates("      - {address: 01I0010, count: 4, writable: true}\n"),
         "gw.yaml:5:48: gate '01I0010' is a block: the driver writes single gates only"},
        {WithGates("      - {address: 01A0010, name: a/b}\n"),
         "gw.yaml:5:34: gate name 'a/b' is no topic level: it may not hold '/', '+' or '#'"},
        {WithGates("      - {address: 01A0010, name: status}\n"),
         "gw.yaml:5:34: gate name 'status' is the line's own topic"},
        {WithGates(gate) + "  - name: boiler\n    port: ttyUSB1\n    gates:\n" + gate,
         "gw.yaml:6:11: duplicate line name 'boiler' (first at 2:11)"},
        {WithGates(gate) + "  - name: kiln\n    port: ttyUSB0\n    gates:\n" + gate,
         "gw.yaml:7:11: port ttyUSB0 is on two lines (first at 3:11)"},
        {"broker: {port: 0}\n" + WithGates(gate), "gw.yaml:1:16: port wants a whole number from 1 to 65535"},
        {"broker: {user: u, password_file: /dev/null}\n" + WithGates(gate),
         "gw.yaml:1:34: password_file /dev/null holds no password"},
        {WithModbus("    - line: boiler\n      units: {1: 1}\n      registers:\n"
                    "        - {gate: pv, register: 0}\n        - {gate: pv2, register: 1}\n"),
         "gw.yaml:14:33: input registers 1..2 of gate 'boiler/pv2' overlap those of 'boiler/pv' (0..1, at "
         "13:32) "
         "in unit 1"},
        {WithModbus("    - line: boiler\n      units: {1: 1}\n      registers:\n"
                    "        - {gate: pv, register: 65535}\n"),
         "gw.yaml:13:32: gate 'pv' takes input registers 65535..65536, beyond 65535"},
        {WithModbus("    - line: boiler\n      units: {1: 1}\n      registers:\n        - {gate: nope, "
                    "register: 5}\n"),
         "gw.yaml:13:18: line 'boiler' has no gate 'nope'"},
        {WithModbus("    - line: kiln\n      units: {1: 1}\n      registers: []\n"),
         "gw.yaml:10:13: there is no line 'kiln'"},
        {WithModbus("    - line: boiler\n      units: {2: 1}\n      registers:\n        - {gate: sp, "
                    "register: 0}\n"),
         "gw.yaml:13:18: controller 1 of gate 'sp' has no unit in units"},
        {WithModbus("    - line: boiler\n      units: {1: 1, 2: 1}\n      registers: []\n"),
         "gw.yaml:11:24: unit 1 is given twice (first at 11:18)"},
        {"store: {max_mb: 8}\n" + WithGates(gate), "gw.yaml:1:8: store has no path"},
        {"store: {path: s.db, max_mb: 0}\n" + WithGates(gate),
         "gw.yaml:1:29: max_mb wants a whole number from 1 to 1048576, not '0'"},
        {"store: {path: s.db, size: 8}\n" + WithGates(gate), "gw.yaml:1:21: unknown key 'size' in store"},
        {"sparkplug: {group_id: plant}\n" + WithGates(gate), "gw.yaml:1:12: sparkplug has no edge_node_id"},
        {"sparkplug: {group_id: a/b, edge_node_id: gw}\n" + WithGates(gate),
         "gw.yaml:1:23: group_id 'a/b' is no topic level: it may not hold '/', '+' or '#'"},
    };
    for (const auto &c : cases) {
        const Checked r = Check(dir, c.yaml);
        EXPECT_EQ(r.status, 64) << c.yaml;
        EXPECT_NE(r.err.find("rovod-gateway: " + dir + "/" + c.error), std::string::npos)
            << "wanted: " << c.error << "\ngot: " << r.err;
        EXPECT_EQ(r.out, "") << c.yaml;
    }
    if (!HasFailure()) std::filesystem::remove_all(dir);
}

TEST(GatewayConfig, CheckPrintsTheTopicsOfAGoodFile) {
    const std::string dir = gwtest::MakeScratch("gw_check");
    const Checked r =
        Check(dir, "broker: {prefix: plant/hall1}\nhomeassistant: true\nstore: {path: store.db}\n" +
                       WithGates("      - {address: 01A0010, name: sp, writable: true}\n"
                                 "      - {address: 0130000, name: block}\n") +
                       "modbus:\n  port: 1502\n  lines:\n    - {line: boiler, units: {1: 3}, registers: "
                       "[{gate: sp, register: 7, word_order: low_first}, {gate: block, register: 0}]}\n");
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char *topic :
         {"plant/hall1/status ", "plant/hall1/boiler/status ", "plant/hall1/boiler/sp ",
          "plant/hall1/boiler/sp/set ", "plant/hall1/boiler/sp/result ", "plant/hall1/boiler/block ",
          "plant/hall1/boiler/diagnostics ", "homeassistant/number/plant_hall1/boiler_sp/config ",
          "plant/hall1/boiler/sp/history ", "plant/hall1/store "})
        EXPECT_NE(r.out.find(topic), std::string::npos) << topic << "\n" << r.out;
    EXPECT_NE(r.out.find("ok, 1 line, 2 gates"), std::string::npos) << r.out;
    for (const char *map :
         {"modbus 127.0.0.1:1502\n",
          "unit 3 holding registers 7..8          boiler/sp (01A0010), float, low word first\n",
          "unit 3 input registers 0..31           boiler/block (0130000), float, high word first\n"})
        EXPECT_NE(r.out.find(map), std::string::npos) << map << "\n" << r.out;
    if (!HasFailure()) std::filesystem::remove_all(dir);
}

}  // namespace
