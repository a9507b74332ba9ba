// Write transactions (functions 7 and 10) and the parameter-gate writes.
#pragma once

#include <cstdint>

#include "zedadad/zedadad.h"

namespace zev {

uint16_t SingleWrite(ZevRequest *pRequest);
uint16_t BlockWrite(ZevRequest *pRequest);
uint16_t DoWrite(ZevRequest *pRequest);
uint16_t BuildWriteRequest(ZevRequest *pRequest);

}  // namespace zev
