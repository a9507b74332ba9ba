// Who turns the line around for a switched send: the kernel's RS-485 mode
// where the control-signal file asks for it and the port has it, else the
// driver's own RTS/DTR switching in Send.
#pragma once

#include <cstdint>

#include "base/context.h"

namespace zev {

// Right after each successful open: asks the port to switch RTS itself when
// the file asks for it (RS485 = ON) and RTS is switched. Sets or clears
// kRs485Kernel, and logs what the port said.
void SetKernelTurnaround(DriverContext *pContext);

// The switching bits that Send still has to do itself.
uint8_t OwnSwitching(const DriverContext *pContext);

// The kernel's delay after the last character: the extra switch delay fDelay,
// rounded up to whole milliseconds; 0 for none or a negative one (that only
// shortens the driver's own hold, which the kernel's exact turnaround does
// not need); at most the kernel's limit of 100 ms.
uint32_t KernelDelayAfterSendMs(float fDelay);

}  // namespace zev
