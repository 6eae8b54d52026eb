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

#include <pthread.h>

#include <memory>
#include <string>
#include <string_view>

using macro_test::ExpandExact;

namespace {

// countdown: "T" while its budget lasts, then nothing; counts its calls.
class CCountdownMacro : public CMacro {
public:
    explicit CCountdownMacro(long long trues) : m_left(trues) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char**, int) override
    {
        ++calls;
        if (m_left > 0) {
            --m_left;
            out->AppendChar('T');
        }
    }
    long long calls = 0;

private:
    long long m_left;
};

// tick: counts how often a body ran.
class CTickMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer*, const char**, int) override { ++ticks; }
    long long ticks = 0;
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
        RegisterControlMacros(global);
        RegisterArithmeticMacros(global);
        RegisterTryMacros(global);
        RegisterCoreMacros(global);
        RegisterGlobalMacros(request);
    }
    template <typename Kind> Kind* Add(const char* name, std::unique_ptr<Kind> macro)
    {
        Kind* seen = macro.get();
        global.Register(name, std::move(macro));
        return seen;
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

} // namespace

TEST(ControlMacros, ConditionalsChooseAndExpandOnlyTheirBranch)
{
    RunCases({
        {"%if(%null%,yes,no)", "no"},
        {"%if(x,yes)", "yes"},
        {"%if(,yes)", ""},
        {"%if(x)%if()%if", "%if"},
        // Branches arrive raw and the chosen one is expanded exactly once.
        {"%if(T,%%%%)", "%%"},
        {"%if(T,a,'%set(y,1))[%defined(y)]", "a[]"},
        {"%if(,'%set(y,1),b)[%defined(y)]", "b[]"},
        {"%set(v,V)%if(%v%,'<%v%>)", "<V>"},
        {"%switch(,a,T,b,c)", "b"},
        {"%switch(,a,,b,c)", "c"},
        {"%switch(,a,,b)", ""},
        {"%switch(T)%switch()", ""},
        // Every argument runs before the call; the chosen value runs again.
        {"%switch(T,%%%%)", "%"},
        {"%switch(T,a,T,%set(y,1))[%defined(y)]", "a[T]"},
        {"%not(%null%)|%not(x)|%not()|%not(,x)", "T|||T"},
        {"[%null%][%null(a,b)]", "[][]"},
    });
}

TEST(ControlMacros, AndOrStopAtTheFirstDecidingArgument)
{
    RunCases({
        {"%and()", "T"},
        {"%or()", ""},
        {"%and(abc,def)", "T"},
        {"%and(x,%null%,%set(y,1))[%defined(y)]", "[]"},
        {"%or(%null%,%set(y,1)x,%set(z,1))[%defined(y)%defined(z)]", "T[T]"},
        {"%or(%null%,%not(x))", ""},
        // Arguments are expanded anew on each use, with the caller's scope.
        {"%set(p,1)%and(%defined(p),'%defined(p))", "T"},
    });
}

TEST(ControlMacros, LoopsRerunTheirTextsUntilTheConditionEmpties)
{
    RunCases({
        {"%set(i,1)%while(%defined(i),'x%set(i))", "x"},
        {"%while(%null%,x)", ""},
        {"%while(T)", ""},
        {"%set(i,0)%while(%lt(%i%,3),'%i%%set(i,%iadd(%i%,1)))", "012"},
        // The condition's own output is dropped.
        {"%set(i,0)%while(%if(%lt(%i%,2),go),'%set(i,%iadd(%i%,1))b)", "bb"},
        {"%do(a,%null%)", "a"},
        {"%do(a)", ""},
        {"%set(i,5)%do('%i%%set(i,%iadd(%i%,1)),%lt(%i%,3))", "5"},
        {"%set(i,0)%do('%i%%set(i,%iadd(%i%,1)),%lt(%i%,3))", "012"},
        // Nested loops, each with its own counter.
        {"%set(i,0)%while(%lt(%i%,2),'%set(j,0)%while(%lt(%j%,2),'%i%%j% %set(j,%iadd(%j%,1)))%set(i,%iadd(%i%,1)))",
         "00 01 10 11 "},
    });
}

TEST(ControlMacros, ReadOnlyScopeGetsNothing)
{
    CMacroContext scope;
    scope.SetReadOnly(true);
    RegisterControlMacros(scope);
    EXPECT_EQ(scope.FindMacro("if"), nullptr);
    EXPECT_EQ(scope.FindMacro("'while"), nullptr);
}

TEST(ControlMacros, LoopRunsExactlyTheLimitAndReportsOnePast)
{
    for (const char* type : {"while", "do"}) {
        for (long long extra : {0, 1}) {
            Pages pages;
            // do runs its body once before the first condition.
            long long trues = kMaxLoopIterations + extra - (type[0] == 'd' ? 1 : 0);
            pages.Add("countdown", std::make_unique<CCountdownMacro>(trues));
            CTickMacro* tick = pages.Add("tick", std::make_unique<CTickMacro>());
            std::string text = type[0] == 'w' ? "%while(%countdown%,'%tick%)" : "%do('%tick%,%countdown%)";
            std::string expected = extra ? LoopLimitText(type) : "";
            EXPECT_EQ(ExpandExact(pages.request, text), expected) << type << " extra " << extra;
            EXPECT_EQ(tick->ticks, kMaxLoopIterations) << type << " extra " << extra;
        }
    }
}

TEST(ControlMacros, RunawayLoopsEndAndTryCatchesTheLimit)
{
    Pages pages;
    // An output that grows geometrically, as a page's does.
    CTextBuffer buffer(4096, 1 << 20);
    pages.request.Expand(&buffer, std::string_view("%while(T,x)"));
    std::string out = buffer.ToString();
    ASSERT_EQ(out.size(), static_cast<std::size_t>(kMaxLoopIterations) + LoopLimitText("while").size());
    EXPECT_EQ(out.substr(static_cast<std::size_t>(kMaxLoopIterations)), LoopLimitText("while"));
    EXPECT_EQ(ExpandExact(pages.request, "%try('before%do(,T),'%exception-type%/%exception-number%/%exception-msg%)"),
              std::string("do/") + std::to_string(kLoopLimitErrorNumber) + "/" + kLoopLimitErrorMessage);
}

// A try inside a loop must not give every inner loop a fresh count, or
// nested runaway loops would run the limit squared.
TEST(ControlMacros, NestedLoopsShareOneCountThroughTry)
{
    Pages pages;
    CTickMacro* tick = pages.Add("tick", std::make_unique<CTickMacro>());
    std::string out = ExpandExact(pages.request, "%while(T,'%try('%while(T,'%tick%),'c))");
    EXPECT_EQ(out, "c" + LoopLimitText("while"));
    EXPECT_LE(tick->ticks, kMaxLoopIterations);
    // Loops one after another each get the whole count.
    pages.Add("first", std::make_unique<CCountdownMacro>(kMaxLoopIterations));
    pages.Add("second", std::make_unique<CCountdownMacro>(kMaxLoopIterations));
    EXPECT_EQ(ExpandExact(pages.request, "%while(%first%,%null%)%while(%second%,%null%)"), "");
}

// Fibers that interleave on one thread keep their own counts: a long loop in
// one fiber is not charged with the rounds of a loop parked in another, and
// loops that end in another order than they began leave nothing behind.
TEST(ControlMacros, FibersOnOneThreadKeepTheirOwnCounts)
{
    Pages pages;
    pages.Add("yield", std::make_unique<CYieldMacro>());
    pages.Add("twice", std::make_unique<CCountdownMacro>(2));
    pages.Add("once", std::make_unique<CCountdownMacro>(1));
    pages.Add("long", std::make_unique<CCountdownMacro>(kMaxLoopIterations));
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
    EXPECT_EQ(first.GetFailureText(), "");
    EXPECT_EQ(second.GetFailureText(), "");
    EXPECT_EQ(busy.GetFailureText(), "");
    EXPECT_EQ(firstOut, "pp");
    EXPECT_EQ(secondOut, "q");
    EXPECT_EQ(longOut, "");
    // The thread's own loops start afresh.
    pages.Add("again", std::make_unique<CCountdownMacro>(kMaxLoopIterations));
    EXPECT_EQ(ExpandExact(pages.request, "%while(%again%,%null%)"), "");
}

namespace {

void* RunRecursion(void* argument)
{
    auto* thrown = static_cast<int*>(argument);
    Pages pages;
    for (const char* text : {"%define(r,'%if(T,'%r%))%r%", "%define(w,'%while(T,'%w%))%w%",
                             "%define(s,'%switch(T,'%s%))%s%", "%define(a,'%and('%a%))%a%",
                             "%define(d,'%do('%d%,T))%d%"}) {
        CTextBuffer out;
        try {
            pages.request.Expand(&out, text, static_cast<int>(std::char_traits<char>::length(text)));
        } catch (const CMacroException& e) {
            if (e.type == kExpandErrorType)
                ++*thrown;
        }
    }
    return nullptr;
}

} // namespace

// Recursion through the control-flow macros must meet the expander's nesting
// limit before the smallest stack a page may run on is used up.
TEST(ControlMacros, RecursionThroughBranchesAndLoopsFitsTheMinimumStack)
{
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, kMinFiberStackSize), 0);
    int thrown = 0;
    pthread_t thread;
    int started = pthread_create(&thread, &attr, RunRecursion, &thrown);
    pthread_attr_destroy(&attr);
    ASSERT_EQ(started, 0);
    pthread_join(thread, nullptr);
    EXPECT_EQ(thrown, 5);
}
