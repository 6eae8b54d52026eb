#include "macro/expander.h"

#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "small_stack.h"
#include "test_macros.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using macro_test::ExpandExact;
using macro_test::RegisterTestMacros;

namespace {

struct ExpandCase {
    const char* what;
    std::string text;
    std::string expected;
};

std::ostream& operator<<(std::ostream& os, const ExpandCase& c)
{
    return os << c.what;
}

class ExpandTable : public ::testing::TestWithParam<ExpandCase> {};

TEST_P(ExpandTable, GivesTheDesignedOutput)
{
    CMacroContext scope;
    RegisterTestMacros(scope);
    scope.Register("name", std::make_unique<CValueMacro>("World"));
    scope.Register("x", std::make_unique<CValueMacro>("X"));
    EXPECT_EQ(ExpandExact(scope, GetParam().text), GetParam().expected) << GetParam().text;
}

std::string Repeat(const std::string& piece, int count)
{
    std::string result;
    for (int i = 0; i < count; ++i)
        result += piece;
    return result;
}

std::string ShowOutput(int count, const std::string& each)
{
    return std::to_string(count) + ":" + Repeat("[" + each + "]", count);
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, ExpandTable,
    ::testing::Values(
        ExpandCase{"value reference", "Hello %name%!", "Hello World!"},
        ExpandCase{"names fold to lower case", "%NAME%/%NaMe%", "World/World"},
        ExpandCase{"double percent", "100%% sure", "100% sure"},
        ExpandCase{"lone percent before text", "50% off", "50% off"},
        ExpandCase{"lone percent at the end", "all 100%", "all 100%"},
        ExpandCase{"unfinished name at the end", "see %name", "see %name"},
        ExpandCase{"unknown references copied", "%nosuch% and %nosuch(1,2)", "%nosuch% and %nosuch(1,2)"},
        ExpandCase{"closing percent of an unknown opens the next", "%unknown%x%", "%unknownX"},
        ExpandCase{"unknown then double percent", "%nosuch%%", "%nosuch%"},
        ExpandCase{"unknown with arguments resumes at its paren", "%nosuch(a)%x%", "%nosuch(a)X"},
        ExpandCase{"percent after the closing paren starts a reference", "%show(a)%x%", "1:[a]X"},
        ExpandCase{"percent after the closing paren at the end", "%show(a)%", "1:[a]%"},
        ExpandCase{"text with NUL bytes", std::string("a\0b%x%\0", 7), std::string("a\0bX\0", 5)},
        ExpandCase{"blanks in a name", "%a b%", "%a b%"},
        ExpandCase{"empty name with arguments", "%(x)", "%(x)"},
        ExpandCase{"lone percent and paren", "%(", "%("},
        ExpandCase{"unfinished list calls with what it has", "%show(a,b", "2:[a][b]"},
        ExpandCase{"unfinished list after an open paren", "%show(", "0:"},
        ExpandCase{"upper-case name with arguments", "%SHOW(a)", "1:[a]"}));

INSTANTIATE_TEST_SUITE_P(
    Set, ExpandTable,
    ::testing::Values(
        ExpandCase{"leading blank skipped, inner kept, trailing dropped", "%set(x, a b )[%x%]", "[a b]"},
        ExpandCase{"quoted argument keeps its comma", "%set(y,\"a, b\")%y%", "a, b"},
        ExpandCase{"raw argument stored unexpanded", "%set(z,'%x%)%z%", "%x%"},
        ExpandCase{"escaped comma", "%set(w,a\\,b)%w%", "a,b"},
        ExpandCase{"set without a value removes", "%set(x)[%x%]", "[%x%]"},
        ExpandCase{"empty last argument is not passed", "%set(x,)[%x%]", "[%x%]"},
        ExpandCase{"arguments run left to right and see earlier effects", "%show(%set(q,1)%q%,%q%)", "2:[1][1]"},
        ExpandCase{"arguments of an unknown reference still run", "%nosuch(%set(e,1))%e%", "%nosuch(%set(e,1))1"},
        ExpandCase{"a string macro sees the caller's macros", "%sdef(greet,'Hi %name%)%set(name,You)%greet%", "Hi You"}));

INSTANTIATE_TEST_SUITE_P(
    Arguments, ExpandTable,
    ::testing::Values(
        ExpandCase{"trailing empty argument dropped", "%show(a,)", "1:[a]"},
        ExpandCase{"one argument", "%show(a)", "1:[a]"},
        ExpandCase{"leading empty argument kept", "%show(,a)", "2:[][a]"},
        ExpandCase{"inner empty argument kept", "%show(a,,b)", "3:[a][][b]"},
        ExpandCase{"one comma passes one empty argument", "%show(,)", "1:[]"},
        ExpandCase{"empty list", "%show()", "0:"},
        ExpandCase{"no list", "%show%", "0:"},
        ExpandCase{"blank list", "%show( )", "0:"},
        ExpandCase{"blank after the last comma", "%show(a, )", "1:[a]"},
        ExpandCase{"empty quotes pass nothing", "%show(\"\")", "0:"},
        ExpandCase{"empty expansion still passed", "%show(%null%)", "1:[]"},
        ExpandCase{"blank then raw", "%show( '%x%)", "1:[%x%]"},
        ExpandCase{"blank then quoted", "%show( \"x y\")", "1:[x y]"},
        ExpandCase{"raw keeps double percent", "%show('a%%b)", "1:[a%%b]"},
        ExpandCase{"expanded replaces double percent", "%show(a%%b)", "1:[a%b]"},
        ExpandCase{"raw and quoted", "%show('\"%x%, y\")", "1:[%x%, y]"},
        ExpandCase{"blanks before a comma dropped", "%show(a  , b)", "2:[a][b]"},
        ExpandCase{"inner blank run kept whole", "%show(a \t b)", "1:[a \t b]"},
        ExpandCase{"every blank kind trimmed", "%show(\t\r\n a\tb\r\n )", "1:[a\tb]"},
        ExpandCase{"trailing blanks at the end of the text", "%show(a  ", "1:[a]"},
        ExpandCase{"nested parentheses kept", "%show(f(a,b),c)", "2:[f(a,b)][c]"},
        ExpandCase{"blanks kept inside parentheses", "%show(f( a ) , c)", "2:[f( a )][c]"},
        ExpandCase{"text after a closing quote belongs to the argument", "%show(\"a\"b)", "1:[ab]"},
        ExpandCase{"quote inside an unquoted argument", "%show(a\"b)", "1:[a\"b]"},
        ExpandCase{"quote after the closing quote is ordinary", "%show(\"a\"\"b\")", "1:[a\"b\"]"},
        ExpandCase{"quotes close only at depth 0", "%show(\"(a\"),b)", "1:[(a\"),b)]"},
        ExpandCase{"paren inside quotes runs the argument on", "%show(\"a)b\", c)", "1:[a)b\", c)]"},
        ExpandCase{"quoted blanks kept", "%show(\" a \")", "1:[ a ]"},
        ExpandCase{"escaped paren", "%show(a\\)b)", "1:[a)b]"},
        ExpandCase{"escaped backslash", "%show(a\\\\b)", "1:[a\\b]"},
        ExpandCase{"escaped blank after the skipped ones", "%show( \\ a)", "1:[ a]"},
        ExpandCase{"escaped quote inside quotes", "%show(\"a\\\"b\")", "1:[a\"b]"},
        ExpandCase{"escape kept below depth 0 of the outer list", "%show(f(a\\,b))", "1:[f(a\\,b)]"},
        ExpandCase{"backslash as the last byte dropped", "%show(a\\", "1:[a]"},
        ExpandCase{"raw mark at the end adds nothing", "%show(a,'", "1:[a]"},
        ExpandCase{"quote mark at the end adds nothing", "%show(a,\"", "1:[a]"},
        ExpandCase{"escape applied when the inner reference expands", "%show(%show(a\\,b))", "1:[1:[a,b]]"},
        ExpandCase{"64 empty arguments at most", "%show(" + Repeat(",", 70) + ")", ShowOutput(64, "")},
        ExpandCase{"the bound counts every argument", "%show(" + Repeat("a,", 64) + ",b)", "65:" + Repeat("[a]", 64) + "[b]"},
        ExpandCase{"non-empty arguments past 64", "%show(" + Repeat("a,", 99) + "a)", ShowOutput(100, "a")},
        ExpandCase{"after 64 empties a non-empty one still counts", "%show(" + Repeat(",", 64) + "b)", "65:" + Repeat("[]", 64) + "[b]"}));

// Companion quote strings: "'" + name gives one character per argument.
TEST(ExpandQuotes, CompanionChoosesRawArguments)
{
    struct Case {
        const char* companion;
        const char* text;
        const char* expected;
    } cases[] = {
        {"''", "%show(%x%,%x%,%x%)", "3:[%x%][%x%][%x%]"},             // like try
        {" ' ", "%show(%x%,%x%,%x%,%x%)", "4:[X][%x%][X][X]"},          // like dir
        {"' ", "%show(%x%,%x%)", "2:[%x%][X]"},
        {"'", "%show(%x%,%x%)", "2:[%x%][%x%]"},                        // the last repeats
        {"", "%show(%x%,%x%)", "2:[X][X]"},                              // empty output: all expanded
        {" '", "%show('%x%,%x%)", "2:[%x%][%x%]"},                       // the mark still works
        {"xyz'", "%show(%x%,%x%,%x%,%x%,%x%)", "5:[X][X][X][%x%][%x%]"}, // any other character expands
    };
    for (const Case& c : cases) {
        CMacroContext scope;
        RegisterTestMacros(scope);
        scope.Register("x", std::make_unique<CValueMacro>("X"));
        scope.Register("'show", std::make_unique<CValueMacro>(c.companion));
        EXPECT_EQ(ExpandExact(scope, c.text), c.expected) << "companion \"" << c.companion << "\"";
    }
}

TEST(ExpandQuotes, ArgumentNotAddedConsumesNoQuoteCharacter)
{
    CMacroContext scope;
    RegisterTestMacros(scope);
    scope.Register("x", std::make_unique<CValueMacro>("X"));
    // 64 expanded empties, then a 65th empty that is not added, then the "'".
    scope.Register("'show", std::make_unique<CValueMacro>(Repeat(" ", 64) + "' "));
    std::string out = ExpandExact(scope, "%show(" + Repeat(",", 65) + "%x%)");
    EXPECT_EQ(out, "65:" + Repeat("[]", 64) + "[%x%]");
}

// A companion is found in enclosing scopes, named with the colons as written,
// and called with no argument array at all.
class CCompanionProbe : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        ++calls;
        sawNullArgv = argv == nullptr && argc == 0;
        out->Append("'");
    }
    int calls = 0;
    bool sawNullArgv = false;
};

TEST(ExpandQuotes, CompanionLookup)
{
    CMacroContext global;
    auto probe = std::make_unique<CCompanionProbe>();
    CCompanionProbe* probeSeen = probe.get();
    global.Register("':show", std::move(probe));
    CMacroContext server(&global);
    RegisterTestMacros(server);
    CMacroContext request(&server);
    request.Register("x", std::make_unique<CValueMacro>("X"));

    // ":show" starts one scope up and finds show in the server scope; its
    // companion "':show" is found two scopes up, with no colon rule.
    EXPECT_EQ(ExpandExact(request, "%:show(%x%)"), "1:[%x%]");
    EXPECT_EQ(probeSeen->calls, 1);
    EXPECT_TRUE(probeSeen->sawNullArgv);
    // Without the colon there is no companion: arguments expand.
    EXPECT_EQ(ExpandExact(request, "%show(%x%)"), "1:[X]");
    EXPECT_EQ(probeSeen->calls, 1);
    // A reference with no argument list never asks for a companion.
    EXPECT_EQ(ExpandExact(request, "%:show%"), "0:");
    EXPECT_EQ(probeSeen->calls, 1);
}

TEST(Expand, NeverReadsPastLength)
{
    CMacroContext scope;
    RegisterTestMacros(scope);
    scope.Register("x", std::make_unique<CValueMacro>("X"));
    const std::string text = "%x%%show(a,b)%x%";
    // Every prefix is a text of its own; the exact-size copy lets the
    // sanitizer see a read past it.
    std::vector<std::string> outputs;
    for (std::size_t n = 0; n <= text.size(); ++n)
        outputs.push_back(ExpandExact(scope, text.substr(0, n)));
    EXPECT_EQ(outputs[2], "%x");
    EXPECT_EQ(outputs[3], "X");
    EXPECT_EQ(outputs[4], "X%");
    EXPECT_EQ(outputs[9], "X0:");  // "%show(" calls with nothing
    EXPECT_EQ(outputs[10], "X1:[a]");
    EXPECT_EQ(outputs[13], "X2:[a][b]");
    EXPECT_EQ(outputs.back(), "X2:[a][b]X");
}

TEST(Expand, AppendsWithoutClearingAndIgnoresEmptyInput)
{
    CMacroContext scope;
    scope.Register("x", std::make_unique<CValueMacro>("X"));
    CTextBuffer out;
    out.Append("keep:");
    scope.Expand(&out, "%x%", 3);
    scope.Expand(&out, "%x%", 0);
    scope.Expand(&out, "%x%", -4);
    scope.Expand(&out, nullptr, 3);
    EXPECT_EQ(out.ToString(), "keep:X");
}

TEST(Expand, LongNamesAndArgumentsSpillSafely)
{
    CMacroContext scope;
    RegisterTestMacros(scope);
    std::string longName(5000, 'n');
    scope.Register(longName, std::make_unique<CValueMacro>("long"));
    std::string upper(5000, 'N');
    EXPECT_EQ(ExpandExact(scope, "[%" + upper + "%]"), "[long]");

    std::string big(100000, 'b');
    std::string args;
    for (int i = 0; i < 300; ++i)
        args += (i ? "," : "") + std::to_string(i);
    std::string out = ExpandExact(scope, "%show(" + big + "," + args + ")");
    std::string expected = "301:[" + big + "]";
    for (int i = 0; i < 300; ++i)
        expected += "[" + std::to_string(i) + "]";
    EXPECT_EQ(out, expected);
}

// A macro's exception passes through Expand with the output so far kept.
class CThrowMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer*, const char**, int) override { throw CMacroException("mine", 42, "oops"); }
};

TEST(Expand, MacroExceptionsPassThroughKeepingPartialOutput)
{
    CMacroContext scope;
    scope.Register("boom", std::make_unique<CThrowMacro>());
    scope.Register("x", std::make_unique<CValueMacro>("X"));
    CTextBuffer out;
    try {
        scope.Expand(&out, std::string_view("a%x%b%boom%c"));
        FAIL() << "no exception";
    } catch (const CMacroException& e) {
        EXPECT_EQ(e.type, "mine");
        EXPECT_EQ(e.number, 42u);
        EXPECT_EQ(e.message, "oops");
    }
    EXPECT_EQ(out.ToString(), "aXb");
    EXPECT_EQ(GetExpandDepth(), 0);
}

} // namespace

// ---- Nesting limit -------------------------------------------------------

namespace {

// nest(n): expands "%nest(n-1)" until n reaches 0, one Expand level per step.
class CNestMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        int n = argc > 0 ? std::atoi(argv[0]) : 0;
        if (n <= 0)
            return;
        std::string text = "%nest(" + std::to_string(n - 1) + ")";
        scope->Expand(out, text);
    }
};

// Behaves like a user macro: its body expands in a nested scope of its own.
class CScopedBodyMacro : public CMacro {
public:
    explicit CScopedBodyMacro(std::string body) : m_body(std::move(body)) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char**, int argc) override
    {
        CMacroContext nested(scope);
        nested.Register("num-args", std::make_unique<CIntRefMacro>(&argc));
        nested.Expand(out, m_body);
    }

private:
    std::string m_body;
};

// Expands a fixed text each time it is called with arguments, as the
// control-flow macros expand their bodies.
class CArgumentBodyMacro : public CMacro {
public:
    explicit CArgumentBodyMacro(std::string body) : m_body(std::move(body)) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char**, int argc) override
    {
        if (argc > 0)
            scope->Expand(out, m_body);
    }

private:
    std::string m_body;
};

// Records the frame address each time it runs.
class CStackProbe : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer*, const char**, int) override
    {
        frames.push_back(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
    }
    std::vector<std::uintptr_t> frames;
};

std::string Nested(const std::string& open, const std::string& inner, const std::string& close, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += open;
    text += inner;
    for (int i = 0; i < count; ++i)
        text += close;
    return text;
}

bool ThrowsNestingError(CMacroContext& scope, const std::string& text)
{
    CTextBuffer out;
    try {
        scope.Expand(&out, text);
    } catch (const CMacroException& e) {
        EXPECT_EQ(e.type, kExpandErrorType);
        EXPECT_EQ(e.number, kExpandErrorNumber);
        EXPECT_EQ(e.message, kExpandErrorMessage);
        EXPECT_EQ(GetExpandDepth(), 0) << "the count must unwind with the exception";
        return true;
    }
    EXPECT_EQ(GetExpandDepth(), 0);
    return false;
}

void RegisterRecursive(CMacroContext& scope)
{
    RegisterTestMacros(scope);
    scope.Register("self", std::make_unique<CStringMacro>("x%self%"));
    scope.Register("nest", std::make_unique<CNestMacro>());
    scope.Register("rec", std::make_unique<CScopedBodyMacro>("%rec%"));
}

} // namespace

TEST(ExpandDepth, RunawayRecursionRaisesInsteadOfOverflowing)
{
    CMacroContext scope;
    RegisterRecursive(scope);
    EXPECT_TRUE(ThrowsNestingError(scope, "%self%"));
    EXPECT_TRUE(ThrowsNestingError(scope, "%sdef(a,'%a%)%a%"));
    EXPECT_TRUE(ThrowsNestingError(scope, "%rec%"));
    // Mutual recursion through two string macros.
    scope.Register("ping", std::make_unique<CStringMacro>("%pong%"));
    scope.Register("pong", std::make_unique<CStringMacro>("%ping%"));
    EXPECT_TRUE(ThrowsNestingError(scope, "%ping%"));
    // The scope stays usable afterwards.
    scope.Register("x", std::make_unique<CValueMacro>("X"));
    EXPECT_EQ(ExpandExact(scope, "%x%"), "X");
}

TEST(ExpandDepth, LimitCountsEveryLevelAtTheLimitAndOnePast)
{
    CMacroContext scope;
    RegisterRecursive(scope);
    // The outer text is level 1, each nest step one more.
    EXPECT_FALSE(ThrowsNestingError(scope, "%nest(" + std::to_string(kMaxExpandDepth - 1) + ")"));
    EXPECT_TRUE(ThrowsNestingError(scope, "%nest(" + std::to_string(kMaxExpandDepth) + ")"));
    // Arguments: each expanded argument is a level; the innermost "x" needs none.
    EXPECT_FALSE(ThrowsNestingError(scope, Nested("%show(", "x", ")", kMaxExpandDepth)));
    EXPECT_TRUE(ThrowsNestingError(scope, Nested("%show(", "x", ")", kMaxExpandDepth + 1)));
}

TEST(ExpandDepth, CountIsPerThreadAndCanBeSwapped)
{
    CMacroContext scope;
    scope.Register("x", std::make_unique<CValueMacro>("X"));
    int saved = ExchangeExpandDepth(kMaxExpandDepth);
    EXPECT_EQ(saved, 0);
    CTextBuffer out;
    EXPECT_THROW(scope.Expand(&out, std::string_view("%x%")), CMacroException);
    // Another thread has its own count.
    std::string other;
    std::thread([&] {
        CTextBuffer threadOut;
        scope.Expand(&threadOut, std::string_view("%x%"));
        other = threadOut.ToString();
    }).join();
    EXPECT_EQ(other, "X");
    EXPECT_EQ(ExchangeExpandDepth(saved), kMaxExpandDepth);
    scope.Expand(&out, std::string_view("%x%"));
    EXPECT_EQ(out.ToString(), "X");
}

// ---- Stack per level and the fiber stack ----------------------------------

namespace {

// The largest distance between the frames of two consecutive probe calls:
// the stack one nesting level takes on this path.
std::uintptr_t BytesPerLevel(const std::string& macroName, std::unique_ptr<CMacro> recursive, const std::string& text, int levels)
{
    CMacroContext scope;
    RegisterTestMacros(scope);
    auto probe = std::make_unique<CStackProbe>();
    CStackProbe* seen = probe.get();
    scope.Register("probe", std::move(probe));
    if (recursive)
        scope.Register(macroName, std::move(recursive));
    CTextBuffer out;
    ExchangeExpandDepth(kMaxExpandDepth - levels);
    try {
        scope.Expand(&out, text);
    } catch (const CMacroException&) {
    }
    ExchangeExpandDepth(0);
    std::uintptr_t most = 0;
    for (std::size_t i = 1; i < seen->frames.size(); ++i) {
        std::uintptr_t a = seen->frames[i - 1], b = seen->frames[i];
        std::uintptr_t distance = a > b ? a - b : b - a;
        if (distance > most)
            most = distance;
    }
    EXPECT_GE(seen->frames.size(), static_cast<std::size_t>(levels / 2)) << macroName;
    return most;
}

struct StackPaths {
    std::uintptr_t stringMacro, argument, scopedBody, argumentBody;
};

StackPaths MeasureStack()
{
    StackPaths paths{};
    paths.stringMacro = BytesPerLevel("chain", std::make_unique<CStringMacro>("%probe%%chain%"), "%chain%", 32);
    paths.argument = BytesPerLevel("", nullptr, Nested("%probe(", "x", ")", 32), 40);
    paths.scopedBody = BytesPerLevel("body", std::make_unique<CScopedBodyMacro>("%probe%%body%"), "%body%", 32);
    paths.argumentBody = BytesPerLevel("again", std::make_unique<CArgumentBodyMacro>("%probe%%again(x)"), "%again(x)", 32);
    return paths;
}


} // namespace

TEST(ExpandDepth, StackPerLevelWithinTheDocumentedFigure)
{
    StackPaths paths = MeasureStack();
    std::printf("bytes per nesting level: string macro %zu, argument %zu, scoped body %zu, body of a call with "
                "arguments %zu (documented %zu)\n",
                static_cast<std::size_t>(paths.stringMacro), static_cast<std::size_t>(paths.argument),
                static_cast<std::size_t>(paths.scopedBody), static_cast<std::size_t>(paths.argumentBody),
                kExpandStackPerLevel);
    EXPECT_LE(paths.stringMacro, kExpandStackPerLevel);
    EXPECT_LE(paths.argument, kExpandStackPerLevel);
    EXPECT_LE(paths.scopedBody, kExpandStackPerLevel);
    EXPECT_LE(paths.argumentBody, kExpandStackPerLevel);
}

// Runaway recursion on every path must end in the exception, on the
// smallest stack a fiber may be given.
TEST(ExpandDepth, RecursionFitsTheMinimumFiberStack)
{
    struct Result {
        int thrown = 0;
        int other = 0;
    } result;
    RunWithStack(kMinFiberStackSize, [](void* p) {
        auto* r = static_cast<Result*>(p);
        CMacroContext scope;
        RegisterRecursive(scope);
        scope.Register("argself", std::make_unique<CStringMacro>("%show(%argself%)"));
        scope.Register("again", std::make_unique<CArgumentBodyMacro>("%again(x)"));
        for (const char* text : {"%self%", "%rec%", "%argself%", "%nest(100000)", "%again(x)"}) {
            CTextBuffer out;
            try {
                scope.Expand(&out, std::string_view(text));
                ++r->other;
            } catch (const CMacroException&) {
                ++r->thrown;
            } catch (...) {
                ++r->other;
            }
        }
        std::string deep = Nested("%show(", "x", ")", 2000);
        CTextBuffer out;
        try {
            scope.Expand(&out, deep);
            ++r->other;
        } catch (const CMacroException&) {
            ++r->thrown;
        }
    }, &result);
    EXPECT_EQ(result.thrown, 6);
    EXPECT_EQ(result.other, 0);
}
