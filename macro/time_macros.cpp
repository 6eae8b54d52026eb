#include "macro/time_macros.h"

#include "framework/event_lock.h"
#include "framework/text_buffer.h"
#include "macro/core_macros.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "platform/clock.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

static_assert(sizeof(std::time_t) >= 8, "times past 2038 need a 64-bit time_t");

namespace {

constexpr const char* kShortDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kLongDayNames[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
constexpr const char* kShortMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kLongMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                             "July",    "August",   "September", "October", "November", "December"};

void AppendNumber(CTextBuffer* out, long long value)
{
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out->Append(digits, static_cast<int>(result.ptr - digits));
}

// At least two digits, as "%0.2u" writes them.
void AppendTwoDigits(CTextBuffer* out, long long value)
{
    if (value >= 0 && value < 10)
        out->AppendChar('0');
    AppendNumber(out, value);
}

void AppendNumber(CTextBuffer* out, long long value, std::size_t runLength)
{
    if (runLength >= 2)
        AppendTwoDigits(out, value);
    else
        AppendNumber(out, value);
}

// A name from a table, upper-cased for the capital code letter. An index out
// of range (a broken-down time the C library did not make) shows nothing.
void AppendName(CTextBuffer* out, const char* const* names, int count, int index, bool upper)
{
    if (index < 0 || index >= count)
        return;
    for (const char* p = names[index]; *p; ++p)
        out->AppendChar(upper && *p >= 'a' && *p <= 'z' ? static_cast<char>(*p - 'a' + 'A') : *p);
}

void AppendDayName(CTextBuffer* out, const std::tm& time, std::size_t runLength, bool upper)
{
    AppendName(out, runLength == 3 ? kShortDayNames : kLongDayNames, 7, time.tm_wday, upper);
}

void AppendMonthName(CTextBuffer* out, const std::tm& time, std::size_t runLength, bool upper)
{
    AppendName(out, runLength == 3 ? kShortMonthNames : kLongMonthNames, 12, time.tm_mon, upper);
}

std::int64_t ReadTimeNumber(const char* text)
{
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\v' || *text == '\f' || *text == '\r')
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    // Saturates rather than wrapping; far past any year a time can show.
    constexpr std::int64_t kLimit = INT64_MAX / 10 - 9;
    std::int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (magnitude < kLimit)
            magnitude = magnitude * 10 + (*text - '0');
    }
    return negative ? -magnitude : magnitude;
}

// time, gmttime, localtime: the current time, as a number or formatted.
class CTimeMacro : public CMacro {
public:
    explicit CTimeMacro(bool utc) : m_utc(utc) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        std::int64_t now = platform::UnixTimeSeconds();
        if (argc < 1) {
            AppendNumber(out, now);
            return;
        }
        std::tm time{};
        if (BreakDownTime(now, m_utc, &time))
            FormatTime(out, time, argv[0]);
    }

private:
    bool m_utc;
};

// fmtltime, fmtgtime: a given time, formatted.
class CFormatTimeMacro : public CMacro {
public:
    explicit CFormatTimeMacro(bool utc) : m_utc(utc) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        std::tm time{};
        if (BreakDownTime(ReadTimeNumber(argv[0]), m_utc, &time))
            FormatTime(out, time, argc >= 2 ? argv[1] : kDefaultTimeFormat);
    }

private:
    bool m_utc;
};

// makeltime, makegtime: seconds since 1970 of a date and time in local time
// or in UTC. Parts out of their ranges carry over as mktime carries them.
class CMakeTimeMacro : public CMacro {
public:
    explicit CMakeTimeMacro(bool utc) : m_utc(utc) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        static constexpr int kDefaults[6] = {1970, 1, 1, 0, 0, 0};
        long long parts[6];
        for (int i = 0; i < 6; ++i)
            parts[i] = i < argc ? ReadMacroNumber(argv[i]) : kDefaults[i];
        AppendNumber(out, Make(parts));
    }

private:
    // -1, as mktime answers, when a part cannot be given to it.
    std::int64_t Make(const long long* parts) const
    {
        long long year = parts[0] - 1900;
        long long month = parts[1] - 1;
        if (year < INT_MIN || month < INT_MIN)
            return -1;
        std::tm time{};
        time.tm_year = static_cast<int>(year);
        time.tm_mon = static_cast<int>(month);
        time.tm_mday = static_cast<int>(parts[2]);
        time.tm_hour = static_cast<int>(parts[3]);
        time.tm_min = static_cast<int>(parts[4]);
        time.tm_sec = static_cast<int>(parts[5]);
        // UTC directly: the local result less the standard offset would be
        // an hour out whenever the date falls in daylight saving time.
        if (m_utc)
            return timegm(&time);
        time.tm_isdst = -1;
        return std::mktime(&time);
    }

    bool m_utc;
};

// t-zone: the zone's current name, asked for again once a minute so that a
// change of zone or of daylight saving shows. Requests on every thread share
// the one object, hence the lock.
class CTimeZoneMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char**, int) override
    {
        std::string name;
        {
            CEventLockHolder hold(m_lock);
            std::uint64_t now = platform::MonotonicMs();
            if (!m_refreshed || now - m_lastRefresh > kTimeZoneRefreshMs) {
                m_name = CurrentZoneName();
                m_lastRefresh = now;
                m_refreshed = true;
            }
            name = m_name;
        }
        out->Append(name);
    }

private:
    static std::string CurrentZoneName()
    {
        tzset();
        std::time_t now = std::time(nullptr);
        std::tm time{};
        if (!localtime_r(&now, &time) || time.tm_isdst < 0 || !time.tm_zone)
            return "local";
        std::string name(time.tm_zone);
        if (name.size() > kMaxTimeZoneNameBytes)
            name.resize(kMaxTimeZoneNameBytes);
        return name;
    }

    CEventLock m_lock;
    std::string m_name;
    std::uint64_t m_lastRefresh = 0;
    bool m_refreshed = false;
};

template <typename Kind, typename... Args>
void Add(CMacroContext& scope, const char* name, Args&&... args)
{
    scope.Register(name, std::make_unique<Kind>(std::forward<Args>(args)...));
}

} // namespace

bool BreakDownTime(std::int64_t seconds, bool utc, std::tm* result)
{
    std::time_t t = static_cast<std::time_t>(seconds);
    return (utc ? gmtime_r(&t, result) : localtime_r(&t, result)) != nullptr;
}

void FormatTime(CTextBuffer* out, const std::tm& time, std::string_view format)
{
    // Set by an hour, cleared by a day, month or minute: "h:mm" shows
    // minutes where "m/d/y" shows a month.
    bool afterHour = false;
    long long year = static_cast<long long>(time.tm_year) + 1900;
    int hour12 = time.tm_hour % 12 == 0 ? 12 : time.tm_hour % 12;
    std::size_t pos = 0;
    while (pos < format.size()) {
        char code = format[pos];
        if (code == '\\') {
            if (pos + 1 < format.size())
                out->AppendChar(format[pos + 1]);
            pos += 2;
            continue;
        }
        std::size_t run = 1;
        while (pos + run < format.size() && format[pos + run] == code)
            ++run;
        pos += run;
        switch (code) {
        case 'd':
        case 'D':
            if (run <= 2)
                AppendNumber(out, time.tm_mday, run);
            else
                AppendDayName(out, time, run, code == 'D');
            afterHour = false;
            break;
        case 'm':
        case 'M':
            if (run <= 2)
                AppendNumber(out, afterHour ? time.tm_min : time.tm_mon + 1, run);
            else
                AppendMonthName(out, time, run, code == 'M');
            afterHour = false;
            break;
        case 'n':
            AppendNumber(out, time.tm_min, run);
            afterHour = false;
            break;
        case 'H':
            AppendNumber(out, time.tm_hour, run);
            afterHour = true;
            break;
        case 'h':
            AppendNumber(out, hour12, run);
            afterHour = true;
            break;
        case 's':
            AppendNumber(out, time.tm_sec, run);
            break;
        case 'w':
            AppendNumber(out, (time.tm_wday + 6) % 7, run);
            break;
        case 'y':
            if (run <= 2)
                AppendTwoDigits(out, (year % 100 + 100) % 100);
            else
                AppendNumber(out, year);
            break;
        case 'a':
        case 'A': {
            bool morning = time.tm_hour < 12;
            bool upper = code == 'A';
            out->AppendChar(morning ? (upper ? 'A' : 'a') : (upper ? 'P' : 'p'));
            if (run >= 2)
                out->AppendChar(upper ? 'M' : 'm');
            break;
        }
        case '_':
            for (std::size_t i = 0; i < run; ++i)
                out->AppendChar('\n');
            break;
        default:
            for (std::size_t i = 0; i < run; ++i)
                out->AppendChar(code);
            break;
        }
    }
}

void RegisterTimeMacros(CMacroContext& global)
{
    if (global.IsReadOnly())
        return;
    Add<CTimeMacro>(global, "time", true);
    Add<CTimeMacro>(global, "gmttime", true);
    Add<CTimeMacro>(global, "localtime", false);
    Add<CFormatTimeMacro>(global, "fmtltime", false);
    Add<CFormatTimeMacro>(global, "fmtgtime", true);
    Add<CTimeZoneMacro>(global, "t-zone");
    Add<CMakeTimeMacro>(global, "makeltime", false);
    Add<CMakeTimeMacro>(global, "makegtime", true);
    Add<CStringMacro>(global, "month", "%gmttime(mm)");
    Add<CStringMacro>(global, "day", "%gmttime(dd)");
    Add<CStringMacro>(global, "wday", "%gmttime(ww)");
    Add<CStringMacro>(global, "year", "%gmttime(yyyy)");
    Add<CStringMacro>(global, "hour", "%gmttime(HH)");
    Add<CStringMacro>(global, "minute", "%gmttime(nn)");
}
