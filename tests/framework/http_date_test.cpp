#include "framework/http_date.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

SystemTime Time(int year, int month, int dayOfWeek, int day, int hour, int minute, int second)
{
    auto u = [](int v) { return static_cast<std::uint16_t>(v); };
    return SystemTime{u(year), u(month), u(dayOfWeek), u(day), u(hour), u(minute), u(second), 0};
}

::testing::AssertionResult SameFields(const SystemTime& a, const SystemTime& b)
{
    if (a == b)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a.year << "-" << a.month << "-" << a.day << " " << a.hour << ":" << a.minute
                                         << ":" << a.second << " dow " << a.dayOfWeek << " ms " << a.milliseconds;
}

} // namespace

TEST(ParseHTTPDate, AcceptedFormsAndMisreadings)
{
    struct Case {
        const char* text;
        SystemTime expected;
    } cases[] = {
        {"Sunday, 06-Nov-94 08:49:37 GMT", Time(1994, 11, 0, 6, 8, 49, 37)},
        {"Sun, 06 nov 1994 08:49:37 GMT", Time(1994, 11, 0, 6, 8, 49, 37)},
        {"Sun, 06 NOVEMBER 1994 08:49:37", Time(1994, 11, 0, 6, 8, 49, 37)},
        {"Thu, 01 Jan 1970 00:00:00 GMT", Time(1970, 1, 0, 1, 0, 0, 0)},
        {"Sat, 31-Dec-79 23:59:59 GMT", Time(2079, 12, 0, 31, 23, 59, 59)},
        {"Tue, 01-Jan-80 00:00:01 GMT", Time(1980, 1, 0, 1, 0, 0, 1)},
        {"Sat, 01 Jan 05 12:00:00 GMT", Time(2005, 1, 0, 1, 12, 0, 0)},
        {"Mon, 02 Jan 0999 01:02:03 GMT", Time(999, 1, 0, 2, 1, 2, 3)},
        {"Sun, 06 Foo 1994 08:49:37 GMT", Time(1994, 13, 0, 6, 8, 49, 37)},
        {"Sun, 06 No 1994 08:49:37 GMT", Time(1994, 13, 0, 6, 8, 49, 37)},
        // asctime is not an accepted form; neither is a date without a weekday.
        {"Sun Nov  6 08:49:37 1994", Time(2008, 13, 0, 0, 1994, 0, 0)},
        {"06 Nov 1994 08:49:37 GMT", Time(2008, 13, 0, 0, 0, 0, 0)},
        {"Sun, 06 Nov 1994", Time(1994, 11, 0, 6, 0, 0, 0)},
        // A missing year stays 0 rather than passing for 2000.
        {"Sun, 06 Nov", Time(0, 11, 0, 6, 0, 0, 0)},
        {"Sun, 06 Nov GMT", Time(0, 11, 0, 6, 0, 0, 0)},
        {"", Time(0, 13, 0, 0, 0, 0, 0)},
        // Numbers beyond a 16-bit field read as 65535, never as a wrapped value.
        {"Sun, 06 Nov 67530 08:49:37 GMT", Time(65535, 11, 0, 6, 8, 49, 37)},
        {"Sun, 70000 Nov 1994 08:49:37 GMT", Time(1994, 11, 0, 65535, 8, 49, 37)},
        {"Sun, 06 Nov 1994 -5:49:37 GMT", Time(1994, 11, 0, 6, 65535, 49, 37)},
        {"Sun, 06 Nov 1994 +8:x:99999999999999999999 GMT", Time(1994, 11, 0, 6, 8, 0, 65535)},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(SameFields(ParseHTTPDate(c.text), c.expected)) << "'" << c.text << "'";
}

TEST(ParseHTTPDate, BadTextFailsConversion)
{
    const char* bad[] = {"Sun Nov  6 08:49:37 1994", "Sun, 06 Nov", "Sun, 06 Nov 67530 08:49:37 GMT",
                         "Sun, 06 Nov 1994 -5:49:37 GMT", "Sun, 31 Feb 1994 00:00:00 GMT", "", "garbage"};
    for (const char* text : bad)
        EXPECT_FALSE(SystemTimeToUnixSeconds(ParseHTTPDate(text)).has_value()) << "'" << text << "'";
    EXPECT_EQ(SystemTimeToUnixSeconds(ParseHTTPDate("Sun, 06 Nov 1994 08:49:37 GMT")), 784111777);
}

TEST(FormatRFC1123Date, FieldsAndClampedTables)
{
    struct Case {
        SystemTime time;
        const char* expected;
    } cases[] = {
        {Time(1994, 11, 0, 6, 8, 49, 37), "Sun, 06 Nov 1994 08:49:37 GMT"},
        {Time(2024, 2, 4, 29, 23, 5, 9), "Thu, 29 Feb 2024 23:05:09 GMT"},
        {Time(999, 1, 6, 1, 0, 0, 0), "Sat, 01 Jan 999 00:00:00 GMT"},
        {Time(12345, 12, 1, 31, 0, 0, 0), "Mon, 31 Dec 12345 00:00:00 GMT"},
        {Time(2000, 0, 9, 1, 0, 0, 0), "Sat, 01 Jan 2000 00:00:00 GMT"},
        {Time(2000, 13, 7, 1, 0, 0, 0), "Sat, 01 Dec 2000 00:00:00 GMT"},
        {Time(65535, 65535, 65535, 65535, 65535, 65535, 65535), "Sat, 65535 Dec 65535 65535:65535:65535 GMT"},
    };
    for (const Case& c : cases) {
        char buffer[kDateBufferSize + 16];
        std::memset(buffer, 'Z', sizeof buffer);
        int length = FormatRFC1123Date(buffer, c.time);
        EXPECT_EQ(length, static_cast<int>(std::strlen(c.expected)));
        EXPECT_STREQ(buffer, c.expected);
        for (std::size_t k = kDateBufferSize; k < sizeof buffer; ++k)
            ASSERT_EQ(buffer[k], 'Z');
        std::string text = "stale";
        FormatRFC1123DateString(text, c.time);
        EXPECT_EQ(text, c.expected);
    }
}

TEST(FormatLogDate, FieldsWithoutNul)
{
    struct Case {
        SystemTime time;
        const char* expected;
    } cases[] = {
        {Time(1994, 11, 0, 6, 8, 49, 37), "06/Nov/1994:08:49:37 +0000"},
        {Time(2024, 1, 0, 9, 0, 0, 5), "09/Jan/2024:00:00:05 +0000"},
        {Time(2024, 0, 0, 9, 0, 0, 5), "09/Jan/2024:00:00:05 +0000"},
        {Time(10000, 14, 0, 1, 1, 1, 1), "01/Dec/10000:01:01:01 +0000"},
        {Time(65535, 65535, 65535, 65535, 65535, 65535, 65535), "65535/Dec/65535:65535:65535:65535 +0000"},
    };
    for (const Case& c : cases) {
        char buffer[kDateBufferSize + 16];
        std::memset(buffer, 'Z', sizeof buffer);
        int length = FormatLogDate(buffer, c.time);
        ASSERT_EQ(length, static_cast<int>(std::strlen(c.expected)));
        EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), c.expected);
        for (std::size_t k = static_cast<std::size_t>(length); k < sizeof buffer; ++k)
            ASSERT_EQ(buffer[k], 'Z') << "byte " << k;
        std::string text = "stale";
        FormatLogDateString(text, c.time);
        EXPECT_EQ(text, c.expected);
    }
}

TEST(FormatRFC1123Date, ParsesBackToTheSameTime)
{
    // Every tenth of a day or so across the years the formats carry.
    for (std::int64_t seconds = -2208988800; seconds < 4102444800; seconds += 8640 * 37 + 1) {
        SystemTime time = SystemTimeFromUnixSeconds(seconds);
        std::string text;
        FormatRFC1123DateString(text, time);
        SystemTime parsed = ParseHTTPDate(text);
        ASSERT_EQ(SystemTimeToUnixSeconds(parsed), seconds) << text;
    }
}
