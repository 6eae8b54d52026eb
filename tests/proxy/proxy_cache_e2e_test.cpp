// The disk cache with a real origin: fill, hit without the origin,
// revalidation across restarts, the uncached list, the purge and a URL that
// tries to climb out of the cache folder.

#include "proxy_e2e.h"

#include <mutex>
#include <thread>
#include <utime.h>

namespace proxy_e2e {
namespace {

namespace fs = std::filesystem;

class ProxyCacheE2ETest : public ProxyE2ETest {
protected:
    void SetUp() override
    {
        ProxyE2ETest::SetUp();
        m_key.SetDword("MaxCacheSize", 1);
        m_key.SetDword("SyncInterval", 1);
    }
    // Requests for path in the origin's log, with that status.
    static int OriginHits(const Peer& origin, const std::string& path, int status)
    {
        std::string log = origin.Output();
        std::string needle = "\"GET " + path + " HTTP/1.0\" " + std::to_string(status);
        int hits = 0;
        for (std::size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
            ++hits;
        return hits;
    }
    void WriteDocument(const std::string& name, const std::string& text, std::time_t modified)
    {
        bench::WriteFile(m_root + "/" + name, text);
        utimbuf times{modified, modified};
        ::utime((m_root + "/" + name).c_str(), &times);
    }
    // Stop and start again: the index is saved and loaded, and every loaded
    // document is due for revalidation once a second has passed.
    void RestartProxy()
    {
        m_proxy->Stop();
        ASSERT_EQ(m_proxy->Start(0), 0);
        platform::SleepMs(1100);
    }
    std::string Get(std::uint16_t port, const std::string& path)
    {
        RunResult run = CurlLogged({"-f", Origin(port, path)});
        EXPECT_EQ(run.exitCode, 0) << path;
        return run.output;
    }
};

TEST_F(ProxyCacheE2ETest, FillHitRevalidateAndRestart)
{
    WriteDocument("doc.txt", "first version\n", std::time(nullptr) - 3600);
    Peer origin;
    std::uint16_t port = 0;
    StartPython(origin, port);
    StartProxy();

    EXPECT_EQ(Get(port, "/doc.txt"), "first version\n");
    EXPECT_EQ(OriginHits(origin, "/doc.txt", 200), 1);
    std::string stored = m_dir / ("cache/http/127.0.0.1." + std::to_string(port) + "/doc.txt");
    EXPECT_TRUE(fs::is_regular_file(stored));
    EXPECT_EQ(m_proxy->GetCache().GetCount(), 1u);

    // A hit: the origin is not asked, even when it is gone.
    origin.Stop();
    EXPECT_EQ(Get(port, "/doc.txt"), "first version\n");
    RunResult head = Curl({"-I", Origin(port, "/doc.txt")});
    EXPECT_EQ(head.output.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << head.output;
    EXPECT_NE(head.output.find("Last-Modified: "), std::string::npos);
    EXPECT_EQ(head.output.find("first version"), std::string::npos) << "HEAD sends no body";

    // After a restart the index is back, and the first use revalidates:
    // 304 keeps the stored copy.
    StartPythonOn(origin, port);
    RestartProxy();
    EXPECT_EQ(m_proxy->GetCache().GetCount(), 1u);
    EXPECT_NE(bench::ReadFile(m_dir / "cache/cachedb.db").find("doc.txt"), std::string::npos);
    EXPECT_EQ(Get(port, "/doc.txt"), "first version\n");
    EXPECT_EQ(OriginHits(origin, "/doc.txt", 304), 1);
    EXPECT_TRUE(fs::is_regular_file(stored));

    // A newer document answers 200 and replaces the copy.
    WriteDocument("doc.txt", "second, longer version\n", std::time(nullptr));
    RestartProxy();
    EXPECT_EQ(Get(port, "/doc.txt"), "second, longer version\n");
    EXPECT_EQ(OriginHits(origin, "/doc.txt", 200), 1);
    EXPECT_EQ(m_proxy->GetCache().GetCount(), 1u);
    origin.Stop();
    EXPECT_EQ(Get(port, "/doc.txt"), "second, longer version\n");
}

TEST_F(ProxyCacheE2ETest, UncachedQueriesPurgeAndTraversal)
{
    RegSetString(Key("HTTPProxy\\NoCacheList"), "0", "*/nocache/*");
    fs::create_directories(m_root + "/nocache");
    WriteDocument("nocache/x.txt", "never stored\n", std::time(nullptr) - 60);
    WriteDocument("q.txt", "with a query\n", std::time(nullptr) - 60);
    WriteDocument("escape.txt", "escaped?\n", std::time(nullptr) - 60);
    for (const char* name : {"a.bin", "b.bin", "c.bin"})
        WriteDocument(name, RandomBytes(400 * 1024, name[0]), std::time(nullptr) - 60);
    Peer origin;
    std::uint16_t port = 0;
    StartPython(origin, port);
    StartProxy();

    struct Case {
        const char* path;
        const char* logged;
    } uncached[] = {{"/nocache/x.txt", "/nocache/x.txt"}, {"/q.txt?a=1", "/q.txt?a=1"}};
    for (const Case& c : uncached) {
        Get(port, c.path);
        Get(port, c.path);
        EXPECT_EQ(OriginHits(origin, c.logged, 200), 2) << c.path;
    }
    EXPECT_EQ(m_proxy->GetCache().GetCount(), 0u);

    // Over the 1 MiB limit: the least recently used goes as soon as the
    // third is stored, and the purge finds nothing more to do.
    for (const char* name : {"/a.bin", "/b.bin", "/c.bin"})
        Get(port, name);
    EXPECT_EQ(m_proxy->GetCache().GetCount(), 2u);
    EXPECT_LE(m_proxy->GetCache().GetTotal(), 1u << 20);
    m_proxy->GetCache().Purge();
    EXPECT_LE(m_proxy->GetCache().GetTotal(), 1u << 20);
    EXPECT_EQ(m_proxy->GetCache().GetCount(), 2u);
    std::string folder = m_dir / ("cache/http/127.0.0.1." + std::to_string(port));
    EXPECT_FALSE(fs::exists(folder + "/a.bin"));
    EXPECT_TRUE(fs::exists(folder + "/c.bin"));

    // Dot segments stay below the cache folder.
    std::string reply =
        RawRequest(m_port, "GET http://127.0.0.1:" + std::to_string(port) + "/a/../../../../../escape.txt HTTP/1.0\r\n\r\n");
    EXPECT_NE(reply.find("escaped?"), std::string::npos) << reply.substr(0, 200);
    for (const auto& entry : fs::recursive_directory_iterator(m_dir.Path())) {
        if (entry.path().filename() == "escape.txt") {
            std::string where = entry.path().string();
            EXPECT_TRUE(where.rfind(m_dir / "cache/", 0) == 0 || where == m_root + "/escape.txt") << where;
        }
    }
}

} // namespace
} // namespace proxy_e2e

namespace proxy_e2e {
namespace {

// An origin that answers every request with the reply it is given and
// counts the requests.
class ScriptedOrigin {
public:
    void SetReply(const std::string& reply)
    {
        std::lock_guard hold(m_mutex);
        m_reply = reply;
    }
    std::uint16_t Port() const { return m_origin.Port(); }
    std::atomic<int> requests{0};

private:
    std::mutex m_mutex;
    std::string m_reply;
    LoopbackOrigin m_origin{[this](int handle) {
        WSocket peer;
        peer.Attach(handle);
        peer.SetTimeout(5000);
        CTextBuffer line;
        while (peer.ReadLine(line, true) > 0 && !line.IsEmpty())
            line.Empty();
        ++requests;
        std::string text;
        {
            std::lock_guard hold(m_mutex);
            text = m_reply;
        }
        peer.SendText(text, false);
        peer.Close();
    }};
};

TEST_F(ProxyCacheE2ETest, OnlyWholeUnexpiredRepliesAreKept)
{
    ScriptedOrigin origin;
    StartProxy();
    struct Case {
        const char* headers;
        const char* body;
        const char* shown; // what curl makes of it
        bool kept;
    } cases[] = {
        {"Content-Length: 5\r\n", "whole", "whole", true},
        {"Content-Length: 5\r\nExpires: Thu, 01 Jan 2099 00:00:00 GMT\r\n", "later", "later", true},
        {"Content-Length: 5\r\nExpires: Thu, 01 Jan 1998 00:00:00 GMT\r\n", "older", "older", false},
        {"Content-Length: 5\r\nExpires: not a date\r\n", "wrong", "wrong", false},
        {"Content-Length: 50\r\n", "short", "short", false},
        {"Transfer-Encoding: chunked\r\n", "5\r\nchunk\r\n0\r\n\r\n", "chunk", false},
    };
    int index = 0;
    for (const Case& c : cases) {
        std::string path = "/doc" + std::to_string(index++);
        origin.SetReply(std::string("HTTP/1.1 200 OK\r\n") + c.headers + "\r\n" + c.body);
        int before = origin.requests.load();
        RunResult run = CurlLogged({Origin(origin.Port(), path)});
        EXPECT_NE(run.output.find(c.shown), std::string::npos) << c.headers;
        CUrlParts url;
        url.Parse(Origin(origin.Port(), path));
        CProxyCacheEntry* entry = m_proxy->GetCache().Lookup(url);
        EXPECT_EQ(entry != nullptr, c.kept) << c.headers;
        // The client got the reply as it came: kept or not, one fetch.
        EXPECT_EQ(origin.requests.load() - before, 1) << c.headers;
        if (entry && index == 1) {
            // Without Expires a document lives MaxFileAge days.
            std::int64_t days = (entry->expires - static_cast<std::int64_t>(std::time(nullptr)) + 60) / 86400;
            EXPECT_EQ(days, 7);
        }
        m_proxy->GetCache().Release(entry);
    }
    // Nothing but the kept documents (and their folders) is on disk.
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(m_dir / "cache"))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 2u);
}

} // namespace
} // namespace proxy_e2e
