#include "proxy/gopher_menu.h"

#include <gtest/gtest.h>

namespace {

TEST(GopherMenuTest, DecodesTypeAndSelector)
{
    struct Case {
        const char* path;
        bool ok;
        char type;
        const char* selector;
    } cases[] = {
        {"/", true, '1', ""},
        {"/0/about.txt", true, '0', "/about.txt"},
        {"/7/find?two+words", true, '7', "/find\ttwo words"},
        {"/7?query", true, '7', "query"},
        {"/1+lead", true, '1', "lead"},
        {"/9/a%20b%2Bc%3F", true, '9', "/a b+c?"},
        {"/%2B/plus", true, '+', "/plus"},
        {"/0/x%0D%0ADELE", false, 0, ""},
        {"/0/x%00y", false, 0, ""},
        {"/%0A", false, 0, ""},
    };
    for (const Case& c : cases) {
        char type = 0;
        std::string selector;
        ASSERT_EQ(DecodeGopherPath(c.path, type, selector), c.ok) << c.path;
        if (!c.ok)
            continue;
        EXPECT_EQ(type, c.type) << c.path;
        EXPECT_EQ(selector, c.selector) << c.path;
    }
}

TEST(GopherMenuTest, MenuLinesBecomeInertLinks)
{
    struct Case {
        const char* line;
        const char* icon;
        const char* html; // null: the line shows nothing
    } cases[] = {
        {"1Docs\t/docs\texample\t70\t+\r\n", "internal-gopher-menu",
         "<A HREF=\"gopher://example:70/1/docs\"><IMG ALIGN=absbottom BORDER=0 SRC=\"internal-gopher-menu\">Docs</A>\r\n"},
        // Without a fifth field the line end stays out of the link.
        {"0About\t/about.txt\texample\t7070\r\n", "",
         "<A HREF=\"gopher://example:7070/0/about.txt\">About</A>\r\n"},
        {"8Login\tuser\tbbs.example\t23\r\n", "", "<A HREF=\"telnet://bbs.example:23/\">Login</A>\r\n"},
        {"-Welcome\r\n", "", "<B>Welcome\r\n\r\n</B>"},
        {"3No <such> item\r\n", "", "<B>No &lt;such&gt; item\r\n\r\n</B>"},
        {"0<script>x</script>\t/a b?c\"><script>\tev\"il<h>\t70\r\n", "",
         "<A HREF=\"gopher://ev&quot;il&lt;h&gt;:70/0/a%20b%3Fc%22%3E%3Cscript%3E\">&lt;script&gt;x&lt;/script&gt;</A>\r\n"},
        {"1Short", "", "<A HREF=\"gopher://:/1\">Short</A>\r\n"},
        {".\r\n", "", nullptr},
    };
    for (const Case& c : cases) {
        CGopherMenuLine entry;
        bool shown = ParseGopherMenuLine(c.line, entry);
        ASSERT_EQ(shown, c.html != nullptr) << c.line;
        if (!shown)
            continue;
        CTextBuffer out;
        AppendGopherMenuLine(out, entry, c.icon);
        EXPECT_EQ(out.ToString(), c.html) << c.line;
    }
}

TEST(GopherMenuTest, LinkedSelectorsDecodeBackUnchanged)
{
    const char* selectors[] = {"/a b/c+d?e", "/tab\there", "/100%/x", "/\xC3\xA9t\xC3\xA9"};
    for (const char* selector : selectors) {
        CGopherMenuLine entry;
        entry.type = '0';
        entry.selector = selector;
        entry.host = "h";
        entry.port = "70";
        CTextBuffer out;
        AppendGopherMenuLine(out, entry, "");
        std::string html = out.ToString();
        std::size_t start = html.find("h:70") + 4;
        std::string path = html.substr(start, html.find('"', start) - start);
        char type = 0;
        std::string decoded;
        ASSERT_TRUE(DecodeGopherPath(path, type, decoded)) << path;
        EXPECT_EQ(type, '0');
        EXPECT_EQ(decoded, selector) << path;
    }
}

} // namespace
