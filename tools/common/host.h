// What the hosts (rovod, rovod-gateway) share: gates, the driver session
// and what the driver's imports (err, Mox5UnCook) hand over. The imports are
// process-wide functions; each thread that drives an instance binds its own
// host state, so the lines it logs and the gates it hands values to are its
// own.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "load.h"
#include "zedadad/zedadad.h"

namespace rovod {

struct LogEntry {
    int32_t category;
    std::string text;
};

// Every line the driver logs on the calling thread, in order; the session
// clears it per call.
std::vector<LogEntry> &DriverLog();
// With echo on, each line also goes to stderr as it arrives (the calling
// thread's lines).
void SetLogEcho(bool bEcho);

// Largest value buffer a gate may need: a type-3 block the driver widens to
// what a 128-byte reply holds (54 floats), with room to spare.
constexpr size_t kValueBytes = 256;

struct Gate {
    std::string address;
    int32_t iDataType = 0;
    bool bBlock = false;
    int32_t iCount = 1;
    GateDefinition def{};
    GateRecord rec{};
    alignas(8) uint8_t value[kValueBytes]{};
    // What the poll shows.
    uint32_t lastResult = 0;
    uint32_t errors = 0;
    uint32_t retries = 0;
    std::string lastLine;  // the driver's last line about this gate when it failed
};

// What err and Mox5UnCook reach: the log and the gates of one thread.
struct HostState {
    std::vector<LogEntry> log;
    std::deque<Gate> gates;  // for the whole run; hGate is the index plus one
    bool bEcho = false;
    std::string echoTag;  // put before each echoed line ("boiler: ")
};

// The calling thread's state: the one bound to it, or the process's own
// (rovod's main thread, and any thread that binds none).
HostState *CurrentHost();
// Binds the state to the calling thread; nullptr goes back to the process's.
void BindHost(HostState *pState);

// The calling thread's gates.
std::deque<Gate> &Gates();
Gate *GateByHandle(uint32_t hGate);
Gate *AddGate(const std::string &address, bool bBlock, int32_t count, int32_t dataType);

// The host data type a configuration would give the gate.
int32_t DataTypeFor(const std::string &address);
// Memory type letter of an address ('A', '2', ... or 0).
char MemTypeOf(const std::string &address);
// True when the gate's values are floats (32-bit gates).
bool HoldsFloats(const Gate &gate);
// The gate's values as numbers (floats to seven digits, or 16-bit integers).
std::vector<double> Values(const Gate &gate);

struct PortOptions {
    std::string port;
    uint16_t baud = 9600, dataBits = 8, stopBits = 0, parity = 0;
    uint32_t timeout = 20;  // 10 ms units
    uint32_t instance = 0;
};

struct Session {
    ZevMainFn pZevMain = nullptr;
    std::vector<uint64_t> context;  // the working block, of the size GetZevInfo reports
    ZevRequest request{};
    bool bStarted = false;
};

uint32_t Call(Session *session, uint32_t function, void *params);
// GetZevInfo; needs no working block.
uint32_t GetInfo(Session *session, ZevInfo *info);
// Working block, ColdStart with the port. Result 0, or 2 with a message
// when the port could not be opened.
uint32_t StartSession(Session *session, const PortOptions &port, std::string *pError);
// Working block and ColdStart without a port: an instance that only parses.
uint32_t StartPortless(Session *session, uint32_t instance);
// CloseCom, and ReOpenCom with the settings the instance holds (*pError
// says why it failed, with the system's reason where the driver gave one).
uint32_t ClosePort(Session *session);
uint32_t ReopenPort(Session *session, std::string *pError);
// True when the driver's lines since the last call say the port has gone.
bool PortLost();
// ChangeZevParams: the port reopened with new settings. The driver keeps the
// gap it computed at ColdStart.
uint32_t ChangePort(Session *session, const PortOptions &port, std::string *pError);
uint32_t ParseGate(Session *session, Gate *gate);
uint32_t ReadGate(Session *session, Gate *gate);
uint32_t WriteGate(Session *session, Gate *gate);
// EndZev, when the session was started.
void EndSession(Session *session);

// What a result code means, for people.
const char *ResultText(uint32_t result);

}  // namespace rovod
