// What the subcommands share: the options, opening a session on the line
// (or on the built-in simulator) and the output helpers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "args.h"
#include "clock.h"
#include "host.h"

namespace rovod {

constexpr int kNoDriver = 2;  // a resource failure, like the driver's own 2
constexpr int kInterrupted = 130;

extern std::atomic<bool> gInterrupted;
// SIGINT and SIGTERM set gInterrupted from now on.
void CatchInterrupt();

struct Run {
    Session session;
    PortOptions port;  // as the session was started: the resolved or built-in port
    bool bEmbedded = false;
    ~Run();
};

void PrintTable(const std::vector<std::string> &head, const std::vector<std::vector<std::string>> &rows);
void PrintJson(const nlohmann::json &j);
int Fail(const Options &options, int code, const std::string &message);
const char *TypeName(int32_t dataType);
// Gates from options.addresses, as reads (bWrite false) or one write.
void AddGates(const Options &options, bool bWrite);
// Loads the driver and, with bNeedPort, starts a session on options.port
// (the built-in simulator when no port is given). 0, or the exit code after
// the message has been shown.
int Open(const Options &options, const char *argv0, Run *run, bool bNeedPort);
int ParseAll(const Options &options, Run *run);

// Milliseconds a character takes at these settings, as the driver counts.
double CharMs(const PortOptions &port);
// Bytes of a read's request and reply for this gate.
size_t RequestBytes(const Gate &gate);
size_t ReplyBytes(const Gate &gate);

// poll --csv: a row per cycle, flushed at once so a log survives a kill.
struct CsvLog {
    FILE *file = nullptr;
    bool bStdout = false;
    bool bHeader = false;  // written
};
bool OpenCsv(const std::string &path, CsvLog *pLog, std::string *pError);
// The header comes with the first row, from the gates as parsed.
void WriteCsvRow(CsvLog *pLog, HostClock::time_point cycleStart);
void CloseCsv(CsvLog *pLog);

int CmdScan(const Options &options, const char *argv0);
int CmdCheck(const Options &options, const char *argv0);
int CmdPlot(const Options &options);
int CmdPorts(const Options &options);

}  // namespace rovod
