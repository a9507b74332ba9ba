// Reply reception: fixed-length (wRecvLen preset) or scan to an end character.
#pragma once

#include <cstdint>

#include "zedadad/zedadad.h"

namespace zev {

uint16_t Receive(ZevRequest *pRequest, uint8_t bEndChar);

}  // namespace zev
