#include "clock.h"

namespace rovod {

HostClock::time_point HostClock::now() noexcept {
    return time_point(
        std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
}

}  // namespace rovod
