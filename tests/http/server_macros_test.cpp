// The server macros in real pages: settings, map look-ups with the "*"
// fallback, the macros that end a page, the client state, the access log
// and the KAV hit counter.

#include "http_server_fixture.h"

#include "http/server_macros.h"

using namespace http_test;

namespace {

class ServerMacrosTest : public HTTPServerTest {
protected:
    void Page(const std::string& url, const std::string& text) { WriteFile(m_root + url, "%expand%" + text); }
    CHTTPServer* StartWithLists(const std::function<void(CServiceSettings&, CHTTPSettings&)>& edit = {})
    {
        return StartServer(edit, [this](CHTTPServerConfig& config) {
            SetValues("Server\\Mappings", {{"*", "application/x-unknown"}});
            config.GetMappings().LoadFromKey(Key("Server"), "Mappings");
            SetValues("Server\\Icons", {{"new", "/icons/new.gif"}, {"*", "/icons/blank.gif"}});
            config.GetIcons().LoadFromKey(Key("Server"), "Icons");
        });
    }
};

TEST_F(ServerMacrosTest, SettingsAndMapLookUps)
{
    StartWithLists([](CServiceSettings& service, CHTTPSettings& http) {
        service.sslPort = 8443;
        http.description = "Sales Intranet";
    });
    Page("/s.htm", "%httproot%|%description%|%httpport%|%sslport%|%mimetype(HTM)|%mimetype(htm)|%mimetype(zzz)|"
                   "%mimetype%|%mimeicon(NEW)|%mimeicon(old)");
    Reply reply = Ask(Get("/s.htm"));
    EXPECT_EQ(reply.body, m_root + "|Sales Intranet|" + std::to_string(m_port) +
                              "|8443|text/html|text/html|application/x-unknown|application/x-unknown|"
                              "/icons/new.gif|/icons/blank.gif");
}

struct EndCase {
    const char* page;
    int status;
    const char* body;
    const char* header; // a line the reply must carry; null: none
};

TEST_F(ServerMacrosTest, RedirectAndHttpExceptionEndThePage)
{
    StartWithLists();
    WriteFile(m_root + "/a.txt", "hello");
    const EndCase cases[] = {
        {"a%redirect%b", 200, "ab", nullptr},
        {"a%redirect(/a.txt)b", 302, nullptr, nullptr},
        {"a%http-exception(404)b", 200, "ab", nullptr},
        {"a%http-exception(403,Forbidden)b", 403, "Forbidden", nullptr},
        {"a%http-exception(403,Forbidden,X-A: 1)b", 403, "Forbidden", "X-A: 1"},
        {"a%http-exception(0,Bad)b", 500, "Bad", nullptr},
        {"a%http-exception(203x,Fine)b", 203, "Fine", nullptr},
    };
    int index = 0;
    for (const EndCase& c : cases) {
        const std::string url = "/e" + std::to_string(index++) + ".htm";
        Page(url, c.page);
        Reply reply = Ask(Get(url));
        EXPECT_EQ(reply.status, c.status) << c.page;
        if (c.body) {
            EXPECT_EQ(reply.body, c.body) << c.page;
        }
        if (c.header) {
            EXPECT_TRUE(reply.Has(c.header)) << reply.head;
        }
        if (c.status == 302) {
            EXPECT_NE(reply.head.find("/a.txt\r\n"), std::string::npos) << reply.head;
        }
    }
}

TEST_F(ServerMacrosTest, ClientStateJoinsQueryAndBody)
{
    StartWithLists();
    Page("/cs.htm", "[%client-state%]");
    EXPECT_EQ(Ask(Get("/cs.htm")).body, "[&]");
    EXPECT_EQ(Ask(Get("/cs.htm?a=1")).body, "[a=1&]");
    EXPECT_EQ(Ask("POST /cs.htm?q=1 HTTP/1.0\r\nContent-type: application/x-www-form-urlencoded\r\n"
                  "Content-length: 3\r\n\r\nb=2")
                  .body,
              "[q=1&b=2]");
}

TEST_F(ServerMacrosTest, LogWritesOneLinePerCall)
{
    const std::string log = m_dir / "access.log";
    StartWithLists([&](CServiceSettings& service, CHTTPSettings&) { service.logFile = log; });
    Page("/l.htm", "%log(first %form(t))%log()%flushlog%done");
    Reply reply = Ask(Get("/l.htm?t=x%0D%0Ay%0Az"));
    EXPECT_EQ(reply.body, "done");
    m_server->FlushLog();
    std::vector<std::string> lines;
    std::istringstream text(ReadFile(log));
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    // The page's line, then the request's own.
    ASSERT_EQ(lines.size(), 2u) << ReadFile(log);
    EXPECT_EQ(lines[0], "first x\\x0d\\x0ay\\x0az");
    EXPECT_NE(lines[1].find("\"GET /l.htm?t="), std::string::npos) << lines[1];
}

TEST_F(ServerMacrosTest, KavHitsCountThePagesOfThisServer)
{
    StartWithLists();
    Page("/k.htm", "%server-kavhits%|%server-cgihits%|%server-wincgihits%|%server-isapihits%");
    EXPECT_EQ(Ask(Get("/k.htm")).body, "0|0|0|0");
    EXPECT_EQ(Ask(Get("/k.htm")).body, "1|0|0|0");
}

} // namespace
