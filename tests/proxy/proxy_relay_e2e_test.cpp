// Clients through the proxy to real origins, the headers an origin sees,
// and the refusals.

#include "eventually.h"
#include "proxy_e2e.h"

#include <thread>

namespace proxy_e2e {
namespace {

class ProxyRelayTest : public ProxyE2ETest {};

TEST_F(ProxyRelayTest, CurlAndWgetThroughTheProxyToPythonAndNginx)
{
    std::string small = RandomBytes(1024, 1);
    std::string large = RandomBytes(1 << 20, 2);
    bench::WriteFile(m_root + "/small.bin", small);
    bench::WriteFile(m_root + "/large.bin", large);
    std::string expectedSmall = RunTool({"sha256sum", m_root + "/small.bin"}, m_dir / "sha").output.substr(0, 64);
    std::string expectedLarge = RunTool({"sha256sum", m_root + "/large.bin"}, m_dir / "sha").output.substr(0, 64);

    Peer python;
    std::uint16_t pythonPort = 0;
    StartPython(python, pythonPort);
    bench::PeerServer nginx;
    std::uint16_t nginxPort = 0;
    std::string nginxProgram = bench::FindProgram("nginx");
    if (!nginxProgram.empty()) {
        nginxPort = FreePort();
        std::string prefix = m_dir / "nginx";
        std::filesystem::create_directories(prefix);
        std::string error = nginx.Start(nginxProgram, prefix, m_root, nginxPort, 65, 64);
        ASSERT_TRUE(error.empty()) << error;
    }
    // A wait for the connection time-out tells by its length: long enough
    // that no busy machine's transfer comes near it.
    constexpr std::uint32_t kConnTimeoutSeconds = 30;
    m_key.SetDword("ConnTimeout", kConnTimeoutSeconds);
    StartProxy();

    std::string body = m_dir / "body.out";
    std::vector<std::pair<std::string, std::uint16_t>> origins = {{"python", pythonPort}};
    if (nginxPort)
        origins.push_back({"nginx keep-alive", nginxPort});
    struct Client {
        const char* name;
        std::vector<std::string> (*args)(const std::string& proxy, const std::string& url, const std::string& out);
    } clients[] = {
        {"curl -x", [](const std::string& proxy, const std::string& url, const std::string& out) {
             return std::vector<std::string>{"/usr/bin/curl", "-s", "-f", "--max-time", "10", "-x", proxy, "-o", out, url};
         }},
        {"curl -0 -x", [](const std::string& proxy, const std::string& url, const std::string& out) {
             return std::vector<std::string>{"/usr/bin/curl", "-s", "-f", "-0", "--max-time", "10", "-x", proxy, "-o", out, url};
         }},
        {"wget http_proxy", [](const std::string& proxy, const std::string& url, const std::string& out) {
             return std::vector<std::string>{"/usr/bin/wget", "-q", "-T", "10", "-t", "1", "-e", "use_proxy=yes", "-e",
                                             "http_proxy=" + proxy, "-O", out, url};
         }},
    };
    std::size_t lines = 0;
    for (const auto& [originName, port] : origins) {
        for (const Client& client : clients) {
            for (const auto& [file, sha] : {std::pair{"/small.bin", expectedSmall}, std::pair{"/large.bin", expectedLarge}}) {
                std::filesystem::remove(body);
                RunResult run = RunTool(client.args(ProxyURL(), Origin(port, file), body), m_dir / "client.out");
                std::string what = std::string(client.name) + " to " + originName + file;
                EXPECT_EQ(run.exitCode, 0) << what << ": " << run.output;
                EXPECT_EQ(RunTool({"sha256sum", body}, m_dir / "sha").output.substr(0, 64), sha) << what;
                // The origin closes after its reply: nothing waits out the
                // ConnTimeout (half of it leaves room for a loaded machine).
                EXPECT_LT(run.elapsedMs, kConnTimeoutSeconds * 1000 / 2) << what;
                ++lines;
            }
        }
    }
    // One line a request, whose byte count is the whole relayed reply.
    std::vector<std::string> log = LogLines(lines);
    ASSERT_EQ(log.size(), lines);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(log.back(), match, std::regex(R"(" 200 (\d+)$)")));
    std::uint64_t bytes = std::stoull(match[1]);
    EXPECT_GT(bytes, large.size());
    EXPECT_LT(bytes, large.size() + 1024);
}

// An origin that answers each request with the request it received.
class EchoOrigin {
public:
    std::uint16_t Port() const { return m_origin.Port(); }

private:
    LoopbackOrigin m_origin{[](int handle) {
        WSocket peer;
        peer.Attach(handle);
        peer.SetTimeout(5000);
        std::string head = ReadHead(peer);
        std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(head.size()) + "\r\n\r\n" + head;
        peer.SendText(reply, false);
        peer.Close();
    }};
};

TEST_F(ProxyRelayTest, OriginsGetHTTP10WithoutHopByHopOrProxyLines)
{
    RegSetString(Key("HTTPProxy\\ACL"), "0", "Allow-user: *,demo,*");
    RegSetString(Key("HTTPProxy\\Users"), "demo", "pa:ss");
    EchoOrigin origin;
    StartProxy();
    RunResult run = Curl({"--proxy-user", "demo:pa:ss", "-H", "Proxy-Connection: keep-alive", "-H", "TE: trailers",
                          "-H", "Keep-Alive: 300", "-H", "Connection: keep-alive, TE", "-H", "X-Kept: yes",
                          Origin(origin.Port(), "/echo")});
    ASSERT_EQ(run.exitCode, 0);
    const std::string& seen = run.output;
    EXPECT_EQ(seen.rfind("GET /echo HTTP/1.0\r\n", 0), 0u) << seen;
    for (const char* gone : {"Proxy-Authorization", "Proxy-Connection", "TE:", "Keep-Alive", "keep-alive"})
        EXPECT_EQ(seen.find(gone), std::string::npos) << gone << " in " << seen;
    for (const char* kept : {"X-Kept: yes\r\n", "Connection: close\r\n", "Host: 127.0.0.1:"})
        EXPECT_NE(seen.find(kept), std::string::npos) << kept << " missing in " << seen;
    std::vector<std::string> log = LogLines(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log.back().find(" - demo ["), std::string::npos) << log.back();

    // Without credentials, or with a wrong password: the designed realm.
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"--proxy-user", "demo:pa"}}) {
        args.insert(args.end(), {"-D", "-", "-o", "/dev/null", Origin(origin.Port(), "/echo")});
        RunResult refused = Curl(args);
        EXPECT_EQ(refused.output.rfind("HTTP/1.0 407 ", 0), 0u) << refused.output;
        EXPECT_NE(refused.output.find("Proxy-Authenticate: Basic realm=\"Proxy at 127.0.0.1:" +
                                      std::to_string(m_port) + "\"\r\n"),
                  std::string::npos)
            << refused.output;
    }
}

// A client that connected and closed without a byte made no request and
// leaves no log line; the request after it leaves one.
TEST_F(ProxyRelayTest, AClientThatSentNothingLeavesNoLogLine)
{
    EchoOrigin origin;
    StartProxy();
    {
        WSocket silent;
        ASSERT_EQ(silent.Connect("127.0.0.1", m_port), 0);
    }
    ASSERT_EQ(Curl({"-o", "/dev/null", Origin(origin.Port(), "/echo")}).exitCode, 0);
    ASSERT_EQ(LogLines(1).size(), 1u);
    // Both connections are over once none is active.
    ASSERT_TRUE(Eventually([&] { return m_proxy->GetActiveConnections() == 0; }, 10000));
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"GET "), std::string::npos) << lines[0];
}

TEST_F(ProxyRelayTest, RefusalsGetTheirStatusAndPage)
{
    RegSetString(Key("HTTPProxy\\NoServeList"), "0", "http://barred.invalid/*");
    RegSetString(Key("HTTPProxy\\NoServeList"), "1", "barred.invalid:*");
    RegSetString(Key("HTTPProxy\\ServeList"), "0", "http://barred.invalid/ok/*");
    StartProxy();
    std::string longLine(9 * 1024, 'a');
    std::string manyHeaders;
    for (int i = 0; i < 10; ++i)
        manyHeaders += "X-" + std::to_string(i) + ": " + std::string(7 * 1024, 'b') + "\r\n";
    struct Case {
        std::string request;
        const char* status;
        const char* page; // null: any
    } cases[] = {
        {"GET http://BARRED.invalid:80/x HTTP/1.0\r\n\r\n", "403", "http-censored"},
        {"GET http://barred.invalid/ok/x HTTP/1.0\r\n\r\n", "504", "http-noreply"},
        {"GET http://host:70000/ HTTP/1.0\r\n\r\n", "400", nullptr},
        {"GET http://host:0/ HTTP/1.0\r\n\r\n", "400", nullptr},
        {"GET http://host/" + longLine + " HTTP/1.0\r\n\r\n", "414", nullptr},
        {"GET http://host/ HTTP/1.0\r\nX-Long: " + longLine + "\r\n\r\n", "400", nullptr},
        {"GET http://host/ HTTP/1.0\r\n" + manyHeaders + "\r\n", "400", nullptr},
        // Beyond the socket's own line limit too, and the refusal still arrives.
        {"GET http://host/" + std::string(70 * 1024, 'c') + " HTTP/1.0\r\n\r\n", "414", nullptr},
        {"GET http://host/ HTTP/1.0\r\nX-Huge: " + std::string(200 * 1024, 'd') + "\r\n\r\n", "400", nullptr},
        {"GET http://host/x\r\n\r\n", "501", "http-getonly"},
        {"\r\n", "405", "http-badcommand"},
        {"GET news://host/pub/ HTTP/1.0\r\n\r\n", "405", "http-badcommand"},
        // A server that cannot be reached gets the time-out page.
        {"GET ftp://host/pub/ HTTP/1.0\r\n\r\n", "504", "http-ftptimeout"},
        {"POST gopher://host/1 HTTP/1.0\r\n\r\n", "504", "http-noreply"},
        // A barred port is barred, not a question of credentials.
        {"CONNECT 127.0.0.1:22 HTTP/1.0\r\n\r\n", "403", "http-censored"},
        {"CONNECT 127.0.0.1:70 HTTP/1.0\r\n\r\n", "403", "http-censored"},
        {"CONNECT BARRED.invalid:443 HTTP/1.0\r\n\r\n", "403", "http-censored"},
        // An empty list opens tunnels to 443, where nothing listens here.
        {"CONNECT 127.0.0.1:443 HTTP/1.0\r\n\r\n", "504", "http-noreply"},
        {"CONNECT 127.0.0.1:99999 HTTP/1.0\r\n\r\n", "400", nullptr},
    };
    for (const Case& c : cases) {
        std::string reply = RawRequest(m_port, c.request);
        std::string what = c.request.substr(0, 60);
        EXPECT_EQ(reply.substr(0, 13), std::string("HTTP/1.0 ") + c.status + " ") << what << ": " << reply.substr(0, 200);
        if (c.page) {
            std::string page = Page(c.page);
            EXPECT_EQ(reply.substr(reply.size() - std::min(reply.size(), page.size())), page) << what;
        }
    }
}

} // namespace
} // namespace proxy_e2e

namespace proxy_e2e {
namespace {

// An origin that misbehaves as told: silent, closing at once, or sending
// part of a reply and then nothing.
class FaultyOrigin {
public:
    enum Mode { Silent, CloseAtOnce, PartThenSilent };
    ~FaultyOrigin()
    {
        m_origin.Stop();
        for (std::thread& peer : m_peers)
            peer.join();
    }
    std::uint16_t Port() const { return m_origin.Port(); }
    std::atomic<int> m{Silent};

private:
    std::vector<std::thread> m_peers;
    // Each connection on its own, so a silent one delays no other.
    LoopbackOrigin m_origin{[this](int handle) {
        m_peers.emplace_back([handle, mode = m.load()] {
            WSocket peer;
            peer.Attach(handle);
            peer.SetTimeout(5000);
            CTextBuffer line;
            while (peer.ReadLine(line, true) > 0 && !line.IsEmpty())
                line.Empty();
            if (mode == PartThenSilent)
                peer.SendText("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\npartial", false);
            if (mode != CloseAtOnce)
                platform::SleepMs(2000);
            peer.Close();
        });
    }};
};

TEST_F(ProxyRelayTest, FailuresBeforeTheFirstByteGetAReplyAfterItOnlyAClose)
{
    m_key.SetDword("ConnTimeout", 1);
    m_key.SetDword("MaxCacheSize", 1);
    FaultyOrigin origin;
    RefusingPort closed;
    StartProxy();
    struct Case {
        int mode;
        const char* path; // a query goes past the cache
        bool noOrigin;
        const char* replyStart;
        const char* replyEnd;
    } cases[] = {
        {FaultyOrigin::Silent, "/s?direct", false, "HTTP/1.0 504 ", "</HTML>"},
        {FaultyOrigin::CloseAtOnce, "/c?direct", false, "HTTP/1.0 502 ", "</HTML>"},
        {FaultyOrigin::PartThenSilent, "/p?direct", false, "HTTP/1.0 200 OK\r\n", "\r\n\r\npartial"},
        {FaultyOrigin::Silent, "/s", false, "HTTP/1.0 504 ", "</HTML>"},
        {FaultyOrigin::CloseAtOnce, "/c", false, "HTTP/1.0 502 ", "</HTML>"},
        // A cache fill relays as it stores: the same cut as a direct relay.
        {FaultyOrigin::PartThenSilent, "/p", false, "HTTP/1.0 200 OK\r\n", "\r\n\r\npartial"},
        {FaultyOrigin::Silent, "/down", true, "HTTP/1.0 504 ", "</HTML>"},
    };
    for (const Case& c : cases) {
        origin.m = c.mode;
        std::uint16_t port = c.noOrigin ? closed.port : origin.Port();
        std::string reply =
            RawRequest(m_port, "GET http://127.0.0.1:" + std::to_string(port) + c.path + " HTTP/1.0\r\n\r\n");
        std::string what = std::string(c.path) + " mode " + std::to_string(c.mode);
        EXPECT_EQ(reply.rfind(c.replyStart, 0), 0u) << what << ": " << reply;
        std::string end = c.replyEnd;
        EXPECT_EQ(reply.substr(reply.size() - std::min(reply.size(), end.size())), end) << what << ": " << reply;
        // No cache file outlives a fill that failed.
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dir / "cache"))
            EXPECT_FALSE(entry.is_regular_file()) << what << ": " << entry.path();
    }
    EXPECT_EQ(m_proxy->GetCache().GetCount(), 0u);
}

} // namespace
} // namespace proxy_e2e
