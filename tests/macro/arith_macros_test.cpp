#include "macro/arith_macros.h"

#include "framework/text_buffer.h"
#include "macro/control_macros.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "test_macros.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

using macro_test::ExpandExact;

namespace {

struct Pages {
    CMacroContext global;
    CMacroContext request{&global};
    Pages()
    {
        RegisterFlowMacros(global);
        RegisterMathMacros(global);
        RegisterTryMacros(global);
        RegisterCoreMacros(global);
    }
};

struct Case {
    const char* text;
    const char* expected;
};

// The rows run in one scope, as the references of one page do.
void RunCases(std::initializer_list<Case> cases)
{
    Pages pages;
    for (const Case& c : cases)
        EXPECT_EQ(ExpandExact(pages.request, c.text), c.expected) << c.text;
}

} // namespace

TEST(ArithmeticMacros, IntegersWrapInThirtyTwoBits)
{
    RunCases({
        {"%iadd(2,3,x)|%iadd()|%imult()", "5|0|1"},
        {"%iadd(4294967295)|%iadd(4294967296)", "-1|0"},
        {"%iadd(2147483647,1)", "-2147483648"},
        {"%isub(-2147483648,1)|%isub(5,7)|%isub(1)", "2147483647|-2|"},
        {"%imult(65536,65536)|%imult(-3,4)", "0|-12"},
        {"%idiv(7,2)|%idiv(-7,2)|%imod(-7,2)|%imod(7,-2)", "3|-3|-1|1"},
        // The one quotient that does not fit must not trap.
        {"%idiv(-2147483648,-1)|%imod(-2147483648,-1)", "-2147483648|0"},
        {"%iabs(-5)|%iabs(5)|%iabs(-2147483648)|%iabs()", "5|5|-2147483648|"},
        {"%inot(0)|%iand(12,10)|%ior(12,10)|%ixor(12,10)|%iand(1)|%iand(-1,4294967295)", "-1|8|14|6||-1"},
    });
}

TEST(ArithmeticMacros, RealsReadTheDecimalFormAndPrintLikeG)
{
    RunCases({
        {"%add(0.1,0.2)|%add(1000000,1)|%add()|%mult()", "0.3|1e+06|0|1"},
        {"%add(.5,5.)|%add( +1.5e1x)|%add(2e)|%add(-3E-1)", "5.5|15|2|-0.3"},
        // Forms the C library would take but a page does not mean as numbers.
        {"%add(0x10)|%add(inf)|%add(nan)|%add(1e)", "0|0|0|1"},
        {"%add(1e999)|%add(-1e999)|%add(1e-999)|%add(0.000e999)", "inf|-inf|0|0"},
        {"%sub(1,0.25)|%mult(2.5,4)|%div(1,8)|%avg(1,2)|%avg()", "0.75|10|0.125|1.5|"},
        {"%div(1,3)|%abs(-2.5)|%sub(1)", "0.333333|2.5|"},
        {"%lt(2,10)|%gt(2,10)|%lte(3,3)|%gte(2,3)|%lt(1)", "T||T||"},
        {"%equ(1.0,1)|%equ(1,1.05,0.1)|%equ(1,1.5,0.5)|%equ(1,2)|%equ(1)", "T|T|||"},
        {"%min(010,9.5)|%max(1e1,9)|%min(1.0,1)|%max(3)|%min()", "9.5|1e1|1.0|3|"},
    });
}

TEST(ArithmeticMacros, TruncationAndRoundingSaturate)
{
    RunCases({
        {"%round(2.5)|%round(-2.5)|%round(-2.7)|%trunc(-2.7)|%trunc(2.9)", "3|-2|-2|-2|2"},
        {"%trunc(1e10)|%trunc(-1e10)|%round(2147483647)|%trunc(1e999)|%trunc(-1e999)",
         "2147483647|-2147483648|2147483647|2147483647|-2147483648"},
        {"%trunc()|%round()", "|"},
    });
}

TEST(ArithmeticMacros, DivisionByZeroShowsAMarkAndRaisesInsideTry)
{
    RunCases({
        {"%idiv(1,0)|%imod(1,0)|%div(1,0)|%div(1,0.0e5)", "#DIV0|#MOD0|#DIV0|#DIV0"},
        {"%define(h,'%exception-type%/%exception-number%/%exception-msg%;)"
         "%try('a%idiv(1,0),'%h%)%try('%imod(1,0),'%h%)%try('%div(1,0),'%h%)",
         "idiv/0/Division by zero;imod/0/Modulo by zero;div/0/Division by zero;"},
    });
}

TEST(ArithmeticMacros, FmtGroupsDigitsAndBoundsDecimals)
{
    RunCases({
        {"%fmt(1234567.891)|%fmt(1234567.891,0)|%fmt(0.05)|%fmt(-1234.5,1,\",\",.)",
         "1,234,567.89|1,234,568|0.05|-1.234,5"},
        {"%fmt(999.999)|%fmt(5,0)|%fmt(123)|%fmt(123456)|%fmt(5,-3)", "1,000.00|5|123.00|123,456.00|5"},
        {"%fmt(0.001234,5)|%fmt(-0.5,1)|%fmt(12,2,:)|%fmt(1234567,0,.,\" \")", "0.00123|-0.5|12:00|1 234 567"},
        // The directory index prints sizes with an empty point and no decimals.
        {"%fmt(2048,0,%null%)|%fmt(1234.5,1,%null%)|%fmt(,1)|%fmt()", "2,048|1,2345|0.0|"},
        {"%fmt(1e999)|%fmt(-1e999,1)", "inf|-inf"},
    });
    // A huge decimals count is held at the limit instead of filling memory.
    Pages pages;
    std::string capped = ExpandExact(pages.request, "%fmt(1,2000000000)");
    EXPECT_EQ(capped, "1." + std::string(kMaxFmtDecimals, '0'));
    std::string largest = ExpandExact(pages.request, "%fmt(1.7976931348623157e308,0)");
    EXPECT_EQ(largest.size(), 309u + 102u); // 309 digits and a separator for every three but the first group
    EXPECT_EQ(largest.substr(0, 8), "179,769,");
}

TEST(ArithmeticMacros, AddressesConvertBothWays)
{
    RunCases({
        {"%iptoint(1.2.3.4)|%iptoint(127.1)|%iptoint(x)|%iptoint(1.2.3.256)|%iptoint()",
         "67305985|16777343|4294967295|4294967295|"},
        {"%inttoip(67305985)|%inttoip(4294967295)|%inttoip(-1)|%inttoip(0)|%inttoip()",
         "1.2.3.4|255.255.255.255|255.255.255.255|0.0.0.0|"},
        {"%inttoip(%iptoint(10.20.30.40))", "10.20.30.40"},
    });
}

// The generator is the classic one: seeded with 1 it gives 41, 18467, 6334.
TEST(ArithmeticMacros, RandFollowsItsGeneratorPerThread)
{
    Pages pages;
    SeedMacroRandom(1);
    EXPECT_EQ(ExpandExact(pages.request, "%rand%,%rand()|%rand(1000)"), "41,18467|334");
    std::string otherThread;
    std::thread([&] { otherThread = ExpandExact(pages.request, "%rand%"); }).join();
    EXPECT_EQ(otherThread, "41"); // every thread starts from state 1
    for (int i = 0; i < 100; ++i) {
        int unreduced = std::atoi(ExpandExact(pages.request, "%rand(0)").c_str());
        int negative = std::atoi(ExpandExact(pages.request, "%rand(-10)").c_str());
        EXPECT_TRUE(unreduced >= 0 && unreduced <= 32767 && negative >= 0 && negative < 10) << unreduced << " " << negative;
    }
}

// A process whose locale writes a decimal comma (as a desktop session may
// set) must read and print numbers on pages exactly as in the "C" locale.
TEST(ArithmeticMacros, NumbersIgnoreTheProcessLocale)
{
    std::string dir = testing::TempDir() + "velmora-locale-" + std::to_string(::getpid());
    std::string command = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    std::filesystem::create_directories(dir);
    bool built = std::system(command.c_str()) != -1 && std::filesystem::exists(dir + "/de_DE.UTF-8");
    ::setenv("LOCPATH", dir.c_str(), 1);
    bool active = built && std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    Pages pages;
    std::string outputs = ExpandExact(pages.request, "%add(0.1,0.2)|%lt(1.5,1.25)|%div(1,4)|%fmt(1234.5,1)|%trunc(2.9)");
    std::setlocale(LC_NUMERIC, "C");
    ::unsetenv("LOCPATH");
    std::filesystem::remove_all(dir);
    if (!active)
        GTEST_SKIP() << "localedef could not build a de_DE locale (Debian package locales)";
    EXPECT_EQ(outputs, "0.3||0.25|1,234.5|2");
}
