// The read plan of a line: the due gates of one controller and one memory
// type grouped into the driver's block reads where one request costs less
// line time than separate ones. Costs come from the line: characters of
// request and reply times the character time, the gap before every request
// and each controller's turnaround.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host.h"

namespace rovod {

struct LineModel {
    double charMs = 0;                   // one character at the line's settings
    double gapMs = 0;                    // slept before every request
    double assumedTurnaroundMs = 2.0;    // for a controller not measured yet
    std::map<int, double> turnaroundMs;  // by controller, as measured
};

// The model of a line at these settings: the driver's default gap of 3.5
// characters, no turnaround measured yet.
LineModel ModelFor(const PortOptions &port);
double TurnaroundMs(const LineModel &model, int plc);

// A gate as the planner sees it, from its address.
struct PlanGate {
    int plc = 0;          // 255 for a parameter gate
    char mem = 0;         // memory type ('A', 'I', '2', ...); 0 for a parameter gate
    int first = 0;        // element (byte address of I and X)
    int count = 1;        // elements it takes
    int bit = -1;         // bit of a byte, or -1
    bool bGroup = false;  // may share a block read (A, F, P, R, I, X)
};
PlanGate PlanGateOf(const std::string &address, bool bBlock, int32_t count);

// One request of a cycle: a block read for several gates, or one gate's own read.
struct PlannedRead {
    int plc = 0;
    char mem = 0;
    int first = 0, count = 1;
    bool bBlock = false;        // a block read that the gates share
    bool bProbe = false;        // the one read of a silent controller
    std::vector<size_t> gates;  // indices into the gates given to the planner, by element
};

// Elements one block read of the type may carry (0: never grouped).
int MaxElements(char mem);
size_t RequestChars(const PlannedRead &read);
size_t ReplyChars(const PlannedRead &read);
// Expected line time of the request: gap, characters, turnaround.
double RequestMs(const PlannedRead &read, const LineModel &model);

// The requests for the gates `which` (indices into gates), each where its
// first gate comes in the given order; with bBlocks false one request per gate. Gates marked in
// alone (may be empty) are never grouped.
std::vector<PlannedRead> Plan(const std::vector<PlanGate> &gates, const std::vector<size_t> &which,
                              const LineModel &model, bool bBlocks, const std::vector<bool> &alone = {});
// One request per gate, in the planner's order.
std::vector<PlannedRead> PlanSingles(const std::vector<PlanGate> &gates, const std::vector<size_t> &which);

struct PlanTotals {
    size_t requests = 0, chars = 0;
    double ms = 0;
};
PlanTotals Totals(const std::vector<PlannedRead> &plan, const LineModel &model);

// The plan as a table for people, with its totals against one request per
// gate; names[i] labels gate i.
std::string DescribePlan(const std::vector<PlannedRead> &plan, const std::vector<PlanGate> &gates,
                         const std::vector<std::string> &names, const LineModel &model);

}  // namespace rovod
