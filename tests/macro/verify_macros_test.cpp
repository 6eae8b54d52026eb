#include "macro/verify_macros.h"

#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace {

std::string Expand(const std::string& text)
{
    CMacroContext global;
    RegisterVerifyMacros(global);
    global.Register("empty", std::make_unique<CValueMacro>(""));
    CTextBuffer out;
    global.Expand(&out, text);
    return out.ToString();
}

struct Case {
    const char* text;
    const char* expected;
};

TEST(VerifyMacros, FormsAndBounds)
{
    const Case cases[] = {
        {"%verify-int(\" -42 \")", "T"},
        {"%verify-int(+42)", ""},
        {"%verify-int(4 2)", ""},
        {"%verify-int(4.0)", ""},
        {"%verify-int()", ""},
        {"%verify-int(5,1,10)", "T"},
        {"%verify-int(0,1,10)", ""},
        {"%verify-int(11,1,10)", ""},
        {"%verify-int(11,,10)", ""},
        {"%verify-int(11,1,%empty%)", "T"},
        {"%verify-int(-5,-10,-1)", "T"},
        {"%verify-int(10, 1 ,10)", "T"},
        {"%verify-money(-0)", "T"},
        {"%verify-money(12.50)", ""},
        // Outside 32 bits fails instead of wrapping into range.
        {"%verify-int(2147483647)", "T"},
        {"%verify-int(-2147483648)", "T"},
        {"%verify-int(2147483648)", ""},
        {"%verify-int(-2147483649)", ""},
        {"%verify-int(4294967301,1,10)", ""},
        {"%verify-money(99999999999999999999999,0)", ""},
        {"%verify-int(7,1,99999999999)", "T"},
        {"%verify-num(1e5)", "T"},
        {"%verify-num(-.5E-3)", "T"},
        {"%verify-num(5.)", "T"},
        {"%verify-num(.5)", "T"},
        {"%verify-num(+5)", "T"},
        {"%verify-num(.)", ""},
        {"%verify-num(1e)", ""},
        {"%verify-num(e5)", ""},
        {"%verify-num(1.2.3)", ""},
        {"%verify-num(inf)", ""},
        {"%verify-num(0x10)", ""},
        {"%verify-num(2.5,2.5,2.5)", "T"},
        {"%verify-num(2.51,1,2.5)", ""},
        {"%verify-num(1e3,1e2,1e4)", "T"},
        {"%verify-len(abc,3,3)", "T"},
        {"%verify-len(abcd,,3)", ""},
        {"%verify-len(\" ab \",4)", "T"},
        {"%verify-len(%empty%,1)", ""},
        {"%verify-pict(12-AB,99-AA)", "T"},
        {"%verify-pict(12345,999)", "T"},
        {"%verify-pict(1A,9a)", ""},
        {"%verify-pict(12,999)", ""},
        {"%verify-pict(xY,__)", "T"},
        {"%verify-pict(x1,__)", ""},
        {"%verify-pict(9,\\\\9)", "T"}, // the page escapes the backslash
        {"%verify-pict(5,\\\\9)", ""},
        {"%verify-pict(a\\\\,a\\\\)", "T"},
        {"%verify-pict(anything,%empty%)", "T"},
        {"%verify-pict(only)", ""},
        {"%card-prefix(4111-2222,6)", "411122"},
        {"%card-prefix(0042,4)", "42"},
        {"%card-prefix(0123,4)", "123"},
        {"%card-prefix(4111,0)", "0"},
        {"%card-prefix(12 34 5,-1)", "12345"},
        {"%card-prefix(4111,10)", "4111"},
        {"%card-prefix(4294967297,10)", "1"}, // wraps at 32 bits, as designed
        {"%card-prefix(9999999999,10)", "1410065407"},
        {"%card-prefix(4111)", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Expand(c.text), c.expected) << c.text;
}

// Test numbers the card networks publish for merchants' test systems.
TEST(VerifyMacros, PublishedTestCardNumbers)
{
    const Case cases[] = {
        {"4111 1111 1111 1111", "visa"},
        {"4012888888881881", "visa"},
        {"4222222222222", "visa"},
        {"5500-0000-0000-0004", "mc"},
        {"5555555555554444", "mc"},
        {"5105105105105100", "mc"},
        {"30569309025904", "diners"},
        {"38520000023237", "diners"},
        {"378282246310005", "amex"},
        {"371449635398431", "amex"},
        {"6011111111111117", "discover"},
        {"6011000990139424", "discover"},
        {"6011000000000004", "discover"},
        {"3530111333300000", "unknown"},
        {"6011990000000006", "unknown"}, // 601199 lies past the discover range
        {"4111 1111 1111 1112", ""},
        {"5500-0000-0000-0005", ""},
        {"378282246310006", ""},
        {"4111111111111111-", "visa"}, // characters after the check digit are ignored
        {"x", ""},
        {"", ""},
        {"--", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CardBrand(c.text), c.expected) << c.text;
        EXPECT_EQ(Expand(std::string("%verify-card(\"") + c.text + "\")"), c.expected) << c.text;
    }
}

// Every form coreutils printf writes for a number is a number to
// verify-num; its integer forms are integers to verify-int exactly while
// they fit 32 bits.
TEST(VerifyMacros, NumberFormsOfCoreutilsPrintf)
{
    struct Form {
        const char* format;
        const char* value;
        const char* isInt;
        const char* isNum;
    };
    const Form forms[] = {
        {"%d", "2147483647", "T", "T"},   {"%d", "2147483648", "", "T"},   {"%d", "-2147483648", "T", "T"},
        {"%i", "-17", "T", "T"},          {"%f", "-0.25", "", "T"},        {"%e", "12345.678", "", "T"},
        {"%E", "0.000125", "", "T"},      {"%g", "1e-300", "", "T"},       {"%.0f", "42", "T", "T"},
        {"%a", "1.5", "", ""},            {"%+d", "5", "", "T"},
    };
    for (const Form& form : forms) {
        std::string command = std::string("/usr/bin/printf '") + form.format + "' " + form.value;
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char buffer[128] = {};
        std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, pipe);
        ::pclose(pipe);
        std::string text(buffer, got);
        ASSERT_FALSE(text.empty()) << command;
        EXPECT_EQ(Expand("%verify-int(\"" + text + "\")"), form.isInt) << text;
        EXPECT_EQ(Expand("%verify-num(\"" + text + "\")"), form.isNum) << text;
    }
}

// A form field of a megabyte costs a worker no more than a scan of it. The
// bound is the best of three runs: a linear scan takes a few ms optimised
// and about 50 under the sanitizers on a loaded machine, a scan per
// character seconds at least.
TEST(VerifyMacros, AMegabyteFieldTakesLinearTime)
{
    constexpr std::size_t kMB = 1 << 20;
    constexpr double kBoundMs = 400;
    struct Case {
        const char* macro;
        std::string field;
        const char* bounds;
        const char* expected;
    };
    const std::string blanks(kMB / 2, ' ');
    const Case cases[] = {
        {"verify-int", blanks + "5" + blanks, ",1,10", "T"},
        {"verify-int", std::string(kMB, '7'), "", ""},
        {"verify-money", "-" + std::string(kMB, '0') + "7", ",-10", "T"},
        {"verify-money", std::string(kMB, '1') + "x", "", ""},
        {"verify-num", std::string(kMB, '3') + ".5e-3", "", "T"},
        {"verify-num", "." + std::string(kMB, '0') + "1", ",0,1", "T"},
        {"verify-num", std::string(kMB, '1') + "e", "", ""},
        {"verify-len", std::string(kMB, 'x'), ",1048576,1048576", "T"},
        {"verify-len", std::string(kMB, ','), ",,1048575", ""},
    };
    CMacroContext global;
    RegisterVerifyMacros(global);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.macro) + " of " + c.field.substr(0, 8) + "...");
        global.Register("field", std::make_unique<CValueMacro>(c.field));
        const std::string page = std::string("%") + c.macro + "(%field%" + c.bounds + ")";
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            auto start = std::chrono::steady_clock::now();
            CTextBuffer out;
            global.Expand(&out, page);
            best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            EXPECT_EQ(out.ToString(), c.expected);
        }
        EXPECT_LT(best, kBoundMs);
    }
}

} // namespace
