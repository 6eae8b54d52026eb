#include "macro/time_macros.h"

#include "framework/text_buffer.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "test_macros.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>

using macro_test::ExpandExact;

namespace {

struct Global {
    CMacroContext scope;
    Global()
    {
        RegisterTimeMacros(scope);
        RegisterCoreMacros(scope);
    }
    std::string Expand(const std::string& text) { return ExpandExact(scope, text); }
};

struct Case {
    const char* text;
    const char* expected;
};

void RunCases(std::initializer_list<Case> cases)
{
    for (const Case& c : cases) {
        Global global;
        EXPECT_EQ(global.Expand(c.text), c.expected) << c.text;
    }
}

// Sets TZ for one test and puts the old value back.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        if (m_old)
            setenv("TZ", m_old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> m_old;
};

// Central European time: one hour east of UTC, two in summer.
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

} // namespace

// 15:07:09 UTC on Tuesday 5 March 1996.
TEST(TimeMacros, FormatCodes)
{
    RunCases({
        {"%makegtime(1996,3,5,15,7,9)", "826038429"},
        {"%fmtgtime(826038429,dd/mmm/yyyy:HH:nn:ss)", "05/Mar/1996:15:07:09"},
        {"%fmtgtime(826038429)", "3:07 pm 3/5/96"},
        {"%fmtgtime(826038429,\"dddd, MMMM d\")", "Tuesday, MARCH 5"},
        {"%fmtgtime(826038429,ddd DDD mmmm MMM)", "Tue TUE March MAR"},
        // The hour flag turns the next m into minutes; a day or minute clears it.
        {"%fmtgtime(826038429,H:m m)", "15:7 3"},
        {"%fmtgtime(826038429,H d m)", "15 5 3"},
        {"%fmtgtime(826038429,h n m)", "3 7 3"},
        {"%fmtgtime(826038429,hh:mm HH)", "03:07 15"},
        {"%fmtgtime(826038429,s ss n nn)", "9 09 7 07"},
        // Weeks start on Monday at 0.
        {"%fmtgtime(826038429,w ww)", "1 01"},
        {"%fmtgtime(826038429,y yy yyy yyyy)", "96 96 1996 1996"},
        {"%fmtgtime(826038429,a A aa AA)", "p P pm PM"},
        {"%fmtgtime(826038429,a_b__c)", "p\nb\n\nc"},
        {"%fmtgtime(826038429,\\\\d\\\\m\\\\\\\\ xx:--)", "dm\\ xx:--"},
        {"%fmtgtime(826038429,d\\\\)", "5"},
        {"%fmtgtime(825985800,h:mm AA)", "12:30 AM"},
        {"%fmtgtime(825985800,H:nn a)", "0:30 a"},
        {"%fmtgtime(826027200,h a)", "12 p"},
        {"%fmtgtime(0,yyyy-mm-dd)", "1970-01-01"},
        {"[%fmtgtime()]", "[]"},
        {"[%fmtgtime(0,%set(e))]", "[]"},
    });
}

TEST(TimeMacros, TimesBeyondThe32BitRange)
{
    RunCases({
        {"%fmtgtime(-86400,yyyy-mm-dd HH)", "1969-12-31 00"},
        {"%fmtgtime(4102444800,yyyy-mm-dd ddd)", "2100-01-01 Fri"},
        {"%makegtime(2100,1,1)", "4102444800"},
        {"%fmtgtime(%makegtime(2040,2,29,23,59,59),yyyy-mm-dd HH:nn:ss)", "2040-02-29 23:59:59"},
        // A year the broken-down form cannot hold shows nothing.
        {"[%fmtgtime(9223372036854775807)][%fmtgtime(99999999999999999999999)]", "[][]"},
        {"[%fmtgtime(-9223372036854775808)]", "[]"},
    });
}

TEST(TimeMacros, MakeTimeDefaultsAndCarries)
{
    RunCases({
        {"%makegtime(1970,1,2)", "86400"},
        {"%makegtime()%makegtime%", "00"},
        {"%makegtime(1970)", "0"},
        {"%makegtime(1970,13,1)", "31536000"},
        {"%makegtime(1970,1,1,0,0,-2)", "-2"},
        {"%makegtime(1970,1,1,25)", "90000"},
        {"%makegtime(1970,1,0)", "-86400"},
        // Parts far out of range neither overflow nor wrap.
        {"%makegtime(-2147483648,1)", "-1"},
        {"%makegtime(2000,-2147483648)", "-1"},
        {"%makeltime(2000,-2147483648)", "-1"},
    });
}

TEST(TimeMacros, LocalTimeFollowsTheZone)
{
    ZoneGuard zone(kCentralEurope);
    RunCases({
        {"%makeltime(2020,1,1)", "1577833200"},
        {"%makeltime(2020,7,1)", "1593554400"},
        {"%makeltime(1970,1,1,1)", "0"},
        {"%makeltime()", "-3600"},
        // Read as UTC whatever the season, unlike local time less a fixed offset.
        {"%makegtime(2020,1,1)", "1577836800"},
        {"%makegtime(2020,7,1)", "1593561600"},
        {"%fmtltime(1593561600,yyyy-mm-dd HH:nn)", "2020-07-01 02:00"},
        {"%fmtltime(1577836800,yyyy-mm-dd HH:nn)", "2020-01-01 01:00"},
        {"%fmtgtime(1593561600,yyyy-mm-dd HH:nn)", "2020-07-01 00:00"},
        {"%fmtltime(%makeltime(2021,10,31,2,30),HH:nn)", "02:30"},
    });
}

TEST(TimeMacros, ZoneName)
{
    {
        ZoneGuard zone("XYZ-3");
        Global global;
        EXPECT_EQ(global.Expand("%t-zone%"), "XYZ");
        // Within the refresh interval the name is the one already asked for.
        ZoneGuard other("ABC+2");
        EXPECT_EQ(global.Expand("%t-zone%"), "XYZ");
        Global fresh;
        EXPECT_EQ(fresh.Expand("%t-zone%"), "ABC");
    }
    ZoneGuard summer(kCentralEurope);
    Global global;
    std::string name = global.Expand("%t-zone%");
    EXPECT_TRUE(name == "CET" || name == "CEST") << name;
}

TEST(TimeMacros, CurrentTime)
{
    ZoneGuard zone("XYZ-3");
    Global global;
    std::time_t before = std::time(nullptr);
    std::string now = global.Expand("%time%|%gmttime%|%localtime%");
    std::string fields = global.Expand("%year%-%month%-%day% %hour%:%minute% %wday%|%gmttime(yyyy)|%localtime(HH)");
    std::time_t after = std::time(nullptr);

    auto expectedFields = [&](std::time_t t) {
        std::tm utc{};
        std::tm local{};
        gmtime_r(&t, &utc);
        localtime_r(&t, &local);
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d %02d|%04d|%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                      utc.tm_mday, utc.tm_hour, utc.tm_min, (utc.tm_wday + 6) % 7, utc.tm_year + 1900, local.tm_hour);
        return std::string(text);
    };
    EXPECT_TRUE(fields == expectedFields(before) || fields == expectedFields(after)) << fields;

    // The bare forms are all the same number of seconds.
    for (int i = 0; i < 3; ++i) {
        std::size_t bar = now.find('|');
        long long seconds = std::stoll(now.substr(0, bar));
        EXPECT_GE(seconds, before);
        EXPECT_LE(seconds, after);
        now = bar == std::string::npos ? std::string() : now.substr(bar + 1);
    }
    EXPECT_EQ(now, "");
}

TEST(TimeMacros, FormatTimeTakesABrokenDownTime)
{
    std::tm time{};
    ASSERT_TRUE(BreakDownTime(826038429, true, &time));
    CTextBuffer out;
    FormatTime(&out, time, "dd mm HH");
    EXPECT_EQ(out.ToString(), "05 03 15");
    // A broken-down time the C library did not make shows no name.
    time.tm_mon = 12;
    time.tm_wday = -1;
    out.Empty();
    FormatTime(&out, time, "[mmm][dddd]");
    EXPECT_EQ(out.ToString(), "[][]");
}

TEST(TimeMacros, RegistrationRespectsReadOnlyScopes)
{
    static const char* const kNames[] = {"time",      "gmttime",   "localtime", "fmtltime", "fmtgtime",
                                         "t-zone",    "makeltime", "makegtime", "month",    "day",
                                         "wday",      "year",      "hour",      "minute"};
    CMacroContext open;
    RegisterTimeMacros(open);
    CMacroContext locked;
    locked.SetReadOnly(true);
    RegisterTimeMacros(locked);
    for (const char* name : kNames) {
        EXPECT_NE(open.FindMacro(name), nullptr) << name;
        EXPECT_EQ(locked.FindMacro(name), nullptr) << name;
    }
}
