#include "proxy/http_proxy.h"
#include "proxy/reply_head.h"

#include <gtest/gtest.h>

namespace {

TEST(ProxyHeadersTest, StatusLine)
{
    struct Case {
        const char* line;
        int status;
    } cases[] = {{"HTTP/1.1 304 Not Modified", 304}, {" \tHTTP/1.0\t404 x", 404}, {"http/1.0 404", 200},
                 {"<html>", 200},                    {"", 200},                  {"HTTP/1.0 99999999999", 999999}};
    for (const Case& c : cases)
        EXPECT_EQ(ParseStatusLine(c.line), c.status) << c.line;
}

TEST(ProxyHeadersTest, HeaderValue)
{
    const char* text = "Host: a\r\nX-Two: first\r\nx-two:   second\r\n\r\nNoColon\nEmpty:\r\n";
    struct Case {
        const char* name;
        int n;
        const char* value;
    } cases[] = {{"host", 0, "a"}, {"X-TWO", 0, "first"}, {"x-two", 1, "second"}, {"x-two", 2, ""},
                 {"nocolon", 0, ""}, {"empty", 0, ""},      {"missing", 0, ""}};
    for (const Case& c : cases) {
        std::string value = "stale";
        GetHeaderValue(value, c.name, text, c.n);
        EXPECT_EQ(value, c.value) << c.name << " " << c.n;
    }
}

// The client's Host never passes (the URL's authority is sent instead), and
// Transfer-Encoding passes with the body it frames.
TEST(ProxyHeadersTest, UpstreamHeadersLoseHopByHopAndProxyLines)
{
    const char* request = "Host: h\r\nConnection: keep-alive\r\nKeep-Alive: 300\r\nProxy-Connection: keep-alive\r\n"
                          "TE: trailers\r\nUpgrade: h2c\r\nTransfer-Encoding: chunked\r\n"
                          "Proxy-Authorization: Basic eDp5\r\nAuthorization: Basic eDp5\r\nRange: bytes=0-1\r\n"
                          "Accept: text/html\r\nIf-Modified-Since: x\r\nUser-Agent: curl\r\nCookie: c=1\r\n";
    struct Case {
        unsigned flags;
        std::int64_t since;
        const char* expected;
    } cases[] = {
        {kRelayFlag, 0,
         "Transfer-Encoding: chunked\r\nAuthorization: Basic eDp5\r\nRange: bytes=0-1\r\nAccept: text/html\r\n"
         "If-Modified-Since: x\r\nUser-Agent: curl\r\nCookie: c=1\r\n"},
        {kDropAuthorization | kDropRange | kSendAnyAccept | kDropSince, 0,
         "Transfer-Encoding: chunked\r\nUser-Agent: curl\r\nCookie: c=1\r\nAccept: */*\r\n"},
        {kDropAuthorization | kDropRange | kSendAnyAccept | kSendSince, 784111777,
         "Transfer-Encoding: chunked\r\nUser-Agent: curl\r\nCookie: c=1\r\nAccept: */*\r\n"
         "If-modified-since: Sun, 06 Nov 1994 08:49:37 GMT\r\n"},
        {kDropConnection | kSendOwnUserAgent, 0,
         "Transfer-Encoding: chunked\r\nAuthorization: Basic eDp5\r\nRange: bytes=0-1\r\nAccept: text/html\r\n"
         "If-Modified-Since: x\r\nCookie: c=1\r\nUser-agent: Velmora-Proxy/1.51 (Linux; x86_64; A)\r\n"},
    };
    for (const Case& c : cases) {
        CTextBuffer out;
        FilterProxyHeaders(out, request, c.flags, c.since);
        EXPECT_EQ(out.View(), c.expected) << std::hex << c.flags;
    }
}

TEST(ProxyHeadersTest, ReplyHeadsAreNormalized)
{
    struct Case {
        const char* head;
        const char* out;
        bool chunked;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\nA: 1\r\n\r\n", "HTTP/1.0 200 OK\r\nA: 1\r\n\r\n", false},
        {"HTTP/1.0 200 OK\nA: 1,\n\t 2 \n\n", "HTTP/1.0 200 OK\nA: 1, 2\n\n", false},
        {"HTTP/1.0 200 OK\r\n X: stray\r\nA : 1\r\n\r\n", "HTTP/1.0 200 OK\r\nA: 1\r\n\r\n", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n", true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\ncontent-length: 9\r\n\r\n",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", false},
    };
    for (const Case& c : cases) {
        bool chunked = !c.chunked;
        EXPECT_EQ(NormalizeReplyHead(c.head, &chunked), c.out) << c.head;
        EXPECT_EQ(chunked, c.chunked) << c.head;
    }
}

} // namespace
