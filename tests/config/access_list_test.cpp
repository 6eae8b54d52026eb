#include "config/access_list.h"

#include "config/acl_cache.h"
#include "config/acl_file.h"
#include "config/group_map.h"
#include "config/registry_helpers.h"
#include "config_fixture.h"
#include "eventually.h"
#include "platform/clock.h"

#include <fstream>
#include <sys/xattr.h>

namespace {

class AccessListTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        RegSetString(Key("Groups\\Staff"), "ann", "");
        ASSERT_TRUE(m_groups.LoadFromKey(m_product, "Groups"));
        GlobalACLCache().Init();
    }
    void TearDown() override
    {
        GlobalACLCache().Clear();
        ConfigTest::TearDown();
    }
    static CAccessList List(std::vector<std::string> lines)
    {
        CAccessList list;
        list.SetLines(std::move(lines));
        return list;
    }
    static void WriteFile(const std::string& path, const std::string& text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string ReadFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    CGroupMap m_groups;
    CTestScope m_scope;
};

TEST_F(AccessListTest, LineGrammar)
{
    struct Case {
        const char* line;
        const char* access;
        const char* user;
        const char* address;
        int verdict;
    } cases[] = {
        {"Allow-user: GET,*,*", "GET", "", "10.0.0.1", 1},
        {"Allow-user: GET,*,*", "PUT", "", "10.0.0.1", -1},
        {"allow-USER: get,BOB,*", "GET", "bob", "10.0.0.1", 1},
        {"Allow-user: GET,bob,*", "GET", "", "10.0.0.1", -1},
        {"Allow-user: GET,bob", "GET", "bob", "10.0.0.1", -1},            // no address: never decides
        {"Reject-user: *,bob,*", "TRAVERSE", "Bob", "10.0.0.1", 0},
        {"Permit-user: GET,*,*", "GET", "bob", "10.0.0.1", -1},           // unknown action
        {"Allow-group: *,*,*", "GET", "anyone", "10.0.0.1", 1},           // every authenticated user
        {"Allow-group: *,*,*", "GET", "", "10.0.0.1", -1},                // never the anonymous one
        {"Allow-group: GET,staff,*", "GET", "ann", "10.0.0.1", 1},
        {"Allow-group: GET,Staff,*", "GET", "ANN", "10.0.0.1", 1},        // group names in any case
        {"Allow-group: GET,staff,*", "GET", "bob", "10.0.0.1", -1},
        {"Reject-group: PUT,staff,10.1.*", "PUT", "ann", "10.1.2.3", 0},
        {"Reject-group: PUT,staff,10.1.*", "PUT", "ann", "10.2.2.3", -1},
        {"Allow-user: GET,*,192.168.*", "GET", "", "192.168.4.7", 1},
        {"Allow-user: GET,*,192.168.?.7", "GET", "", "192.168.44.7", -1},
        {"--Allow--user:  HEAD , * ,, *", "HEAD", "", "1.2.3.4", 1},     // runs of separators
        {"Allow-*: *,*,*.sales", "GET", "", "127.0.0.1", -1},             // host pattern, name is not in .sales
        {"Allow-user: GET,*,LOCALHOST", "GET", "", "127.0.0.1", 1},       // host names without regard to case
        {"Allow-user\r\nGET,*,*", "GET", "", "1.2.3.4", -1},
    };
    for (const Case& c : cases) {
        CAccessList list = List({c.line});
        EXPECT_EQ(list.Check(c.access, c.user, c.address, &m_groups, &m_scope), c.verdict) << c.line;
    }
}

TEST_F(AccessListTest, FirstMatchDecidesAndEmptyListAllows)
{
    CAccessList empty;
    EXPECT_EQ(empty.Check("GET", "bob", "1.2.3.4", nullptr, nullptr), -1);
    EXPECT_TRUE(empty.IsAllowed("GET", "bob", "1.2.3.4", nullptr, nullptr));
    CAccessList list = List({"Reject-user: GET,*,*", "Allow-user: GET,bob,*"});
    EXPECT_FALSE(list.IsAllowed("GET", "bob", "1.2.3.4", nullptr, nullptr));
    CAccessList nothingMatches = List({"Allow-user: PUT,*,*"});
    EXPECT_FALSE(nothingMatches.IsAllowed("GET", "bob", "1.2.3.4", nullptr, nullptr));
}

TEST_F(AccessListTest, LostLineRefusesFromItsPlaceOn)
{
    CAccessList list = List({"Allow-user: GET,bob,*", "Allow-user: GET,*,*"});
    list.MarkUnreadableAt(1);
    EXPECT_EQ(list.Check("GET", "bob", "1.2.3.4", nullptr, nullptr), 1);
    EXPECT_EQ(list.Check("GET", "carl", "1.2.3.4", nullptr, nullptr), 0);
    CAccessList nothingRead;
    nothingRead.MarkUnreadableAt(0);
    EXPECT_FALSE(nothingRead.IsAllowed("GET", "carl", "1.2.3.4", nullptr, nullptr));
}

TEST_F(AccessListTest, HostNameIsForwardConfirmedWithinTheDeadline)
{
    EXPECT_EQ(ConfirmedHostName("127.0.0.1"), "localhost");
    EXPECT_EQ(ConfirmedHostName("not an address"), "not an address");
    std::uint64_t started = platform::MonotonicMs();
    // An address without a name gives its own text.
    std::string name = ConfirmedHostName("192.0.2.77", 500);
    EXPECT_LT(platform::MonotonicMs() - started, 1100u + SlackMs());
    EXPECT_EQ(name, "192.0.2.77");
}

TEST_F(AccessListTest, FileLinesWithEitherEndingAndComments)
{
    std::string doc = m_dir / "page.html";
    WriteFile(doc, "x");
    std::string longName(3000, 'u');
    WriteFile(doc + ".~ACL~",
              "; comment\r\n/ another\r\n\r\n   Reject-user: GET,eve,*  \r\nAllow-user: GET," + longName +
                  ",*\nAllow-user: GET,bob,*");
    CAccessList list;
    list.LoadFile(doc);
    ASSERT_EQ(list.GetCount(), 3u);
    EXPECT_EQ(list.GetLines()[0], "Reject-user: GET,eve,*");
    EXPECT_TRUE(list.IsAllowed("GET", longName, "1.2.3.4", nullptr, nullptr));
    EXPECT_TRUE(list.IsAllowed("GET", "bob", "1.2.3.4", nullptr, nullptr));
    EXPECT_FALSE(list.IsAllowed("GET", "eve", "1.2.3.4", nullptr, nullptr));

    std::string commentsOnly = m_dir / "c.html";
    WriteFile(commentsOnly, "x");
    WriteFile(commentsOnly + ".~ACL~", "; nothing\n/ here\n");
    CAccessList none;
    none.LoadFile(commentsOnly);
    EXPECT_TRUE(none.IsEmpty());
    EXPECT_TRUE(none.IsAllowed("GET", "", "1.2.3.4", nullptr, nullptr));
}

TEST_F(AccessListTest, FilesThatCannotBeReadRefuse)
{
    std::string doc = m_dir / "big.html";
    WriteFile(doc, "x");
    WriteFile(doc + ".~ACL~", "Allow-user: GET,bob,*\n" + std::string(kMaxACLLineBytes + 10, 'a') +
                                  "\nAllow-user: GET,*,*\n");
    CAccessList list;
    list.LoadFile(doc);
    EXPECT_TRUE(list.IsAllowed("GET", "bob", "1.2.3.4", nullptr, nullptr));
    EXPECT_FALSE(list.IsAllowed("GET", "carl", "1.2.3.4", nullptr, nullptr));

    // A .~ACL~ that exists but cannot be read (here a directory).
    std::string odd = m_dir / "odd.html";
    WriteFile(odd, "x");
    std::filesystem::create_directory(odd + ".~ACL~");
    CAccessList refused;
    refused.LoadFile(odd);
    EXPECT_FALSE(refused.IsAllowed("GET", "", "1.2.3.4", nullptr, nullptr));
}

TEST_F(AccessListTest, CacheKeysByExactPathUntilAChange)
{
    CACLCache& cache = GlobalACLCache();
    std::string upper = m_dir / "Doc.html", lower = m_dir / "doc.html";
    WriteFile(upper, "x");
    WriteFile(lower, "x");
    WriteFile(upper + ".~ACL~", "Reject-user: *,*,*\n");
    CAccessList a, b;
    a.LoadFile(upper);
    b.LoadFile(lower);
    EXPECT_FALSE(a.IsAllowed("GET", "", "1.2.3.4", nullptr, nullptr));
    EXPECT_TRUE(b.IsAllowed("GET", "", "1.2.3.4", nullptr, nullptr));
    EXPECT_EQ(cache.GetCount(), 2u); // the absence for doc.html is remembered

    // The saved file is not seen until the change stamp moves.
    ASSERT_TRUE(List({"Allow-user: *,*,*"}).SaveFile(upper));
    CAccessList again;
    again.LoadFile(upper);
    EXPECT_FALSE(again.IsAllowed("GET", "", "1.2.3.4", nullptr, nullptr));
    Touch();
    again.LoadFile(upper);
    EXPECT_TRUE(again.IsAllowed("GET", "", "1.2.3.4", nullptr, nullptr));

    // No entry for a document that does not exist.
    std::size_t before = cache.GetCount();
    CAccessList ghost;
    ghost.LoadFile(m_dir / "nowhere.html");
    EXPECT_EQ(cache.GetCount(), before);
}

TEST_F(AccessListTest, CacheIsBoundedAndDropsReadsOverlappingAFlush)
{
    CACLCache& cache = GlobalACLCache();
    cache.SetCapacityForTesting(2);
    for (const char* name : {"1", "2", "3"}) {
        WriteFile(m_dir / name, "x");
        CAccessList list;
        list.LoadFile(m_dir / name);
    }
    EXPECT_EQ(cache.GetCount(), 2u);
    CAccessList probe;
    std::uint64_t generation = 0;
    EXPECT_FALSE(cache.Find(m_dir / "1", probe, &generation)); // the oldest left
    EXPECT_TRUE(cache.Find(m_dir / "3", probe, &generation));

    // A list read before a change must not be cached after it.
    EXPECT_FALSE(cache.Find(m_dir / "4", probe, &generation));
    Touch();
    cache.Add(m_dir / "4", List({"Allow-user: *,*,*"}), generation);
    EXPECT_FALSE(cache.Find(m_dir / "4", probe, &generation));
    cache.SetCapacityForTesting(kACLCacheCapacity);
}

TEST_F(AccessListTest, SaveFileReplacesAtomically)
{
    std::string doc = m_dir / "s.html";
    CAccessList list = List({"Allow-user: GET,bob,*", "Reject-user: *,*,*"});
    ASSERT_TRUE(list.SaveFile(doc));
    EXPECT_EQ(ReadFile(doc + ".~ACL~"), "Allow-user: GET,bob,*\r\nReject-user: *,*,*\r\n");
    char probe[4];
    // Hidden, where the file system keeps user attributes.
    if (::getxattr((doc + ".~ACL~").c_str(), kAttributesXattrName, probe, sizeof probe) >= 0 || errno != ENOTSUP) {
        EXPECT_EQ(ReadExtraAttributes(doc + ".~ACL~") & kFileAttributeHidden, kFileAttributeHidden);
    }
    // Only the list itself is left: no temporary, no backup.
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path())) {
        EXPECT_TRUE(IsACLFileName(entry.path().filename().string()) || entry.path().filename() == "registry.db" ||
                    entry.path().filename().string().rfind("registry.db-", 0) == 0)
            << entry.path();
        files += IsACLFileName(entry.path().filename().string());
    }
    EXPECT_EQ(files, 1u);

    EXPECT_FALSE(list.SaveFile(m_dir / "missing-dir/x.html"));
    // The list cannot replace a directory: the failure leaves it in place.
    std::filesystem::create_directories(m_dir / "d.html.~ACL~/inner");
    EXPECT_FALSE(list.SaveFile(m_dir / "d.html"));
    EXPECT_TRUE(std::filesystem::is_directory(m_dir / "d.html.~ACL~/inner"));

    EXPECT_TRUE(CAccessList().SaveFile(doc));
    EXPECT_FALSE(std::filesystem::exists(doc + ".~ACL~"));
}

TEST_F(AccessListTest, ACLFileNames)
{
    struct Case {
        const char* name;
        bool acl;
    } cases[] = {{"index.html.~acl~", true}, {".~ACL~", true}, {"x.~ACL", false},
                 {"x.~ACL~.bak", false},     {"~ACL~", false}, {"dir/F.~Acl~", true}};
    for (const Case& c : cases)
        EXPECT_EQ(IsACLFileName(c.name), c.acl) << c.name;
}

} // namespace
