// The lines as Modbus devices: the register map built from the modbus
// section, and the answer to one request, read from the value cache and
// written through the line's queue. No sockets here: the server (libmodbus)
// receives the request and sends what this decides.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "config.h"

typedef struct _modbus_mapping_t modbus_mapping_t;

namespace gateway {

struct Gateway;

// One gate's registers (or bits) in a unit's space.
struct MapEntry {
    uint16_t first = 0, size = 0;  // registers or bits
    size_t line = 0, gate = 0;     // indices in the configuration (and in Gateway::lines)
    bool bLowWordFirst = false;    // floats: which of the two registers comes first
};

struct UnitMap {
    std::array<std::vector<MapEntry>, 4> spaces;  // by Space, sorted by first
};

struct ModbusMap {
    std::array<int16_t, 256> unit{};  // unit id -> index in units, -1 none
    std::vector<UnitMap> units;
};

std::shared_ptr<ModbusMap> BuildModbusMap(const GatewayConfig &config);

// Writes a value through the line's queue and waits for its outcome: the
// driver's result, or kWriteTimedOut. Called without any lock held. The
// indices are map's; a reload may have replaced it (and the lines) since.
constexpr uint32_t kWriteTimedOut = 0x100;
using WriteFn = std::function<uint32_t(const ModbusMap *map, size_t line, size_t gate, double value)>;

// The answer to one request (TCP ADU as modbus_receive gives it): 0 and a
// mapping in *ppMapping for modbus_reply to answer from (the caller frees
// it), or the exception code for modbus_reply_exception.
uint8_t Answer(Gateway *gw, const uint8_t *pReq, int iLength, const WriteFn &write,
               modbus_mapping_t **ppMapping);

}  // namespace gateway
