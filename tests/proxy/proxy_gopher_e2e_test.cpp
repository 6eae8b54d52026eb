// gopher URLs through the proxy against gophernicus from Debian (run per
// connection by socat): documents byte for byte as curl's own gopher client
// fetches them, menus with and without Gopher+ fields, a search, hostile
// menus, and the cache answering with the server stopped.

#include "proxy_e2e.h"

#include <sys/stat.h>

namespace proxy_e2e {
namespace {

namespace fs = std::filesystem;

class ProxyGopherTest : public ProxyE2ETest {
protected:
    void SetUp() override
    {
        ProxyE2ETest::SetUp();
        if (IsSkipped())
            return;
        m_key.SetDword("ConnTimeout", 2);
        m_key.SetDword("MaxCacheSize", 1);
        m_gopher = m_dir / "gopher";
        fs::create_directories(m_gopher);
        bench::WriteFile(m_gopher + "/about.txt", "hello gopher\nsecond line\n");
        m_blob = RandomBytes(120000, 70);
        bench::WriteFile(m_gopher + "/blob.bin", m_blob);
        bench::WriteFile(m_gopher + "/plus.menu",
                         "1Docs\t/docs\texample.org\t70\t+\r\n"
                         "0About\t/about.txt\t127.0.0.1\t7000\r\n"
                         "-Welcome to the menu\r\n"
                         "8Login\tuser\tbbs.example.org\t23\r\n"
                         "9Blob\t/blob.bin\t127.0.0.1\t7000\t+\r\n"
                         ".\r\n");
        bench::WriteFile(m_gopher + "/hostile.menu",
                         "0<script>alert(1)</script>\t/a\"><script>alert(2)</script>\tev\"il<b>\t70\r\n"
                         "1<img src=x onerror=alert(3)>\t/x\th\t70\t+\r\n"
                         "-<script>alert(4)</script>\r\n"
                         ".\r\n");
    }

    void StartGophernicus(Peer& peer, std::uint16_t& port)
    {
        const std::string gophernicus = "/usr/sbin/gophernicus";
        const std::string socat = "/usr/bin/socat";
        if (!bench::IsExecutable(gophernicus) || !bench::IsExecutable(socat))
            GTEST_SKIP() << "gophernicus or socat is not installed (make deps)";
        // gophernicus refuses to run as root: as root socat runs it as nobody,
        // who must be able to read the files.
        ::chmod(m_dir.Path().c_str(), 0755);
        ::chmod(m_gopher.c_str(), 0755);
        for (const auto& entry : fs::directory_iterator(m_gopher))
            ::chmod(entry.path().c_str(), 0644);
        port = FreePort();
        std::string exec = "EXEC:" + gophernicus + " -h 127.0.0.1 -p " + std::to_string(port) + " -r " + m_gopher;
        if (::geteuid() == 0)
            exec += ",su=nobody";
        std::string error = peer.Start({socat, "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork", exec},
                                       m_dir / "gopher.log", port);
        ASSERT_TRUE(error.empty()) << error;
    }

    // curl tunnels gopher through CONNECT; the request target makes it ask
    // the proxy for the gopher URL itself, as a browser does.
    std::vector<std::string> ViaProxy(std::vector<std::string> args, const std::string& url)
    {
        args.insert(args.end(), {"--request-target", url, ProxyURL() + "/"});
        return args;
    }
    static std::string Gopher(std::uint16_t port, const std::string& path)
    {
        return Origin(port, path, "gopher");
    }
    std::string Fetch(const std::string& url, const std::vector<std::string>& extra = {})
    {
        return Curl(ViaProxy(StatusArgs(extra), url)).output;
    }
    // curl's own gopher client, straight to the server.
    std::string Direct(const std::string& url)
    {
        RunTool({"/usr/bin/curl", "-s", "--max-time", "10", "-o", m_dir / "direct.out", url}, m_dir / "direct.log");
        return bench::ReadFile(m_dir / "direct.out");
    }
    // The page line the proxy makes of one raw menu line.
    static std::string ExpectedLink(const std::string& line, const std::string& icon)
    {
        std::vector<std::string> fields;
        std::string rest = line.substr(1);
        for (std::size_t tab; (tab = rest.find('\t')) != std::string::npos; rest.erase(0, tab + 1))
            fields.push_back(rest.substr(0, tab));
        fields.push_back(rest);
        std::string href = line[0] == '8' ? "telnet://" + fields[2] + ":" + fields[3] + "/"
                                          : "gopher://" + fields[2] + ":" + fields[3] + "/" + line[0] + fields[1];
        return "<A HREF=\"" + href + "\"><IMG ALIGN=absbottom BORDER=0 SRC=\"" + icon + "\">" + fields[0] + "</A>\r\n";
    }

    std::string m_gopher;
    std::string m_blob;
};

TEST_F(ProxyGopherTest, DocumentsMenusAndSearchesAsCurlFetchesThem)
{
    Peer server;
    std::uint16_t port = 0;
    StartGophernicus(server, port);
    if (IsSkipped())
        return;
    StartProxy();

    struct Doc {
        const char* path;
        const char* type;
    } docs[] = {{"/0/about.txt", "text/plain"}, {"/9/blob.bin", "text/plain"}, {"/I/blob.bin", "image/unknown"}};
    for (const Doc& d : docs) {
        SCOPED_TRACE(d.path);
        std::string direct = Direct(Gopher(port, d.path));
        ASSERT_FALSE(direct.empty());
        EXPECT_EQ(Fetch(Gopher(port, d.path), {"-D", m_dir / "head.out"}), "200");
        EXPECT_TRUE(Body() == direct) << Body().size() << " bytes, not " << direct.size();
        EXPECT_NE(bench::ReadFile(m_dir / "head.out").find(std::string("Content-type: ") + d.type + "\r\n"),
                  std::string::npos);
    }
    EXPECT_TRUE(Body() == m_blob);

    // A menu with and without Gopher+ fields, and the same text as a search.
    std::string raw = Direct(Gopher(port, "/1/plus.menu"));
    ASSERT_NE(raw.find("\t+\r\n"), std::string::npos) << raw;
    struct Menu {
        std::string url;
        std::string heading;
    } menus[] = {{Gopher(port, "/1/plus.menu"), "<HTML><BODY><H1>Gopher Menu</H1><PRE>\r\n"},
                 {Gopher(port, "/7/plus.menu?two+words"), "<HTML><BODY><H1>Gopher Search</H1>\r\n<ISINDEX><PRE>"}};
    for (const Menu& m : menus) {
        SCOPED_TRACE(m.url);
        EXPECT_EQ(Fetch(m.url), "200");
        std::string page = Body();
        EXPECT_EQ(page.rfind(m.heading, 0), 0u) << page;
        EXPECT_EQ(page.substr(page.size() - 13), "</PRE></HTML>");
        EXPECT_NE(page.find(ExpectedLink("1Docs\t/docs\texample.org\t70", "internal-gopher-menu")), std::string::npos)
            << page;
        EXPECT_NE(page.find(ExpectedLink("0About\t/about.txt\t127.0.0.1\t7000", "internal-gopher-text")),
                  std::string::npos)
            << page;
        EXPECT_NE(page.find(ExpectedLink("8Login\tuser\tbbs.example.org\t23", "internal-gopher-telnet")),
                  std::string::npos)
            << page;
        EXPECT_NE(page.find("<B>Welcome to the menu\r\n\r\n</B>"), std::string::npos) << page;
        EXPECT_EQ(page.find("7000\r\n\""), std::string::npos) << "no line end inside a link";
    }
    // The search sent the words after a TAB, as curl's own client does.
    EXPECT_EQ(Direct(Gopher(port, "/7/plus.menu%09two%20words")), raw);

    // Hostile menus are inert text.
    EXPECT_EQ(Fetch(Gopher(port, "/1/hostile.menu")), "200");
    std::string hostile = Body();
    EXPECT_EQ(hostile.find("<script"), std::string::npos) << hostile;
    EXPECT_EQ(hostile.find("<img"), std::string::npos) << hostile;
    EXPECT_EQ(hostile.find("<b>"), std::string::npos) << hostile;
    EXPECT_NE(hostile.find("&lt;script&gt;alert(1)&lt;/script&gt;</A>"), std::string::npos) << hostile;
    EXPECT_NE(hostile.find("gopher://ev&quot;il&lt;b&gt;:70/0/a%22%3E%3Cscript%3Ealert%282%29%3C/script%3E\""),
              std::string::npos)
        << hostile;

    // HEAD has no body; an error item is answered without the server.
    RunResult head = Curl(ViaProxy({"-I", "-H", "Pragma: no-cache"}, Gopher(port, "/0/about.txt")));
    EXPECT_EQ(head.output, "HTTP/1.0 200 OK\r\nContent-type: text/plain\r\n\r\n");

    // The server gone: stored documents and menus still come, a search and
    // an error item never reach the cache or the server.
    std::string text = Direct(Gopher(port, "/0/about.txt"));
    server.Stop();
    EXPECT_EQ(Fetch(Gopher(port, "/0/about.txt")), "200");
    EXPECT_EQ(Body(), text);
    EXPECT_EQ(Fetch(Gopher(port, "/9/blob.bin")), "200");
    EXPECT_TRUE(Body() == m_blob);
    EXPECT_EQ(Fetch(Gopher(port, "/1/hostile.menu")), "200");
    EXPECT_EQ(Body(), hostile);
    EXPECT_EQ(Fetch(Gopher(port, "/3/anything")), "404");
    for (const char* path : {"/3/anything", "/0/about.txt"}) {
        std::string reply = RawRequest(m_port, "HEAD " + Gopher(port, path) + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.substr(reply.size() - std::min<std::size_t>(reply.size(), 4)), "\r\n\r\n") << "HEAD has no body";
    }
    EXPECT_EQ(Fetch(Gopher(port, "/7/plus.menu?two+words")), "504");
    EXPECT_EQ(Fetch(Gopher(port, "/0/x%0D%0A/etc")), "404");
}

TEST_F(ProxyGopherTest, SilentServerAndCutReplies)
{
    // A server that takes the selector and says nothing: 504 before any
    // header. One that falls silent in the middle: the reply is cut, never
    // finished with a page, and never stored.
    struct Case {
        const char* says; // what the server sends before it falls silent
        const char* status;
        bool cut;
    } cases[] = {
        {"b''", "504", false},
        {"b'0Half\\t/h\\th\\t70\\r\\n'", "", true},
    };
    StartProxy();
    for (const Case& c : cases) {
        std::string script = m_dir / "silent.py";
        bench::WriteFile(script, std::string("import socket, sys, threading, time\n"
                                             "def serve(c):\n"
                                             "    c.recv(100)\n"
                                             "    c.sendall(") + c.says + ")\n"
                                             "    time.sleep(6)\n"
                                             "    c.close()\n"
                                             "s = socket.socket()\n"
                                             "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                                             "s.bind(('127.0.0.1', int(sys.argv[1])))\n"
                                             "s.listen(5)\n"
                                             "while True:\n"
                                             "    threading.Thread(target=serve, args=(s.accept()[0],), daemon=True).start()\n");
        Peer server;
        std::uint16_t port = FreePort();
        ASSERT_TRUE(server.Start({kPython, script, std::to_string(port)}, m_dir / "silent.log", port).empty());
        std::uint64_t start = platform::MonotonicMs();
        RunResult run = Curl(ViaProxy(StatusArgs(), Gopher(port, "/1/menu")));
        EXPECT_LT(platform::MonotonicMs() - start, 6000u);
        if (c.cut) {
            // The cache fill relays as it stores: the client had the header,
            // so the failure only cuts the reply.
            EXPECT_EQ(run.output, "200");
            EXPECT_NE(run.exitCode, 0) << "a cut reply must not look whole";
            RunResult direct = Curl(ViaProxy({"-o", m_dir / "body.out", "-H", "Pragma: no-cache"}, Gopher(port, "/1/menu")));
            EXPECT_NE(direct.exitCode, 0) << "a cut reply must not look whole";
            EXPECT_EQ(Body().find("Gopher Proxy Error"), std::string::npos) << Body();
        } else {
            EXPECT_EQ(run.output, c.status);
            EXPECT_NE(Body().find("Timeout waiting for gopher server"), std::string::npos) << Body();
        }
    }
    EXPECT_EQ(m_proxy->GetCache().GetCount(), 0u);
}

} // namespace
} // namespace proxy_e2e
