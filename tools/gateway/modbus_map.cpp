#include "modbus_map.h"

#include <modbus/modbus.h>

#include <algorithm>
#include <cstring>

#include "gateway.h"

namespace gateway {

std::shared_ptr<ModbusMap> BuildModbusMap(const GatewayConfig &config) {
    auto map = std::make_shared<ModbusMap>();
    map->unit.fill(-1);
    for (const ModbusLine &ml : config.modbus.lines) {
        const LineConfig &line = config.lines[ml.line];
        for (const auto &[plc, unit] : ml.units) {
            if (map->unit[unit] >= 0) continue;
            map->unit[unit] = static_cast<int16_t>(map->units.size());
            map->units.emplace_back();
        }
        for (const ModbusRegister &reg : ml.registers) {
            const GateConfig &gate = line.gates[reg.gate];
            const int unit = ml.units.at(PlcOf(gate));
            MapEntry e;
            e.first = reg.address;
            e.size = RegisterCount(gate);
            e.line = ml.line;
            e.gate = reg.gate;
            e.bLowWordFirst = reg.bLowWordFirst;
            map->units[map->unit[unit]].spaces[static_cast<int>(SpaceOf(gate))].push_back(e);
        }
    }
    for (UnitMap &u : map->units)
        for (auto &space : u.spaces)
            std::sort(space.begin(), space.end(),
                      [](const MapEntry &a, const MapEntry &b) { return a.first < b.first; });
    return map;
}

namespace {

constexpr int kHeader = 7;  // MBAP header: transaction, protocol, length, unit

uint16_t Word(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// The entries that cover [first, first + count) without a gap, in order;
// false on a gap. With bExact the range must begin and end on entries.
bool Cover(const std::vector<MapEntry> &entries, uint32_t first, uint32_t count, bool bExact,
           std::vector<const MapEntry *> *pOut) {
    const uint32_t end = first + count;
    auto it = std::upper_bound(entries.begin(), entries.end(), first,
                               [](uint32_t a, const MapEntry &e) { return a < e.first; });
    if (it != entries.begin()) --it;
    uint32_t cursor = first;
    for (; it != entries.end() && cursor < end; ++it) {
        const uint32_t from = it->first, to = from + it->size;
        if (to <= cursor) continue;
        if (from > cursor) return false;
        if (bExact && (from < first || to > end)) return false;
        pOut->push_back(&*it);
        cursor = to;
    }
    return cursor >= end;
}

// The registers (or bits) of one gate's value.
void Encode(const GateConfig &gate, const MapEntry &e, const GateValue &v, uint16_t *pRegs) {
    if (gate.dataType == ZEV_TYPE_DIGITAL) {
        pRegs[0] = v.values[0] != 0;
        return;
    }
    for (int32_t i = 0; i < gate.count; ++i) {
        if (!gate.bFloats) {
            pRegs[i] = static_cast<uint16_t>(static_cast<int32_t>(v.values[i]));
            continue;
        }
        const float f = static_cast<float>(v.values[i]);
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        const uint16_t high = static_cast<uint16_t>(bits >> 16), low = static_cast<uint16_t>(bits);
        pRegs[2 * i] = e.bLowWordFirst ? low : high;
        pRegs[2 * i + 1] = e.bLowWordFirst ? high : low;
    }
}

// A value from the registers a write brings for one single gate.
double Decode(const GateConfig &gate, const MapEntry &e, const uint16_t *pRegs) {
    if (gate.bFloats) {
        const uint32_t bits =
            e.bLowWordFirst ? (uint32_t{pRegs[1]} << 16 | pRegs[0]) : (uint32_t{pRegs[0]} << 16 | pRegs[1]);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    return SignedGate(gate) ? static_cast<int16_t>(pRegs[0]) : pRegs[0];
}

struct Request {
    uint8_t unit = 0, function = 0;
    Space space = Space::kInput;
    bool bWrite = false;
    uint16_t first = 0, count = 0;
    std::vector<uint16_t> values;  // of a write: registers, or bits as 0/1
};

// The request's PDU checked against the protocol's limits: 0, or the
// exception code.
uint8_t Parse(const uint8_t *pReq, int iLength, Request *r) {
    if (iLength < kHeader + 1) return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    const uint8_t *pdu = pReq + kHeader;
    const int n = iLength - kHeader;
    r->unit = pReq[kHeader - 1];
    r->function = pdu[0];
    switch (r->function) {
        case MODBUS_FC_READ_COILS:
            r->space = Space::kCoil;
            break;
        case MODBUS_FC_READ_DISCRETE_INPUTS:
            r->space = Space::kDiscrete;
            break;
        case MODBUS_FC_READ_HOLDING_REGISTERS:
            r->space = Space::kHolding;
            break;
        case MODBUS_FC_READ_INPUT_REGISTERS:
            r->space = Space::kInput;
            break;
        case MODBUS_FC_WRITE_SINGLE_COIL:
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
            r->space = Space::kCoil;
            r->bWrite = true;
            break;
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
            r->space = Space::kHolding;
            r->bWrite = true;
            break;
        default:
            return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    }
    if (n < 5) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    r->first = Word(pdu + 1);
    const uint16_t word = Word(pdu + 3);
    const bool bBits = r->space == Space::kCoil || r->space == Space::kDiscrete;
    if (r->function == MODBUS_FC_WRITE_SINGLE_COIL) {
        if (word != 0xFF00 && word != 0x0000) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        r->count = 1;
        r->values = {static_cast<uint16_t>(word == 0xFF00)};
    } else if (r->function == MODBUS_FC_WRITE_SINGLE_REGISTER) {
        r->count = 1;
        r->values = {word};
    } else {
        r->count = word;
        const int limit = r->bWrite ? (bBits ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS)
                                    : (bBits ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS);
        if (r->count < 1 || r->count > limit) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        if (r->bWrite) {
            const int bytes = bBits ? (r->count + 7) / 8 : 2 * r->count;
            if (n < 6 || pdu[5] != bytes || n != 6 + bytes) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
            for (int i = 0; i < r->count; ++i)
                r->values.push_back(bBits ? (pdu[6 + i / 8] >> (i % 8)) & 1 : Word(pdu + 6 + 2 * i));
        }
    }
    if (uint32_t{r->first} + r->count > 65536) return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
    return 0;
}

struct Pending {
    size_t line, gate;
    double value;
};

struct MappingFree {
    void operator()(modbus_mapping_t *m) const { modbus_mapping_free(m); }
};

// The table modbus_reply answers from (and writes into), just the request's
// addresses of its space.
modbus_mapping_t *NewMapping(const Request &r) {
    const auto count = [&r](Space space) { return r.space == space ? int{r.count} : 0; };
    return modbus_mapping_new_start_address(r.first, count(Space::kCoil), r.first, count(Space::kDiscrete),
                                            r.first, count(Space::kHolding), r.first, count(Space::kInput));
}

}  // namespace

uint8_t Answer(Gateway *gw, const uint8_t *pReq, int iLength, const WriteFn &write,
               modbus_mapping_t **ppMapping) {
    *ppMapping = nullptr;
    Request r;
    if (const uint8_t code = Parse(pReq, iLength, &r)) return code;
    std::unique_ptr<modbus_mapping_t, MappingFree> m(NewMapping(r));
    if (m == nullptr) return MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;
    const bool bBits = r.space == Space::kCoil || r.space == Space::kDiscrete;
    uint8_t *pBits = r.space == Space::kCoil ? m->tab_bits : m->tab_input_bits;
    uint16_t *pRegisters = r.space == Space::kHolding ? m->tab_registers : m->tab_input_registers;
    std::vector<Pending> writes;
    std::shared_ptr<const ModbusMap> map;  // held until the writes are through
    {
        std::lock_guard<std::mutex> lock(gw->linesMutex);
        map = gw->modbusMap;
        if (map == nullptr || map->unit[r.unit] < 0) return MODBUS_EXCEPTION_GATEWAY_PATH;
        const std::vector<MapEntry> &entries =
            map->units[map->unit[r.unit]].spaces[static_cast<int>(r.space)];
        std::vector<const MapEntry *> covered;
        if (!Cover(entries, r.first, r.count, r.bWrite, &covered))
            return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
        for (const MapEntry *e : covered) {
            Line *line = gw->lines[e->line].get();
            const GateConfig &gate = line->config.gates[e->gate];
            if (r.bWrite) {
                const double value = Decode(gate, *e, r.values.data() + (e->first - r.first));
                std::string why;
                if (!CheckWriteValue(gate, value, &why)) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
                writes.push_back({e->line, e->gate, value});
                continue;
            }
            uint16_t regs[2 * kMaxValues];
            {
                std::lock_guard<PiMutex> lineLock(line->mutex);
                const GateValue &v = line->cache[e->gate];
                // A value that failed, or a block shorter than its registers.
                if (v.result != 0 || !v.bHasValue || (gate.bBlock && v.count < gate.count))
                    return MODBUS_EXCEPTION_GATEWAY_TARGET;
                Encode(gate, *e, v, regs);
            }
            // The part of the gate's registers that the request asked for.
            for (uint32_t a = std::max<uint32_t>(e->first, r.first);
                 a < std::min<uint32_t>(e->first + e->size, uint32_t{r.first} + r.count); ++a) {
                if (bBits)
                    pBits[a - r.first] = static_cast<uint8_t>(regs[a - e->first] != 0);
                else
                    pRegisters[a - r.first] = regs[a - e->first];
            }
        }
    }
    // Written in order, each through its line; the first refusal ends it.
    for (const Pending &p : writes) {
        const uint32_t result = write(map.get(), p.line, p.gate, p.value);
        if (result == kWriteTimedOut) return MODBUS_EXCEPTION_GATEWAY_TARGET;
        if (result != 0) return MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;
    }
    *ppMapping = m.release();
    return 0;
}

}  // namespace gateway
