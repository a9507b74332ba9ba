#include "sim_faults.h"

#include <array>
#include <cstdlib>
#include <utility>

namespace sim {

namespace {

struct KindName {
    const char *name;
    FaultKind kind;
    bool bArg;        // takes =ARG
    uint32_t defArg;  // when =ARG is left out
};

constexpr std::array<KindName, 12> kKinds{{
    {"delay", FaultKind::kDelay, true, 200},
    {"drop", FaultKind::kDrop, false, 0},
    {"badfcs", FaultKind::kBadFcs, false, 0},
    {"badlen", FaultKind::kBadLen, false, 0},
    {"nak", FaultKind::kNak, false, 0},
    {"noise", FaultKind::kNoise, true, 3},
    {"trailing", FaultKind::kTrailing, true, 2},
    {"split", FaultKind::kSplit, true, 20},
    {"wrongplc", FaultKind::kWrongPlc, false, 0},
    {"noend", FaultKind::kNoEnd, false, 0},
    {"cut", FaultKind::kCut, false, 0},
    {"dup", FaultKind::kDup, false, 0},
}};

bool ParseNumber(const std::string &text, uint32_t *pValue) {
    if (text.empty() || text.size() > 9) return false;
    for (char ch : text)
        if (ch < '0' || ch > '9') return false;
    *pValue = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

bool ParseRate(const std::string &text, double *pRate) {
    char *end = nullptr;
    const double percent = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(percent >= 0.0 && percent <= 100.0)) return false;
    *pRate = percent / 100.0;
    return true;
}

}  // namespace

bool ParseFault(const std::string &text, FaultRule *pRule, std::string *pError) {
    FaultRule rule;
    rule.text = text;
    const size_t whenAt = text.find_first_of("@%");
    const std::string head = text.substr(0, whenAt);
    const size_t eq = head.find('=');
    const std::string name = head.substr(0, eq);
    const KindName *kind = nullptr;
    for (const KindName &k : kKinds)
        if (name == k.name) kind = &k;
    if (kind == nullptr) {
        *pError = "unknown fault \"" + name +
                  "\" (delay=MS, drop, badfcs, badlen, nak, noise=N, trailing=N, split=MS, wrongplc, "
                  "noend, cut, dup)";
        return false;
    }
    rule.kind = kind->kind;
    rule.arg = kind->defArg;
    if (eq != std::string::npos) {
        if (!kind->bArg || !ParseNumber(head.substr(eq + 1), &rule.arg)) {
            *pError = "bad argument in fault \"" + text + "\"";
            return false;
        }
    }
    if (whenAt != std::string::npos) {
        const std::string when = text.substr(whenAt + 1);
        bool bOk = false;
        if (text[whenAt] == '%') {
            bOk = ParseRate(when, &rule.rate);
        } else {
            const size_t dots = when.find("..");
            bOk = ParseNumber(when.substr(0, dots), &rule.first) && rule.first > 0;
            rule.last = rule.first;
            if (bOk && dots != std::string::npos) bOk = ParseNumber(when.substr(dots + 2), &rule.last);
            bOk = bOk && rule.last >= rule.first;
        }
        if (!bOk) {
            *pError = "bad request number or rate in fault \"" + text + "\" (@N, @N..M or %PERCENT)";
            return false;
        }
    }
    *pRule = rule;
    return true;
}

FaultOutcome ApplyFaults(const std::vector<FaultRule> &rules, uint32_t n, const Bytes &reply,
                         std::mt19937 *rng) {
    FaultOutcome out;
    out.frame = reply;
    Bytes before, after;
    bool bDup = false;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    for (const FaultRule &rule : rules) {
        const bool bHolds = rule.first ? (n >= rule.first && n <= rule.last) : chance(*rng) < rule.rate;
        if (!bHolds || out.frame.empty()) continue;
        if (!out.applied.empty()) out.applied += ",";
        out.applied += rule.text;
        Bytes &f = out.frame;
        const bool bAck = f[0] == kShortStart;
        const uint8_t plc = bAck ? f[2] : f[5];
        switch (rule.kind) {
            case FaultKind::kDelay:
                out.delayMs += rule.arg;
                break;
            case FaultKind::kDrop:
                out.bDrop = true;
                break;
            case FaultKind::kBadFcs:
                f[f.size() - 2] ^= 0x5A;
                break;
            case FaultKind::kBadLen:
                if (bAck || f.size() <= 9) {
                    f.erase(f.end() - 2);  // a byte short: the check sum is lost
                } else {
                    // A well-formed frame that carries one data byte less.
                    Bytes data(f.begin() + 7, f.end() - 3);
                    f = BuildReply(plc, f[6], data);
                }
                break;
            case FaultKind::kNak:
                f = BuildAck(plc, false);
                break;
            case FaultKind::kNoise:
                for (uint32_t i = 0; i < rule.arg; ++i) before.push_back(i % 2 ? 0x00 : 0xFF);
                break;
            case FaultKind::kTrailing:
                for (uint32_t i = 0; i < rule.arg; ++i) after.push_back(0xE5);
                break;
            case FaultKind::kSplit:
                out.splitGapMs = rule.arg;
                break;
            case FaultKind::kWrongPlc:
                if (bAck) {
                    f = BuildAck(static_cast<uint8_t>(plc + 1), f[3] == kAck);
                } else {
                    Bytes data(f.begin() + 7, f.end() - 2);
                    f = BuildReply(static_cast<uint8_t>(plc + 1), f[6], data);
                }
                break;
            case FaultKind::kNoEnd:
                f.pop_back();
                break;
            case FaultKind::kCut:
                f.resize(f.size() / 2);
                break;
            case FaultKind::kDup:
                bDup = true;
                break;
        }
    }
    // The second copy goes out in the same write, as a controller that
    // answers twice would put it on the line.
    if (bDup) {
        const Bytes once = out.frame;
        out.frame.insert(out.frame.end(), once.begin(), once.end());
    }
    if (!before.empty() || !after.empty()) {
        Bytes whole = std::move(before);
        whole.insert(whole.end(), out.frame.begin(), out.frame.end());
        whole.insert(whole.end(), after.begin(), after.end());
        out.frame = std::move(whole);
    }
    if (out.splitGapMs) out.splitAt = out.frame.size() / 2;
    return out;
}

}  // namespace sim
