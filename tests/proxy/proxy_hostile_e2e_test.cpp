// A hostile client against the proxy: a forged Host, replies meant for one
// client, ambiguous framing, replies that vary, connections without a
// request and servers that cannot be reached. Each test ends with a plain
// request that must still be served.

#include "eventually.h"
#include "framework/server_log.h"
#include "proxy_e2e.h"

#include <map>
#include <mutex>

namespace proxy_e2e {
namespace {

// A scripted origin: reads each request (head, and a body framed by
// Content-Length or chunked), remembers it, and answers 200 with the extra
// header lines its table gives for the path and a body naming the fetch and
// the Host and Accept-Language it saw.
class ScriptedOrigin {
public:
    explicit ScriptedOrigin(std::map<std::string, std::string> replyHeaders = {})
        : m_replyHeaders(std::move(replyHeaders))
    {
    }
    std::uint16_t Port() const { return m_origin.Port(); }
    std::vector<std::string> Requests()
    {
        std::lock_guard hold(m_mutex);
        return m_requests;
    }
    int Hits(const std::string& path)
    {
        int hits = 0;
        for (const std::string& request : Requests())
            hits += request.find(" " + path + " HTTP/") != std::string::npos;
        return hits;
    }

private:
    static std::string Value(const std::string& head, const std::string& name)
    {
        std::string value;
        GetHeaderValue(value, name, head, 0);
        return value;
    }
    void Answer(int handle)
    {
        WSocket peer;
        peer.Attach(handle);
        peer.SetTimeout(5000);
        std::string request = ReadHead(peer);
        char c;
        if (Value(request, "transfer-encoding") == "chunked") {
            while (request.find("\r\n0\r\n\r\n") == std::string::npos && peer.Read(&c, 1) == 1)
                request += c;
        } else if (!Value(request, "content-length").empty()) {
            std::size_t length = std::stoul(Value(request, "content-length"));
            std::string body(length, '\0');
            for (std::size_t got = 0; got < length;) {
                int n = peer.Read(body.data() + got, static_cast<int>(length - got));
                if (n <= 0)
                    break;
                got += static_cast<std::size_t>(n);
            }
            request += body;
        }
        std::string path(Word(request, 1));
        std::size_t fetch;
        {
            std::lock_guard hold(m_mutex);
            m_requests.push_back(request);
            fetch = m_requests.size();
        }
        std::string body = "fetch " + std::to_string(fetch) + " host " + Value(request, "host") + " lang " +
                           Value(request, "accept-language") + "\n";
        auto extra = m_replyHeaders.find(path);
        std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
                            (extra == m_replyHeaders.end() ? std::string() : extra->second) + "\r\n" + body;
        peer.SendText(reply, false);
        peer.Close();
    }

    std::map<std::string, std::string> m_replyHeaders;
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
    LoopbackOrigin m_origin{[this](int handle) { Answer(handle); }};
};

class ProxyHostileTest : public ProxyE2ETest {
protected:
    // curl with extra request header lines: the reply's header and body.
    std::string Fetch(ScriptedOrigin& origin, const std::string& path, const std::vector<std::string>& headers)
    {
        std::vector<std::string> args = {"-f", "-D", m_dir / "head.out"};
        for (const std::string& header : headers)
            args.insert(args.end(), {"-H", header});
        args.push_back(Origin(origin.Port(), path));
        RunResult run = CurlLogged(args);
        EXPECT_EQ(run.exitCode, 0) << path;
        return bench::ReadFile(m_dir / "head.out") + run.output;
    }
    // A plain fetch through the proxy still works.
    void ExpectStillServes(ScriptedOrigin& origin)
    {
        RunResult run = Curl({"-f", Origin(origin.Port(), "/still?serving")});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(run.output.rfind("fetch ", 0), 0u) << run.output;
    }
};

TEST_F(ProxyHostileTest, TheOriginSeesTheURLsAuthorityNeverTheClientsHost)
{
    m_key.SetDword("MaxCacheSize", 1);
    ScriptedOrigin origin;
    StartProxy();
    const std::string authority = "127.0.0.1:" + std::to_string(origin.Port());
    struct Case {
        const char* path; // a query goes past the cache
        std::vector<std::string> headers;
    } cases[] = {
        {"/page", {"Host: evil.example"}},
        {"/direct?x", {"Host: evil.example"}},
        {"/two", {"Host: evil.example", "host: other.example"}},
    };
    for (const Case& c : cases) {
        std::string poisoned = Fetch(origin, c.path, c.headers);
        EXPECT_NE(poisoned.find("host " + authority + " "), std::string::npos) << c.path << poisoned;
        // The next client gets the document the URL names (from the cache
        // where it was stored).
        std::string next = Fetch(origin, c.path, {});
        EXPECT_NE(next.find("host " + authority + " "), std::string::npos) << c.path << next;
    }
    for (const std::string& request : origin.Requests()) {
        EXPECT_EQ(request.find(".example"), std::string::npos) << request;
        std::string second;
        GetHeaderValue(second, "host", request, 1);
        EXPECT_TRUE(second.empty()) << "one Host line only: " << request;
    }
    EXPECT_EQ(origin.Hits("/page"), 1) << "the second client was served the stored copy";
    ExpectStillServes(origin);
}

TEST_F(ProxyHostileTest, RepliesForOneClientAreRelayedButNeverShared)
{
    m_key.SetDword("MaxCacheSize", 1);
    struct Case {
        const char* path;
        const char* replyHeaders;
        std::vector<std::string> first;  // the filling client's headers
        std::vector<std::string> second; // the next client's
        bool stored; // by the first fetch (an anonymous second one may store)
        bool secondFromCopy;
    } cases[] = {
        {"/plain", "", {}, {}, true, true},
        {"/private", "Cache-Control: private\r\n", {}, {}, false, false},
        {"/private-field", "Cache-control: max-age=60, PRIVATE=\"x\"\r\n", {}, {}, false, false},
        {"/no-store", "Cache-Control: no-store\r\n", {}, {}, false, false},
        {"/cookie", "Set-Cookie: session=alice\r\n", {}, {}, false, false},
        {"/asked-no-store", "", {"Cache-Control: no-store"}, {}, false, false},
        {"/filled-with-cookie", "", {"Cookie: session=alice"}, {}, false, false},
        {"/to-cookie", "", {}, {"Cookie: session=bob"}, true, false},
        {"/to-authorization", "", {}, {"Authorization: Basic Ym9iOng="}, true, false},
        {"/public-to-cookie", "Cache-Control: public\r\n", {}, {"Cookie: session=bob"}, true, true},
        {"/public-filled-with-cookie", "Cache-Control: public, max-age=60\r\n", {"Cookie: s=1"}, {}, true, true},
        {"/vary-language", "Vary: Accept-Language\r\n", {"Accept-Language: de"}, {"Accept-Language: en"}, false,
         false},
        // The client's Accept-Encoding reaches the origin, so it varies too.
        {"/vary-encoding", "Vary: Accept-Encoding\r\n", {}, {}, false, false},
    };
    std::map<std::string, std::string> replies;
    for (const Case& c : cases)
        replies[c.path] = c.replyHeaders;
    ScriptedOrigin origin(replies);
    StartProxy();
    for (const Case& c : cases) {
        std::size_t before = m_proxy->GetCache().GetCount();
        std::string firstReply = Fetch(origin, c.path, c.first);
        // The filling client gets the reply whole, its cookie included.
        EXPECT_NE(firstReply.find(c.replyHeaders), std::string::npos) << c.path << firstReply;
        EXPECT_EQ(m_proxy->GetCache().GetCount() - before, c.stored ? 1u : 0u) << c.path;
        int hits = origin.Hits(c.path);
        std::string secondReply = Fetch(origin, c.path, c.second);
        EXPECT_EQ(origin.Hits(c.path) == hits, c.secondFromCopy) << c.path << ": " << secondReply;
        // One not served from the copy gets the origin's answer made for it.
        if (!c.secondFromCopy) {
            std::string newest = "fetch " + std::to_string(origin.Requests().size()) + " ";
            EXPECT_NE(secondReply.find(newest), std::string::npos) << c.path << ": " << secondReply;
        }
    }
    ExpectStillServes(origin);
}

TEST_F(ProxyHostileTest, AmbiguousFramingIsRefusedAndNeverForwarded)
{
    ScriptedOrigin origin;
    StartProxy();
    const std::string target = "http://127.0.0.1:" + std::to_string(origin.Port());
    struct Case {
        std::string request;
        const char* status;
        const char* forwardedLine; // what the origin must see; null: nothing reaches it
    } cases[] = {
        {"POST " + target + "/a HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", "400", nullptr},
        {"POST " + target + "/b HTTP/1.1\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n"
                            "0\r\n\r\nGET /admin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
         "400", nullptr},
        {"POST " + target + "/c HTTP/1.1\r\nX-A: 1\rTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\nabc", "400",
         nullptr},
        {"POST " + target + "/d HTTP/1.1\r\nContent-Length : 3\r\n\r\nabc", "400", nullptr},
        {"GET " + target + "/e HTTP/1.1\r\nX-A: a" + std::string(1, '\0') + "b\r\n\r\n", "400", nullptr},
        {"GET " + target + "/f\rX HTTP/1.1\r\n\r\n", "400", nullptr},
        {"POST " + target + "/g HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\nabc", "400", nullptr},
        {"POST " + target + "/h HTTP/1.1\r\nTransfer-Encoding: chunked, chunked\r\n\r\n0\r\n\r\n", "400", nullptr},
        {"POST " + target + "/i HTTP/1.1\r\nContent-Length: 3x\r\n\r\nabc", "400", nullptr},
        // A folded line, and a blank before the colon, are refused.
        {"GET " + target + "/l HTTP/1.1\r\nX-A: 1\r\n Transfer-Encoding: chunked\r\n\r\n", "400", nullptr},
        {"GET " + target + "/m HTTP/1.1\r\nCache-Control: public,\r\n\tno-store\r\n\r\n", "400", nullptr},
        {"GET " + target + "/n HTTP/1.1\r\nCache-Control : no-store\r\n\r\n", "400", nullptr},
        // Legal: equal repeats, and a chunked body with its framing intact.
        {"POST " + target + "/j HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc", "200",
         "Content-Length: 3\r\n"},
        {"POST " + target + "/k HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "200",
         "Content-Length: 3\r\n"},
    };
    for (const Case& c : cases) {
        std::size_t before = origin.Requests().size();
        std::string reply = RawRequest(m_port, c.request);
        std::string what = c.request.substr(0, 90);
        EXPECT_EQ(reply.substr(0, 13), std::string("HTTP/1.0 ") + c.status + " ")
            << what << ": " << reply.substr(0, 200);
        std::vector<std::string> seen = origin.Requests();
        if (!c.forwardedLine) {
            EXPECT_EQ(seen.size(), before) << what;
            EXPECT_EQ(reply.find("\r\n\r\n") + 4 + Page("http-badcommand").size(), reply.size()) << what;
            continue;
        }
        ASSERT_EQ(seen.size(), before + 1) << what;
        EXPECT_NE(seen.back().find(c.forwardedLine), std::string::npos) << what << ": " << seen.back();
    }
    // The chunked body reached the origin de-chunked, without its framing.
    EXPECT_EQ(origin.Requests().back().substr(origin.Requests().back().find("\r\n\r\n")), "\r\n\r\nabc");
    EXPECT_EQ(origin.Requests().back().find("Transfer-Encoding"), std::string::npos);
    for (const std::string& request : origin.Requests())
        EXPECT_EQ(request.find("/admin"), std::string::npos) << request;
    ExpectStillServes(origin);
}

TEST_F(ProxyHostileTest, ConnectionsWithoutARequestWriteNoLogLine)
{
    m_key.SetDword("ConnTimeout", 1);
    ScriptedOrigin origin;
    StartProxy();
    struct Case {
        const char* what;
        bool waitForTimeOut; // else the client closes at once
    } cases[] = {{"closed unused", false}, {"left idle", true}};
    for (const Case& c : cases) {
        WSocket idle;
        idle.SetTimeout(5000);
        ASSERT_EQ(idle.Connect("127.0.0.1", m_port), 0) << c.what;
        if (c.waitForTimeOut) {
            char byte;
            std::uint64_t start = platform::MonotonicMs();
            EXPECT_EQ(idle.Read(&byte, 1), 0) << c.what << ": the proxy closes an idle connection";
            EXPECT_LT(platform::MonotonicMs() - start, 4000u) << c.what;
        }
        idle.Close();
    }
    ExpectStillServes(origin);
    // An empty line is a request (405), and it is logged.
    std::string reply = RawRequest(m_port, "\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.0 405 ", 0), 0u) << reply;
    std::vector<std::string> log = LogLines(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].find("\"GET http://127.0.0.1:"), std::string::npos) << log[0];
    EXPECT_NE(log[1].find("\"  \" 405 "), std::string::npos) << log[1];
}

TEST_F(ProxyHostileTest, UnreachableServersGetTheDesignedPageAndTheirCauseLogged)
{
    std::string home = m_dir / "home";
    ::setenv("VELMORA_HOME", home.c_str(), 1);
    ASSERT_TRUE(OpenServerLog());
    ScriptedOrigin origin;
    std::uint16_t closed = FreePort();
    StartProxy();
    struct Case {
        std::string request;
        std::vector<std::string> causes; // any of them
        std::string named;               // where the log says it tried
    } cases[] = {
        // Without a name server at all the look-up fails as "not reachable".
        {"GET http://example.invalid/page HTTP/1.0\r\n\r\n", {"name not found", "name server not reachable"},
         "example.invalid:80 for 127.0.0.1 \"http://example.invalid/page\""},
        {"GET http://127.0.0.1:" + std::to_string(closed) + "/x HTTP/1.0\r\n\r\n", {"connection refused"},
         "127.0.0.1:" + std::to_string(closed) + " for 127.0.0.1 \"http://127.0.0.1:"},
        {"GET gopher://example.invalid/1 HTTP/1.0\r\n\r\n", {"name not found", "name server not reachable"},
         "example.invalid:70 for 127.0.0.1"},
        {"CONNECT example.invalid:443 HTTP/1.0\r\n\r\n", {"name not found", "name server not reachable"},
         "example.invalid:443 for 127.0.0.1 \"example.invalid:443\""},
        {"GET http://example.invalid/" + std::string(300, 'p') + " HTTP/1.0\r\n\r\n",
         {"name not found", "name server not reachable"}, "\"http://example.invalid/ppp"},
    };
    std::string serverLog = home + "/log/" + kServerLogFileName;
    for (const Case& c : cases) {
        std::string what = c.request.substr(0, 60);
        std::string reply = RawRequest(m_port, c.request);
        // The designed reply stays: 504 and the "noreply" page.
        EXPECT_EQ(reply.rfind("HTTP/1.0 504 ", 0), 0u) << what << ": " << reply;
        std::string page = Page("http-noreply");
        EXPECT_EQ(reply.substr(reply.size() - std::min(reply.size(), page.size())), page) << what;
        std::string line;
        EXPECT_TRUE(Eventually([&] {
            std::istringstream text(bench::ReadFile(serverLog));
            for (std::string candidate; std::getline(text, candidate);) {
                if (candidate.find(c.named) != std::string::npos)
                    line = candidate;
            }
            return !line.empty();
        }))
            << what << " not in " << bench::ReadFile(serverLog);
        bool named = false;
        for (const std::string& cause : c.causes)
            named = named || line.find("HTTP proxy: " + cause + " at ") != std::string::npos;
        EXPECT_TRUE(named) << what << ": " << line;
    }
    // The access log keeps its designed line for each.
    std::vector<std::string> log = LogLines(std::size(cases));
    ASSERT_EQ(log.size(), std::size(cases));
    for (const std::string& line : log)
        EXPECT_NE(line.find("\" 504 "), std::string::npos) << line;
    ExpectStillServes(origin);
    CloseServerLog();
    ::unsetenv("VELMORA_HOME");
}

} // namespace
} // namespace proxy_e2e
