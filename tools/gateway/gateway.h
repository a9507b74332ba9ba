// The running gateway: its configuration and its lines, shared by the
// publisher, the MQTT client's callbacks, the Modbus server and the reload.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "config.h"
#include "line.h"
#include "modbus_map.h"

namespace gateway {

struct Gateway {
    GatewayConfig config;
    rovod::ZevMainFn pZevMain = nullptr;
    bool bVerbose = false;
    Notifier notify;                           // the lines' news for the publisher
    std::mutex linesMutex;                     // guards lines and modbusMap: a reload replaces them
    std::vector<std::unique_ptr<Line>> lines;  // in the order of config.lines
    std::shared_ptr<ModbusMap> modbusMap;      // null without a modbus section
};

// The line of this name and the index of its gate of this name; false when
// there is none. Call with linesMutex held.
bool FindGate(Gateway *gw, const std::string &line, const std::string &gate, Line **ppLine, size_t *pIndex);

}  // namespace gateway
