// The request macros as real pages of a running server show them: the URL
// and its parts, the client and the connection, the headers, credentials
// and the access check; and the registration itself.

#include "http_server_fixture.h"

#include "framework/loopback.h"
#include "http/http_request.h"
#include "http/request_macros.h"

using namespace http_test;

namespace {

class RequestMacrosTest : public HTTPServerTest {
protected:
    void Page(const std::string& url, const std::string& text) { WriteFile(m_root + url, "%expand%" + text); }
};

struct URLCase {
    const char* request;
    const char* expected;
};

TEST_F(RequestMacrosTest, TheURLIsShownInItsParts)
{
    StartServer();
    Page("/a/b.htm", "%client-url%|%client-query%|%client-rawurl%|%client-method%|%client-http%");
    const URLCase cases[] = {
        {"GET /a/b.htm?x=1 HTTP/1.0\r\n\r\n", "/a/b.htm|x=1|/a/b.htm?x=1|GET|HTTP/1.0"},
        {"GET /a/b.htm? HTTP/1.0\r\n\r\n", "/a/b.htm||/a/b.htm?|GET|HTTP/1.0"},
        {"get /a/b.htm\r\n", "/a/b.htm||/a/b.htm|GET|"},
        {"POST /a/b.htm?q HTTP/1.0\r\nContent-length: 0\r\n\r\n", "/a/b.htm|q|/a/b.htm?q|POST|HTTP/1.0"},
    };
    for (const URLCase& c : cases) {
        Reply reply = Ask(c.request);
        EXPECT_EQ(reply.body, c.expected) << c.request;
    }
}

TEST_F(RequestMacrosTest, TheClientAndTheConnectionAreShown)
{
    StartServer();
    Page("/c.htm", "%client-status%|%client-transfersize%|%client-ip%|%client-host%|[%client-hostname%]|%port%|"
                   "%protocol%|%server%|%httproot%");
    Reply reply = Ask(Get("/c.htm"));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "0|0|127.0.0.1|127.0.0.1|[]|" + std::to_string(m_port) + "|http|127.0.0.1|" + m_root);
}

TEST_F(RequestMacrosTest, HeadersAreFoundByNameAndOccurrence)
{
    StartServer();
    Page("/h.htm", "%header(cookie)|%header(COOKIE,1)|[%header(cookie,2)]|[%header(cookie,-1)]|[%header(none)]|"
                   "%enumheader([%header%=%value%])|%client-headers%");
    const std::string headers = "Cookie: a=1\r\nX-Y:z\r\nCookie: b=2\r\n";
    Reply reply = Ask(Get("/h.htm", headers));
    EXPECT_EQ(reply.body, "a=1|b=2|[]|[]|[]|[Cookie=a=1][X-Y=z][Cookie=b=2]|" + headers);
}

struct ACLCase {
    const char* lines; // the .~ACL~ file; null: none
    const char* arguments;
    int status;
};

TEST_F(RequestMacrosTest, AclcheckRefusesWhatTheListRejects)
{
    StartServer();
    const std::string folder = m_root + "/secret/";
    const ACLCase cases[] = {
        {nullptr, "GET,bob", 200},
        // Two arguments check nothing.
        {"Reject-user: *,*,*\r\n", "GET", 200},
        {"Reject-user: *,*,*\r\n", "GET,bob", 401},
        {"Allow-user: GET,bob,*\r\n", "GET,bob", 200},
        {"Allow-user: GET,bob,*\r\n", "PUT,bob", 401},
        {nullptr, "GET,bob", 200},
    };
    int page = 0;
    for (const ACLCase& c : cases) {
        std::filesystem::remove(folder + ".~ACL~");
        if (c.lines)
            WriteFile(folder + ".~ACL~", c.lines);
        const std::string url = "/acl" + std::to_string(page++) + ".htm";
        Page(url, "before%aclcheck(" + folder + "," + c.arguments + ")after");
        Reply reply = Ask(Get(url));
        EXPECT_EQ(reply.status, c.status) << url;
        if (c.status == 200) {
            EXPECT_EQ(reply.body, "beforeafter") << url;
        } else {
            EXPECT_NE(reply.head.find("WWW-Authenticate"), std::string::npos) << url;
        }
    }
}

TEST_F(RequestMacrosTest, RegistrationHappensOncePerRequest)
{
    StartServer();
    LoopbackPair pair;
    CHTTPRequest request;
    request.RequestLine.Append("GET /x.htm?y HTTP/1.0");
    SplitRequestLine(request);
    RegisterRequestMacros(*m_server, pair.server, request);
    EXPECT_EQ(request.Scope.GetParent(), m_server->GetMacroScope());
    EXPECT_EQ(request.Scope.GetMacros().GetBucketCount(), kRequestScopeBuckets);
    request.Scope.Register("client-url", std::make_unique<CValueMacro>("changed"));
    RegisterRequestMacros(*m_server, pair.server, request);
    CTextBuffer out;
    request.Scope.Expand(&out, "%client-url%|%client-query%|%httproot%|%client-ip%");
    EXPECT_EQ(out.ToString(), "changed|y|" + m_root + "|127.0.0.1");

}

} // namespace
