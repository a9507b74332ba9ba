// The line the controllers sit on: a serial device or a pseudo-terminal that
// the simulator creates, and the loop that answers requests on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim_faults.h"
#include "sim_plant.h"

namespace sim {

struct LineConfig {
    std::string port;  // device (ttyUSB0, /dev/ttyS1); ignored with bPty
    bool bPty = false;
    uint32_t baud = 9600;
    uint32_t dataBits = 8;
    uint32_t stopCode = 0;  // 0 one, 1 one and a half, 2 two
    uint32_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    bool bPace = false;     // send at the character rate of the baud rate
};

struct Line {
    int fd = -1;       // where the simulator reads and writes
    int slaveFd = -1;  // pty: held open so the line survives the driver's closes
    std::string path;  // /dev/pts/4
    std::string name;  // as the driver takes it: pts/4
    double charMs = 0.0;
    uint32_t baud = 0;
    bool bPace = false;
};

bool OpenLine(const LineConfig &config, Line *line, std::string *pError);
void CloseLine(Line *line);

// Milliseconds one character takes on the line.
double CharMs(uint32_t baud, uint32_t dataBits, uint32_t stopCode, uint32_t parity);

struct ServeOptions {
    std::vector<FaultRule> faults;
    FILE *trace = nullptr;      // every frame in and out, when set
    double durationS = 0.0;     // stop after this long; 0: until told
    uint32_t turnaroundMs = 1;  // a controller's pause before it answers
    // When set, the number of requests served so far, stored once each
    // request has been handled (its memory changes made) and before its answer.
    std::atomic<uint32_t> *pServed = nullptr;
    // Rates a controller answers at, when the line can tell (a pty): a
    // request at any other rate is ignored, as garbage would be on a real
    // line. Controllers not listed answer at lineBaud; 0 there: at any rate.
    std::map<uint8_t, std::vector<uint32_t>> rates;
    uint32_t lineBaud = 0;
    std::map<uint8_t, uint32_t> delayMs;  // per controller, instead of turnaroundMs
    // Controllers switched off for this many ms from the start (0: all the time).
    std::map<uint8_t, uint32_t> offMs;
    // Value-word elements a controller refuses in a read of more than one.
    std::map<uint8_t, std::set<uint8_t>> noBlock;
};

// The baud rate the line is set to now (0 when it cannot be read).
uint32_t LineRate(int fd);

// "1,2,5@19200,7@9600+38400": controller addresses, each with the rates it
// answers at. False on a malformed list.
bool ParsePlcList(const std::string &text, std::vector<uint8_t> *pPlcs,
                  std::map<uint8_t, std::vector<uint32_t>> *pRates);
// "5=20": controller 5 answers 20 ms late. False on a malformed rule.
bool ParseDelay(const std::string &text, std::map<uint8_t, uint32_t> *pDelays);

// "1=15": controller 1 refuses value-word element 0x15 in a block. False
// on a malformed rule.
bool ParseNoBlock(const std::string &text, std::map<uint8_t, std::set<uint8_t>> *pNoBlock);

// Answers requests until *pStop is set or the duration has passed. Returns
// 0, or 1 after a failure of the line (with a message in *pError).
int Serve(Line *line, Plant *plant, const ServeOptions &options, const std::atomic<bool> *pStop,
          std::string *pError);

}  // namespace sim
