#include "framework/html_text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

std::string Safe(const char* text, bool escapeUnknown, const char* const* single = nullptr,
                 const char* const* paired = nullptr)
{
    // A large grow step, so that the time measured below is the filter's own.
    CTextBuffer out(64, 1 << 20);
    AppendSafeHTML(&out, text, escapeUnknown, single, paired);
    return out.ToString();
}

struct SafeCase {
    const char* text;
    const char* escaped; // with escapeUnknown
    const char* dropped; // without
};

void CheckSafe(const SafeCase* cases, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(Safe(cases[i].text, true), cases[i].escaped) << "'" << cases[i].text << "' escaping";
        EXPECT_EQ(Safe(cases[i].text, false), cases[i].dropped) << "'" << cases[i].text << "' dropping";
    }
}

} // namespace

TEST(AppendSafeHTML, LetsListedTagsThrough)
{
    static const SafeCase cases[] = {
        {"x <b>bold <i>it", "x <b>bold <i>it</B></I>", "x <b>bold <i>it</B></I>"},
        {"<i>a<b>b", "<i>a<b>b</B></I>", "<i>a<b>b</B></I>"},
        {"<p>", "<p>", "<p>"},
        {"</p>", "&lt;/p&gt;", ""},
        {"<script>", "&lt;script&gt;", ""},
        {"AT&T", "AT&amp;T", "AT&amp;T"},
        {"&nbsp;", "&nbsp;", "&nbsp;"},
        {"a < b", "a &lt; b", "a "},
        {"say \"hi\" > 2", "say &quot;hi&quot; &gt; 2", "say &quot;hi&quot; &gt; 2"},
        {"<b>x</b>", "<b>x</b>", "<b>x</b>"},
        {"</b>x", "</b>x", "</b>x"},
        {"<b><B></b>", "<b><B></b></B>", "<b><B></b></B>"},
        {"<Font Color=red\nsize=2>x</FONT>", "<Font Color=red\nsize=2>x</FONT>", "<Font Color=red\nsize=2>x</FONT>"},
        {"<a href=\"a.htm?x=1&y=2\" title='t'>", "<a href=\"a.htm?x=1&y=2\" title='t'></A>",
         "<a href=\"a.htm?x=1&y=2\" title='t'></A>"},
        {"<b\n>", "&lt;b\n&gt;", ""},
        {"<x<b>>", "&lt;x<b>&gt;</B>", "&gt;"},
        {"&0123456789abcdef;", "&0123456789abcdef;", "&0123456789abcdef;"},
        {"&0123456789abcdefg;", "&amp;0123456789abcdefg;", "&amp;0123456789abcdefg;"},
        {"&a b;", "&amp;a b;", "&amp;a b;"},
        {"&\"x;", "&&quot;x;", "&&quot;x;"},
        {"tail &", "tail &amp;", "tail &amp;"},
        {"", "", ""},
    };
    CheckSafe(cases, std::size(cases));
}

TEST(AppendSafeHTML, CustomListsAndNullText)
{
    static const char* const single[] = {"X", nullptr};
    static const char* const paired[] = {"Y", "Z", nullptr};
    EXPECT_EQ(Safe("<x><z><y><b>", true, single, paired), "<x><z><y>&lt;b&gt;</Y></Z>");
    EXPECT_EQ(Safe("<x><z><y><b>", false, single, paired), "<x><z><y></Y></Z>");

    CTextBuffer out;
    out.Append("kept");
    AppendSafeHTML(&out, static_cast<const char*>(nullptr), true);
    EXPECT_EQ(out.ToString(), "kept");
    AppendSafeHTML(&out, "<b>", true);
    EXPECT_EQ(out.ToString(), "kept<b></B>");
}

TEST(AppendSafeHTML, DropsScriptAttributesOfAllowedTags)
{
    static const SafeCase cases[] = {
        {"<img src=x onerror=alert(1)>", "<img src=x>", "<img src=x>"},
        {"<b onclick=\"alert(1)\">x</b>", "<b>x</b>", "<b>x</b>"},
        {"<b ONCLICK='x'>", "<b></B>", "<b></B>"},
        {"<a title=\"t\" onmouseover = \"y\" href=z>", "<a title=\"t\" href=z></A>", "<a title=\"t\" href=z></A>"},
        {"<a onclick=1 onmouseover=2>", "<a></A>", "<a></A>"},
        {"<img src=\"x\"\nonerror=alert(1)>", "<img src=\"x\">", "<img src=\"x\">"},
        {"<img src=x\tOnError=alert(1)>", "<img src=x>", "<img src=x>"},
        {"<img src=\"x\"onerror=y>", "<img src=\"x\">", "<img src=\"x\">"},
        {"<img src=\"x\"/onerror=y>", "<img src=\"x\"/>", "<img src=\"x\"/>"},
        {"</b onclick=x>", "</b>", "</b>"},
        {"<a href=\"javascript:alert(1)\">x</a>", "<a>x</a>", "<a>x</a>"},
        {"<a href=' JaVaScRiPt:alert(1)'>", "<a></A>", "<a></A>"},
        {"<a href=\"java\tscr\nipt:x\">", "<a></A>", "<a></A>"},
        {"<a href=\"\x01javascript:x\">", "<a></A>", "<a></A>"},
        {"<a href=vbscript:msgbox>", "<a></A>", "<a></A>"},
        {"<a href=\"&#106;avascript:x\">", "<a></A>", "<a></A>"},
        {"<a href=\"&#x6A;avascript:x\">", "<a></A>", "<a></A>"},
        {"<a href=\"&#0000106avascript:x\">", "<a></A>", "<a></A>"},
        {"<a href=\"javascript&colon;x\">", "<a></A>", "<a></A>"},
        {"<a href=\"java&Tab;script:x\">", "<a></A>", "<a></A>"},
        {"<img src = \"javascript:x\" alt=1>", "<img alt=1>", "<img alt=1>"},
        // The browser would carry an unclosed quote past our '>' into the next tag.
        {"<img title=\"> <img src=x onerror=alert(1) x=\"y\">", "<img> <img src=x x=\"y\">",
         "<img> <img src=x x=\"y\">"},
        {"<a href='x>", "<a></A>", "<a></A>"},
        // Dropping an attribute never joins its neighbours into a new value.
        {"<a href=javascript onclick=\"\":alert(1)>", "<a href=javascript :alert(1)></A>",
         "<a href=javascript :alert(1)></A>"},
        // A '<' inside a kept tag never reaches the page raw.
        {"</A x<script>", "</A x&lt;script>", "</A x&lt;script>"},
        {"<b x=<script y=1>", "<b x=&lt;script y=1></B>", "<b x=&lt;script y=1></B>"},
    };
    CheckSafe(cases, std::size(cases));
}

TEST(AppendSafeHTML, KeepsHarmlessAttributes)
{
    static const SafeCase cases[] = {
        {"<a href=\"http://example.test/on\">", "<a href=\"http://example.test/on\"></A>",
         "<a href=\"http://example.test/on\"></A>"},
        {"<a href=\"/javascript:x\">", "<a href=\"/javascript:x\"></A>", "<a href=\"/javascript:x\"></A>"},
        {"<a data-x=\"onclick\" title='see javascript:'>", "<a data-x=\"onclick\" title='see javascript:'></A>",
         "<a data-x=\"onclick\" title='see javascript:'></A>"},
        // An unquoted value runs to the next blank, '/' included.
        {"<img src=x/onerror=y>", "<img src=x/onerror=y>", "<img src=x/onerror=y>"},
        {"<font color=red size=+1>", "<font color=red size=+1></FONT>", "<font color=red size=+1></FONT>"},
        {"<a  href=x  >", "<a  href=x  ></A>", "<a  href=x  ></A>"},
        // Blanks inside a scheme are ignored before the check, so this counts as one.
        {"<a href=\"java script:x\" >", "<a ></A>", "<a ></A>"},
    };
    CheckSafe(cases, std::size(cases));
}

TEST(AppendSafeHTML, ManyOpenBracketsStayLinear)
{
    std::string brackets(1000000, '<');
    std::string longName = std::string(500000, '<') + std::string(500000, 'b') + ">";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Safe(brackets.c_str(), true).size(), brackets.size() * 4);
    EXPECT_EQ(Safe(brackets.c_str(), false), "");
    EXPECT_EQ(Safe(longName.c_str(), true).size(), 500000 * 4 + 500000 + 4);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(HTMLEncode, EscapesTheFourCharacters)
{
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"\"&<>", "&quot;&amp;&lt;&gt;"},
        {"a&amp;", "a&amp;amp;"},
        {"<b>x</b>", "&lt;b&gt;x&lt;/b&gt;"},
        {"plain \xE9 text\n", "plain \xE9 text\n"},
        {"", ""},
    };
    for (const Case& c : cases) {
        CTextBuffer out;
        out.Append("[");
        HTMLEncode(&out, c.text);
        EXPECT_EQ(out.ToString(), std::string("[") + c.expected);
    }
    CTextBuffer out;
    HTMLEncode(&out, static_cast<const char*>(nullptr));
    EXPECT_EQ(out.GetLength(), 0);
}

TEST(TextToHTML, LineEndsAndEscapes)
{
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"a\r\nb\nc\rd", "a<P>b<BR>c<P>d"},
        {"\n\n", "<BR><BR>"},
        {"\r\r\n", "<P><P>"},
        {"\n\r", "<BR><P>"},
        {"x<y & \"z\"\r", "x&lt;y &amp; &quot;z&quot;<P>"},
    };
    for (const Case& c : cases) {
        CTextBuffer out;
        TextToHTML(&out, c.text);
        EXPECT_EQ(out.ToString(), c.expected) << c.text;
    }
}

TEST(HTMLDecodedLength, CountsVisibleCharacters)
{
    struct Case {
        const char* text;
        int expected;
    } cases[] = {
        {"<b>x&amp;y</b>", 3}, {"a & b", 5},  {"", 0},           {"ab<c", 2},         {"<>", 0},
        {"&abcdefghi;", 1},    {"&abcdefghij;", 12}, {"&;x", 2}, {"a&b", 3},          {"x&", 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HTMLDecodedLength(c.text), c.expected) << c.text;
}
