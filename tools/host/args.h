// rovod's command line: the options, the subcommand, and the values a gate
// takes from it. Kept apart from the commands so that parsing never runs one.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "host.h"

namespace rovod {

constexpr int kUsage = 64;

enum class Command { kNone, kInfo, kParse, kRead, kWrite, kPoll, kScan, kCheck, kPlot, kPorts };

struct Options {
    std::string driverPath;
    PortOptions port;
    bool bTimeoutGiven = false;
    bool bJson = false;
    bool bVerbose = false;
    std::vector<std::string> simFaults;
    bool bSimTrace = false;
    bool bSimFrozen = false;
    std::vector<std::string> addresses;
    int32_t count = 0;  // 0: as the address needs
    int32_t dataType = -1;
    bool bBlock = false;  // parse as a block gate; any size, as the host may pass
    int32_t blockSize = 0;
    std::string value;
    uint32_t intervalMs = 1000;
    uint32_t cycles = 0;
    std::string csvPath;              // poll: one row per cycle ("-": standard output)
    std::string optimize = "blocks";  // poll: blocks, or none (one request per gate)
    bool bPlan = false;               // poll: one cycle, then the plan
    uint32_t silentRetryMs = 10000;   // poll: a silent controller's probe period
    std::string scanPlcs = "1..126";
    std::string scanBauds = "9600,19200,38400,4800,2400,1200";
    uint32_t reads = 50;
    std::string plotIn, plotOut;
};

// -1 when *pCommand is to run with *pOptions; otherwise the exit code
// (0 after --help, kUsage for a bad command line), the message written to
// out or errs.
int ParseArgs(int argc, const char *const *argv, Options *pOptions, Command *pCommand, std::ostream &out,
              std::ostream &errs);

// The value text into the gate's buffer as its type needs; false when the
// text is no such value.
bool PutValue(Gate *gate, const std::string &text);

}  // namespace rovod
