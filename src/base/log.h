// Every diagnostic goes to the host's err() with one of three categories.
#pragma once

#include "zedadad/zedadad.h"

namespace zev {

constexpr int32_t kLogTrace = ZEV_LOG_TRACE;
constexpr int32_t kLogAlert = ZEV_LOG_ALERT;
constexpr int32_t kLogInfo = ZEV_LOG_INFO;

}  // namespace zev
