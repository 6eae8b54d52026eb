// The request loop: how a request line and its headers are taken apart, the
// caps on what a client may send, keep-alive with bodies no handler read,
// and ProcessURL's copy of the URL.

#include "http_server_fixture.h"

#include "config/global_maps.h"
#include "http/http_request.h"

#include <sys/socket.h>

#include <cstring>

using namespace http_test;

namespace {

struct LineCase {
    const char* line;
    const char* method;
    const char* path;
    int pathLength;
    const char* query; // null: no '?'
    const char* protocol;
};

TEST(RequestLineTest, IsCutIntoItsFields)
{
    const LineCase cases[] = {
        {"GET /a/b?x=1 HTTP/1.0", "GET", "/a/b", 4, "x=1", "HTTP/1.0"},
        {"get /", "GET", "/", 1, nullptr, ""},
        {"GET /a? HTTP/1.0", "GET", "/a", 2, "", "HTTP/1.0"},
        {"POST   /form    HTTP/1.0", "POST", "/form", 5, nullptr, "HTTP/1.0"},
        // The query starts at the first '?'; later ones belong to it.
        {"GET /a?b?c HTTP/1.0", "GET", "/a", 2, "b?c", "HTTP/1.0"},
        {"dElEtE /x HTTP/1.0", "DELETE", "/x", 2, nullptr, "HTTP/1.0"},
        {"GET", "GET", "", 0, nullptr, ""},
    };
    for (const LineCase& c : cases) {
        CHTTPRequest request;
        request.RequestLine.Append(c.line);
        SplitRequestLine(request);
        EXPECT_STREQ(request.Method, c.method) << c.line;
        EXPECT_STREQ(request.URLPath, c.path) << c.line;
        EXPECT_EQ(request.URLPathLength, c.pathLength) << c.line;
        if (c.query == nullptr) {
            EXPECT_EQ(request.Query, nullptr) << c.line;
            EXPECT_STREQ(request.QueryText, "") << c.line;
        } else {
            ASSERT_NE(request.Query, nullptr) << c.line;
            EXPECT_STREQ(request.Query, c.query) << c.line;
        }
        EXPECT_STREQ(request.Protocol, c.protocol) << c.line;
    }
}

TEST(HeaderLineTest, RecognisedNamesFillTheirFields)
{
    CHTTPSettings http;
    http.keepAliveTimeout = 15;
    CHTTPRequest request;
    request.AcceptList.Init(128, 128);
    for (const char* line : {"Accept: text/HTML; q=0.9, image/gif ,*/*", "If-Modified-Since: Sat, 01 Jan 2000",
                             "USER-AGENT:   curl/8", "Referer: http://x/", "Authorization: Basic Ym9iOnB3",
                             "Range: bytes=0-99", "Connection: Keep-Alive", "X-Other: kept only in the text"})
        ParseHeaderLine(request, line, true, http);
    EXPECT_EQ(request.AcceptList.ToString(), "text/html,image/gif,*/*,");
    EXPECT_EQ(request.IfModifiedSince, "Sat, 01 Jan 2000");
    EXPECT_EQ(request.UserAgent, "curl/8");
    EXPECT_EQ(request.Referer, "http://x/");
    EXPECT_EQ(request.Authorization, "Basic Ym9iOnB3");
    EXPECT_EQ(request.Range, "0-99");
    EXPECT_EQ(request.KeepAlive, "Keep-Alive");

    // A later request of the connection keeps the first one's Accept list
    // but asks for keep-alive itself; a unit other than bytes is no range.
    request.KeepAlive.clear();
    request.Range.clear();
    ParseHeaderLine(request, "Accept: audio/x", false, http);
    ParseHeaderLine(request, "Connection: keep-alive", false, http);
    ParseHeaderLine(request, "Range: items=0-99", false, http);
    EXPECT_EQ(request.AcceptList.ToString(), "text/html,image/gif,*/*,");
    EXPECT_EQ(request.KeepAlive, "keep-alive");
    EXPECT_EQ(request.Range, "");

    // Keep-alive needs a server that grants it.
    request.KeepAlive.clear();
    http.keepAliveTimeout = 0;
    ParseHeaderLine(request, "Connection: keep-alive", true, http);
    EXPECT_EQ(request.KeepAlive, "");
}

TEST(HeaderLineTest, ALongNameIsCutNotOverrun)
{
    CHTTPSettings http;
    CHTTPRequest request;
    std::string name(4000, 'r');
    ParseHeaderLine(request, name + "eferer: x", true, http);
    ParseHeaderLine(request, std::string(kHeaderNameCapacity - 1, 'a') + "referer: y", true, http);
    EXPECT_EQ(request.Referer, "");
}

class RequestLoopTest : public HTTPServerTest {};

TEST_F(RequestLoopTest, LinesAndHeadersAreCappedAtTheirLimits)
{
    WriteFile(m_root + "/a.txt", "alpha");
    StartServer();
    std::string atLimit = "/a.txt?" + std::string(kMaxRequestLineBytes - std::strlen("GET /a.txt? HTTP/1.0"), 'q');
    ASSERT_EQ(("GET " + atLimit + " HTTP/1.0").size(), kMaxRequestLineBytes);
    EXPECT_EQ(Ask(Get(atLimit)).status, 200);
    Reply tooLong = Ask(Get(atLimit + "q"));
    EXPECT_EQ(tooLong.status, 414);

    std::string header = "X-Long: ";
    header += std::string(kMaxHeaderLineBytes - header.size(), 'h');
    EXPECT_EQ(Ask(Get("/a.txt", header + "\r\n")).status, 200);
    EXPECT_EQ(Ask(Get("/a.txt", header + "h\r\n")).status, 400);

    // Many lines each under the cap, together over the block's.
    std::string many;
    while (many.size() <= kMaxHeaderBytes)
        many += "X-Some: " + std::string(1000, 's') + "\r\n";
    EXPECT_EQ(Ask(Get("/a.txt", many)).status, 400);

    // The server still answers.
    Reply after = Ask(Get("/a.txt"));
    EXPECT_EQ(after.status, 200);
    EXPECT_EQ(after.body, "alpha");
}

TEST_F(RequestLoopTest, AnEmptyFirstLineIsABadCommand)
{
    StartServer();
    Reply empty = Ask("\r\n");
    EXPECT_EQ(empty.status, 501);
    EXPECT_EQ(empty.body, Page("http-badcommand"));
    // A connection closed before any byte made no request: no reply.
    EXPECT_EQ(Exchange(""), "");
}

TEST_F(RequestLoopTest, KeepAliveCarriesRequestsAndSkipsUnreadBodies)
{
    WriteFile(m_root + "/a.txt", "alpha");
    WriteFile(m_root + "/b.txt", "bravo");
    StartServer([](CServiceSettings&, CHTTPSettings& http) { http.keepAliveTimeout = 1; });

    // The body of a POST to a plain file looks like a request; it must be
    // skipped, not answered.
    std::string body = "GET /b.txt HTTP/1.0\r\n\r\n";
    std::vector<Reply> replies = SplitReplies(
        Exchange("POST /a.txt HTTP/1.0\r\nConnection: keep-alive\r\nContent-length: " + std::to_string(body.size()) +
                 "\r\n\r\n" + body + Get("/a.txt")));
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].status, 200);
    EXPECT_TRUE(replies[0].Has("Connection: Keep-alive"));
    EXPECT_EQ(replies[0].body, "alpha");
    EXPECT_EQ(replies[1].status, 200);
    EXPECT_EQ(replies[1].body, "alpha");

    // A body whose end is unknown ends the connection after the reply.
    replies = SplitReplies(Exchange(
        "POST /a.txt HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nxxxxx\r\n0\r\n\r\n"));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_FALSE(replies[0].Has("Connection: Keep-alive"));

    // Without the client's header there is no keep-alive.
    replies = SplitReplies(Exchange(Get("/a.txt") + Get("/b.txt")));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_FALSE(replies[0].Has("Connection: Keep-alive"));
}

TEST_F(RequestLoopTest, ProcessURLKeepsItsCopyOfTheURL)
{
    WriteFile(m_root + "/a.txt", "alpha");
    CHTTPServer* server = StartServer();

    WSocketBase listener;
    ASSERT_EQ(listener.Create(), 0);
    ASSERT_EQ(listener.Bind(0, htonl(INADDR_LOOPBACK)), 0);
    ASSERT_EQ(listener.Listen(1), 0);
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    listener.GetLocalAddress(&address, &port);
    WSocket client;
    client.SetTimeout(5000);
    ASSERT_EQ(client.Connect("127.0.0.1", port), 0);
    WSocket peer;
    peer.SetTimeout(5000);
    ASSERT_EQ(peer.Attach(listener.Accept()), 0);

    std::string received;
    {
        CHTTPRequest request;
        CDocumentRef guard(server->GetDocumentCache(), &request.Document, &request.FileHandle);
        char protocol[] = "HTTP/1.0";
        request.Protocol = protocol;
        char method[] = "GET";
        request.Method = method;
        {
            std::string url = "/a.txt?x=1";
            server->ProcessURL(url, peer, request);
            url.assign(url.size(), '#'); // the caller's text goes away
        }
        EXPECT_STREQ(request.URLPath, "/a.txt");
        EXPECT_STREQ(request.Query, "x=1");
        EXPECT_GE(request.URLPath, request.URLCopy.data());
        EXPECT_LT(request.URLPath, request.URLCopy.data() + request.URLCopy.size());
        peer.Flush();
        peer.Close();
    }
    char buffer[4096];
    for (int got; (got = client.Read(buffer, sizeof buffer)) > 0;)
        received.append(buffer, static_cast<std::size_t>(got));
    Reply reply = SplitReplies(received).at(0);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "alpha");
}

} // namespace
