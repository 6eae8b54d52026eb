// Attributes objects: the typed attributes, their limits and the DER.

#include "toolkit_helper.h"

#include "security/attributes_object.h"
#include "security/name_object.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct AttributesObject {
    ToolkitHandle* handle = nullptr;
    AttributesObject() { EXPECT_EQ(CreateAttributesObject(&handle), 0); }
    ~AttributesObject() { DestroyAttributesObject(&handle); }
    std::string DerHex()
    {
        const unsigned char* der = nullptr;
        unsigned int length = 0;
        int status = GetAttributesObjectDER(&der, &length, handle, nullptr);
        return status ? "status " + std::to_string(status) : ToHex(Bytes(reinterpret_cast<const char*>(der), length));
    }
};

long long At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    long long days = 0;
    for (int y = 1970; y < year; ++y)
        days += (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 366 : 365;
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int m = 1; m < month; ++m)
        days += lengths[m - 1] + (m == 2 && year % 4 == 0 ? 1 : 0);
    return ((days + day - 1) * 24 + hour) * 3600 + minute * 60 + second;
}

TEST(UTCTime, TextIsReadWithinTheCalendarAndTheTwoDigitYears)
{
    const struct {
        const char* text;
        int status;
        long long seconds;
    } cases[] = {
        {"000229120000Z", 0, At(2000, 2, 29, 12)},
        {"010229120000Z", kToolkitData, 0},
        {"040229000000Z", 0, At(2004, 2, 29)},
        {"700101000000Z", 0, 0},
        {"691231235959Z", 0, At(2069, 12, 31, 23, 59, 59)},
        {"9912312359Z", 0, At(1999, 12, 31, 23, 59)},
        {"000101000000+0130", 0, At(2000, 1, 1) - 5400},
        {"991231230000-0100", 0, At(2000, 1, 1)},
        {"001301000000Z", kToolkitData, 0},
        {"000431000000Z", kToolkitData, 0},
        {"000101240000Z", kToolkitData, 0},
        {"000101006000Z", kToolkitData, 0},
        {"000101000060Z", kToolkitData, 0},
        {"000101000000", kToolkitData, 0},
        {"000101000000Zx", kToolkitData, 0},
        {"000101000000+01", kToolkitData, 0},
        {"000101000000+2400", kToolkitData, 0},
        {"0001010000 0Z", kToolkitData, 0},
        {"00010100", kToolkitData, 0},
    };
    for (const auto& c : cases) {
        long long seconds = -1;
        std::string text = c.text;
        EXPECT_EQ(ParseUTCTime(U(text), static_cast<unsigned int>(text.size()), &seconds), c.status) << text;
        if (!c.status) {
            EXPECT_EQ(seconds, c.seconds) << text;
        }
    }
}

TEST(UTCTime, OnlyTheYears1970To2069CanBeWritten)
{
    const struct {
        long long seconds;
        const char* text;
    } cases[] = {
        {0, "700101000000Z"},
        {At(2000, 2, 29, 23, 59, 58), "000229235958Z"},
        {At(2000, 3, 1), "000301000000Z"},
        {At(2069, 12, 31, 23, 59, 59), "691231235959Z"},
        {-1, nullptr},                    // 1969
        {At(2070, 1, 1), nullptr},        // 2070
    };
    for (const auto& c : cases) {
        char text[14] = {};
        int status = FormatUTCTime(c.seconds, text);
        if (c.text) {
            EXPECT_EQ(status, 0) << c.seconds;
            EXPECT_STREQ(text, c.text);
        } else {
            EXPECT_EQ(status, kAppCharacters) << c.seconds;
        }
    }
}

TEST(AttributesObject, TypedAttributesRoundTripThroughTheirDER)
{
    AttributesObject a;
    EXPECT_EQ(a.DerHex(), "status 258") << "an empty object has no encoding";
    ASSERT_EQ(SetSigningTime(a.handle, At(2000, 2, 29, 12)), 0);
    EXPECT_EQ(SetSigningTime(a.handle, -1), kAppCharacters);
    EXPECT_EQ(SetSigningTime(a.handle, At(2070, 6, 1)), kAppCharacters);
    ASSERT_EQ(SetChallengePassword(a.handle, 19, U("first"), 5), 0);
    ASSERT_EQ(SetChallengePassword(a.handle, 20, U("p&ss"), 4), 0) << "a second password replaces the first";
    EXPECT_EQ(SetChallengePassword(a.handle, 19, U("p&ss"), 4), kAppCharacters);
    EXPECT_EQ(SetChallengePassword(a.handle, 12, U("x"), 1), kAppStringType);
    // Sorted as a SET of encodings: the shorter password attribute first.
    std::string der = a.DerHex();
    EXPECT_EQ(der, "3133"
                   "301306092a864886f70d010907310614047026737" "3"
                   "301c06092a864886f70d010905310f170d3030303232393132303030305a");
    Bytes bytes = FromHex(der);
    bytes[0] = '\xA0'; // as a request carries it
    AttributesObject b;
    ASSERT_EQ(SetAttributesObjectFromBER(b.handle, U(bytes), static_cast<unsigned int>(bytes.size()), nullptr), 0);
    EXPECT_EQ(b.DerHex(), der);
    long long seconds = 0;
    ASSERT_EQ(GetSigningTime(&seconds, b.handle), 0);
    EXPECT_EQ(seconds, At(2000, 2, 29, 12));
    int tag = 0;
    const unsigned char* octets = nullptr;
    unsigned int length = 0;
    ASSERT_EQ(GetChallengePassword(&tag, &octets, &length, b.handle), 0);
    EXPECT_EQ(tag, 20);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(octets), length), "p&ss");
    unsigned int count = 0;
    ASSERT_EQ(GetAttributeCount(&count, b.handle), 0);
    EXPECT_EQ(count, 2u);
    // A second value makes the typed getter refuse.
    const Bytes second = FromHex("130161");
    ASSERT_EQ(AddAttributeValue(b.handle, kOidChallengePassword, sizeof kOidChallengePassword, U(second), 3), 0);
    EXPECT_EQ(GetChallengePassword(&tag, &octets, &length, b.handle), kAppValueCount);
    EXPECT_EQ(AddAttributeValue(b.handle, kOidChallengePassword, sizeof kOidChallengePassword, U(second), 0),
              kAppValueLength);
    ASSERT_EQ(RemoveAttribute(b.handle, kOidChallengePassword, sizeof kOidChallengePassword), 0);
    ASSERT_EQ(GetAttributeCount(&count, b.handle), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(GetChallengePassword(&tag, &octets, &length, b.handle), kAppValueCount);
}

TEST(AttributesObject, PostalAddressLimits)
{
    const std::string line = "1 Main Street";
    const std::string longLine(31, 'x');
    const std::string amp = "A & B";
    ToolkitTaggedText lines[7];
    for (auto& l : lines)
        l = {19, U(line), static_cast<unsigned int>(line.size())};
    const struct {
        const char* what;
        unsigned int count;
        ToolkitTaggedText changed;
        int status;
    } cases[] = {
        {"one line", 1, lines[0], 0},
        {"six lines", 6, lines[0], 0},
        {"seven lines", 7, lines[0], kAppCharacters},
        {"no line", 0, lines[0], kAppCharacters},
        {"a line of 30", 2, {19, U(longLine), 30}, 0},
        {"a line of 31", 2, {19, U(longLine), 31}, kAppValueLength},
        {"an empty line", 2, {19, U(line), 0}, kAppValueLength},
        {"ampersand printable", 2, {19, U(amp), 5}, kAppCharacters},
        {"ampersand T61", 2, {20, U(amp), 5}, 0},
        {"UTF8String", 2, {12, U(amp), 5}, kAppStringType},
    };
    for (const auto& c : cases) {
        ToolkitTaggedText given[7];
        std::copy(lines, lines + 7, given);
        given[c.count > 1 ? 1 : 0] = c.changed;
        AttributesObject a;
        EXPECT_EQ(SetPostalAddress(a.handle, given, c.count), c.status) << c.what;
        unsigned int count = 99;
        ToolkitTaggedText read[kPostalAddressMaxLines];
        int got = GetPostalAddress(read, &count, a.handle);
        if (c.status) {
            EXPECT_NE(got, 0) << c.what;
            continue;
        }
        ASSERT_EQ(got, 0) << c.what;
        ASSERT_EQ(count, c.count) << c.what;
        const ToolkitTaggedText& second = read[c.count > 1 ? 1 : 0];
        EXPECT_EQ(second.tag, c.changed.tag) << c.what;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(second.data), second.length),
                  std::string(reinterpret_cast<const char*>(c.changed.data), c.changed.length))
            << c.what;
    }
}

TEST(AttributesObject, AnEmptySetEncodesAsAnEmptySet)
{
    // As a request with no attributes carries them: [0] with no members.
    const Bytes empty = FromHex("a000");
    AttributesObject a;
    ASSERT_EQ(SetAttributesObjectFromBER(a.handle, U(empty), 2, nullptr), 0);
    EXPECT_EQ(a.DerHex(), "3100");
    unsigned int count = 9;
    ASSERT_EQ(GetAttributeCount(&count, a.handle), 0);
    EXPECT_EQ(count, 0u);
}

TEST(AttributesObject, BadDERIsRefusedAndTheObjectKept)
{
    AttributesObject a;
    ASSERT_EQ(SetChallengePassword(a.handle, 19, U("secret"), 6), 0);
    const std::string before = a.DerHex();
    const char* bad[] = {
        "3103300102",                                   // attribute not a SEQUENCE of OID and SET
        "310b300906032a0304310213",                     // truncated value
        "310730050603550410",                           // no value set
        "3109300706035504103100",                       // empty value set
        "0400",                                         // primitive outer tag
    };
    for (const char* hex : bad) {
        Bytes bytes = FromHex(hex);
        ToolkitItem item{reinterpret_cast<unsigned char*>(bytes.data()), static_cast<unsigned int>(bytes.size())};
        EXPECT_EQ(SetAttributesObjectDER(a.handle, &item, nullptr), kAppBadAttributes) << hex;
        EXPECT_EQ(SetAttributesObjectFromBER(a.handle, item.data, item.length, nullptr), kAppBadAttributes) << hex;
        EXPECT_EQ(a.DerHex(), before) << hex;
    }
}

} // namespace
