// Faults a controller or a line can show, injected on purpose: by rate or on
// chosen requests. A rule reads KIND[=ARG][@N[..M]|%P]:
//   drop            every request           drop@3     the 3rd request only
//   badfcs@2..4     requests 2 to 4         nak%10     one request in ten, at random
//   delay=300@1     answer the 1st request 300 ms late
// Kinds: delay=MS, drop, badfcs, badlen, nak, noise=N, trailing=N,
// split=MS, wrongplc, noend (the end character left off), cut (only the
// first half of the reply), dup (the reply twice). Requests are counted from
// 1 over the whole line.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sim_frames.h"

namespace sim {

enum class FaultKind {
    kDelay,
    kDrop,
    kBadFcs,
    kBadLen,
    kNak,
    kNoise,
    kTrailing,
    kSplit,
    kWrongPlc,
    kNoEnd,
    kCut,
    kDup
};

struct FaultRule {
    FaultKind kind = FaultKind::kDrop;
    uint32_t arg = 0;    // ms for delay and split, bytes for noise and trailing
    uint32_t first = 0;  // 0: every request
    uint32_t last = 0;
    double rate = 1.0;  // probability when first is 0
    std::string text;   // as given
};

// Parses one rule; false with a message on a malformed rule.
bool ParseFault(const std::string &text, FaultRule *pRule, std::string *pError);

// What to do with the reply to one request.
struct FaultOutcome {
    uint32_t delayMs = 0;
    bool bDrop = false;
    uint32_t splitGapMs = 0;
    size_t splitAt = 0;   // bytes sent before the gap
    Bytes frame;          // the frame as it goes on the line (noise and trailing included)
    std::string applied;  // names of the faults applied, for the trace
};

// Applies the rules that hold for request number n to the reply.
FaultOutcome ApplyFaults(const std::vector<FaultRule> &rules, uint32_t n, const Bytes &reply,
                         std::mt19937 *rng);

}  // namespace sim
