// Monotonic time for the bounded waits of the host's UI thread: the editor start-up's one
// bound over all of its steps, the pump's budget per tick, the news store's lock waits
// and the LV2 editor's tick spacing.
#pragma once

#include <time.h>

#include <cstdint>

inline int64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// Whole milliseconds left until `deadline_ns`, rounded up; 0 once it has passed.
inline int ms_until(int64_t deadline_ns)
{
    int64_t left = deadline_ns - monotonic_ns();
    return left <= 0 ? 0 : (int)((left + 999999) / 1000000);
}
