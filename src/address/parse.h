// Gate address grammar and the two parsers that fill the host's gate records.
#pragma once

#include <cstdint>

#include "zedadad/zedadad.h"

namespace zev {

constexpr int kMaxAddressLength = 32;

uint16_t SingleAddressParser(ZevRequest *pRequest);
uint16_t BlockAddressParser(ZevRequest *pRequest);
uint16_t Parse(ZevRequest *pRequest);
uint16_t SingleParse(ZevRequest *pRequest);

}  // namespace zev
