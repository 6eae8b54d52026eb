#pragma once
// Shared by the tests of waits and locks: bounded polling and the slack that
// "returned promptly" allows on a loaded machine.

#include "platform/clock.h"

#include <cstdint>
#include <thread>

inline constexpr std::uint64_t kSlackMs = 400;

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
