// Read transactions (functions 5 and 6) and the parameter-gate reads.
#pragma once

#include <cstdint>

#include "zedadad/zedadad.h"

namespace zev {

uint16_t SingleRead(ZevRequest *pRequest);
uint16_t BlockRead(ZevRequest *pRequest);
uint16_t DoRead(ZevRequest *pRequest);
uint16_t StoreValues(ZevRequest *pRequest, const uint8_t *pData);

}  // namespace zev
