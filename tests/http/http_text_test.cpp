// The shared text tests of the HTTP parsers, at their edges.

#include "http/http_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {

TEST(HTTPTextTest, CaseFoldsOnlyASCIILetters)
{
    EXPECT_TRUE(EqualsIgnoringCase("Content-Length", "content-length"));
    EXPECT_TRUE(EqualsIgnoringCase("", ""));
    EXPECT_FALSE(EqualsIgnoringCase("bytes", "byte"));
    // '@' and '`' sit next to the letters; bytes above 127 never fold.
    EXPECT_FALSE(EqualsIgnoringCase("@", "`"));
    EXPECT_FALSE(EqualsIgnoringCase("\xC4", "\xE4"));
}

TEST(HTTPTextTest, TrimmingAndDecimalNumbers)
{
    EXPECT_EQ(TrimBlanks(" \t 12 \t\r"), "12");
    EXPECT_EQ(TrimBlanks("\r12"), "\r12");
    EXPECT_EQ(TrimBlanks("  "), "");

    struct Case {
        const char* text;
        bool valid;
        std::int64_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"007", true, 7},
        {"9223372036854775807", true, std::numeric_limits<std::int64_t>::max()},
        {"9223372036854775808", false, 0},
        {"", false, 0},
        {"+5", false, 0},
        {"-5", false, 0},
        {"5 ", false, 0},
        {"1e3", false, 0},
    };
    for (const Case& c : cases) {
        std::int64_t value = -1;
        EXPECT_EQ(ParseDecimal(c.text, &value), c.valid) << c.text;
        EXPECT_EQ(value, c.valid ? c.value : -1) << c.text << ": untouched on failure";
    }
}

} // namespace
