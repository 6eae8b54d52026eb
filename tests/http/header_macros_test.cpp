// The path macros relative to a document, the reply setters of a page, and
// the client's address and host name.

#include "http_server_fixture.h"

#include "framework/loopback.h"
#include "http/header_macros.h"
#include "http/http_request.h"

#include <regex>

using namespace http_test;

namespace {

struct PathCase {
    const char* document;
    const char* reference;
    const char* expected;
};

TEST(PathMacroTest, FqvpathResolvesAgainstTheDocumentsFolder)
{
    const PathCase cases[] = {
        {"/docs/page.kav", "%fqvpath(img/a.gif)", "/docs/img/a.gif"},
        {"/docs/page.kav", "%fqvpath(../b.htm)", "/b.htm"},
        {"/docs/page.kav", "%fqvpath(/c.htm)", "/c.htm"},
        {"/docs/page.kav", "%fqvpath(./d/./e)", "/docs/d/e"},
        {"/docs/page.kav", "%fqvpath%", "/docs"},
        {"/docs/page.kav", "%fqvpath(sub/)", "/docs/sub"},
        {"/a/b/c.kav", "%fqvpath(../../../x)", "/x"},
        {"/a/b/c.kav", "%fqvpath(../..)", ""},
        {"/a/b/c.kav", "%fqvpath(//x//y)", "/x/y"},
        {"/index.kav", "%fqvpath%", ""},
        {"/index.kav", "%fqvpath(x.htm)", "/x.htm"},
    };
    for (const PathCase& c : cases) {
        CMacroContext scope;
        scope.Register("fqvpath", std::make_unique<CFqvpathMacro>(URLBaseDirectory(c.document)));
        CTextBuffer out;
        scope.Expand(&out, c.reference);
        EXPECT_EQ(out.ToString(), c.expected) << c.document << " " << c.reference;
    }
}

class HeaderMacrosTest : public HTTPServerTest {
protected:
    void Page(const std::string& url, const std::string& text) { WriteFile(m_root + url, "%expand%" + text); }
    static std::string HeaderValue(const Reply& reply, const std::string& name)
    {
        std::size_t at = reply.head.find("\r\n" + name + ": ");
        if (at == std::string::npos)
            return "(none)";
        at += name.size() + 4;
        return reply.head.substr(at, reply.head.find("\r\n", at) - at);
    }
};

TEST_F(HeaderMacrosTest, PathsMapToFilesAndAbsoluteURLs)
{
    StartServer();
    Page("/docs/page.htm", "%fqppath(img/a.gif)|%fqurl(../b.htm)|%fqurl%");
    Reply reply = Ask(Get("/docs/page.htm"));
    const std::string port = std::to_string(m_port);
    const std::regex expected(std::regex_replace(m_root, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                              "/docs/img/a.gif\\|http://[^/|]+:" + port + "/b.htm\\|http://[^/|]+:" + port + "/docs");
    EXPECT_TRUE(std::regex_match(reply.body, expected)) << reply.body;
}

TEST_F(HeaderMacrosTest, APageSetsItsTypeAndExpiry)
{
    StartServer();
    Page("/plain.htm", "%content-type:(text/plain)x");
    Page("/never.htm", "%expires:(NeVeR)x");
    Page("/now.htm", "%expires:(0)x");
    // A type taken from a form field cannot add header lines.
    Page("/field.htm", "%content-type:(%form(t))x");

    Reply plain = Ask(Get("/plain.htm"));
    EXPECT_EQ(HeaderValue(plain, "Content-type"), "text/plain");
    EXPECT_EQ(plain.body, "x");

    Reply never = Ask(Get("/never.htm"));
    EXPECT_EQ(HeaderValue(never, "Expires"), "(none)");
    EXPECT_EQ(HeaderValue(never, "Pragma"), "(none)");

    Reply now = Ask(Get("/now.htm"));
    EXPECT_NE(HeaderValue(now, "Expires"), "(none)");
    EXPECT_EQ(HeaderValue(now, "Expires"), HeaderValue(now, "Date"));

    Reply field = Ask(Get("/field.htm?t=text/plain%0D%0AX-Evil:%201"));
    EXPECT_EQ(HeaderValue(field, "Content-type"), "text/plain");
    EXPECT_EQ(field.head.find("X-Evil"), std::string::npos) << field.head;
}

TEST_F(HeaderMacrosTest, TheClientHostNeverPointsAtAnEmptiedName)
{
    StartServer();
    LoopbackPair pair;
    CHTTPRequest request;
    ResolveClientName(*m_server, pair.server, request);
    EXPECT_STREQ(request.ClientAddress, "127.0.0.1");
    EXPECT_EQ(request.ClientHost, request.ClientAddress);

    // A name found earlier in the connection, then emptied between requests.
    request.ClientName = "client.example";
    request.ClientHost = request.ClientName.c_str();
    ResolveClientName(*m_server, pair.server, request);
    EXPECT_STREQ(request.ClientHost, "client.example");
    request.ClientName.clear();
    ResolveClientName(*m_server, pair.server, request);
    EXPECT_STREQ(request.ClientHost, "127.0.0.1");
}

} // namespace
