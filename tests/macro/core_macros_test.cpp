#include "macro/core_macros.h"

#include "framework/text_buffer.h"
#include "macro/expander.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "small_stack.h"
#include "test_macros.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <climits>
#include <iterator>
#include <string>

using macro_test::ExpandExact;

namespace {

// A global scope with the core and try macros and a request scope below it
// with the request macros, as a served page sees them.
struct Chain {
    CMacroContext global;
    CMacroContext request{&global};
    Chain()
    {
        RegisterCoreMacros(global);
        RegisterTryMacros(global);
        global.Register("gval", std::make_unique<CValueMacro>("G"));
        RegisterGlobalMacros(request);
    }
};

struct Case {
    const char* name;
    const char* text;
    const char* expected;
};

void RunCases(std::initializer_list<Case> cases)
{
    for (const Case& c : cases) {
        Chain chain;
        EXPECT_EQ(ExpandExact(chain.request, c.text), c.expected) << c.name << ": " << c.text;
    }
}

} // namespace

TEST(CoreMacros, SetDefinedExpandInvoke)
{
    RunCases({
        {"set without value removes", "%set(x,1)%set(x)%defined(x)", ""},
        {"an empty last argument is not passed, so it removes", "%set(x,1)%set(x,)%defined(x)", ""},
        {"names fold to lower case", "%SET(X, a b )[%x%][%defined(X)]", "[a b][T]"},
        {"a colon starts one scope up", "%set(x,1)[%defined(:x)][%defined(:gval)][%defined()]", "[][T][]"},
        {"expand expands again", "%set(v,V)%set(r,'%v%)%expand(%r%)%expand(%%v%%)", "VV"},
        {"invoke calls by computed name", "%invoke(SET,y,5)%y%[%invoke(nosuch,1)%invoke()]", "5[]"},
        {"invoke passes the remaining arguments", "%define(f,'%num-args%:%arg(0)%arg(1))%invoke(f,p,q)", "2:pq"},
    });
}

TEST(CoreMacros, UserMacrosWithParameters)
{
    RunCases({
        {"raw body with a parameter", "%define(greet,'Hello %who%!,who)%greet(World)", "Hello World!"},
        {"missing parameters are empty", "%define(f,'[%a%|%b%|%num-args%|%arg(1)|%arg(0)],a,b)%f(one)", "[one||1||one]"},
        {"parameters are not expanded again, arg is", "%set(v,V)%define(f,'%p%|%arg(0),p)%f('%v%)", "%v%|V"},
        {"arg out of range", "%define(f,'[%arg(-1)%arg(2)%arg(x)])%f(a,b)", "[a]"},
        {"num-args counts what was passed", "%define(f,'%num-args%)%f%,%f(),%f(a,),%f(,a)", "0,0,1,2"},
        {"a parameter named arg replaces arg", "%define(f,'%arg%,arg)%f(x)", "x"},
        {"a body is expanded once at definition unless raw", "%set(v,1)%define(f,%v%)%define(g,'%v%)%set(v,2)%f%%g%", "12"},
        {"define without body removes", "%define(f,'F)%define(f)%defined(f)", ""},
        {"the body sees the caller's macros", "%define(f,'%w%)%define(g,'%set(w,inner)%f%)%g%", "inner"},
        {"a user macro can be a companion", "%define(''f,'')%define(f,'%p%,p)%f(%gval%)", "%gval%"},
    });
}

TEST(CoreMacros, LocalsStayLocalAndGlobalsOutliveTheCall)
{
    RunCases({
        {"set in a body is gone after the call", "%define(f,'%set(t,1)%t%)%f%[%defined(t)]", "1[]"},
        {"parameters are gone after the call", "%define(f,'%a%,a)%f(1)[%defined(a)%defined(num-args)%defined(arg)]", "1[]"},
        {"gset stays in the request", "%define(f,'%gset(t,1))%f%%t%", "1"},
        {"gdefine stays in the request", "%define(f,'%gdefine(g,'G%a%,a))%f%%g(!)", "G!"},
        {"let in a body changes the caller's name", "%set(x,1)%define(f,'%let(x,2))%f%%x%", "2"},
        {"let in a body creates a local otherwise", "%define(f,'%let(x,2)%x%)%f%[%defined(x)]", "2[]"},
        {"let with a colon changes the name one scope up", "%set(x,1)%define(f,'%set(x,L)%let(:x,2)%x%)%f%%x%", "L2"},
        {"let with a colon creates where the search starts", "%define(f,'%let(:n,3))%f%%n%", "3"},
    });
    // The colon does not end up in a stored key.
    Chain chain;
    ExpandExact(chain.request, "%set(x,1)%define(f,'%let(:x,2))%f%");
    EXPECT_EQ(chain.request.GetMacros().Lookup(":x"), nullptr);
    EXPECT_EQ(ExpandExact(chain.request, "%x%"), "2");
}

TEST(CoreMacros, SetGrowSetsTheOutputStep)
{
    Chain chain;
    struct {
        const char* text;
        int step;
        const char* output;
    } cases[] = {{"abc%setgrow(7)def", 7, "ababcdef"}, {"%setgrow(-3)", 0, "ab"}, {"%setgrow(999999999)", kMaxOutputGrowStep, "ab"},
                 {"%setgrow()", 100, "ab"}};
    for (const auto& c : cases) {
        CTextBuffer out(4, 100);
        out.Append("ab");
        chain.request.Expand(&out, std::string_view(c.text));
        EXPECT_EQ(out.GetGrowStep(), c.step) << c.text;
        EXPECT_EQ(out.ToString(), c.output) << c.text;
    }
}

TEST(CoreMacros, ReadOnlyScopesRefuseQuietlyOutsideTry)
{
    Chain chain;
    chain.global.SetReadOnly(true);
    // let of a name the read-only global holds: refused, no text, value kept.
    EXPECT_EQ(ExpandExact(chain.request, "%let(gval,2)%gval%"), "G");
    EXPECT_EQ(ExpandExact(chain.request, "%try('%let(gval,2),'%exception-type%/%exception-number%/%exception-msg%)"),
              "let/5/Macro cannot be created or modified in read-only context.");

    chain.request.SetReadOnly(true);
    EXPECT_EQ(ExpandExact(chain.request, "%set(x,1)%define(f,'F)%gset(y,1)[%defined(x)%defined(f)%defined(y)]"), "[]");
    EXPECT_EQ(chain.request.GetMacros().GetCount(), 3) << "only the request macros themselves";
    // Inside a try the body runs in a writable nested scope, so only the
    // request-bound macros meet the read-only scope.
    EXPECT_EQ(ExpandExact(chain.request, "%try('%gset(x,1),'%exception-type%:%exception-msg%)"),
              "set (core):Macro cannot be created in read-only context.");
    EXPECT_EQ(ExpandExact(chain.request, "%try('%gdefine(x,'X),'%exception-type%:%exception-msg%)"),
              "define (core):Macro cannot be defined in read-only context.");
    EXPECT_EQ(ExpandExact(chain.request, "%try('%set(x,1)%x%,'caught)"), "1");
}

TEST(CoreMacros, RegistrarsAddNothingToAReadOnlyScope)
{
    CMacroContext scope;
    scope.SetReadOnly(true);
    RegisterCoreMacros(scope);
    RegisterGlobalMacros(scope);
    RegisterTryMacros(scope);
    EXPECT_EQ(scope.GetMacros().GetCount(), 0);
}

TEST(CoreMacros, ReadMacroNumberReadsAsAtoi)
{
    struct {
        const char* text;
        int value;
    } cases[] = {{" \t\n-5", -5}, {"+7", 7}, {"12abc", 12}, {"abc", 0}, {"- 3", 0}, {"2147483648", INT_MAX},
                 {"-2147483648", INT_MIN}, {"-99999999999999999999", INT_MIN}, {"99999999999999999999", INT_MAX}};
    for (const auto& c : cases)
        EXPECT_EQ(ReadMacroNumber(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(ReadMacroNumber(nullptr), 0);
}

// Runaway recursion through every macro that expands text ends in the
// nesting error, and the real frames stay within the stack a level is
// allowed, or runaway pages would overflow a fiber.
TEST(CoreMacros, RunawayRecursionFitsTheMinimumFiberStack)
{
    static const char* const kTexts[] = {"%define(r,'%r%)%r%", "%define(r,'%try('%r%,'%r%))%r%",
                                         "%define(r,'%expand('%r%))%r%", "%define(r,'%invoke(r,x))%r%",
                                         "%define(r,'%r(%arg(0)))%r(x)", "%define(r,'%try('x%r%,'h))%r%",
                                         "%set(e,'%expand(%e%))%expand(%e%)"};
    struct Result {
        int limited = 0;
    } result;
    RunWithStack(kMinFiberStackSize, [](void* p) {
        for (const char* text : kTexts) {
            Chain chain;
            CTextBuffer out;
            try {
                chain.request.Expand(&out, std::string_view(text));
            } catch (const CMacroException& e) {
                if (e.type == kExpandErrorType && GetExpandDepth() == 0)
                    ++static_cast<Result*>(p)->limited;
            }
        }
    }, &result);
    EXPECT_EQ(result.limited, static_cast<int>(std::size(kTexts)));
}
