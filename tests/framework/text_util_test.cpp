#include "framework/text_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// The text in a heap block of exactly its size with no NUL after it, so that
// AddressSanitizer reports any read past its end.
struct ExactText {
    explicit ExactText(std::string_view text) : bytes(new char[text.size() ? text.size() : 1]), size(text.size())
    {
        std::memcpy(bytes.get(), text.data(), text.size());
    }
    std::string_view View() const { return {bytes.get(), size}; }
    std::unique_ptr<char[]> bytes;
    std::size_t size;
};

} // namespace

TEST(LowerCase, FoldsOnlyAsciiCapitals)
{
    const char* source = "ABC xyz 09 @[`{ \xC9\xE9 MiXeD";
    const char* expected = "abc xyz 09 @[`{ \xC9\xE9 mixed";
    char buffer[64];
    std::memset(buffer, 'Z', sizeof buffer);
    char* end = LowerCaseCopy(buffer, source);
    EXPECT_STREQ(buffer, expected);
    EXPECT_EQ(end, buffer + std::strlen(source));
    EXPECT_EQ(*end, 0);
    EXPECT_EQ(LowerCaseString(source), expected);
    EXPECT_EQ(LowerCaseString(""), "");
}

TEST(NextToken, TakesRunsBetweenDelimiters)
{
    const char* text = " ,alpha,, beta";
    const char* cursor = text;
    std::string token;
    NextToken(token, &cursor, " ,");
    EXPECT_EQ(token, "alpha");
    EXPECT_EQ(cursor, text + 7);
    NextToken(token, &cursor, " ,");
    EXPECT_EQ(token, "beta");
    EXPECT_EQ(*cursor, 0);
    NextToken(token, &cursor, " ,");
    EXPECT_EQ(token, "");
    EXPECT_EQ(*cursor, 0);

    const char* delimitersOnly = " ,, ";
    cursor = delimitersOnly;
    token = "stale";
    NextToken(token, &cursor, " ,");
    EXPECT_EQ(token, "");
    EXPECT_EQ(cursor, delimitersOnly + 4);
}

TEST(GetDelimitedField, PicksFieldsSkippingDelimiterRuns)
{
    struct Case {
        const char* text;
        const char* delimiters;
        int index;
        const char* expected;
    } cases[] = {
        {"  a b", " ", 0, "a"},       {"  a b", " ", 1, "b"},     {"  a b", " ", 2, ""},
        {"", " ", 0, ""},             {"", " ", 3, ""},           {",,a,,b", ",", 0, "a"},
        {",,a,,b", ",", 1, "b"},      {",,a,,b", ",", 2, ""},     {"a;b,c", ";,", 2, "c"},
        {"one", ",", 0, "one"},       {"one,", ",", 1, ""},       {",,,", ",", 0, ""},
        {"a,b", ",", -1, ""},         {"x  y", "", 0, "x  y"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetDelimitedField(c.text, c.delimiters, c.index), c.expected)
            << "'" << c.text << "' at '" << c.delimiters << "' index " << c.index;
}

TEST(Word, SplitsAtRunsOfSpacesAndTabs)
{
    struct Case {
        const char* text;
        int index;
        const char* expected;
    } cases[] = {
        {"GET /a HTTP/1.0", 0, "GET"}, {"GET /a HTTP/1.0", 2, "HTTP/1.0"}, {"GET /a HTTP/1.0", 3, ""},
        {" \tBasic\t \tabc= ", 1, "abc="}, {"  ", 0, ""}, {"", 0, ""}, {"a\r\nb c", 0, "a\r\nb"}, {"a b", -1, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Word(c.text, c.index), c.expected) << "'" << c.text << "' index " << c.index;
}

namespace {

// The plain recursive definition: '*' tries every continuation, shortest first.
bool ReferenceMatch(const char* text, const char* pattern)
{
    if (*pattern == 0)
        return *text == 0;
    if (*pattern == '*') {
        for (const char* rest = text;; ++rest) {
            if (ReferenceMatch(rest, pattern + 1))
                return true;
            if (*rest == 0)
                return false;
        }
    }
    if (*text == 0)
        return false;
    return (*pattern == '?' || *pattern == *text) && ReferenceMatch(text + 1, pattern + 1);
}

// Every string of length 0..maxLength over the alphabet.
std::vector<std::string> AllStrings(const std::string& alphabet, std::size_t maxLength)
{
    std::vector<std::string> result{""};
    for (std::size_t begin = 0, length = 1; length <= maxLength; ++length) {
        std::size_t end = result.size();
        for (std::size_t i = begin; i < end; ++i) {
            for (char c : alphabet)
                result.push_back(result[i] + c);
        }
        begin = end;
    }
    return result;
}

} // namespace

TEST(WildcardMatch, Examples)
{
    struct Case {
        const char* text;
        const char* pattern;
        bool expected;
    } cases[] = {
        {"abc", "a*", true},    {"abc", "*c", true},   {"abc", "a?c", true},  {"", "*", true},
        {"ab", "a?c", false},   {"abc", "A*", false},  {"a", "a?", false},    {"", "", true},
        {"", "?", false},       {"a", "", false},      {"abc", "abc", true},  {"abc", "ab", false},
        {"abc", "***", true},   {"abc", "*b*", true},  {"abc", "*d*", false}, {"aXbXc", "a*b*c", true},
        {"10.0.0.1", "10.*", true}, {"10.0.0.1", "10.0.0.?", true}, {"10.0.0.12", "10.0.0.?", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WildcardMatch(c.text, c.pattern), c.expected) << "'" << c.text << "' vs '" << c.pattern << "'";
}

TEST(WildcardMatch, AgreesWithRecursiveDefinition)
{
    std::vector<std::string> texts = AllStrings("ab", 5);
    std::vector<std::string> patterns = AllStrings("ab?*", 5);
    int checked = 0;
    for (const std::string& pattern : patterns) {
        for (const std::string& text : texts) {
            ASSERT_EQ(WildcardMatch(text, pattern), ReferenceMatch(text.c_str(), pattern.c_str()))
                << "'" << text << "' vs '" << pattern << "'";
            ++checked;
        }
    }
    // Longer random cases reach deeper backtracking than the exhaustive set.
    std::mt19937 random(1234);
    auto make = [&](const char* alphabet, std::size_t size, std::size_t maxLength) {
        std::string s(random() % (maxLength + 1), ' ');
        for (char& c : s)
            c = alphabet[random() % size];
        return s;
    };
    for (int i = 0; i < 20000; ++i) {
        std::string text = make("aab", 3, 14);
        std::string pattern = make("ab?**", 5, 9);
        ASSERT_EQ(WildcardMatch(text, pattern), ReferenceMatch(text.c_str(), pattern.c_str()))
            << "'" << text << "' vs '" << pattern << "'";
        ++checked;
    }
    EXPECT_GT(checked, 100000);
}

TEST(WildcardMatch, PathologicalPatternIsFast)
{
    std::string text(20000, 'a');
    std::string pattern;
    for (int i = 0; i < 50; ++i)
        pattern += "a*";
    pattern += 'b';
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WildcardMatch(text, pattern));
    EXPECT_TRUE(WildcardMatch(text + 'b', pattern));
    auto elapsed = std::chrono::steady_clock::now() - start;
    // Exponential backtracking would not finish in any lifetime.
    EXPECT_LT(elapsed, std::chrono::seconds(2));
}

TEST(FormatIPAddress, DottedFirstOctetFromLowByte)
{
    struct Case {
        std::uint32_t address;
        const char* expected;
    } cases[] = {
        {0x0100A8C0u, "192.168.0.1"}, {0u, "0.0.0.0"}, {0xFFFFFFFFu, "255.255.255.255"},
        {0x0964000Au, "10.0.100.9"},  {0x0100007Fu, "127.0.0.1"}, {0x5A0A0A0Au, "10.10.10.90"},
    };
    for (const Case& c : cases) {
        char buffer[kIPAddressBufferSize + 8];
        std::memset(buffer, 'Z', sizeof buffer);
        int length = FormatIPAddressToBuffer(buffer, c.address);
        EXPECT_EQ(length, static_cast<int>(std::strlen(c.expected)));
        EXPECT_STREQ(buffer, c.expected);
        for (std::size_t k = kIPAddressBufferSize; k < sizeof buffer; ++k)
            EXPECT_EQ(buffer[k], 'Z');
        std::string text = "old";
        FormatIPAddress(text, c.address);
        EXPECT_EQ(text, c.expected);
    }
}

TEST(Base64Decode, GroupsPaddingAndShortEnds)
{
    struct Case {
        std::string text;
        std::string expected;
    } cases[] = {
        {"YWJj", "abc"},
        {"QQ", "A"},
        {"QUI=", "AB"},
        {"QQ==", "A"},
        {"QUI", "AB"},
        {"QQ=", "A"},
        {"Q", "@"},
        {"", ""},
        {"dXNlcjpwYXNzd29yZA==", "user:password"},
        {"/w==", "\xFF"},
        {"////", "\xFF\xFF\xFF"},
        {"AAAA", std::string(3, '\0')},
        // Characters outside the alphabet count as 32.
        {"**", "\x82"},
        {"YW Jj", std::string("a") + static_cast<char>(0x68) + static_cast<char>(0x09) + static_cast<char>(0x8C)},
    };
    for (const Case& c : cases) {
        ExactText exact(c.text);
        std::string out = "stale";
        Base64Decode(out, exact.View());
        EXPECT_EQ(out, c.expected) << "'" << c.text << "'";
    }
}

TEST(Base64Decode, RoundTripsEveryLength)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::mt19937 random(99);
    for (std::size_t length = 0; length < 70; ++length) {
        std::string bytes(length, '\0');
        for (char& b : bytes)
            b = static_cast<char>(random() & 0xFF);
        std::string encoded;
        for (std::size_t i = 0; i < length; i += 3) {
            unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
            if (i + 1 < length)
                v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
            if (i + 2 < length)
                v |= static_cast<unsigned char>(bytes[i + 2]);
            encoded += kAlphabet[v >> 18 & 63];
            encoded += kAlphabet[v >> 12 & 63];
            encoded += i + 1 < length ? kAlphabet[v >> 6 & 63] : '=';
            encoded += i + 2 < length ? kAlphabet[v & 63] : '=';
        }
        std::string decoded;
        Base64Decode(decoded, ExactText(encoded).View());
        EXPECT_EQ(decoded, bytes) << "length " << length;
    }
    std::string same = "YWJj";
    Base64Decode(same, same);
    EXPECT_EQ(same, "abc");
}

TEST(URLEncode, SpacesPlusAlphanumericsKeptRestEscaped)
{
    struct Case {
        std::string text;
        const char* expected;
    } cases[] = {
        {"a b&c", "a+b%26c"},  {",", "%2C"},          {"\xE9", "%E9"},          {"AZaz09", "AZaz09"},
        {"-_.~", "%2D%5F%2E%7E"}, {std::string("a\0b", 3), "a%00b"}, {"\r\n", "%0D%0A"}, {"", ""},
    };
    for (const Case& c : cases) {
        std::string out = "stale";
        URLEncode(out, c.text);
        EXPECT_EQ(out, c.expected);
    }
}

TEST(URLDecode, EscapesPlusAndLineEnds)
{
    struct Case {
        const char* text;
        std::string expected;
    } cases[] = {
        {"100%", "100%"},   {"%4a%4A", "JJ"},      {"a%2", "a%2"},   {"%", "%"},     {"%4", "%4"},
        {"a+b\r\nc", "a b  c"}, {"%zz%41", "%zzA"}, {"%%41", "%A"},   {"%E9", "\xE9"}, {"%00", std::string(1, '\0')},
        {"plain", "plain"}, {"", ""},
    };
    for (const Case& c : cases) {
        ExactText exact(c.text);
        std::string out = "stale";
        URLDecode(out, exact.View());
        EXPECT_EQ(out, c.expected) << "'" << c.text << "'";
        EXPECT_EQ(URLDecodeString(exact.View()), c.expected);
    }
}

TEST(URLDecode, UndoesURLEncodeForEveryByte)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    std::string encoded;
    URLEncode(encoded, all);
    EXPECT_EQ(URLDecodeString(encoded), all);
    URLDecode(encoded, encoded);
    EXPECT_EQ(encoded, all);
}
