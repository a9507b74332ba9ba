// What the configuration says of a gate beyond its own fields: the
// controller it addresses, and where it goes on Modbus.
#include <cstdlib>

#include "config.h"

namespace gateway {

int PlcOf(const GateConfig &gate) {
    if (gate.address.empty() || gate.address[0] == '$') return 255;
    return static_cast<int>(std::strtol(gate.address.substr(0, 2).c_str(), nullptr, 16));
}

Space SpaceOf(const GateConfig &gate) {
    const bool bBit = gate.dataType == ZEV_TYPE_DIGITAL;
    if (bBit) return gate.bWritable ? Space::kCoil : Space::kDiscrete;
    return gate.bWritable ? Space::kHolding : Space::kInput;
}

uint16_t RegisterCount(const GateConfig &gate) {
    if (gate.dataType == ZEV_TYPE_DIGITAL) return 1;
    return static_cast<uint16_t>(gate.count * (gate.bFloats ? 2 : 1));
}

}  // namespace gateway
