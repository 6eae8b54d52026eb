#include "macro/string_macros.h"

#include "framework/text_buffer.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "test_macros.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

using macro_test::ExpandExact;

namespace {

// The global scope as the engine builds it for these families: strings,
// then try, then the core definitions.
struct Global {
    CMacroContext scope;
    Global()
    {
        RegisterStringMacros(scope);
        RegisterTryMacros(scope);
        RegisterCoreMacros(scope);
    }
};

struct Case {
    const char* text;
    std::string expected;
};

void RunCases(std::initializer_list<Case> cases)
{
    for (const Case& c : cases) {
        Global global;
        EXPECT_EQ(ExpandExact(global.scope, c.text), c.expected) << c.text;
    }
}

// %left(x,0) passes an argument whose expansion is empty.
constexpr const char* kEmpty = "%left(x,0)";

std::string WithEmpty(const char* before, const char* after)
{
    return std::string(before) + kEmpty + after;
}

} // namespace

TEST(StringMacros, SubstringsAndLengths)
{
    RunCases({
        {"%mid(abcdef,2,3)", "cde"},
        {"%mid(abcdef,-4)", "abcdef"},
        {"%mid(abc,5)", ""},
        {"%mid(abcdef,4,99)", "ef"},
        {"%mid(abcdef,1,-2)", ""},
        {"%mid(abcdef)", "abcdef"},
        {"%left(abc)", ""},
        {"%left(abc,10)", "abc"},
        {"%left(abc,-1)", ""},
        {"%left(abcdef,2)", "ab"},
        {"%right(abcdef,2)", "ef"},
        {"%right(abc,10)", "abc"},
        {"%right(abc)", ""},
        {"%len(abcd)", "4"},
        {"%len(%left(x,0))", "0"},
        {"%html-len(a&amp;b<i>c</i>)", "4"},
        {"[%trimleft(\"  \t a \")]", "[a ]"},
        {"[%trimright(abc  )]", "[abc]"},
        {"[%trimright(\"   \")]", "[]"},
        {"[%trimright(\" a \")]", "[ a]"},
    });
}

TEST(StringMacros, CaseFollowsTheAnsiLettersWithoutBreakingUtf8)
{
    RunCases({
        {"%toupper(aZ9-q)", "AZ9-Q"},
        {"%tolower(aZ9-Q)", "az9-q"},
        // The code page's own letters as single bytes; the division sign,
        // sharp s and micro sign have no other case.
        // (Apart, so that no two bytes form a UTF-8 character.)
        {"%toupper(\xE9-\xFF-\x9A-\xF7-\xDF-\xB5)", "\xC9-\x9F-\x8A-\xF7-\xDF-\xB5"},
        {"%tolower(\xC9-\x9F-\x8A-\xD7)", "\xE9-\xFF-\x9A-\xD7"},
        // The same letters in UTF-8 change as characters.
        {"%toupper(caf\xC3\xA9 \xC5\x93 \xC3\xBF)", "CAF\xC3\x89 \xC5\x92 \xC5\xB8"},
        {"%tolower(\xC3\x89""COLE \xC5\xB8 \xC5\xA0)", "\xC3\xA9""cole \xC3\xBF \xC5\xA1"},
        // Other characters and their bytes stay as they are.
        {"%tolower(\xE2\x82\xAC\xC3\x97)", "\xE2\x82\xAC\xC3\x97"},
        {"%toupper(\xE2\x82\xAC)", "\xE2\x82\xAC"},
        // A lead byte without its continuation is a code-page letter.
        {"%tolower(A\xC3)", "a\xE3"},
        {"%toupper()", ""},
    });
}

TEST(StringMacros, QuotingAndCoding)
{
    RunCases({
        {"%kav-quote(50%% off)", "50%% off"},
        {"%expand(%kav-quote(%%a%%%%b))", "%a%%b"},
        {"%kav-quote(%%)", "%%"},
        {"%html-quote(<a href=\"x\">&</a>)", "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;"},
        {"%html-convert(a&b\r\nc\nd)", "a&amp;b<P>c<BR>d"},
        {"%url-encode(a b&c,\xE9)", "a+b%26c"},
        {"%url-encode(\"a b&c,\xE9\")", "a+b%26c%2C%E9"},
        {"%url-decode(a+b%2c%4A%)", "a b,J%"},
        // What stays safe in a path stays; a blank is never a '+'.
        {"%url-path-encode(\"a b+c/d~e_f-g.txt#?,\xE9\")", "a%20b%2Bc/d~e_f-g.txt%23%3F%2C%E9"},
        {"%html-clean(x <b>bold <script>)", "x <b>bold &lt;script&gt;</B>"},
        {"%html-clean(x <b>bold <script>,drop)", "x <b>bold </B>"},
        {"%html-clean(<p><b>t,drop,p,i)", "<p>t"},
        // Lists are split at commas and blanks and compared in upper case.
        {"%html-clean(<hr><i>t</i><u>,,\"br  hr\",\", i u\")", "<hr><i>t</i><u></U>"},
        {"%html-clean(<hr>,,br)", "&lt;hr&gt;"},
    });
}

TEST(StringMacros, HtmlCleanTakesAtMostItsLimitOfNames)
{
    std::string names;
    for (int i = 0; i < kMaxCleanTagNames; ++i)
        names += "t" + std::to_string(i) + ",";
    std::string atLimit = "%html-clean(<t127>,,\"" + names + "\")";
    std::string pastLimit = "%html-clean(<hr>,,\"" + names + "hr\")";
    Global global;
    EXPECT_EQ(ExpandExact(global.scope, atLimit), "<t127>");
    EXPECT_EQ(ExpandExact(global.scope, pastLimit), "&lt;hr&gt;");
}

TEST(StringMacros, Padding)
{
    RunCases({
        {"%lpad(7,3,0)", "007"},
        {"%rpad(ab,5,xy)", "abxyx"},
        {"%cpad(a,4,*)", "*a**"},
        // The cursor carries on from the first run into the second.
        {"%cpad(a,5,xyz)", "xyazx"},
        {"%lpad(abc,2,0)", "abc"},
        {"%cpad(abc,3,0)", "abc"},
        {"[%lpad(a,3)]", "[  a]"},
        {"[%lpad(a)]", "[]"},
        {"%lpad(a,-5,0)", "a"},
        {"%html-lpad(&amp;,3,.)", "..&amp;"},
        {"%html-rpad(<b>x</b>,3,.)", "<b>x</b>.."},
        {"%html-cpad(&lt;,4,.)", ".&lt;.."},
        // An empty pad would never fill the width: the blank is used.
        {WithEmpty("[%lpad(a,3,", ")]").c_str(), "[  a]"},
        {WithEmpty("[%cpad(a,3,", ")]").c_str(), "[ a ]"},
        {"%dup(ab,3)", "ababab"},
        {"[%dup(ab,0)%dup(ab,-2)%dup(ab)]", "[]"},
    });
}

TEST(StringMacros, GeneratedTextStopsAtItsLimit)
{
    const std::string limit = std::to_string(kMaxGeneratedStringBytes);
    const std::string past = std::to_string(kMaxGeneratedStringBytes + 1);
    const std::string error = std::string("error ") + std::to_string(kStringTooLongError) + ": " + kStringTooLongMessage + "]";
    Global global;

    std::string full = ExpandExact(global.scope, "%dup(x," + limit + ")");
    EXPECT_EQ(full.size(), kMaxGeneratedStringBytes);
    EXPECT_EQ(full.find_first_not_of('x'), std::string::npos);
    EXPECT_EQ(ExpandExact(global.scope, "%dup(x," + past + ")"), "[dup " + error);
    // The product of a long text and a count must not wrap either.
    EXPECT_EQ(ExpandExact(global.scope, "%dup(abcdefgh,2147483647)"), "[dup " + error);

    // The width counts the text: one byte of text leaves room for the limit.
    std::string padded = ExpandExact(global.scope, "%lpad(a," + std::to_string(kMaxGeneratedStringBytes + 1) + ")");
    EXPECT_EQ(padded.size(), kMaxGeneratedStringBytes + 1);
    EXPECT_EQ(padded.back(), 'a');
    EXPECT_EQ(ExpandExact(global.scope, "%rpad(a,2147483647,xy)"), "[rpad " + error);
    EXPECT_EQ(ExpandExact(global.scope, "%html-cpad(a,2147483647)"), "[html-cpad " + error);

    // Inside a try the failure is an exception the handler sees.
    EXPECT_EQ(ExpandExact(global.scope, "%try(before%dup(x,2147483647),%exception-type%/%exception-number%)"),
              "dup/" + std::to_string(kStringTooLongError));
}

TEST(StringMacros, ComparisonAndMatching)
{
    RunCases({
        {"[%equal(ABC,abc)]", "[T]"},
        {"[%equal(abc,abd)]", "[]"},
        {"[%xequal(ABC,abc)][%xequal(abc,abc)]", "[][T]"},
        {"[%equal(abc)]", "[]"},
        {WithEmpty("[%equal(", ",)]").c_str(), "[]"},
        {WithEmpty("[%equal(", ",%left(y,0))]").c_str(), "[T]"},
        {"%collate(a,B)", "-1"},
        {"%collate(B,a)", "1"},
        {"%collate(Abc,aBC)", "0"},
        {"%collate(ab,abc)", "-1"},
        // Letters fold to lower case, so '[' sorts before them.
        {"%collate([,A)", "-1"},
        {"%xcollate(a,B)", "1"},
        {"%xcollate(abc,abc)", "0"},
        // Bytes compare unsigned.
        {"%xcollate(\xE9,a)", "1"},
        {"%collate(\xE9,a)", "1"},
        {"[%in(B,a,b,c)][%in(d,a,b,c)][%in(x)]", "[T][][]"},
        {"[%xin(B,a,b,c)][%xin(b,a,b,c)]", "[][T]"},
        {"[%wcmatch(index.htm,*.htm)][%wcmatch(index.html,*.htm)][%wcmatch(ab,a?)]", "[T][][T]"},
    });
}

TEST(StringMacros, TokensAndTemplates)
{
    RunCases({
        {"%gettoken(a;;b,;,1)", "b"},
        {"%gettoken(;a;;b,;)", "a"},
        {"[%gettoken(a;b,;,2)][%gettoken(a;b,;,-1)][%gettoken(a;b)]", "[][][]"},
        {"%gettoken(a b;c,\"; \",2)", "c"},
        {"%enumtoken(x y,\" \",[%token%])", "[x][y]"},
        {"%enumtoken(;;ab;c;;,;,<%len(%token%)>)", "<2><1>"},
        {"[%enumtoken(;;;,;,x)]", "[]"},
        // The template runs once per token, and token is gone afterwards.
        {"%set(n,-)%enumtoken(a b,\" \",%let(n,%token%%n%))%n%|%defined(token)", "ba-|"},
        {"%map('<%arg%>,a,b)", "<a><b>"},
        {"%map(<%arg%>,a,b)", "<a><b>"},
        {"%map(<%arg%>,%len(abc),x)", "<3><x>"},
        {"[%map(x)]", "[]"},
        {"%set(acc,-)%map(%let(acc,%acc%%arg%),p,q,r)%acc%|%defined(arg)", "-pqr|"},
    });
}

TEST(StringMacros, PathsAndCharacters)
{
    RunCases({
        {"%makepath(dir/,/file)", "dir/file"},
        {"%makepath(dir,file)", "dir/file"},
        {"%makepath(dir\\\\,\\\\file)", "dir/file"},
        {"%makepath(dir//,//file)", "dir///file"},
        {"[%makepath(dir)]", "[]"},
        {"%cr%%lf%|%crlf%|%tab%", "\r\n|\r\n|\t"},
        {"%asc(66)%asc(321)", "BA"},
        {"%ord(A)", "65"},
        {"%ord(\xE9)", "-23"},
        {WithEmpty("%ord(", ")").c_str(), "0"},
        {"%concat(a,b,c)", "abc"},
        {"[%concat()]", "[]"},
    });
    Global global;
    EXPECT_EQ(ExpandExact(global.scope, "[%asc(0)%asc(256)]"), std::string("[\0\0]", 4));
}

TEST(StringMacros, RegistrationRespectsReadOnlyScopes)
{
    static const char* const kNames[] = {
        "toupper",   "tolower",    "mid",        "left",      "right",      "len",       "html-len",
        "trimleft",  "trimright",  "kav-quote",  "html-quote", "html-clean", "html-convert", "url-encode",
        "url-decode", "lpad",      "rpad",       "cpad",      "html-lpad",  "html-rpad", "html-cpad",
        "dup",       "equal",      "xequal",     "collate",   "xcollate",   "in",        "xin",
        "wcmatch",   "gettoken",   "enumtoken",  "'enumtoken", "map",       "'map",      "makepath",
        "cr",        "lf",         "crlf",       "tab",       "asc",        "ord",       "concat",
    };
    CMacroContext open;
    RegisterStringMacros(open);
    CMacroContext locked;
    locked.SetReadOnly(true);
    RegisterStringMacros(locked);
    for (const char* name : kNames) {
        EXPECT_NE(open.FindMacro(name), nullptr) << name;
        EXPECT_EQ(locked.FindMacro(name), nullptr) << name;
    }
    EXPECT_EQ(std::size(kNames), 42u);
}
