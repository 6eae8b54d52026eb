#include "proxy/proxy_cache.h"

#include "config/config_fixture.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::int64_t g_now = 1'000'000;
std::int64_t TestClock() { return g_now; }

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

CUrlParts Url(const std::string& text)
{
    CUrlParts url;
    EXPECT_TRUE(url.Parse(text)) << text;
    return url;
}

class ProxyCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_now = 1'000'000;
        CProxyCache::SetClockForTesting(TestClock);
        m_root = m_dir / "cache/";
    }
    void TearDown() override
    {
        m_cache.Stop();
        CProxyCache::SetClockForTesting(nullptr);
    }
    void Start(std::uint64_t megabytes = 1) { m_cache.Start(m_root + kCacheDatabaseName, m_root, megabytes, 15, 60); }
    // Stores bytes as the document of url; the entry stays held.
    CProxyCacheEntry* Store(const std::string& url, std::size_t bytes, std::int64_t expires = 2'000'000)
    {
        std::string path;
        EXPECT_TRUE(m_cache.PathForURL(path, Url(url))) << url;
        std::ofstream(path) << std::string(bytes, 'x');
        return m_cache.Insert(Url(url), path, expires, 5, 7);
    }

    TempDirectory m_dir;
    std::string m_root;
    CProxyCache m_cache;
};

TEST_F(ProxyCacheTest, PathsStayBelowTheRoot)
{
    Start();
    struct Case {
        const char* url;
        const char* relative; // null: refused
    } cases[] = {
        {"http://Host:8080/Dir/Page.html", "http/host.8080/dir/page.html"},
        {"ftp://host/pub/", "ftp/host/pub/~default~"},
        {"http://host", "http/host/~default~"},
        {"http://host/a/../../../../etc/passwd", "http/host/a/_../_../_../_../etc/passwd"},
        {"http://host/./x/.", "http/host/_./x/_."},
        {"http://../x", "http/_../x"},
        {"http://./x", "http/_./x"},
        {"http://host/a\\..\\..\\b", "http/host/a/_../_../b"},
        {"http://host//a///b", "http/host/a/b"},
        {"http://host/q?a=*|<>", "http/host/q_a=____"},
        {"news://host/x", nullptr},
        {"gopher://host:70/1/x", "gopher/host/1/x"},
    };
    for (const Case& c : cases) {
        std::string path;
        bool made = m_cache.PathForURL(path, Url(c.url));
        ASSERT_EQ(made, c.relative != nullptr) << c.url;
        if (!made)
            continue;
        EXPECT_EQ(path, m_root + c.relative) << c.url;
        EXPECT_TRUE(fs::is_regular_file(path)) << c.url;
    }
    // Nothing was made beside the root.
    for (const auto& entry : fs::directory_iterator(m_dir.Path()))
        EXPECT_EQ(entry.path().filename(), "cache") << entry.path();

    std::string tooLong;
    std::string deep = "http://host";
    for (int i = 0; i < 10; ++i)
        deep += "/" + std::string(150, 'a');
    EXPECT_FALSE(m_cache.PathForURL(tooLong, Url(deep)));
    // One long segment is cut instead.
    ASSERT_TRUE(m_cache.PathForURL(tooLong, Url("http://host/" + std::string(2000, 'b'))));
    EXPECT_EQ(fs::path(tooLong).filename().string().size(), kMaxCacheSegment);
}

TEST_F(ProxyCacheTest, TakenNamesMoveOnToTheFirstFreeSuffix)
{
    Start();
    std::string first, second, dirTaken;
    ASSERT_TRUE(m_cache.PathForURL(first, Url("http://host/doc")));
    ASSERT_TRUE(m_cache.PathForURL(second, Url("http://HOST/Doc")));
    EXPECT_EQ(second, first + "_0");
    // "doc" and "doc_0" are files, so a document below "doc" gets "doc_1".
    ASSERT_TRUE(m_cache.PathForURL(dirTaken, Url("http://host/doc/inner")));
    EXPECT_EQ(dirTaken, m_root + "http/host/doc_1/inner");
}

TEST_F(ProxyCacheTest, HeldEntriesKeepTheirFilesUntilReleased)
{
    Start();
    CProxyCacheEntry* entry = Store("http://host/a", 100);
    std::string path = entry->path;
    CProxyCacheEntry* again = m_cache.Lookup(Url("http://HOST:80/a"));
    ASSERT_EQ(again, entry);
    m_cache.Remove(entry);
    EXPECT_EQ(m_cache.GetCount(), 0u);
    EXPECT_EQ(m_cache.GetTotal(), 0u);
    m_cache.Release(entry);
    EXPECT_TRUE(fs::exists(path)) << "one holder is left";
    m_cache.Release(again);
    EXPECT_FALSE(fs::exists(path));
    // The emptied folders go, the root stays.
    EXPECT_FALSE(fs::exists(m_root + "http"));
    EXPECT_TRUE(fs::exists(m_root));
}

TEST_F(ProxyCacheTest, ExpiryAtTheSecondServesButGoesFirstWhenTheCacheOverfills)
{
    Start(1);
    CProxyCacheEntry* expired = Store("http://host/old", 400 * 1024, g_now);
    CProxyCacheEntry* lru = Store("http://host/lru", 400 * 1024);
    for (CProxyCacheEntry* e : {expired, lru})
        m_cache.Release(e);
    // expires == now still serves.
    CProxyCacheEntry* hit = m_cache.Lookup(Url("http://host/old"));
    ASSERT_NE(hit, nullptr);
    m_cache.Release(hit);
    // A third document would pass 1 MiB: the expired one goes at once,
    // although it was used last.
    m_cache.Release(Store("http://host/recent", 400 * 1024));
    EXPECT_EQ(m_cache.GetCount(), 2u);
    EXPECT_LE(m_cache.GetTotal(), 1u << 20);
    EXPECT_EQ(m_cache.Lookup(Url("http://host/old")), nullptr);
    m_cache.Release(m_cache.Lookup(Url("http://host/recent")));
    m_cache.Release(Store("http://host/more", 400 * 1024));
    EXPECT_LE(m_cache.GetTotal(), 1u << 20);
    EXPECT_EQ(m_cache.Lookup(Url("http://host/lru")), nullptr) << "the least recently used goes next";
    // A document larger than the whole cache is all that is left, and the
    // purge then takes it too.
    m_cache.Release(Store("http://host/huge", 1100 * 1024));
    EXPECT_EQ(m_cache.GetCount(), 1u);
    m_cache.Purge();
    EXPECT_EQ(m_cache.GetCount(), 0u);
    // Past its expiry a look-up drops the entry.
    m_cache.Release(Store("http://host/recent", 400 * 1024));
    g_now = 3'000'000;
    EXPECT_EQ(m_cache.Lookup(Url("http://host/recent")), nullptr);
}

TEST_F(ProxyCacheTest, DatabaseKeepsOrderAndNeverBindsOneURLToAnothersFile)
{
    Start();
    // A URL with a comma and a blank must come back whole, not as fields.
    std::vector<std::string> urls = {"http://host/a,b c", "http://host/second", "http://host/third"};
    for (const std::string& url : urls)
        m_cache.Release(Store(url, 10));
    m_cache.Release(m_cache.Lookup(Url(urls[0]))); // now the most recent
    // A save file left behind by a crash does not stop the save.
    std::ofstream(m_root + std::string(kCacheDatabaseName) + ".save") << "stale";
    m_cache.Stop();
    std::string text = ReadAll(m_root + kCacheDatabaseName);
    EXPECT_EQ(text.find("a,b c"), std::string::npos) << text;

    // A line whose path climbs out of the root is dropped.
    std::ofstream(m_root + kCacheDatabaseName, std::ios::app) << "http://evil/,../../etc/passwd,9999999,0\r\n";
    Start();
    EXPECT_EQ(m_cache.GetCount(), 3u);
    for (const std::string& url : urls) {
        CProxyCacheEntry* entry = m_cache.Lookup(Url(url));
        ASSERT_NE(entry, nullptr) << url;
        EXPECT_EQ(entry->checkTime, g_now) << "revalidated at first use";
        EXPECT_EQ(entry->expires, 2'000'000);
        m_cache.Release(entry);
    }
    EXPECT_EQ(m_cache.Lookup(Url("http://evil/")), nullptr);
    // Use order survives: after the look-ups above urls[2] is the most
    // recent; a purge to a zero limit would empty it, so compare the save.
    m_cache.Stop();
    std::string saved = ReadAll(m_root + kCacheDatabaseName);
    EXPECT_LT(saved.find("third"), saved.find("second"));
}

TEST_F(ProxyCacheTest, SizesAboveFourGigabytesDoNotWrap)
{
    Start(5000);
    std::string path;
    ASSERT_TRUE(m_cache.PathForURL(path, Url("http://host/big")));
    // A sparse file of 4 GiB + 1: its size is counted whole.
    fs::resize_file(path, (std::uint64_t{1} << 32) + 1);
    m_cache.Release(m_cache.Insert(Url("http://host/big"), path, 2'000'000, 0, 0));
    EXPECT_EQ(m_cache.GetTotal(), (std::uint64_t{1} << 32) + 1);
    m_cache.Purge();
    EXPECT_EQ(m_cache.GetCount(), 1u) << "5000 MB holds it";
}

// The threads of this process at the idle policy, with their CPU ticks.
std::vector<std::pair<std::string, long>> IdleThreads()
{
    std::vector<std::pair<std::string, long>> found;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::string stat = ReadAll(task.path().string() + "/stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 2));
        std::vector<std::string> values;
        for (std::string value; fields >> value;)
            values.push_back(value);
        // After the name: state is field 3, utime 14, stime 15, policy 41.
        if (values.size() > 38 && values[38] == "5")
            found.emplace_back(task.path().filename().string(), std::stol(values[11]) + std::stol(values[12]));
    }
    return found;
}

TEST_F(ProxyCacheTest, CleanupThreadIdlesAtTheLowestPriorityAndStops)
{
    // Intervals of 0 minutes count as 1: the thread must not spin.
    m_cache.Start(m_root + kCacheDatabaseName, m_root, 1, 0, 0);
    std::vector<std::pair<std::string, long>> idle;
    for (int i = 0; i < 100 && idle.empty(); ++i) {
        platform::SleepMs(10);
        idle = IdleThreads();
    }
    ASSERT_EQ(idle.size(), 1u);
    platform::SleepMs(300);
    std::vector<std::pair<std::string, long>> later = IdleThreads();
    ASSERT_EQ(later.size(), 1u);
    EXPECT_LE(later[0].second - idle[0].second, 2) << "CPU ticks of the cleanup thread";
    m_cache.Stop();
    EXPECT_TRUE(IdleThreads().empty());
    EXPECT_TRUE(fs::exists(m_root + kCacheDatabaseName)) << "the stop saved the index";
}

TEST(ProxyCacheFieldTest, EscapeRoundTrips)
{
    for (const std::string& text : std::vector<std::string>{"plain", "a,b", "a b", "100%", "tab\there", std::string("nul\0x", 5), ""}) {
        std::string escaped = EscapeCacheField(text);
        EXPECT_EQ(escaped.find_first_of(", \r\n"), std::string::npos) << escaped;
        EXPECT_EQ(UnescapeCacheField(escaped), text);
    }
}

} // namespace
