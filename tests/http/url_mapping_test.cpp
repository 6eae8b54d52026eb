// URL paths decoded and normalised before anything maps them, file paths
// under the root and the virtual paths, absolute URLs, redirects and MIME
// types.

#include "http_server_fixture.h"

#include "http/url_mapping.h"

using namespace http_test;

namespace {

TEST(URLPathTest, DecodingRefusesWhatCouldEscapeASegment)
{
    struct Case {
        const char* path;
        bool ok;
        const char* decoded;
    };
    const Case cases[] = {
        {"/a%20b.htm", true, "/a b.htm"},
        {"/a+b", true, "/a+b"},
        {"/%41%62", true, "/Ab"},
        {"/plain", true, "/plain"},
        {"/a%2Fb", false, ""},
        {"/a%2fb", false, ""},
        {"/a%5Cb", false, ""},
        {"/a%00b", false, ""},
        {"/a%zz", false, ""},
        {"/a%2", false, ""},
        {"/a%", false, ""},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(DecodeURLPath(out, c.path), c.ok) << c.path;
        if (c.ok) {
            EXPECT_EQ(out, c.decoded) << c.path;
        }
    }
}

TEST(URLPathTest, NormalisingCollapsesSeparatorsAndRefusesParents)
{
    struct Case {
        const char* path;
        bool ok;
        const char* normal;
    };
    const Case cases[] = {
        {"/a/b.htm", true, "/a/b.htm"},
        {"//docs/a", true, "/docs/a"},
        {"\\docs\\a\\", true, "/docs/a/"},
        {"/a/./b", true, "/a/b"},
        {"/", true, "/"},
        {"", true, "/"},
        {"/dir/", true, "/dir/"},
        {"/x/../../etc/passwd", false, ""},
        {"/a/..", false, ""},
        {"..", false, ""},
        {"/a/...", true, "/a/..."},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(NormalizeURLPath(out, c.path), c.ok) << c.path;
        if (c.ok) {
            EXPECT_EQ(out, c.normal) << c.path;
        }
    }
}

TEST(URLPathTest, AccessListFilesAreFoundInAnySegment)
{
    EXPECT_TRUE(HasACLFileSegment("/.~ACL~"));
    EXPECT_TRUE(HasACLFileSegment("/dir/page.htm.~acl~"));
    EXPECT_TRUE(HasACLFileSegment("/dir/.~ACL~/x"));
    EXPECT_FALSE(HasACLFileSegment("/dir/page.htm"));
    EXPECT_FALSE(HasACLFileSegment("/~ACL~"));
}

class URLMappingTest : public HTTPServerTest {
protected:
    CHTTPServer* StartWithDocs()
    {
        SetValues("Server\\Paths\\docs", {{"Location", m_dir / "pub"}});
        return StartServer({}, [this](CHTTPServerConfig& config) { config.GetPaths().LoadFromKey(Key("Server"), "Paths"); });
    }
};

TEST_F(URLMappingTest, URLsMapBelowTheRootOrTheirVirtualPath)
{
    CHTTPServer* server = StartWithDocs();
    const std::string pub = m_dir / "pub";
    struct Case {
        const char* url;
        std::string path;
    };
    const Case cases[] = {
        {"/docs/a/b.htm", pub + "/a/b.htm"},
        {"/DOCS/a", pub + "/a"},
        {"//docs/a", pub + "/a"},
        {"/docs", pub},
        {"/docs/", pub + "/"},
        {"/other/a/b.htm", m_root + "/other/a/b.htm"},
        {"/docsx/a", m_root + "/docsx/a"},
        {"/docs/../secret", ""},
        {"/x/../../etc/passwd", ""},
    };
    for (const Case& c : cases) {
        std::string out = "stale";
        server->MapURLToPath(out, c.url);
        EXPECT_EQ(out, c.path) << c.url;
    }
}

TEST_F(URLMappingTest, DecodedPathsServeTheirFilesAndNothingOutside)
{
    WriteFile(m_root + "/a b.txt", "spaced");
    WriteFile(m_dir / "pub/in.txt", "inside");
    WriteFile(m_dir / "secret.txt", "secret");
    StartWithDocs();
    EXPECT_EQ(Ask(Get("/a%20b.txt")).body, "spaced");
    EXPECT_EQ(Ask(Get("//docs/in.txt")).body, "inside");
    for (const char* url : {"/docs/../secret.txt", "/../secret.txt", "/docs/%2e%2e/secret.txt", "/docs%2fin.txt"}) {
        Reply reply = Ask(Get(url));
        EXPECT_EQ(reply.status, 404) << url;
        EXPECT_EQ(reply.body, Page("http-badurl")) << url;
    }
}

TEST_F(URLMappingTest, AbsoluteURLsNameTheLocalHostAndAnUnusualPort)
{
    CHTTPServer* server = StartServer();
    WSocket socket;
    socket.SetTimeout(5000);
    ASSERT_EQ(socket.Connect("127.0.0.1", m_port), 0);
    std::string out;
    server->MakeAbsoluteURL(socket, "/x", out);
    EXPECT_EQ(out, "http://127.0.0.1:" + std::to_string(m_port) + "/x");

    auto settings = std::make_shared<CServiceSettings>(*server->GetSettings());
    settings->port = 80;
    server->SetSettings(settings);
    server->MakeAbsoluteURL(socket, "/x", out);
    EXPECT_EQ(out, "http://127.0.0.1/x");
}

TEST_F(URLMappingTest, RedirectsCarryLocationAndEndTheConnection)
{
    WriteFile(m_root + "/new.txt", "new");
    StartServer([](CServiceSettings&, CHTTPSettings& http) { http.keepAliveTimeout = 5; },
                [this](CHTTPServerConfig& config) {
                    SetValues("Server\\Redirections", {{"/old", "/new.txt"}});
                    config.GetRedirections().LoadFromKey(Key("Server"), "Redirections");
                });
    std::string local = "http://127.0.0.1:" + std::to_string(m_port) + "/new.txt";

    std::vector<Reply> replies = SplitReplies(Exchange(Get("/old", "Connection: keep-alive\r\n") + Get("/new.txt")));
    ASSERT_EQ(replies.size(), 1u) << "a redirect ends the connection";
    EXPECT_EQ(replies[0].status, 302);
    EXPECT_TRUE(replies[0].Has("Location: " + local));
    EXPECT_NE(replies[0].body.find(local), std::string::npos);

    Reply head = Ask("HEAD /old HTTP/1.0\r\n\r\n");
    EXPECT_EQ(head.status, 302);
    EXPECT_TRUE(head.Has("Location: " + local));
    EXPECT_EQ(head.body, "");

    // A simple request gets the page and no header.
    std::string simple = Exchange("GET /old\r\n");
    EXPECT_EQ(simple.rfind("<", 0), 0u) << simple;
    EXPECT_NE(simple.find(local), std::string::npos);

}

TEST_F(URLMappingTest, MimeTypesComeFromTheFileNameOrTheDefault)
{
    CHTTPServer* server = StartServer({}, [this](CHTTPServerConfig& config) {
        SetValues("Server\\Mappings", {{"txt", "text/plain"}, {"*", "application/x-default"}});
        config.GetMappings().LoadFromKey(Key("Server"), "Mappings");
    });
    std::string type;
    server->GetMimeType(type, "/www/READ.TXT");
    EXPECT_EQ(type, "text/plain");
    server->GetMimeType(type, "/www/noext");
    EXPECT_EQ(type, "application/x-default");
    server->GetMimeType(type, "/www/dir.txt/noext");
    EXPECT_EQ(type, "application/x-default") << "a '.' in a folder name is no extension";
    server->GetMimeType(type, "/www/a.unknown");
    EXPECT_EQ(type, "application/x-default");
}

} // namespace
