// The hosts' clock for timings and poll cycles: monotonic and fine-grained
// on every platform. On Windows the win32 thread model's
// std::chrono::steady_clock is the time of day underneath (steps of 10 to
// 16 ms, and set back with it), so clock_win32.cpp reads the performance
// counter; clock_posix.cpp is steady_clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace rovod {

struct HostClock {
    using rep = int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<HostClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

}  // namespace rovod
