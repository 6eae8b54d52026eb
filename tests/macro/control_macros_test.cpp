#include "macro/control_macros.h"

#include "framework/text_buffer.h"
#include "macro/arith_macros.h"
#include "macro/core_macros.h"
#include "macro/expander.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "platform/fiber.h"
#include "test_macros.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

using macro_test::ExpandExact;

namespace {

// countdown: "T" while its count lasts, then nothing.
class CCountdownMacro : public CMacro {
public:
    explicit CCountdownMacro(long long trues) : m_left(trues) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char**, int) override
    {
        if (m_left > 0 && m_left--)
            out->AppendChar('T');
    }

private:
    long long m_left;
};

// yield: hands the thread back to whoever resumed the running fiber.
class CYieldMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer*, const char**, int) override { platform::Fiber::Suspend(); }
};

// A global scope with the families a page uses around loops, and a request
// scope below it, as a served page sees them.
struct Pages {
    CMacroContext global;
    CMacroContext request{&global};
    Pages()
    {
        RegisterFlowMacros(global);
        RegisterMathMacros(global);
        RegisterTryMacros(global);
        RegisterCoreMacros(global);
        RegisterGlobalMacros(request);
    }
};

struct Case {
    const char* text;
    const char* expected;
};

void RunCases(std::initializer_list<Case> cases)
{
    for (const Case& c : cases) {
        Pages pages;
        EXPECT_EQ(ExpandExact(pages.request, c.text), c.expected) << c.text;
    }
}

std::string LoopLimitText(const char* type)
{
    return std::string("[") + type + " error " + std::to_string(kLoopLimitErrorNumber) + ": " +
           kLoopLimitErrorMessage + "]";
}

// Into an output that grows geometrically, as a page's does, for long loops.
std::string ExpandLong(CMacroContext& scope, std::string_view text)
{
    CTextBuffer out(4096, 1 << 20);
    scope.Expand(&out, text);
    return out.ToString();
}

} // namespace

TEST(ControlMacros, BranchesArriveRawAndOnlyTheChosenOneRuns)
{
    RunCases({
        {"%if(%null%,yes,no)|%if(x,yes)|%if(,yes)|%if(x)%if()", "no|yes||"},
        // The chosen branch is expanded exactly once, the other never.
        {"%if(T,%%%%)|%if(T,a,'%set(y,1))%if(,'%set(z,1),b)[%defined(y)%defined(z)]", "%%|ab[]"},
        {"%switch(,a,T,b,c)|%switch(,a,,b,c)|%switch(,a,,b)|%switch(T)", "b|c||"},
        // Every argument runs before the call; the chosen value runs again
        // only when it was written raw.
        {"%switch(T,%%%%)|%switch(T,a,T,%set(y,1))[%defined(y)]", "%%|a[T]"},
        {"%set(v,1)%switch(T,%%v%%)|%switch(T,'%v%)", "%v%|1"},
        {"%not(%null%)|%not(x)|%not()|%not(,x)|[%null%][%null(a,b)]", "T|||T|[][]"},
        {"%and()|%or()|%and(abc,def)|%or(%null%,%not(x))", "T||T|"},
        {"%and(x,%null%,%set(y,1))[%defined(y)]", "[]"},
        {"%or(%null%,%set(y,1)x,%set(z,1))[%defined(y)%defined(z)]", "T[T]"},
    });
}

TEST(ControlMacros, LoopsRerunTheirTextsUntilTheConditionEmpties)
{
    RunCases({
        {"%set(i,1)%while(%defined(i),'x%set(i))|%while(%null%,x)|%while(T)|%do(a,%null%)|%do(a)", "x|||a|"},
        {"%set(i,0)%while(%lt(%i%,3),'%i%%set(i,%iadd(%i%,1)))", "012"},
        // The condition's own output is dropped.
        {"%set(i,0)%while(%if(%lt(%i%,2),go),'%set(i,%iadd(%i%,1))b)", "bb"},
        {"%set(i,5)%do('%i%%set(i,%iadd(%i%,1)),%lt(%i%,3))", "5"},
        {"%set(i,0)%do('%i%%set(i,%iadd(%i%,1)),%lt(%i%,3))", "012"},
        {"%set(i,0)%while(%lt(%i%,2),'%set(j,0)%while(%lt(%j%,2),'%i%%j% %set(j,%iadd(%j%,1)))%set(i,%iadd(%i%,1)))",
         "00 01 10 11 "},
    });
}

TEST(ControlMacros, LoopRunsExactlyTheLimitAndReportsOnePast)
{
    const std::string rounds(static_cast<std::size_t>(kMaxLoopIterations), 'x');
    for (const char* type : {"while", "do"}) {
        for (long long extra : {0, 1}) {
            Pages pages;
            bool isDo = type[0] == 'd'; // do runs its body once before the first condition
            pages.global.Register("countdown", std::make_unique<CCountdownMacro>(kMaxLoopIterations + extra - isDo));
            std::string out = ExpandLong(pages.request, isDo ? "%do(x,%countdown%)" : "%while(%countdown%,x)");
            EXPECT_TRUE(out == rounds + (extra ? LoopLimitText(type) : "")) << type << " extra " << extra;
        }
    }
}

// A loop whose condition never empties ends; a try inside a loop must not
// give every inner loop a fresh count, or nested runaway loops would run the
// limit squared; loops one after another each get the whole count.
TEST(ControlMacros, RunawayLoopsEndAndShareOneCountThroughTry)
{
    Pages pages;
    EXPECT_EQ(ExpandLong(pages.request, "%while(T,x)").substr(static_cast<std::size_t>(kMaxLoopIterations)),
              LoopLimitText("while"));
    EXPECT_EQ(ExpandExact(pages.request, "%try('before%do(,T),'%exception-type%/%exception-number%/%exception-msg%)"),
              "do/" + std::to_string(kLoopLimitErrorNumber) + "/" + kLoopLimitErrorMessage);
    EXPECT_EQ(ExpandLong(pages.request, "%while(T,'%try('%while(T,x),'c))"), "c" + LoopLimitText("while"));
    pages.global.Register("first", std::make_unique<CCountdownMacro>(kMaxLoopIterations));
    pages.global.Register("second", std::make_unique<CCountdownMacro>(kMaxLoopIterations));
    EXPECT_EQ(ExpandExact(pages.request, "%while(%first%,%null%)%while(%second%,%null%)"), "");
}

// Fibers that interleave on one thread keep their own counts: a long loop in
// one fiber is not charged with the rounds of a loop parked in another, and
// loops that end in another order than they began leave nothing behind.
TEST(ControlMacros, FibersOnOneThreadKeepTheirOwnCounts)
{
    Pages pages;
    pages.global.Register("yield", std::make_unique<CYieldMacro>());
    pages.global.Register("twice", std::make_unique<CCountdownMacro>(2));
    pages.global.Register("once", std::make_unique<CCountdownMacro>(1));
    pages.global.Register("long", std::make_unique<CCountdownMacro>(kMaxLoopIterations));
    std::string firstOut, secondOut, longOut = "unset";
    platform::Fiber first([&] { firstOut = ExpandExact(pages.request, "%while(%twice%,'p%yield%)"); });
    platform::Fiber second([&] { secondOut = ExpandExact(pages.request, "%while(%once%,'q%yield%)"); });
    platform::Fiber busy([&] { longOut = ExpandExact(pages.request, "%while(%long%,%null%)"); });
    first.Resume();  // parked in its first round
    second.Resume(); // parked in its first round, after the first fiber's loop began
    busy.Resume();   // the whole count while both are parked inside theirs
    ASSERT_TRUE(busy.IsFinished());
    first.Resume();
    first.Resume(); // the older loop ends while the newer one is still parked
    ASSERT_TRUE(first.IsFinished());
    second.Resume();
    ASSERT_TRUE(second.IsFinished());
    EXPECT_EQ(first.GetFailureText() + second.GetFailureText() + busy.GetFailureText(), "");
    EXPECT_EQ(firstOut, "pp");
    EXPECT_EQ(secondOut, "q");
    EXPECT_EQ(longOut, "");
    // The thread's own loops start afresh.
    pages.global.Register("again", std::make_unique<CCountdownMacro>(kMaxLoopIterations));
    EXPECT_EQ(ExpandExact(pages.request, "%while(%again%,%null%)"), "");
}

// Recursion through the control-flow macros must meet the expander's nesting
// limit before the smallest stack a page may run on is used up (past it the
// fiber's guard would fault).
TEST(ControlMacros, RecursionThroughBranchesAndLoopsFitsTheMinimumStack)
{
    int thrown = 0;
    platform::Fiber fiber(
        [&] {
            Pages pages;
            for (const char* text : {"%define(r,'%if(T,'%r%))%r%", "%define(w,'%while(T,'%w%))%w%",
                                     "%define(s,'%switch(T,'%s%))%s%", "%define(a,'%and('%a%))%a%",
                                     "%define(d,'%do('%d%,T))%d%"}) {
                try {
                    ExpandExact(pages.request, text);
                } catch (const CMacroException& e) {
                    thrown += e.type == kExpandErrorType;
                }
            }
        },
        kMinFiberStackSize);
    fiber.Resume();
    EXPECT_TRUE(fiber.IsFinished());
    EXPECT_EQ(thrown, 5);
}
