// The built-in simulator: controllers on a pseudo-terminal inside this
// process, so that the host works with nothing attached. Linux only
// (embed_posix.cpp); elsewhere Start fails and --port is needed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rovod {

struct EmbeddedSim {
    std::vector<uint8_t> plcs;  // controllers to simulate
    std::vector<std::string> faults;
    bool bTrace = false;
    bool bFrozen = false;
    uint32_t baud = 9600, dataBits = 8, stopCode = 0, parity = 0;
};

// Starts the simulator; *pPort receives the port name for the driver.
bool StartEmbedded(const EmbeddedSim &options, std::string *pPort, std::string *pError);
// Stops it and waits for it: nothing is left running.
void StopEmbedded();

}  // namespace rovod
