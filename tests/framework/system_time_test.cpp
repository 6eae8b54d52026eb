#include "framework/system_time.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

SystemTime Time(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int ms = 0)
{
    auto u = [](int v) { return static_cast<std::uint16_t>(v); };
    return SystemTime{u(year), u(month), 0, u(day), u(hour), u(minute), u(second), u(ms)};
}

} // namespace

TEST(SystemTime, KnownInstants)
{
    struct Case {
        std::int64_t seconds;
        SystemTime time; // day of week included
    } cases[] = {
        {0, {1970, 1, 4, 1, 0, 0, 0, 0}},
        {784111777, {1994, 11, 0, 6, 8, 49, 37, 0}},
        {951782400, {2000, 2, 2, 29, 0, 0, 0, 0}},
        {-1, {1969, 12, 3, 31, 23, 59, 59, 0}},
        {4107542399, {2100, 2, 0, 28, 23, 59, 59, 0}},
        {-62135596800, {1, 1, 1, 1, 0, 0, 0, 0}},
        {253402300799, {9999, 12, 5, 31, 23, 59, 59, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SystemTimeFromUnixSeconds(c.seconds), c.time) << c.seconds;
        EXPECT_EQ(SystemTimeToUnixSeconds(c.time), c.seconds) << c.seconds;
    }
}

TEST(SystemTime, AgreesWithTheStandardCalendar)
{
    using namespace std::chrono;
    for (std::int64_t seconds = -62135596800; seconds <= 253402300799; seconds += 86400 * 7919 + 3601) {
        SystemTime time = SystemTimeFromUnixSeconds(seconds);
        sys_seconds instant{std::chrono::seconds{seconds}};
        sys_days day = floor<days>(instant);
        year_month_day date{day};
        hh_mm_ss clock{instant - day};
        ASSERT_EQ(time.year, static_cast<int>(date.year())) << seconds;
        ASSERT_EQ(time.month, static_cast<unsigned>(date.month())) << seconds;
        ASSERT_EQ(time.day, static_cast<unsigned>(date.day())) << seconds;
        ASSERT_EQ(time.dayOfWeek, weekday{day}.c_encoding()) << seconds;
        ASSERT_EQ(time.hour, clock.hours().count()) << seconds;
        ASSERT_EQ(time.minute, clock.minutes().count()) << seconds;
        ASSERT_EQ(time.second, clock.seconds().count()) << seconds;
        ASSERT_EQ(SystemTimeToUnixSeconds(time), seconds);
    }
}

TEST(SystemTime, RejectsFieldsOutOfRange)
{
    const SystemTime bad[] = {
        Time(2000, 0, 1),  Time(2000, 13, 1),          Time(2000, 1, 0),       Time(2000, 1, 32),
        Time(2001, 2, 29), Time(1900, 2, 29),          Time(2000, 4, 31),      Time(2000, 1, 1, 24),
        Time(2000, 1, 1, 0, 60), Time(2000, 1, 1, 0, 0, 60), Time(2000, 1, 1, 0, 0, 0, 1000),
        Time(0, 1, 1),     Time(10000, 1, 1),
    };
    for (const SystemTime& time : bad)
        EXPECT_FALSE(SystemTimeToUnixSeconds(time).has_value())
            << time.year << "-" << time.month << "-" << time.day << " " << time.hour << ":" << time.minute << ":"
            << time.second << "." << time.milliseconds;
    EXPECT_TRUE(SystemTimeToUnixSeconds(Time(2000, 2, 29)).has_value());
    EXPECT_TRUE(SystemTimeToUnixSeconds(Time(2000, 12, 31, 23, 59, 59, 999)).has_value());
    // The day of week is not checked: callers fill it in or leave it 0.
    SystemTime withWeekday = Time(1994, 11, 6);
    withWeekday.dayOfWeek = 9;
    EXPECT_EQ(SystemTimeToUnixSeconds(withWeekday), 784080000);
}

TEST(SystemTime, ClampsSecondsOutsideTheYears)
{
    EXPECT_EQ(SystemTimeFromUnixSeconds(INT64_MAX), SystemTimeFromUnixSeconds(253402300799));
    EXPECT_EQ(SystemTimeFromUnixSeconds(INT64_MIN), SystemTimeFromUnixSeconds(-62135596800));
    EXPECT_EQ(SystemTimeFromUnixSeconds(253402300800).year, 9999);
}

TEST(SystemTime, CurrentTimeIsNowInUtc)
{
    std::int64_t before = platform::UnixTimeSeconds();
    SystemTime now = CurrentSystemTime();
    std::int64_t after = platform::UnixTimeSeconds();
    auto seconds = SystemTimeToUnixSeconds(now);
    ASSERT_TRUE(seconds.has_value());
    EXPECT_GE(*seconds, before);
    EXPECT_LE(*seconds, after);
    EXPECT_LT(now.milliseconds, 1000);
    EXPECT_EQ(now.dayOfWeek, SystemTimeFromUnixSeconds(*seconds).dayOfWeek);
}
