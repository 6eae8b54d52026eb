#pragma once
// SystemTime: a calendar time broken into fields, as HTTP dates, log lines
// and the time macros use it. Always UTC unless a caller says otherwise.

#include <cstdint>
#include <optional>

struct SystemTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;     // 1-12
    std::uint16_t dayOfWeek = 0; // 0 = Sunday
    std::uint16_t day = 0;       // 1-31
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;

    bool operator==(const SystemTime&) const = default;
};

// Every date text the system reads or writes carries a four-digit year.
inline constexpr int kMinSystemTimeYear = 1;
inline constexpr int kMaxSystemTimeYear = 9999;

// Seconds since 1970 (UTC) of a calendar time; the day of week and the
// milliseconds are ignored. Empty when a field is out of range (month 13,
// 31 February, hour 24, a year outside the range above...).
std::optional<std::int64_t> SystemTimeToUnixSeconds(const SystemTime& time);

// The calendar time of seconds since 1970 (UTC), day of week included,
// milliseconds 0. Seconds outside the supported years are clamped to the
// first or last second of that range.
SystemTime SystemTimeFromUnixSeconds(std::int64_t seconds);

// The current time, UTC, to the millisecond.
SystemTime CurrentSystemTime();
