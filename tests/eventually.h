#pragma once
// Shared by the tests of waits and locks: bounded polling and the slack that
// "returned promptly" allows on a loaded machine.

#include "platform/clock.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>
#include <thread>

// "Promptly": 400 ms on a quiet machine, stretched by how far the run queue
// exceeds the processors, since a busy machine delays every wake-up alike.
inline std::uint64_t SlackMs()
{
    double load = 0;
    const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    double factor = 1;
    if (::getloadavg(&load, 1) == 1 && processors > 0)
        factor = std::max(1.0, load / static_cast<double>(processors));
    return static_cast<std::uint64_t>(400 * factor);
}

// Waits (bounded) until pred holds; false when the limit passed first.
template <class Pred>
bool Eventually(Pred pred, std::uint64_t limitMs = 2000)
{
    const std::uint64_t end = platform::MonotonicMs() + limitMs;
    while (!pred()) {
        if (platform::MonotonicMs() > end)
            return false;
        std::this_thread::yield();
    }
    return true;
}
