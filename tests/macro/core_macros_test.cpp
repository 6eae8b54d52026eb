#include "macro/core_macros.h"

#include "framework/text_buffer.h"
#include "macro/expander.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "test_macros.h"

#include <gtest/gtest.h>

#include <climits>
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

TEST(CoreMacros, SetLetDefinedExpandInvoke)
{
    RunCases({
        {"set then read", "%set(x,1)%x%", "1"},
        {"set without value removes", "%set(x,1)%set(x)%defined(x)", ""},
        {"empty last argument is not passed, so it removes", "%set(x,1)%set(x,)%defined(x)", ""},
        {"names fold to lower case", "%SET(X, a b )[%x%]", "[a b]"},
        {"a raw value is stored unexpanded", "%set(z,'%x%)%z%", "%x%"},
        {"set without arguments does nothing", "%set()%set%ok", "ok"},
        {"defined finds set names", "%set(x,1)%defined(X)", "T"},
        {"defined sees the outer scopes", "%defined(gval)", "T"},
        {"defined of an unknown name", "[%defined(nosuch)%defined()]", "[]"},
        {"a colon starts one scope up", "%set(x,1)[%defined(:x)][%defined(:gval)]", "[][T]"},
        {"expand expands again", "%set(v,V)%set(r,'%v%)%expand(%r%)", "V"},
        {"expand of an escaped reference", "%set(v,V)%expand(%%v%%)", "V"},
        {"expand joins its arguments in order", "%expand(a,'%%,b)", "a%b"},
        {"invoke calls by computed name", "%invoke(SET,y,5)%y%", "5"},
        {"invoke passes the remaining arguments", "%define(f,'%num-args%:%arg(0)%arg(1))%invoke(f,p,q)", "2:pq"},
        {"invoke of an unknown name", "[%invoke(nosuch,1)%invoke()]", "[]"},
        {"let creates a name in the caller's scope", "%let(n,3)%n%", "3"},
        {"let without value removes", "%let(n,3)%let(n)%defined(n)", ""},
    });
}

TEST(CoreMacros, UserMacrosWithParameters)
{
    RunCases({
        {"raw body with a parameter", "%define(greet,'Hello %who%!,who)%greet(World)", "Hello World!"},
        {"macro is define", "%macro(greet,'Hi %who%,who)%greet(you)", "Hi you"},
        {"missing parameters are empty", "%define(f,'[%a%|%b%|%num-args%|%arg(1)|%arg(0)],a,b)%f(one)", "[one||1||one]"},
        {"parameters are not expanded again, arg is", "%set(v,V)%define(f,'%p%|%arg(0),p)%f('%v%)", "%v%|V"},
        {"arg out of range", "%define(f,'[%arg(-1)%arg(2)%arg(x)])%f(a,b)", "[a]"},
        {"num-args counts what was passed", "%define(f,'%num-args%)%f%,%f(),%f(a,),%f(,a)", "0,0,1,2"},
        {"a parameter named arg replaces arg", "%define(f,'%arg%,arg)%f(x)", "x"},
        {"parameter names fold to lower case", "%define(f,'%who%,WHO)%f(me)", "me"},
        {"extra arguments reach arg only", "%define(f,'%a%%arg(2),a)%f(1,2,3)", "13"},
        {"an unraw body is expanded once at definition", "%set(v,1)%define(f,%v%)%set(v,2)%f%", "1"},
        {"a raw body sees later values", "%set(v,1)%define(f,'%v%)%set(v,2)%f%", "2"},
        {"define without body removes", "%define(f,'F)%define(f)%defined(f)", ""},
        {"the body sees the caller's macros", "%define(f,'%w%)%define(g,'%set(w,inner)%f%)%g%", "inner"},
        {"a user macro can be a companion", "%define(''f,'')%define(f,'%p%,p)%f(%gval%)", "%gval%"},
        {"user macros call user macros", "%define(twice,'%arg(0)%arg(0))%define(wrap,'[%twice(%x%)],x)%wrap(ab)", "[abab]"},
    });
}

TEST(CoreMacros, LocalsStayLocalAndGlobalsOutliveTheCall)
{
    RunCases({
        {"set in a body is gone after the call", "%define(f,'%set(t,1)%t%)%f%[%defined(t)]", "1[]"},
        {"define in a body is gone after the call", "%define(f,'%define(h,'H)%h%)%f%[%defined(h)]", "H[]"},
        {"parameters are gone after the call", "%define(f,'%a%,a)%f(1)[%defined(a)%defined(num-args)%defined(arg)]", "1[]"},
        {"gset stays in the request", "%define(f,'%gset(t,1))%f%%t%", "1"},
        {"gdefine stays in the request", "%define(f,'%gdefine(g,'G%a%,a))%f%%g(!)", "G!"},
        {"gmacro stays in the request", "%define(f,'%gmacro(g,'M))%f%%g%", "M"},
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
    } cases[] = {{"abc%setgrow(7)def", 7, "ababcdef"},
                 {"%setgrow(-3)", 0, "ab"},
                 {"%setgrow(x)", 0, "ab"},
                 {"%setgrow(999999999)", kMaxOutputGrowStep, "ab"},
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

    // Set on a read-only caller's scope itself.
    CTextBuffer out;
    chain.global.Expand(&out, std::string_view("%set(q,1)%define(q,'Q)%defined(q)"));
    EXPECT_EQ(out.ToString(), "");
}

TEST(CoreMacros, RegistrarsAddNothingToAReadOnlyScope)
{
    CMacroContext scope;
    scope.SetReadOnly(true);
    RegisterCoreMacros(scope);
    RegisterGlobalMacros(scope);
    RegisterTryMacros(scope);
    EXPECT_EQ(scope.GetMacros().GetCount(), 0);
    scope.SetReadOnly(false);
    RegisterCoreMacros(scope);
    RegisterCoreMacros(scope); // a second registration replaces
    EXPECT_EQ(scope.GetMacros().GetCount(), 8);
    for (const char* name : {"set", "let", "macro", "define", "expand", "defined", "setgrow", "invoke"})
        EXPECT_NE(scope.GetMacros().Lookup(name), nullptr) << name;
}

TEST(CoreMacros, RecursionStillHitsTheNestingLimit)
{
    for (const char* text : {"%define(r,'%r%)%r%", "%define(r,'%invoke(r))%r%", "%set(e,'%expand(%e%))%expand(%e%)", "%define(r,'%try('%r%))%r%"}) {
        Chain chain;
        CTextBuffer out;
        try {
            chain.request.Expand(&out, std::string_view(text));
            ADD_FAILURE() << "no nesting error for " << text;
        } catch (const CMacroException& e) {
            EXPECT_EQ(e.type, kExpandErrorType) << text;
        }
        EXPECT_EQ(GetExpandDepth(), 0) << text;
    }
}

TEST(CoreMacros, ReadMacroNumberReadsAsAtoi)
{
    struct {
        const char* text;
        int value;
    } cases[] = {{"42", 42},   {" \t\n-5", -5},   {"+7", 7},    {"12abc", 12},         {"abc", 0},
                 {"", 0},      {"- 3", 0},        {"0x10", 0},  {"2147483647", INT_MAX}, {"2147483648", INT_MAX},
                 {"-2147483648", INT_MIN}, {"-99999999999999999999", INT_MIN}, {"99999999999999999999", INT_MAX}};
    for (const auto& c : cases)
        EXPECT_EQ(ReadMacroNumber(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(ReadMacroNumber(nullptr), 0);
}
