#include "http/document_cache.h"

#include "config/config_fixture.h"
#include "config/http_server_config.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Bounded wait for the change thread to act on a real edit.
constexpr std::uint64_t kChangeWaitMs = 5000;

class DocumentCacheTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        m_root = m_dir / "www";
        m_temp = m_dir / "tmp";
        std::filesystem::create_directories(m_root);
        std::filesystem::create_directories(m_temp);
        ::setenv("TEMP", m_temp.c_str(), 1);
        ::setenv("VELMORA_HOME", (m_dir / "home").c_str(), 1);
        platform::RegistryKey mappings = Key("Server\\Mappings");
        for (auto [extension, type] : {std::pair{"txt", "text/plain"}, {"htm", "text/html"}, {"kav", "text/x-kav"},
                                       {"gif", "image/gif"}})
            mappings.SetString(extension, type);
        m_config.GetMappings().LoadFromKey(Key("Server"), "Mappings");
        platform::RegistryKey cgi;
        ASSERT_EQ(Key("Server\\CGIExt").Create("pl", cgi), platform::kErrorSuccess);
        cgi.SetString("CommandLine", "perl %s");
        m_config.GetCGIExt().LoadFromKey(Key("Server"), "CGIExt");
        Key("Server\\Redirections").SetString("/old.htm", "/new.htm");
        m_config.GetRedirections().LoadFromKey(Key("Server"), "Redirections");
    }
    void TearDown() override
    {
        m_cache.Destroy();
        ::unsetenv("TEMP");
        ::unsetenv("VELMORA_HOME");
        ConfigTest::TearDown();
    }

    void Start(std::uint32_t capacity = 16, std::uint32_t interval = 0, bool copies = false,
               const std::string& defaultFile = "default.htm")
    {
        auto http = std::make_shared<CHTTPSettings>(*m_config.GetHTTPSettings());
        http->rootDir = m_root;
        http->defaultFile = defaultFile;
        m_config.SetHTTPSettings(http);
        m_cache.Init(&m_config, capacity, false, interval, copies);
    }
    void Write(const std::string& relative, const std::string& text)
    {
        std::filesystem::create_directories(std::filesystem::path(m_root + "/" + relative).parent_path());
        std::ofstream(m_root + "/" + relative, std::ios::binary | std::ios::trunc) << text;
    }
    static std::string ReadHandle(int handle)
    {
        std::string text;
        char buffer[4096];
        for (off_t at = 0;;) {
            ssize_t got = ::pread(handle, buffer, sizeof buffer, at);
            if (got <= 0)
                return text;
            text.append(buffer, static_cast<std::size_t>(got));
            at += got;
        }
    }

    // Looks url up and hands the entry to check, then releases it.
    void With(const std::string& url, const std::function<void(CCacheEntry&, int handle, int error)>& check,
              const char* qualifier = nullptr)
    {
        int handle = -1;
        int error = -1;
        CCacheEntry* entry = m_cache.Lookup(url.c_str(), static_cast<int>(url.size()), &handle, qualifier, &error);
        ASSERT_NE(entry, nullptr) << url;
        check(*entry, handle, error);
        m_cache.Release(entry, handle);
    }
    std::string Content(const std::string& url)
    {
        std::string text = "(none)";
        With(url, [&](CCacheEntry& entry, int handle, int) {
            if (entry.IsLoadedFile() && handle >= 0)
                text = ReadHandle(handle);
        });
        return text;
    }

    CHTTPServerConfig m_config;
    CDocumentCache m_cache;
    std::string m_root;
    std::string m_temp;
};

TEST_F(DocumentCacheTest, URLsResolveToWhatTheyName)
{
    Write("a.txt", "plain");
    Write("Case.txt", "upper");
    Write("case.txt", "lower");
    Write("dir/default.htm", "index");
    Write("b", "b");
    Write("secret.~ACL~", "Allow-user: *,*,*");
    Write("cgi/x.pl", "#!");
    Start();

    With("/a.txt", [](CCacheEntry& entry, int handle, int) {
        EXPECT_TRUE(entry.Has(CCacheEntry::Mapped));
        EXPECT_GE(handle, 0);
        EXPECT_EQ(entry.MimeType, "text/plain");
        EXPECT_EQ(entry.GetSize(), 5);
        EXPECT_NE(entry.Header.View().find("Content-length: 5\r\nContent-type: text/plain\r\nLast-modified: "),
                  std::string::npos);
    });
    // Names keep their case, on disk and in the key.
    EXPECT_EQ(Content("/Case.txt"), "upper");
    EXPECT_EQ(Content("/case.txt"), "lower");

    // Not found, and never loaded: dot segments, access-list files, missing files.
    for (const char* url : {"/a/../b", "/./b", "/secret.~ACL~", "/missing.txt"})
        With(url, [&](CCacheEntry& entry, int handle, int error) {
            EXPECT_TRUE(entry.Has(CCacheEntry::NotFound)) << url;
            EXPECT_EQ(handle, -1) << url;
            EXPECT_EQ(error, CDocumentCache::kErrorFileNotFound) << url;
        });

    With("/dir", [](CCacheEntry& entry, int, int) {
        EXPECT_TRUE(entry.Has(CCacheEntry::Redirect));
        EXPECT_EQ(entry.Target, "/dir/");
    });
    With("/dir/", [](CCacheEntry& entry, int, int) {
        EXPECT_TRUE(entry.Has(CCacheEntry::Mapped));
        EXPECT_EQ(entry.FilePath.substr(entry.FilePath.size() - 16), "/dir/default.htm");
    });
    With("/", [](CCacheEntry& entry, int, int) { EXPECT_TRUE(entry.Has(CCacheEntry::Directory)); });
    With("/OLD.htm", [](CCacheEntry& entry, int, int) {
        EXPECT_TRUE(entry.Has(CCacheEntry::Redirect));
        EXPECT_EQ(entry.Target, "/new.htm");
    });
    With("/cgi/X.PL/more/path", [&](CCacheEntry& entry, int handle, int) {
        EXPECT_TRUE(entry.Has(CCacheEntry::Program));
        EXPECT_EQ(handle, -1);
        EXPECT_EQ(entry.ScriptSegment, "X.PL");
        EXPECT_EQ(entry.URL, "/cgi/X.PL");
        EXPECT_EQ(entry.Target, "/more/path");
        EXPECT_EQ(entry.PathTranslated, m_root + "/more/path");
        EXPECT_EQ(entry.CGIMapping.CommandLine, "perl %s");
    });
    // The path info of a program never climbs out of the root.
    With("/cgi/x.pl/../../etc/passwd", [](CCacheEntry& entry, int, int) {
        EXPECT_TRUE(entry.Has(CCacheEntry::Program));
        EXPECT_EQ(entry.PathTranslated, "");
    });
    int handle = 0;
    EXPECT_EQ(m_cache.Lookup("a.txt", 5, &handle), nullptr);
    EXPECT_EQ(handle, -1);
}

TEST_F(DocumentCacheTest, DefaultFilesAreTriedInOrderWhateverTheirCase)
{
    Write("one/default.htm", "second");
    Write("one/INDEX.HTM", "first");
    Write("two/default.htm", "only");
    Start(16, 0, false, "index.htm, default.htm");
    EXPECT_EQ(Content("/one/"), "first");
    EXPECT_EQ(Content("/two/"), "only");
}

TEST_F(DocumentCacheTest, SpecialFilesAreNotServed)
{
    Write("empty.txt", "");
    ASSERT_EQ(::mkfifo((m_root + "/pipe.txt").c_str(), 0644), 0);
    Start();
    With("/empty.txt", [](CCacheEntry& entry, int handle, int) {
        EXPECT_TRUE(entry.Has(CCacheEntry::Mapped));
        EXPECT_GE(handle, 0);
        EXPECT_EQ(entry.GetSize(), 0);
        EXPECT_NE(entry.Header.View().find("Content-length: 0\r\n"), std::string::npos);
    });
    // A FIFO would block the opener or never end.
    With("/pipe.txt", [](CCacheEntry& entry, int handle, int) {
        EXPECT_TRUE(entry.Has(CCacheEntry::NotFound));
        EXPECT_EQ(handle, -1);
    });
}

TEST_F(DocumentCacheTest, MacroDocumentsAreRecognisedByMarkerOrType)
{
    struct Case {
        const char* name;
        std::string text;
        bool macro;
        const char* type;
    };
    const std::vector<Case> cases = {
        {"start.txt", "%EXPAND% hello", true, "text/plain"},
        {"late.htm", std::string(150, 'x') + "%expand%", false, "text/html"},
        {"at127.htm", std::string(127, 'x') + "%expand%", true, "text/html"},
        {"other.htm", "50% off %expand%", false, "text/html"},
        {"short.htm", "%expan", false, "text/html"},
        {"page.kav", "no marker at all", true, "text/html"},
        {"image.gif", "%expand%", false, "image/gif"},
    };
    for (const Case& c : cases)
        Write(c.name, c.text);
    Start();
    for (const Case& c : cases)
        With(std::string("/") + c.name, [&](CCacheEntry& entry, int, int) {
            EXPECT_EQ(entry.Has(CCacheEntry::MacroDocument), c.macro) << c.name;
            EXPECT_EQ(entry.MimeType, c.type) << c.name;
            if (c.macro) {
                ASSERT_NE(entry.GetView(), nullptr) << c.name;
                EXPECT_EQ(std::string(entry.GetView(), static_cast<std::size_t>(entry.GetSize())), c.text);
                EXPECT_NE(entry.Header.View().find("Accept: GET HEAD POST PUT\r\n"), std::string::npos);
                EXPECT_EQ(entry.Header.View().find("Content-length"), std::string::npos);
            } else {
                EXPECT_EQ(entry.GetView(), nullptr) << c.name;
            }
        });
}

TEST_F(DocumentCacheTest, TheLeastRecentlyUsedEntryMakesRoom)
{
    for (const char* name : {"1.txt", "2.txt", "3.txt"})
        Write(name, name);
    Start(1); // still keeps two
    CCacheEntry* first = nullptr;
    With("/1.txt", [&](CCacheEntry& entry, int, int) { first = &entry; });
    Content("/2.txt");
    EXPECT_EQ(m_cache.GetCount(), 2u);
    With("/1.txt", [&](CCacheEntry& entry, int, int) { EXPECT_EQ(&entry, first); }); // 2 is now the oldest
    Content("/3.txt");
    EXPECT_EQ(m_cache.GetCount(), 2u);
    With("/1.txt", [&](CCacheEntry& entry, int, int) { EXPECT_EQ(&entry, first); });
}

TEST_F(DocumentCacheTest, AnEntryInUseOutlivesItsEviction)
{
    for (const char* name : {"1.txt", "2.txt", "3.txt"})
        Write(name, name);
    Start(2);
    int handle = -1;
    CCacheEntry* held = m_cache.Lookup("/1.txt", 6, &handle);
    ASSERT_NE(held, nullptr);
    Content("/2.txt");
    Content("/3.txt"); // evicts the held one
    m_cache.FlushNow(true);
    EXPECT_EQ(m_cache.GetCount(), 0u);
    // Still whole: ASan reports any use after free here.
    EXPECT_TRUE(held->Has(CCacheEntry::Discard));
    EXPECT_EQ(ReadHandle(handle), "1.txt");
    EXPECT_EQ(held->MimeType, "text/plain");
    m_cache.Release(held, handle);
}

// Requests of one file in flight at once read through one descriptor: a
// descriptor each ran the process out of them at 10,000 connections. A
// file edited meanwhile is loaded afresh while the held entry goes on.
TEST_F(DocumentCacheTest, RequestsOfOneFileShareOneDescriptor)
{
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    Write("big.txt", "old");
    for (std::uint32_t interval : {0u, 60000u}) {
        SCOPED_TRACE(interval);
        m_cache.Destroy();
        Start(16, interval);
        const auto before = openDescriptors();
        std::vector<std::pair<CCacheEntry*, int>> held;
        for (int i = 0; i < 200; ++i) {
            int handle = -1;
            CCacheEntry* entry = m_cache.Lookup("/big.txt", 8, &handle);
            ASSERT_NE(entry, nullptr);
            ASSERT_GE(handle, 0);
            held.emplace_back(entry, handle);
        }
        EXPECT_LE(openDescriptors() - before, 1);
        Write("big.txt", "edited");
        With("/big.txt", [](CCacheEntry&, int handle, int) { EXPECT_EQ(ReadHandle(handle), "edited"); });
        for (auto [entry, handle] : held)
            m_cache.Release(entry, handle);
        Write("big.txt", "old");
    }
}

TEST_F(DocumentCacheTest, QualifiedLookupsGetEntriesOfTheirOwn)
{
    Write("a.txt", "a");
    Start();
    CCacheEntry* anonymous = nullptr;
    CCacheEntry* user = nullptr;
    With("/a.txt", [&](CCacheEntry& entry, int, int) { anonymous = &entry; });
    With("/a.txt", [&](CCacheEntry& entry, int, int) { user = &entry; }, "alice");
    EXPECT_NE(anonymous, user);
    EXPECT_EQ(m_cache.GetCount(), 2u);
    With("/a.txt", [&](CCacheEntry& entry, int, int) { EXPECT_EQ(entry.Key, "/a.txt:alice"); }, "alice");
}

TEST_F(DocumentCacheTest, AConfigurationChangeEmptiesTheCache)
{
    Write("a.txt", "a");
    Start();
    Content("/a.txt");
    ASSERT_EQ(m_cache.GetCount(), 1u);
    Touch();
    With("/a.txt", [](CCacheEntry&, int, int) {});
    EXPECT_EQ(m_cache.GetCount(), 1u); // the old entry went, the new one is loaded
    // A redirection added to the registry is seen after the change.
    Key("Server\\Redirections").SetString("/a.txt", "/elsewhere");
    Touch();
    With("/a.txt", [](CCacheEntry& entry, int, int) { EXPECT_TRUE(entry.Has(CCacheEntry::Redirect)); });
}

TEST_F(DocumentCacheTest, AnEditedFileIsNeverDescribedByItsOldEntry)
{
    Write("a.txt", "short");
    // A long interval: the change thread stays asleep, so only the check on
    // reopening can notice the edit.
    Start(16, 60000);
    EXPECT_EQ(Content("/a.txt"), "short");
    Write("a.txt", "a good deal longer");
    With("/a.txt", [](CCacheEntry& entry, int handle, int) {
        EXPECT_EQ(entry.GetSize(), 18);
        EXPECT_NE(entry.Header.View().find("Content-length: 18\r\n"), std::string::npos);
        EXPECT_EQ(ReadHandle(handle), "a good deal longer");
    });
}

TEST_F(DocumentCacheTest, TheChangeThreadDropsEntriesOfEditedFiles)
{
    Write("sub/a.txt", "before");
    Write("sub/b.txt", "stays");
    Start(16, 0);
    EXPECT_EQ(Content("/sub/a.txt"), "before");
    EXPECT_EQ(Content("/sub/b.txt"), "stays");
    ASSERT_EQ(m_cache.GetCount(), 2u);
    // An older time counts as a change as well (a restored backup).
    std::filesystem::last_write_time(m_root + "/sub/a.txt",
                                     std::filesystem::last_write_time(m_root + "/sub/a.txt") - std::chrono::hours(1));
    std::uint64_t deadline = platform::MonotonicMs() + kChangeWaitMs;
    while (m_cache.GetCount() != 1u && platform::MonotonicMs() < deadline)
        platform::SleepMs(10);
    EXPECT_EQ(m_cache.GetCount(), 1u);
}

TEST_F(DocumentCacheTest, TemporaryCopiesAreServedAndRemoved)
{
    Write("a.txt", "original");
    Write("ro.txt", "read-only");
    ::chmod((m_root + "/ro.txt").c_str(), 0444);
    Start(16, 0, true);
    std::string copy;
    With("/a.txt", [&](CCacheEntry& entry, int handle, int) {
        EXPECT_TRUE(entry.Has(CCacheEntry::TempCopy));
        copy = entry.TempCopyName;
        // In the process's own folder, which a start after a crash removes.
        EXPECT_EQ(copy.rfind((m_dir / "home") + "/tmp/" + std::to_string(::getpid()) + "/URL", 0), 0u) << copy;
        // The document may now be rewritten in place: the reply is unharmed.
        std::ofstream(m_root + "/a.txt", std::ios::trunc) << "overwritten";
        EXPECT_EQ(ReadHandle(handle), "original");
        // The copy keeps the document's time.
        struct stat status {};
        ASSERT_EQ(::stat(copy.c_str(), &status), 0);
        EXPECT_EQ(status.st_mtim.tv_sec, entry.GetLastWriteSeconds());
    });
    // Interval 0: the copy goes with the last release.
    EXPECT_FALSE(std::filesystem::exists(copy));
    // And the next use copies the new text, not the entry's old description.
    EXPECT_EQ(Content("/a.txt"), "overwritten");
    With("/ro.txt", [](CCacheEntry& entry, int, int) {
        EXPECT_FALSE(entry.Has(CCacheEntry::TempCopy));
        EXPECT_EQ(entry.TempCopyName, "");
    });
    m_cache.Destroy();
    EXPECT_TRUE(std::filesystem::is_empty(m_temp));
}

TEST_F(DocumentCacheTest, TheExpiryThreadLetsIdleEntriesGo)
{
    Write("page.htm", "%expand% text");
    Start(16, 50, true);
    std::string copy;
    With("/page.htm", [&](CCacheEntry& entry, int, int) {
        copy = entry.TempCopyName;
        EXPECT_NE(entry.GetView(), nullptr);
    });
    ASSERT_TRUE(std::filesystem::exists(copy));
    std::uint64_t deadline = platform::MonotonicMs() + kChangeWaitMs;
    while (std::filesystem::exists(copy) && platform::MonotonicMs() < deadline)
        platform::SleepMs(10);
    EXPECT_FALSE(std::filesystem::exists(copy));
    // Mapped and copied again on its next use.
    With("/page.htm", [](CCacheEntry& entry, int handle, int) {
        ASSERT_NE(entry.GetView(), nullptr);
        EXPECT_EQ(std::string(entry.GetView(), 13), "%expand% text");
        EXPECT_FALSE(entry.TempCopyName.empty());
        EXPECT_EQ(ReadHandle(handle), "%expand% text");
    });
}

} // namespace

// Requests share the table while others evict, flush and let resources go:
// every reply still reads its own file, and every reference comes back.
TEST_F(DocumentCacheTest, ConcurrentRequestsNeverSeeAnotherFileOrLoseAReference)
{
    struct Case {
        const char* name;
        std::uint32_t capacity;
        std::uint32_t interval; // 0: the last release lets the resources go
    };
    const std::vector<Case> cases = {
        {"hits that keep their resources", 16, 60000},
        {"last releases that free the resources", 16, 0},
        {"evictions while held", 2, 60000},
    };
    constexpr int kThreads = 6;
    constexpr int kLookups = 400;
    const std::vector<std::string> names = {"a.txt", "b.txt", "c.txt", "d.txt"};
    for (const std::string& name : names)
        Write(name, "content of " + name);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_cache.Destroy();
        Start(c.capacity, c.interval);
        std::atomic<int> wrong{0};
        std::atomic<bool> done{false};
        std::thread flusher([&] {
            for (int round = 0; !done.load(); ++round) {
                m_cache.FlushNow(round % 4 == 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        std::vector<std::thread> requests;
        for (int t = 0; t < kThreads; ++t)
            requests.emplace_back([&, t] {
                for (int i = 0; i < kLookups; ++i) {
                    const std::string& name = names[static_cast<std::size_t>(t + i) % names.size()];
                    // Misses mixed in: each is loaded with the table free and
                    // destroyed by its one holder.
                    const bool missing = i % 5 == 0;
                    std::string url = missing ? "/gone-" + name : "/" + name;
                    int handle = -1;
                    CCacheEntry* entry = m_cache.Lookup(url.c_str(), static_cast<int>(url.size()), &handle);
                    if (missing ? (!entry || handle >= 0 || !entry->Has(CCacheEntry::NotFound))
                                : (!entry || handle < 0 || ReadHandle(handle) != "content of " + name))
                        ++wrong;
                    m_cache.Release(entry, handle);
                }
            });
        for (std::thread& thread : requests)
            thread.join();
        done.store(true);
        flusher.join();
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_LE(m_cache.GetCount(), names.size()) << "misses are never kept";
        // Nobody holds anything now: a lookup's own reference is the only one.
        for (const std::string& name : names)
            With("/" + name, [&](CCacheEntry& entry, int, int) { EXPECT_EQ(entry.GetReferenceCount(), 1) << name; });
    }
}
