// gopher and ftp replies through the proxy as they arrive, and the origin
// let go when the client leaves, an FTP reply that never ends included; the
// other answers of those two schemes: a barred port, a folder without its
// slash, a refused server, a text's closing line.

#include "proxy_e2e.h"

#include "eventually.h"

#include <map>

namespace proxy_e2e {
namespace {

std::string PeerScript() { return std::string(VELMORA_SOURCE_DIR) + "/tests/proxy/drip_peer.py"; }

class ProxyStreamTest : public ProxyE2ETest {
protected:
    void SetUp() override
    {
        ProxyE2ETest::SetUp();
        if (IsSkipped())
            return;
        m_key.SetDword("ConnTimeout", 30);
    }
    void StartPeer(Peer& peer, std::uint16_t& port, const std::string& kind)
    {
        port = FreePort();
        m_peerLog = m_dir / (kind + ".notes");
        std::string error =
            peer.Start({kPython, PeerScript(), kind, std::to_string(port), m_peerLog}, m_dir / (kind + ".log"), port);
        ASSERT_TRUE(error.empty()) << error;
    }
    // The two origins and the proxy, each origin keeping its notes.
    struct Origins {
        Peer gopher;
        Peer ftp;
        std::uint16_t gopherPort = 0;
        std::uint16_t ftpPort = 0;
        std::string gopherNotes;
        std::string ftpNotes;
    };
    void StartOriginsAndProxy(Origins& origins)
    {
        StartPeer(origins.gopher, origins.gopherPort, "gopher");
        origins.gopherNotes = m_peerLog;
        StartPeer(origins.ftp, origins.ftpPort, "ftp");
        origins.ftpNotes = m_peerLog;
        StartProxy();
    }
    // curl asks the proxy for the URL itself, as a browser does.
    RunResult Fetch(const std::string& url, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = StatusArgs(extra);
        args.insert(args.end(), {"--request-target", url, ProxyURL() + "/"});
        return Curl(args);
    }
    std::string Notes() { return bench::ReadFile(m_peerLog); }

    std::string m_peerLog;
};

TEST_F(ProxyStreamTest, SlowDocumentsStreamAndTheOriginGoesWithTheClient)
{
    Origins origins;
    StartOriginsAndProxy(origins);
    const std::uint16_t gopherPort = origins.gopherPort;
    const std::uint16_t ftpPort = origins.ftpPort;
    const std::string& gopherNotes = origins.gopherNotes;
    const std::string& ftpNotes = origins.ftpNotes;
    struct Case {
        std::string url;
        std::string notes;
        std::vector<std::string> extra;
    } cases[] = {
        // Through the cache fill, and relayed directly.
        {Origin(gopherPort, "/0/drip", "gopher"), gopherNotes, {}},
        {Origin(gopherPort, "/0/drip", "gopher"), gopherNotes, {"-H", "Pragma: no-cache"}},
        {Origin(ftpPort, "/drip.txt", "ftp"), ftpNotes, {}},
        {Origin(ftpPort, "/drip.txt", "ftp"), ftpNotes, {"-H", "Pragma: no-cache"}},
    };
    std::map<std::string, std::size_t> rounds;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url + (c.extra.empty() ? "" : " direct"));
        std::vector<std::string> extra = c.extra;
        extra.insert(extra.end(), {"--max-time", "3"});
        RunResult run = Fetch(c.url, extra);
        // The origin sends a line every 100 ms for 40 s: the client leaves
        // after 3 s with what came so far.
        EXPECT_EQ(run.output, "200");
        EXPECT_NE(Body().find("line 0\r\n"), std::string::npos) << Body().size() << " bytes";
        // Each round's connection is let go long before the origin ends.
        std::size_t expected = ++rounds[c.notes];
        auto closed = [&] {
            std::string notes = bench::ReadFile(c.notes);
            std::size_t count = 0;
            for (std::size_t at = 0; (at = notes.find("closed", at)) != std::string::npos; ++at)
                ++count;
            return count;
        };
        EXPECT_TRUE(Eventually([&] { return closed() >= expected; }, 20000)) << bench::ReadFile(c.notes);
    }
    EXPECT_EQ(m_proxy->GetCache().GetCount(), 0u);
}

TEST_F(ProxyStreamTest, BarredPortsFoldersRefusalsAndClosingLines)
{
    Origins origins;
    StartOriginsAndProxy(origins);
    const std::uint16_t gopherPort = origins.gopherPort;
    const std::uint16_t ftpPort = origins.ftpPort;

    // curl's own form of a gopher URL through a proxy: a tunnel to port 70,
    // which no access line opens. The barred page, and no question of
    // credentials.
    RunResult tunnel = Curl({"-s", "-D", "-", "-o", m_dir / "body.out", "-x", ProxyURL(), "gopher://127.0.0.1:70/1/"});
    EXPECT_EQ(tunnel.output.rfind("HTTP/1.0 403 ", 0), 0u) << tunnel.output;
    EXPECT_EQ(tunnel.output.find("Proxy-Authenticate"), std::string::npos) << tunnel.output;

    // A gopher text arrives without the protocol's closing line; a line
    // that only begins with a dot stays.
    for (std::vector<std::string> extra : {std::vector<std::string>{}, {"-H", "Pragma: no-cache"}}) {
        EXPECT_EQ(Fetch(Origin(gopherPort, "/0/dot", "gopher"), extra).output, "200");
        EXPECT_EQ(Body(), "first\r\n.second keeps its dot\r\n");
    }

    // A folder asked without its slash is sent to the slash form, whose
    // listing's links then resolve inside it.
    RunResult folder = Fetch(Origin(ftpPort, "/pub", "ftp"), {"-D", m_dir / "head.out"});
    EXPECT_EQ(folder.output, "302");
    std::string head = bench::ReadFile(m_dir / "head.out");
    EXPECT_NE(head.find("Location: " + Origin(ftpPort, "/pub/", "ftp") + "\r\n"), std::string::npos) << head;
    // A file that is not there is still not found.
    EXPECT_EQ(Fetch(Origin(ftpPort, "/missing.txt", "ftp")).output, "404");

    // A server that refuses the connection gets the time-out page, as an
    // http or gopher origin that cannot be reached gets its one.
    std::uint16_t closedPort = FreePort();
    EXPECT_EQ(Fetch(Origin(closedPort, "/pub/", "ftp")).output, "504");
    EXPECT_NE(Body().find(Page("http-ftptimeout")), std::string::npos) << Body();
}

// An FTP server that never ends its greeting, or its answer to PASS, one
// line every half second: each reply may take ConnTimeout (30 s here), yet
// the server is let go as soon as the client leaves.
TEST_F(ProxyStreamTest, AnEndlessFTPReplyIsLetGoWithTheClient)
{
    StartProxy();
    for (const char* kind : {"ftp-greeting", "ftp-login"}) {
        SCOPED_TRACE(kind);
        Peer peer;
        std::uint16_t port = 0;
        StartPeer(peer, port, kind);
        Fetch(Origin(port, "/pub/", "ftp"), {"--max-time", "1"});
        EXPECT_TRUE(Eventually([&] { return Notes().find("closed") != std::string::npos; }, 10000)) << Notes();
    }
}

// A client that stays waits no longer than ConnTimeout for one reply.
TEST_F(ProxyStreamTest, AnEndlessFTPReplyEndsAtTheDeadline)
{
    m_key.SetDword("ConnTimeout", 2);
    StartProxy();
    Peer peer;
    std::uint16_t port = 0;
    StartPeer(peer, port, "ftp-greeting");
    RunResult run = Fetch(Origin(port, "/pub/", "ftp"), {"--max-time", "30"});
    EXPECT_EQ(run.output, "504");
    EXPECT_LT(run.elapsedMs, 20000u) << "2 s and a loaded machine's slack";
    EXPECT_NE(Body().find(Page("http-ftptimeout")), std::string::npos) << Body();
}

} // namespace
} // namespace proxy_e2e
