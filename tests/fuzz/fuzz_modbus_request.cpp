// The gateway's Modbus request path on any bytes: what modbus_receive hands
// over goes through Answer against a map of every kind of gate (floats in
// both word orders, an integer, a signed parameter, bits, blocks, a failed
// value), then through libmodbus's modbus_reply or modbus_reply_exception.
// The first byte is the outcome the line gives a write. Every answer is a
// Modbus exception the server uses or a mapping that covers the request;
// only writable gates are written, and only with values they take.
#include <fcntl.h>
#include <modbus/modbus.h>
#include <unistd.h>

#include "fuzz_util.h"
#include "gateway.h"

namespace {

using gateway::GateConfig;

GateConfig Gate(const char *address, const char *name, bool bWritable, int32_t count, int32_t dataType,
                bool bFloats) {
    GateConfig g;
    g.address = address;
    g.name = name;
    g.bWritable = bWritable;
    g.bBlock = count > 1;
    g.count = count;
    g.dataType = dataType;
    g.bFloats = bFloats;
    return g;
}

struct Rig {
    gateway::Gateway gw;
    modbus_t *ctx = nullptr;
};

Rig *MakeRig() {
    auto *rig = new Rig;
    gateway::GatewayConfig &c = rig->gw.config;
    gateway::LineConfig a;
    a.name = "a";
    a.gates = {Gate("01A0010", "sp", true, 1, ZEV_TYPE_LONG, true),
               Gate("01A0011", "pv", false, 1, ZEV_TYPE_LONG, true),
               Gate("01I0020", "byte", true, 1, ZEV_TYPE_ANALOG16_0, false),
               Gate("01I00113", "bit", true, 1, ZEV_TYPE_DIGITAL, false),
               Gate("01I00114", "in", false, 1, ZEV_TYPE_DIGITAL, false),
               Gate("01A0012", "blk", false, 4, ZEV_TYPE_LONG, true),
               Gate("01I0030", "bytes", false, 8, ZEV_TYPE_ANALOG16_0, false),
               Gate("$FDELAY", "fdelay", true, 1, ZEV_TYPE_ANALOG16_1, false),
               Gate("02A0010", "dead", false, 1, ZEV_TYPE_LONG, true)};
    c.lines = {a};
    gateway::ModbusLine ml;
    ml.line = 0;
    ml.units = {{1, 1}, {2, 2}, {255, 9}};
    const uint16_t at[] = {0, 0, 2, 0, 0, 10, 20, 3, 0};
    for (size_t i = 0; i < a.gates.size(); ++i) ml.registers.push_back({i, at[i], i == 1});
    ml.registers.push_back({1, 30, false});  // pv again, high word first
    c.modbus.bEnabled = true;
    c.modbus.lines = {ml};
    rig->gw.lines.push_back(gateway::NewLine(a, nullptr, false, nullptr));
    gateway::Line *line = rig->gw.lines[0].get();
    const double values[] = {60.5, -3.7, 90, 1, 0, 12.5, 7, -10, 0};
    for (size_t i = 0; i < a.gates.size(); ++i) {
        gateway::GateValue &v = line->cache[i];
        v.result = i == 8 ? 2 : 0;
        v.bHasValue = i != 8;
        v.count = static_cast<uint16_t>(a.gates[i].count);
        for (int k = 0; k < a.gates[i].count; ++k) v.values[k] = values[i] + k;
    }
    rig->gw.modbusMap = gateway::BuildModbusMap(c);
    // Replies go to /dev/null: libmodbus builds them in full, the send fails.
    rig->ctx = modbus_new_tcp("127.0.0.1", 502);
    modbus_set_socket(rig->ctx, open("/dev/null", O_WRONLY));
    return rig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Rig *rig = MakeRig();
    if (size < 1 || size > MODBUS_TCP_MAX_ADU_LENGTH + 1) return 0;
    const uint32_t outcomes[] = {0, 1, 2, 3, gateway::kWriteTimedOut};
    const uint32_t outcome = outcomes[data[0] % 5];
    // The request as it is, so that ASan sees any read beyond it.
    const uint8_t *req = data + 1;
    const int length = static_cast<int>(size - 1);
    size_t writes = 0;
    const gateway::WriteFn write = [&](const gateway::ModbusMap *, size_t line, size_t gate, double value) {
        const GateConfig &g = rig->gw.config.lines.at(line).gates.at(gate);
        std::string why;
        FUZZ_CHECK(g.bWritable && gateway::CheckWriteValue(g, value, &why));
        ++writes;
        return outcome;
    };
    modbus_mapping_t *mapping = nullptr;
    const uint8_t code = gateway::Answer(&rig->gw, req, length, write, &mapping);
    FUZZ_CHECK(
        code == 0 ||
        (code >= MODBUS_EXCEPTION_ILLEGAL_FUNCTION && code <= MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE) ||
        code == MODBUS_EXCEPTION_GATEWAY_PATH || code == MODBUS_EXCEPTION_GATEWAY_TARGET);
    FUZZ_CHECK((code == 0) == (mapping != nullptr));
    if (code == 0) {
        FUZZ_CHECK(outcome == 0 || writes == 0);
        modbus_reply(rig->ctx, req, length, mapping);
        modbus_mapping_free(mapping);
    } else if (length >= 8) {
        modbus_reply_exception(rig->ctx, req, code);
    }
    return 0;
}
