#include "spb_payload.h"

#include <cstring>

namespace gateway {

namespace {

void AddProperty(SpbMetric *metric, const std::string &key, uint32_t type) {
    metric->mutable_properties()->add_keys(key);
    metric->mutable_properties()->add_values()->set_type(type);
}

// The array types go as their elements packed little-endian.
std::string Packed(uint32_t type, const double *values, size_t count) {
    std::string bytes;
    for (size_t i = 0; i < count; ++i) {
        if (type == kSpbUInt8Array) {
            bytes += static_cast<char>(static_cast<uint8_t>(values[i]));
            continue;
        }
        const float f = static_cast<float>(values[i]);
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        for (int b = 0; b < 4; ++b) bytes += static_cast<char>((bits >> (8 * b)) & 0xFF);
    }
    return bytes;
}

}  // namespace

uint32_t SpbTypeOf(const GateConfig &gate) {
    if (gate.bBlock) return gate.bFloats ? kSpbFloatArray : kSpbUInt8Array;
    if (gate.bFloats) return kSpbFloat;
    if (gate.dataType == ZEV_TYPE_DIGITAL) return kSpbBoolean;
    if (SignedGate(gate)) return kSpbInt16;
    // $IFG and $TPPOS hold more than a byte may.
    if (gate.address[0] == '$') return kSpbUInt16;
    return kSpbUInt8;
}

uint64_t GateAlias(size_t line, size_t gate) { return (static_cast<uint64_t>(line) + 1) << 16 | gate; }

void GateMetric(SpbMetric *metric, const GateConfig &gate, uint64_t alias, bool bBirth, const double *values,
                size_t count, bool bNull, int64_t timeMs) {
    const uint32_t type = SpbTypeOf(gate);
    if (bBirth) {
        metric->set_name(gate.name);
        AddProperty(metric, "address", kSpbString);
        metric->mutable_properties()->mutable_values(0)->set_string_value(gate.address);
        AddProperty(metric, "writable", kSpbBoolean);
        metric->mutable_properties()->mutable_values(1)->set_boolean_value(gate.bWritable);
    }
    metric->set_alias(alias);
    metric->set_datatype(type);
    metric->set_timestamp(static_cast<uint64_t>(timeMs));
    if (bNull || count == 0) {
        metric->set_is_null(true);
        return;
    }
    switch (type) {
        case kSpbFloat:
            metric->set_float_value(static_cast<float>(values[0]));
            break;
        case kSpbBoolean:
            metric->set_boolean_value(values[0] != 0);
            break;
        case kSpbInt16:
            metric->set_int_value(static_cast<uint32_t>(static_cast<int32_t>(values[0])));
            break;
        case kSpbFloatArray:
        case kSpbUInt8Array:
            metric->set_bytes_value(Packed(type, values, count));
            break;
        default:
            metric->set_int_value(static_cast<uint32_t>(values[0]));
    }
}

void NodeMetric(SpbMetric *metric, const SpbNodeMetric &m, bool bBirth) {
    if (bBirth) metric->set_name(m.name);
    metric->set_alias(m.alias);
    metric->set_datatype(m.type);
    if (m.type == kSpbBoolean)
        metric->set_boolean_value(m.value != 0);
    else if (m.type == kSpbFloat)
        metric->set_float_value(static_cast<float>(m.value));
    else
        metric->set_long_value(static_cast<uint64_t>(m.value));
}

bool CommandValue(const SpbMetric &metric, uint32_t type, double *pValue, std::string *pWhy) {
    if (metric.has_datatype()) type = metric.datatype();
    if (metric.is_null()) {
        *pWhy = "the value is null";
        return false;
    }
    switch (metric.value_case()) {
        case SpbMetric::kFloatValue:
            *pValue = metric.float_value();
            return true;
        case SpbMetric::kDoubleValue:
            *pValue = metric.double_value();
            return true;
        case SpbMetric::kBooleanValue:
            *pValue = metric.boolean_value() ? 1 : 0;
            return true;
        case SpbMetric::kIntValue:
            // Int8..Int32 carry their two's complement.
            *pValue = type >= 1 && type <= 3 ? static_cast<double>(static_cast<int32_t>(metric.int_value()))
                                             : static_cast<double>(metric.int_value());
            return true;
        case SpbMetric::kLongValue:
            *pValue = type == 4 ? static_cast<double>(static_cast<int64_t>(metric.long_value()))
                                : static_cast<double>(metric.long_value());
            return true;
        default:
            *pWhy = "the value is no number";
            return false;
    }
}

}  // namespace gateway
