#pragma once
// Time as the system uses it: a 64-bit monotonic millisecond clock for
// deadlines, reload ticks and change detection (it never wraps), and the
// wrapping 32-bit tick only where a value is shown or stored as a DWORD.

#include <cstdint>

namespace platform {

// Waits take this to mean "no time-out".
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// Milliseconds since an arbitrary point, from CLOCK_MONOTONIC.
std::uint64_t MonotonicMs();

// The same clock cut to 32 bits: wraps after 49.7 days. For display only.
inline std::uint32_t TickCount32() { return static_cast<std::uint32_t>(MonotonicMs()); }

// Seconds since 1970 (UTC), from CLOCK_REALTIME.
std::int64_t UnixTimeSeconds();

// Sleeps the calling thread; on a thread that runs fibers, only the calling fiber.
void SleepMs(std::uint32_t milliseconds);

} // namespace platform
