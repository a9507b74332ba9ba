// Timed transmit with RTS/DTR switching, and the line timing set up at
// installation.
#pragma once

#include <cstdint>

#include "base/context.h"
#include "zedadad/zedadad.h"

namespace zev {

uint16_t Send(DriverContext *pContext);
void WaitIFG(DriverContext *pContext);

// First step of the installation timing: fCharTime, default IFG and fDelay
// from the ColdStart port settings, with the character-time log line.
void SetLineTiming(DriverContext *pContext, const PortSettings *pSettings);
// Second step: counter frequency and, with debugging on, the calibration.
void SetupCounter(DriverContext *pContext);

}  // namespace zev
