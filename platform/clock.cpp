#include "platform/clock.h"

#include "platform/sync.h"

#include <cerrno>
#include <ctime>

namespace platform {

std::uint64_t MonotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

std::int64_t UnixTimeSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec);
}

void SleepMs(std::uint32_t milliseconds)
{
    if (ThreadHasWaitSeam()) {
        // A thread that runs fibers: the wait parks the calling fiber only.
        Event never(true, false);
        never.Wait(milliseconds);
        return;
    }
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace platform
