// The cache's rules with a real origin: a request with credentials reaches
// the origin with them, a reply that must be revalidated is not served
// without the origin, a revalidation's new answer replaces the copy while a
// failing origin leaves it served, and a stored reply carries its Age. Each case runs in threads and in fibers.

#include "eventually.h"
#include "proxy_e2e.h"

#include <utime.h>

namespace proxy_e2e {
namespace {

// A python origin. /auth/*: 401 without alice's credentials, else her page
// (public under /auth/public). /flip/N: 200 the first time, status N after.
// /cc/X: 200 with Cache-Control X (Age 5 when X holds 600), 304 to a
// conditional request. Each request is logged as "GET path auth=... ims=n".
constexpr const char* kOriginScript = R"(import http.server, sys, urllib.parse
OLD = "Mon, 01 Jan 2024 00:00:00 GMT"
counts = {}
RAW = {
    "both": b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\nEXTRA",
    "folded": b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\nCache-Control: public,\r\n  no-store\r\n\r\nhello",
    "blank": b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\nCache-Control : no-store\r\n\r\nhello",
    "cr": b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\nX-A: a\rSet-Cookie: s=1\r\n\r\nhello",
    "interim": b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\n"
               b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello",
    "dated": b"HTTP/1.0 200 OK\r\nDate: " + OLD.encode() + b"\r\nCache-Control: max-age=60\r\n"
             b"Content-Length: 5\r\n\r\nhello",
}
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    def log_message(self, *args):
        pass
    def reply(self, status, body, extra):
        self.send_response(status)
        for name, value in extra.items():
            self.send_header(name, value)
        if status != 304:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if status != 304:
            self.wfile.write(body)
    def do_GET(self):
        path = self.path
        if path.startswith("/raw/"):
            print("GET %s" % path, flush=True)
            self.close_connection = True
            return self.wfile.write(RAW[path[5:]])
        counts[path] = counts.get(path, 0) + 1
        auth = self.headers.get("Authorization")
        ims = self.headers.get("If-Modified-Since")
        print("GET %s auth=%s ims=%d" % (path, auth or "-", 1 if ims else 0), flush=True)
        if path.startswith("/auth/"):
            if auth != "Basic YWxpY2U6c2VjcmV0":
                return self.reply(401, b"who are you\n", {"WWW-Authenticate": 'Basic realm="r"'})
            return self.reply(200, b"secret for alice\n", {"Cache-Control": "public"} if path == "/auth/public" else {})
        if path.startswith("/flip/"):
            if counts[path] > 1:
                return self.reply(int(path[6:]), b"now " + path[6:].encode() + b"\n", {})
            return self.reply(200, b"first\n", {"Last-Modified": OLD})
        if ims:
            return self.reply(304, b"", {})
        control = urllib.parse.unquote(path[4:])
        extra = {"Last-Modified": OLD, "Cache-Control": control}
        if "600" in control:
            extra["Age"] = "5"
        return self.reply(200, b"copy %d\n" % counts[path], extra)
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
)";

class ProxyRevalidateTest : public ProxyE2ETest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        ProxyE2ETest::SetUp();
        m_key.SetDword("MaxCacheSize", 1);
        m_key.SetDword("SyncInterval", 60);
    }
    void StartAll()
    {
        bench::WriteFile(m_dir / "origin.py", kOriginScript);
        m_originPort = FreePort();
        std::string error = m_origin.Start({kPython, "-u", m_dir / "origin.py", std::to_string(m_originPort)},
                                           m_dir / "origin.log", m_originPort);
        ASSERT_TRUE(error.empty()) << error;
        StartProxy(GetParam() ? 4 : 0);
    }
    int Hits(const std::string& path)
    {
        std::string log = m_origin.Output();
        int hits = 0;
        for (std::size_t at = log.find("GET " + path + " "); at != std::string::npos;
             at = log.find("GET " + path + " ", at + 1))
            ++hits;
        return hits;
    }
    // curl through the proxy: the status, then the reply's header and body.
    std::string Fetch(const std::string& path, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"-D", m_dir / "head.out", "-o", m_dir / "body.out", "-w", "%{http_code}"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(Origin(m_originPort, path));
        RunResult run = CurlLogged(args);
        return run.output + "\n" + bench::ReadFile(m_dir / "head.out") + Body();
    }
    CProxyCacheEntry* Lookup(const std::string& path)
    {
        CUrlParts url;
        url.Parse(Origin(m_originPort, path));
        return m_proxy->GetCache().Lookup(url);
    }

    Peer m_origin;
    std::uint16_t m_originPort = 0;
};

TEST_P(ProxyRevalidateTest, ACacheMissWithCredentialsReachesTheOriginWithThem)
{
    StartAll();
    struct Case {
        const char* path;
        bool shared; // said public: an anonymous client may get the copy
    } cases[] = {{"/auth/private", false}, {"/auth/public", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string reply = Fetch(c.path, {"-u", "alice:secret"});
        EXPECT_EQ(reply.substr(0, 4), "200\n") << reply;
        EXPECT_NE(reply.find("secret for alice"), std::string::npos) << reply;
        EXPECT_EQ(Hits(c.path), 1);
        std::string anonymous = Fetch(c.path);
        EXPECT_EQ(anonymous.find("secret for alice") != std::string::npos, c.shared) << anonymous;
        EXPECT_EQ(Hits(c.path), c.shared ? 1 : 2);
    }
}

TEST_P(ProxyRevalidateTest, RepliesThatMustBeRevalidatedAreNotServedWithoutTheOrigin)
{
    StartAll();
    struct Case {
        const char* control;
        bool staleFirst; // wait until the copy's lifetime has passed
        bool fromCopy;
    } cases[] = {
        {"no-cache", false, false},
        {"max-age=0", false, false},
        {"s-maxage=0,%20max-age=600", false, false},
        {"max-age=1,%20must-revalidate", true, false},
        {"max-age=600", false, true},
    };
    for (const Case& c : cases) {
        std::string path = std::string("/cc/") + c.control;
        SCOPED_TRACE(path);
        EXPECT_NE(Fetch(path).find("copy 1"), std::string::npos);
        if (c.staleFirst) {
            CProxyCacheEntry* entry = Lookup(path);
            ASSERT_NE(entry, nullptr);
            std::int64_t expires = entry->expires;
            m_proxy->GetCache().Release(entry);
            EXPECT_TRUE(Eventually([&] { return std::time(nullptr) > expires; }, 5000));
        }
        std::string second = Fetch(path);
        EXPECT_NE(second.find(c.fromCopy ? "copy 1" : "copy 2"), std::string::npos) << second;
        EXPECT_EQ(Hits(path), c.fromCopy ? 1 : 2);
    }
}

TEST_P(ProxyRevalidateTest, ARevalidationAnsweredGoneReplacesTheCopyAndAFailureKeepsIt)
{
    StartAll();
    struct Case {
        const char* status;
        bool replaced; // else the copy is served, and again without the origin
    } cases[] = {{"404", true}, {"410", true}, {"500", false}, {"503", false}};
    for (const Case& c : cases) {
        std::string path = std::string("/flip/") + c.status;
        SCOPED_TRACE(path);
        EXPECT_NE(Fetch(path).find("first"), std::string::npos);
        CProxyCacheEntry* entry = Lookup(path);
        ASSERT_NE(entry, nullptr);
        m_proxy->GetCache().SetCheckTime(entry, 0);
        m_proxy->GetCache().Release(entry);
        std::string second = Fetch(path);
        if (c.replaced) {
            EXPECT_EQ(second.substr(0, 4), std::string(c.status) + "\n") << second;
            EXPECT_NE(second.find(std::string("now ") + c.status), std::string::npos) << second;
            EXPECT_EQ(Lookup(path), nullptr) << "the old copy is gone";
            EXPECT_NE(Fetch(path).find(std::string("now ") + c.status), std::string::npos);
            EXPECT_EQ(Hits(path), 3);
        } else {
            EXPECT_EQ(second.substr(0, 4), "200\n") << second;
            EXPECT_NE(second.find("first"), std::string::npos) << second;
            EXPECT_NE(Fetch(path).find("first"), std::string::npos);
            EXPECT_EQ(Hits(path), 2) << "checked once, then served from the copy";
        }
    }
}

TEST_P(ProxyRevalidateTest, AStoredReplyCarriesItsAge)
{
    StartAll();
    const std::string path = "/cc/max-age=600";
    Fetch(path);
    CProxyCacheEntry* entry = Lookup(path);
    ASSERT_NE(entry, nullptr);
    // The copy as if stored 100 s ago, with the 5 s it arrived with.
    std::time_t then = std::time(nullptr) - 100;
    utimbuf times{then, then};
    ASSERT_EQ(::utime(entry->path.c_str(), &times), 0);
    m_proxy->GetCache().Release(entry);
    for (const char* method : {"GET", "HEAD"}) {
        SCOPED_TRACE(method);
        std::string reply = Fetch(path, std::string(method) == "HEAD" ? std::vector<std::string>{"-I"} : std::vector<std::string>{});
        EXPECT_EQ(Hits(path), 1) << "served from the copy";
        std::smatch age;
        ASSERT_TRUE(std::regex_search(reply, age, std::regex("\r\nAge: (\\d+)\r\n"))) << reply;
        int seconds = std::stoi(age[1]);
        EXPECT_GE(seconds, 105);
        EXPECT_LT(seconds, 405) << "generous for a slow machine";
        std::string head = bench::ReadFile(m_dir / "head.out");
        EXPECT_EQ(head.find("Age:"), head.rfind("Age:")) << "one Age line: " << head;
        if (std::string(method) == "GET") {
            EXPECT_NE(reply.find("\r\n\r\ncopy 1\n"), std::string::npos) << reply;
        }
    }
}

// Replies read as the client and the cache must read them: chunks win over
// a Content-Length, folds are joined, no blank stands before a colon, a CR
// alone ends no line, an HTTP/1.0 client gets no interim reply, and a reply
// dated long ago is as old as its Date says.
TEST_P(ProxyRevalidateTest, ReplyHeadsAreReadOneWay)
{
    StartAll();
    struct Case {
        const char* name;
        const char* relayed;
        bool stored;
    } cases[] = {
        {"both", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", false},
        {"folded", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nCache-Control: public, no-store\r\n\r\nhello", false},
        {"blank", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nCache-Control: no-store\r\n\r\nhello", false},
        {"cr", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nX-A: a Set-Cookie: s=1\r\n\r\nhello", true},
        {"interim", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", true},
        // Sixty seconds of freshness, spent long before it came.
        {"dated", "HTTP/1.0 200 OK\r\nDate: Mon, 01 Jan 2024 00:00:00 GMT\r\nCache-Control: max-age=60\r\n"
                  "Content-Length: 5\r\n\r\nhello", false},
    };
    for (const Case& c : cases) {
        std::string path = std::string("/raw/") + c.name;
        SCOPED_TRACE(path);
        std::size_t logged = LogLines().size();
        EXPECT_EQ(RawRequest(m_port, "GET " + Origin(m_originPort, path) + " HTTP/1.0\r\n\r\n"), c.relayed);
        LogLines(logged + 1);
        CProxyCacheEntry* entry = Lookup(path);
        EXPECT_EQ(entry != nullptr, c.stored);
        if (entry) {
            // The stored copy is what the client got.
            EXPECT_EQ(bench::ReadFile(entry->path), c.relayed);
            m_proxy->GetCache().Release(entry);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ProxyRevalidateTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Fibers" : "Threads"; });

} // namespace
} // namespace proxy_e2e
