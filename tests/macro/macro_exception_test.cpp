#include "macro/macro_exception.h"

#include "framework/text_buffer.h"
#include "macro/core_macros.h"
#include "macro/expander.h"
#include "macro/macro_context.h"
#include "test_macros.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using macro_test::ExpandExact;

namespace {

// Reports through MacroError as a failing family macro would: err(emit).
class CFailingMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        out->Append("partial");
        MacroError(out, scope, "idiv", 0, "Division by zero", argc > 0 ? ReadMacroNumber(argv[0]) : 0);
    }
};

template <typename Exception> class CThrowingMacro : public CMacro {
public:
    explicit CThrowingMacro(Exception e) : m_exception(std::move(e)) {}
    void Evaluate(CMacroContext*, CTextBuffer*, const char**, int) override { throw m_exception; }

private:
    Exception m_exception;
};

void RegisterAll(CMacroContext& scope)
{
    RegisterCoreMacros(scope);
    RegisterTryMacros(scope);
    scope.Register("err", std::make_unique<CFailingMacro>());
    scope.Register("httpfail", std::make_unique<CThrowingMacro<CHTTPException>>(CHTTPException(404, "gone")));
    scope.Register("redirect", std::make_unique<CThrowingMacro<CRedirectionException>>(CRedirectionException("/there")));
    scope.Register("boom", std::make_unique<CThrowingMacro<std::runtime_error>>(std::runtime_error("boom")));
}

constexpr const char* kShow = "'%exception-type%/%exception-number%/%exception-msg%";

std::string WithHandler(const std::string& body)
{
    return "%try('" + body + "," + kShow + ")";
}

} // namespace

TEST(MacroError, OutsideTryEmitsTheBracketedTextOrNothing)
{
    CMacroContext outer;
    CMacroContext inner(&outer);
    CTextBuffer out;
    MacroError(&out, &inner, "idiv", 0, "Division by zero", 0);
    EXPECT_EQ(out.ToString(), "");
    MacroError(&out, &inner, "EXEC", 4294967295u, "Error in exec() expansion", 1);
    EXPECT_EQ(out.ToString(), "[EXEC error 4294967295: Error in exec() expansion]");
    // A long message is neither cut nor overruns anything.
    out.Empty();
    std::string longMessage(5000, 'm');
    MacroError(&out, &inner, "ODBC", 7, longMessage.c_str(), 1);
    EXPECT_EQ(out.GetLength(), static_cast<int>(longMessage.size() + std::string("[ODBC error 7: ]").size()));
}

TEST(TryMacro, CatchesAndShowsTheException)
{
    struct Case {
        const char* name;
        std::string text;
        const char* expected;
    };
    const Case cases[] = {
        {"type, number and message", WithHandler("%throw(mine,42,oops)"), "mine/42/oops"},
        {"only the body's own output is dropped", "pre%try(abc%throw(x)def)post", "prepost"},
        {"no number and no message", WithHandler("%throw(t)"), "t/0/"},
        {"negative numbers show signed", WithHandler("%throw(t,-7,m)"), "t/-7/m"},
        {"both arguments are raw without quotes", "%try(%throw(x),caught)", "caught"},
        {"no body does nothing", "[%try()%throw()]", "[]"},
        {"errors of family macros are thrown inside try", WithHandler("before%err(1)after"),
         "idiv/0/Division by zero"},
        {"outside try an emitting error leaves its text", "%err(1)|%err(0)", "partial[idiv error 0: Division by zero]|partial"},
        {"an error deep in a user macro", "%define(f,'%g%)%define(g,'x%err%)" + WithHandler("%f%"),
         "idiv/0/Division by zero"},
        {"the handler's macros are gone afterwards",
         "%try('%throw(x),'h)[%defined(exception-type)%defined(exception-msg)%defined(in-try)]", "h[]"},
        {"nested: the inner try catches first", "%try('%try('%throw(a),'in:%exception-type%),'out)", "in:a"},
        {"nested: an error in the inner handler reaches the outer try",
         WithHandler("%try('%throw(a,1,inner),'%throw(b,2,from-handler))"), "b/2/from-handler"},
        {"other exceptions are unknown ones", WithHandler("x%boom%"), "Unknown/-1/An unknown exception has occurred."},
    };
    for (const Case& c : cases) {
        CMacroContext scope;
        RegisterAll(scope);
        EXPECT_EQ(ExpandExact(scope, c.text), c.expected) << c.name << ": " << c.text;
    }
}

TEST(TryMacro, UncaughtErrorsReachTheCaller)
{
    CMacroContext scope;
    RegisterAll(scope);
    struct {
        const char* text;
        const char* type;
        const char* output;
    } cases[] = {
        {"a%throw(plain,9,m)b", "plain", "a"},
        {"%try('%throw(a),'h%throw(again))", "again", "h"},
    };
    for (const auto& c : cases) {
        CTextBuffer out;
        try {
            scope.Expand(&out, std::string_view(c.text));
            ADD_FAILURE() << "nothing thrown by " << c.text;
        } catch (const CMacroException& e) {
            EXPECT_EQ(e.type, c.type) << c.text;
            EXPECT_EQ(out.ToString(), c.output) << c.text;
        }
    }
}

TEST(TryMacro, RequestEndingExceptionsPassWithThePartialOutput)
{
    CMacroContext scope;
    RegisterAll(scope);
    CTextBuffer out;
    try {
        scope.Expand(&out, std::string_view("pre%try('kept%httpfail%,'handled)"));
        ADD_FAILURE() << "the HTTP exception was swallowed";
    } catch (const CHTTPException& e) {
        EXPECT_EQ(e.status, 404);
        EXPECT_EQ(e.body, "gone");
    }
    EXPECT_EQ(out.ToString(), "prekept");

    out.Empty();
    try {
        scope.Expand(&out, std::string_view("%try('%try('a%redirect%,'inner),'outer)"));
        ADD_FAILURE() << "the redirection was swallowed";
    } catch (const CRedirectionException& e) {
        EXPECT_EQ(e.url, "/there");
    }
    EXPECT_EQ(out.ToString(), "a");
    EXPECT_EQ(GetExpandDepth(), 0);
}

// A handler that recurses again would rerun the recursion once per level on
// the way out; the nesting limit must end the whole expansion instead.
TEST(TryMacro, NestingLimitEndsTheExpansionThroughTry)
{
    for (const char* text : {"%define(r,'%try('%r%,'%r%))%r%", "%define(r,'%try('%r%,'caught))%r%",
                             "%set(self,'%expand(%self%))%try('%expand(%self%),'caught)"}) {
        CMacroContext scope;
        RegisterAll(scope);
        CTextBuffer out;
        // Start near the limit so that a try that swallowed the error would
        // finish anyway (2^levels handler runs) and fail the test, not hang it.
        int saved = ExchangeExpandDepth(kMaxExpandDepth - 30);
        bool limited = false;
        try {
            scope.Expand(&out, std::string_view(text));
        } catch (const CMacroException& e) {
            limited = e.type == kExpandErrorType;
        }
        EXPECT_EQ(ExchangeExpandDepth(saved), kMaxExpandDepth - 30) << "the count must unwind";
        EXPECT_TRUE(limited) << text;
    }
}
