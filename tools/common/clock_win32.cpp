#include <windows.h>

#include "clock.h"

namespace rovod {

HostClock::time_point HostClock::now() noexcept {
    // Windows XP and later always have the counter; its rate is fixed at boot.
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    // Whole seconds and the rest apart, so that the product cannot overflow.
    const int64_t c = count.QuadPart;
    return time_point(duration(c / frequency * 1000000000 + c % frequency * 1000000000 / frequency));
}

}  // namespace rovod
