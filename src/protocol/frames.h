// Frame layouts on the line, the frame check sum, read requests and the
// checking of reply and acknowledge frames.
#pragma once

#include <cstdint>

#include "zedadad/zedadad.h"

namespace zev {

enum : uint8_t {
    kFrameShort = 0x10,  // short request and acknowledge start; also ACK
    kFrameLong = 0xA2,   // long request start
    kFrameReply = 0x68,  // reply start
    kFrameEnd = 0x16,    // end character of every frame
    kAck = 0x10,
    kNak = 0x11,
};

uint8_t CalcFcs(const uint8_t *pBytes, uint16_t wCount);
void BuildReadRequest(ZevRequest *pRequest);
uint16_t CheckRecv(ZevRequest *pRequest, uint16_t wExpected);

}  // namespace zev
