// The shape of every operation in the function table.
#pragma once

#include <cstdint>

#include "zedadad/zedadad.h"

namespace zev {

using Operation = uint16_t (*)(ZevRequest *pRequest);

}  // namespace zev
