#include "framework/system_time.h"

#include <chrono>

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

bool IsLeapYear(std::int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(std::int64_t year, int month)
{
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
std::int64_t DaysFromCivil(std::int64_t year, int month, int day)
{
    year -= month <= 2;
    std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    std::int64_t yearOfEra = year - era * 400;
    std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(std::int64_t days, std::int64_t* year, int* month, int* day)
{
    days += 719468;
    std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    std::int64_t dayOfEra = days - era * 146097;
    std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    *month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    *year = yearOfEra + era * 400 + (*month <= 2);
}

} // namespace

std::optional<std::int64_t> SystemTimeToUnixSeconds(const SystemTime& time)
{
    if (time.year < kMinSystemTimeYear || time.year > kMaxSystemTimeYear)
        return std::nullopt;
    if (time.month < 1 || time.month > 12)
        return std::nullopt;
    if (time.day < 1 || time.day > DaysInMonth(time.year, time.month))
        return std::nullopt;
    if (time.hour > 23 || time.minute > 59 || time.second > 59 || time.milliseconds > 999)
        return std::nullopt;
    std::int64_t days = DaysFromCivil(time.year, time.month, time.day);
    return days * kSecondsPerDay + time.hour * 3600 + time.minute * 60 + time.second;
}

SystemTime SystemTimeFromUnixSeconds(std::int64_t seconds)
{
    static const std::int64_t kFirst = DaysFromCivil(kMinSystemTimeYear, 1, 1) * kSecondsPerDay;
    static const std::int64_t kLast = DaysFromCivil(kMaxSystemTimeYear, 12, 31) * kSecondsPerDay + kSecondsPerDay - 1;
    if (seconds < kFirst)
        seconds = kFirst;
    else if (seconds > kLast)
        seconds = kLast;

    std::int64_t days = seconds / kSecondsPerDay;
    std::int64_t rest = seconds % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --days;
    }
    std::int64_t year = 0;
    int month = 0;
    int day = 0;
    CivilFromDays(days, &year, &month, &day);

    SystemTime time;
    time.year = static_cast<std::uint16_t>(year);
    time.month = static_cast<std::uint16_t>(month);
    time.day = static_cast<std::uint16_t>(day);
    // 1970-01-01 was a Thursday.
    std::int64_t weekday = (days + 4) % 7;
    time.dayOfWeek = static_cast<std::uint16_t>(weekday < 0 ? weekday + 7 : weekday);
    time.hour = static_cast<std::uint16_t>(rest / 3600);
    time.minute = static_cast<std::uint16_t>(rest / 60 % 60);
    time.second = static_cast<std::uint16_t>(rest % 60);
    return time;
}

SystemTime CurrentSystemTime()
{
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    std::int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
    std::int64_t seconds = ms / 1000;
    std::int64_t fraction = ms % 1000;
    if (fraction < 0) {
        fraction += 1000;
        --seconds;
    }
    SystemTime time = SystemTimeFromUnixSeconds(seconds);
    time.milliseconds = static_cast<std::uint16_t>(fraction);
    return time;
}
