// Sparkplug B payloads of the gateway: gates as metrics (births with name,
// type and properties, data by alias), the node's own metrics, and the
// values that commands carry.
#pragma once

#include <cstdint>
#include <string>

#include "line.h"
#include "sparkplug.h"
#include "sparkplug_b.pb.h"

namespace gateway {

using SpbPayload = org::eclipse::tahu::protobuf::Payload;
using SpbMetric = org::eclipse::tahu::protobuf::Payload_Metric;

// Unique across the node: the node's metrics below 65536, gate g of line l
// at (l + 1) << 16 | g.
uint64_t GateAlias(size_t line, size_t gate);
constexpr uint64_t kAliasBdSeq = 1, kAliasRebirth = 2;

// A gate's metric: in a birth with its name, type and properties (its
// address, whether it is writable), in data by alias alone. Without a value
// it is null.
void GateMetric(SpbMetric *metric, const GateConfig &gate, uint64_t alias, bool bBirth, const double *values,
                size_t count, bool bNull, int64_t timeMs);
void NodeMetric(SpbMetric *metric, const SpbNodeMetric &m, bool bBirth);
// The number a command's metric carries, read by its type; false with why.
bool CommandValue(const SpbMetric &metric, uint32_t type, double *pValue, std::string *pWhy);

}  // namespace gateway
