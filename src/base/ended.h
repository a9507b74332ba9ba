// The one process-wide flag: set by EndZev, cleared by ColdStart. Hosts may
// drive instances from several threads, so it is atomic.
#pragma once

#include <atomic>
#include <cstdint>

namespace zev {

extern std::atomic<uint32_t> bEnded;

}  // namespace zev
