// Chaining: the proxy relays to Squid from Debian as its ProxyHost.

#include "proxy_e2e.h"

#include <sys/stat.h>

#include <mutex>

namespace proxy_e2e {
namespace {

class ProxyChainTest : public ProxyE2ETest {};

TEST_F(ProxyChainTest, RelaysThroughSquid)
{
    std::string squid = bench::FindProgram("squid");
    if (squid.empty())
        GTEST_SKIP() << "squid is not installed";
    bench::WriteFile(m_root + "/chain.txt", "through two proxies\n");
    Peer origin;
    std::uint16_t originPort = 0;
    StartPython(origin, originPort);

    // Squid drops root for its own user, who must reach its folder.
    std::string folder = m_dir / "squid";
    std::filesystem::create_directories(folder);
    ::chmod(m_dir.Path().c_str(), 0711);
    ::chmod(folder.c_str(), 0777);
    std::uint16_t squidPort = FreePort();
    std::string conf = "http_port 127.0.0.1:" + std::to_string(squidPort) + "\n" +
                       "pid_filename " + folder + "/squid.pid\n" +
                       "access_log stdio:" + folder + "/access.log\n" +
                       "cache_log " + folder + "/cache.log\n" +
                       "cache_store_log none\n"
                       "cache deny all\n"
                       "coredump_dir " + folder + "\n" +
                       "pinger_enable off\n"
                       "shutdown_lifetime 0 seconds\n"
                       "http_access allow localhost\n"
                       "http_access deny all\n";
    bench::WriteFile(folder + "/squid.conf", conf);
    Peer squidPeer;
    std::string error = squidPeer.Start({squid, "-N", "-f", folder + "/squid.conf"}, folder + "/stdout.log", squidPort);
    ASSERT_TRUE(error.empty()) << error << bench::ReadFile(folder + "/cache.log");

    m_key.SetString("ProxyHost", "127.0.0.1");
    m_key.SetDword("ProxyPort", squidPort);
    m_key.SetString("SecurityProxyHost", "127.0.0.1");
    m_key.SetDword("SecurityProxyPort", squidPort);
    RegSetString(Key("HTTPProxy\\ACL"), "0", "Allow-user: *,*,127.0.0.1");
    StartProxy();
    std::string url = Origin(originPort, "/chain.txt");
    RunResult run = Curl({"-f", url});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "through two proxies\n");

    // Squid logged the request with the absolute URL our proxy sent it.
    std::string log;
    std::uint64_t deadline = platform::MonotonicMs() + 5000;
    while ((log = bench::ReadFile(folder + "/access.log")).find(url) == std::string::npos &&
           platform::MonotonicMs() < deadline)
        platform::SleepMs(50);
    EXPECT_NE(log.find("GET " + url), std::string::npos) << log;
    EXPECT_NE(log.find("/200 "), std::string::npos) << log;

    // A tunnel goes through Squid too: Squid's answer reaches the client,
    // then the tunnel carries a request of the client's own.
    WSocket tunnel;
    tunnel.SetTimeout(10000);
    ASSERT_EQ(tunnel.Connect("127.0.0.1", m_port), 0);
    std::string target = "127.0.0.1:" + std::to_string(originPort);
    tunnel.SendText("CONNECT " + target + " HTTP/1.0\r\n\r\n", false);
    CTextBuffer line;
    ASSERT_GT(tunnel.ReadLine(line, true), 0);
    EXPECT_EQ(line.View().substr(0, 13), "HTTP/1.1 200 ") << line.View();
    while (tunnel.ReadLine(line, true) > 0 && line.GetLength() > 0)
        line.Empty();
    tunnel.SendText("GET /chain.txt HTTP/1.0\r\n\r\n", false);
    std::string reply;
    char buffer[1024];
    for (int got; (got = tunnel.Read(buffer, sizeof buffer)) > 0;)
        reply.append(buffer, static_cast<std::size_t>(got));
    EXPECT_NE(reply.find("through two proxies"), std::string::npos) << reply;
    deadline = platform::MonotonicMs() + 5000;
    while ((log = bench::ReadFile(folder + "/access.log")).find("CONNECT " + target) == std::string::npos &&
           platform::MonotonicMs() < deadline)
        platform::SleepMs(50);
    EXPECT_NE(log.find("CONNECT " + target), std::string::npos) << log;
}

// ftp and gopher URLs go to their own upstream proxies as received, with
// the proxy's own User-agent, and the upstream's reply comes back as it is.
TEST_F(ProxyChainTest, FtpAndGopherGoToTheirUpstreamProxies)
{
    std::mutex mutex;
    std::vector<std::string> heads;
    LoopbackOrigin upstream([&](int handle) {
        WSocket peer;
        peer.Attach(handle);
        peer.SetTimeout(5000);
        CTextBuffer head;
        CTextBuffer line;
        while (peer.ReadLine(line, false) > 0 && line.View() != "\r\n") {
            head.Append(line.View());
            line.Empty();
        }
        {
            std::lock_guard hold(mutex);
            heads.push_back(head.ToString());
        }
        peer.SendText("HTTP/1.0 203 From upstream\r\nContent-type: text/plain\r\n\r\nrelayed", false);
        peer.Close();
    });
    m_key.SetString("FTPProxyHost", "127.0.0.1");
    m_key.SetDword("FTPProxyPort", upstream.Port());
    m_key.SetString("GopherProxyHost", "127.0.0.1");
    m_key.SetDword("GopherProxyPort", upstream.Port());
    StartProxy();
    struct Case {
        std::string request;
        std::string line; // the request line upstream
    } cases[] = {
        {"GET ftp://files.invalid/pub/a.txt HTTP/1.1\r\nUser-Agent: client/1\r\nConnection: keep-alive\r\n\r\n",
         "GET ftp://files.invalid/pub/a.txt HTTP/1.0\r\n"},
        {"PUT ftp://files.invalid/up.bin HTTP/1.0\r\nContent-Length: 0\r\n\r\n",
         "PUT ftp://files.invalid/up.bin HTTP/1.0\r\n"},
        {"GET gopher://menus.invalid/1/x HTTP/1.0\r\nUser-Agent: client/1\r\n\r\n",
         "GET gopher://menus.invalid/1/x HTTP/1.0\r\n"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        std::string reply = RawRequest(m_port, c.request);
        EXPECT_EQ(reply, "HTTP/1.0 203 From upstream\r\nContent-type: text/plain\r\n\r\nrelayed") << c.request;
        std::lock_guard hold(mutex);
        ASSERT_EQ(heads.size(), i + 1);
        EXPECT_EQ(heads[i].rfind(c.line, 0), 0u) << heads[i];
        EXPECT_NE(heads[i].find(std::string("User-agent: ") + ProxyAgentToken() + "\r\n"), std::string::npos) << heads[i];
        EXPECT_EQ(heads[i].find("client/1"), std::string::npos) << heads[i];
        EXPECT_EQ(heads[i].find("keep-alive"), std::string::npos) << heads[i];
    }
    for (const std::string& line : LogLines())
        EXPECT_NE(line.find("\" 203 "), std::string::npos) << line;
}

} // namespace
} // namespace proxy_e2e
