// A line's gates read as planned through one driver session: block reads
// whose values land in each gate's buffer as its own read would put them,
// gates that a controller refuses in a block read alone, and controllers that
// stop answering set aside and probed, so the others keep their pace.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "clock.h"
#include "host.h"
#include "plan.h"

namespace rovod {

using SteadyTime = HostClock::time_point;

// What became of one gate: read now (bRead), or marked by its controller's
// silence without a read.
struct ReadOutcome {
    size_t gate = 0;
    uint32_t result = 0;
    uint32_t retries = 0;
    bool bRead = true;
    std::string reason;  // on failure
};
using LandFn = std::function<void(const ReadOutcome &)>;

struct ControllerState {
    uint32_t noReply = 0;  // transactions in a row that ended without a reply
    bool bSilent = false;
    bool bKnown = false;  // answered or fell silent at least once
    bool bBack = false;   // answered again: all its gates are read next
    int64_t sinceUs = 0;  // wall clock it fell silent
    SteadyTime nextProbe{};
};

struct Reader {
    Session *session = nullptr;
    std::vector<Gate *> gates;
    std::vector<PlanGate> plan;  // per gate
    std::vector<bool> alone;     // refused in a block: read alone from now on
    LineModel model;
    bool bBlocks = true;
    uint32_t silentRetryMs = 10000;
    std::map<int, ControllerState> controllers;
    std::deque<Gate> blockGates;  // the block reads as the driver parsed them
    std::map<std::string, Gate *> blockByKey;
    // What the reader reports: its own lines (isolated gates, silence) and
    // each controller's availability as it changes.
    std::function<void(const std::string &)> log;
    std::function<void(int plc, bool bOnline)> onStatus;
    // Since the start: requests made and the time spent in them.
    uint64_t requests = 0;
    double busyMs = 0;
    // Set when a read found the port gone; the caller clears it.
    bool bPortLost = false;
};

// The gates as parsed (their records filled), on the session's line.
void InitReader(Reader *r, Session *session, const std::vector<Gate *> &gates, const PortOptions &port,
                bool bBlocks, uint32_t silentRetryMs);

// The cycle's requests for the due gates (due[i] for gate i): the gates of a
// controller that has just come back are all due, a silent controller's are
// left out but for one probe every silentRetryMs.
std::vector<PlannedRead> PlanCycle(Reader *r, const std::vector<bool> &due);
// Makes one planned request and lands its gates; a request for a controller
// that fell silent on the way is left out (false).
bool Execute(Reader *r, const PlannedRead &read, const LandFn &land);
// The request of gate i read on its own.
PlannedRead OwnRead(const Reader &r, size_t i);
// The result of a transaction made outside the plan (a write) for its
// controller's silence.
void NoteResult(Reader *r, int plc, uint32_t result, const LandFn &land);
bool Silent(const Reader &r, int plc);
// Every controller the gates address (parameter gates aside).
std::vector<int> Controllers(const Reader &r);
// "controller 3 silent since 2026-...Z".
std::string SilentReason(const Reader &r, int plc);
// Wall clock as ISO 8601 UTC with milliseconds.
std::string WallText(int64_t us);
int64_t WallNowUs();

}  // namespace rovod
