// The two functions the driver imports from its host, and the gate table
// behind Mox5UnCook's gate handles. Both reach the calling thread's host
// state: an instance is driven by one thread, so no lock is needed.
#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"

#if defined(_WIN32)
#define ROVOD_HOST_EXPORT __declspec(dllexport)
#else
#define ROVOD_HOST_EXPORT __attribute__((visibility("default")))
#endif

namespace rovod {

namespace {

thread_local HostState *tlsHost = nullptr;

HostState &ProcessHost() {
    static HostState state;
    return state;
}

}  // namespace

HostState *CurrentHost() { return tlsHost != nullptr ? tlsHost : &ProcessHost(); }

void BindHost(HostState *pState) { tlsHost = pState; }

std::vector<LogEntry> &DriverLog() { return CurrentHost()->log; }

void SetLogEcho(bool bEcho) { CurrentHost()->bEcho = bEcho; }

std::deque<Gate> &Gates() { return CurrentHost()->gates; }

Gate *GateByHandle(uint32_t hGate) {
    if (hGate == 0 || hGate > Gates().size()) return nullptr;
    return &Gates()[hGate - 1];
}

char MemTypeOf(const std::string &address) {
    return address.size() >= 3 ? static_cast<char>(std::toupper(static_cast<unsigned char>(address[2]))) : 0;
}

int32_t DataTypeFor(const std::string &address) {
    std::string upper;
    for (char ch : address) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (upper == "$DEBUG") return ZEV_TYPE_DIGITAL;
    if (upper == "$FDELAY") return ZEV_TYPE_ANALOG16_1;
    if (upper == "$IFG" || upper == "$TPPOS") return ZEV_TYPE_ANALOG16_0;
    const char mem = MemTypeOf(upper);
    const bool bBitAddress = upper.size() == 8 && std::isxdigit(static_cast<unsigned char>(upper[7])) &&
                             (mem == '2' || mem == 'I' || mem == 'X');
    if (bBitAddress) return ZEV_TYPE_DIGITAL;
    if (mem && std::strchr("AFPR3", mem)) return ZEV_TYPE_LONG;
    return ZEV_TYPE_ANALOG16_0;
}

bool HoldsFloats(const Gate &gate) {
    const char mem = MemTypeOf(gate.address);
    if (gate.bBlock) return mem && std::strchr("AFPR3", mem);
    return gate.iDataType == ZEV_TYPE_LONG;
}

namespace {

double Rounded(float f) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", static_cast<double>(f));
    return std::strtod(text, nullptr);
}

}  // namespace

std::vector<double> Values(const Gate &gate) {
    std::vector<double> values;
    const bool bParam = gate.rec.iMemType == ZEV_MEMTYPE_PARAMETER;
    if (!gate.bBlock) {
        if (HoldsFloats(gate)) {
            float f;
            std::memcpy(&f, gate.value, sizeof f);
            values.push_back(Rounded(f));
        } else {
            uint16_t v;
            std::memcpy(&v, gate.value + 2, sizeof v);
            values.push_back(bParam ? static_cast<int16_t>(v) : v);
        }
        return values;
    }
    const bool bFloats = HoldsFloats(gate);
    const size_t limit = kValueBytes / (bFloats ? 4 : 2);
    const size_t count =
        gate.rec.iCount > 0 ? std::min<size_t>(static_cast<size_t>(gate.rec.iCount), limit) : 0;
    for (size_t i = 0; i < count; ++i) {
        if (bFloats) {
            float f;
            std::memcpy(&f, gate.value + 4 * i, sizeof f);
            values.push_back(Rounded(f));
        } else {
            uint16_t v;
            std::memcpy(&v, gate.value + 2 * i, sizeof v);
            values.push_back(v);
        }
    }
    return values;
}

Gate *AddGate(const std::string &address, bool bBlock, int32_t count, int32_t dataType) {
    Gate &gate = Gates().emplace_back();
    gate.address = address;
    gate.bBlock = bBlock;
    gate.iCount = count;
    gate.iDataType = dataType;
    gate.def.pszAddress = gate.address.c_str();
    gate.def.iDataType = dataType;
    gate.def.iBlockSize = count;
    gate.rec.pszAddress = gate.address.c_str();
    gate.rec.iCount = count;
    gate.rec.hGate = static_cast<uint32_t>(Gates().size());
    gate.rec.pValue = gate.value;
    return &gate;
}

}  // namespace rovod

extern "C" ROVOD_HOST_EXPORT int ZEV_CALL err(int32_t iCategory, const char *pszFormat, ...) {
    char text[1024];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(text, sizeof text, pszFormat ? pszFormat : "(null)", args);
    va_end(args);
    rovod::HostState *host = rovod::CurrentHost();
    host->log.push_back({iCategory, text});
    if (host->bEcho) std::fprintf(stderr, "%s[%2d] %s\n", host->echoTag.c_str(), iCategory, text);
    return 0;
}

// Puts the value into the gate's buffer as its data type needs: a float at
// offset 0 for 32-bit gates, a 16-bit integer at offset 2 for the others.
extern "C" ROVOD_HOST_EXPORT int ZEV_CALL Mox5UnCook(int32_t, uint32_t hGate, double dValue, void *pValue) {
    rovod::Gate *gate = rovod::GateByHandle(hGate);
    if (gate == nullptr || pValue != gate->value) {
        std::fprintf(stderr, "rovod: Mox5UnCook for an unknown gate handle %u, value %g ignored\n", hGate,
                     dValue);
        return 1;
    }
    if (gate->iDataType == ZEV_TYPE_LONG) {
        const float f = static_cast<float>(dValue);
        std::memcpy(gate->value, &f, sizeof f);
    } else {
        const int16_t v = static_cast<int16_t>(dValue);
        std::memcpy(gate->value + 2, &v, sizeof v);
    }
    return 0;
}
