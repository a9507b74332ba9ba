// What a line shares with its readers and writers: the cache's record, the
// write queue, the checks of a value to write, the clocks of the payloads.
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include "line.h"

namespace gateway {

void Notify(Notifier *pNotifier) {
    if (pNotifier == nullptr) return;
    {
        std::lock_guard<PiMutex> lock(pNotifier->mutex);
        ++pNotifier->generation;
    }
    pNotifier->cv.notify_all();
}

int64_t WallUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string IsoTime(int64_t us) {
    const std::time_t secs = static_cast<std::time_t>(us / 1000000);
    std::tm parts{};
    gmtime_r(&secs, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(us % 1000000));
    return text;
}

namespace {

std::string Upper(const std::string &text) {
    std::string out;
    for (char ch : text) out += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return out;
}

struct Range {
    double min, max;
};

// What an integer gate takes: parameter gates their settings' ranges, bits 0
// or 1, bytes and switches a byte.
Range IntegerRange(const GateConfig &gate) {
    const std::string upper = Upper(gate.address);
    if (upper == "$DEBUG") return {0, 1};
    if (upper == "$TPPOS") return {0, 9};
    if (upper == "$IFG") return {0, 5000};
    if (upper == "$FDELAY") return {-32768, 4999};
    if (gate.dataType == ZEV_TYPE_DIGITAL) return {0, 1};
    return {0, 255};
}

}  // namespace

bool SignedGate(const GateConfig &gate) { return !gate.bFloats && IntegerRange(gate).min < 0; }

std::unique_ptr<Line> NewLine(const LineConfig &config, rovod::ZevMainFn pZevMain, bool bVerbose,
                              Notifier *pNotify) {
    auto line = std::make_unique<Line>();
    line->config = config;
    line->pZevMain = pZevMain;
    line->bVerbose = bVerbose;
    line->pNotify = pNotify;
    line->cache.assign(config.gates.size(), GateValue{});
    line->counters.windowStartUs = WallUs();
    return line;
}

bool QueueWrite(Line *line, WriteRequest request) {
    {
        std::lock_guard<PiMutex> lock(line->mutex);
        if (line->bStop) return false;
        line->writes.push_back(std::move(request));
    }
    line->wake.notify_all();
    return true;
}

bool CheckWriteValue(const GateConfig &gate, double value, std::string *pWhy) {
    char text[48];
    std::snprintf(text, sizeof text, "%.10g", value);
    if (!std::isfinite(value)) {
        *pWhy = "not a finite number";
        return false;
    }
    if (gate.bFloats) {
        if (std::fabs(value) > FLT_MAX) {
            *pWhy = std::string(text) + " is beyond the range of a float";
            return false;
        }
        return true;
    }
    const Range range = IntegerRange(gate);
    if (value != std::trunc(value)) {
        *pWhy = std::string(text) + " is not a whole number (" + gate.address + " holds integers)";
        return false;
    }
    if (value < range.min || value > range.max) {
        char limits[64];
        std::snprintf(limits, sizeof limits, " (%.0f..%.0f)", range.min, range.max);
        *pWhy = std::string(text) + " is out of range for " + gate.address + limits;
        return false;
    }
    return true;
}

}  // namespace gateway
