#include "platform/profile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string templ = (fs::temp_directory_path() / "profile_test.XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        m_dir = templ;
        m_path = (m_dir / "Desc.inf").string();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    void Put(const std::string& text)
    {
        std::ofstream file(m_path, std::ios::binary | std::ios::trunc);
        file << text;
    }
    std::string Contents() const
    {
        std::ifstream file(m_path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    fs::path m_dir;
    std::string m_path;
};

struct ReadCase {
    const char* name;
    const char* file;
    const char* section;
    const char* key;
    const char* expected; // null: the default "-"
};

TEST_F(ProfileTest, ReadsByTheRules)
{
    const ReadCase cases[] = {
        {"plain", "[Description]\nindex.htm=Home\n", "Description", "index.htm", "Home"},
        {"section and key in any case", "[DESCRIPTION]\nINDEX.HTM=Home\n", "description", "Index.Htm", "Home"},
        {"first key wins", "[d]\nk=one\nk=two\n", "d", "k", "one"},
        {"first section wins", "[d]\nk=one\n[D]\nk=two\nother=x\n", "d", "k", "one"},
        {"a later same-named section is not searched", "[d]\nk=one\n[D]\nother=x\n", "d", "other", nullptr},
        {"blanks trimmed", "  [ d ]  \n  k  =  spaced value  \n", "d", "k", "spaced value"},
        {"double quotes dropped", "[d]\nk=\"quoted\"\n", "d", "k", "quoted"},
        {"single quotes dropped", "[d]\nk='quoted'\n", "d", "k", "quoted"},
        {"unmatched quote kept", "[d]\nk=\"half\n", "d", "k", "\"half"},
        {"CR LF ends", "[d]\r\nk=v\r\n", "d", "k", "v"},
        {"no final line end", "[d]\nk=v", "d", "k", "v"},
        {"comment skipped", "[d]\n;k=no\nk=yes\n", "d", "k", "yes"},
        {"empty value found", "[d]\nk=\n", "d", "k", ""},
        {"value keeps '='", "[d]\nk=a=b\n", "d", "k", "a=b"},
        {"key in another section", "[a]\nk=v\n[b]\n", "b", "k", nullptr},
        {"entries before any section", "k=v\n[d]\n", "d", "k", nullptr},
        {"line without '='", "[d]\nk\n", "d", "k", nullptr},
        {"empty file", "", "d", "k", nullptr},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        Put(c.file);
        EXPECT_EQ(platform::ReadProfileString(m_path, c.section, c.key, "-"), c.expected ? c.expected : "-");
    }
}

TEST_F(ProfileTest, MissingFileGivesTheDefault)
{
    EXPECT_EQ(platform::ReadProfileString(m_path, "d", "k", "dflt"), "dflt");
    EXPECT_FALSE(fs::exists(m_path));
}

struct WriteCase {
    const char* name;
    const char* before;
    const char* key;
    const char* value; // null removes
    const char* after;
};

TEST_F(ProfileTest, EditsInPlace)
{
    const WriteCase cases[] = {
        {"creates file and section", nullptr, "a.htm", "A", "[Description]\na.htm=A\n"},
        {"replaces the value, keeps the key's spelling and the rest",
         "; notes\n[Other]\nx=1\n\n[description]\nA.HTM=old\nb.htm=B\n", "a.htm", "new",
         "; notes\n[Other]\nx=1\n\n[description]\nA.HTM=new\nb.htm=B\n"},
        {"adds a key after the section's last entry", "[Description]\na=1\n\n[Next]\nz=9\n", "b", "2",
         "[Description]\na=1\nb=2\n\n[Next]\nz=9\n"},
        {"adds a section after a blank line", "[Other]\nx=1\n", "a", "1", "[Other]\nx=1\n\n[Description]\na=1\n"},
        {"keeps CR LF ends", "[Description]\r\na=1\r\n", "b", "2", "[Description]\r\na=1\r\nb=2\r\n"},
        {"ends an unended last line", "[Description]\na=1", "b", "2", "[Description]\na=1\nb=2\n"},
        {"removes a key", "[Description]\na=1\nb=2\n", "a", nullptr, "[Description]\nb=2\n"},
        {"removing from a missing section adds nothing", "[Other]\nx=1\n", "a", nullptr, "[Other]\nx=1\n"},
        {"line breaks in a value become spaces", "[Description]\n", "a", "x\r\n[Description]\nb=evil",
         "[Description]\na=x  [Description] b=evil\n"},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(m_path);
        if (c.before)
            Put(c.before);
        std::optional<std::string_view> value;
        if (c.value)
            value = c.value;
        ASSERT_TRUE(platform::WriteProfileString(m_path, "Description", c.key, value));
        EXPECT_EQ(Contents(), c.after);
    }
    // An injected line break must not have made a second entry.
    EXPECT_EQ(platform::ReadProfileString(m_path, "Description", "b", "-"), "-");
}

TEST_F(ProfileTest, RefusesNamesThatCouldNotBeReadBack)
{
    Put("[Description]\na=1\n");
    for (const char* key : {"", "  ", "x=y", "[x", ";x", "a\nb"}) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(platform::WriteProfileString(m_path, "Description", key, "v"));
    }
    EXPECT_FALSE(platform::WriteProfileString(m_path, "Desc]x", "k", "v"));
    EXPECT_FALSE(platform::WriteProfileString(m_path, "Desc\nx", "k", "v"));
    EXPECT_EQ(Contents(), "[Description]\na=1\n");
}

TEST_F(ProfileTest, AWholeSectionIsAddedOnceAndReadsBack)
{
    Put("[Description]\na=1");
    platform::Profile profile;
    ASSERT_TRUE(profile.Load(m_path));
    using Entries = std::vector<std::pair<std::string, std::string>>;
    struct Row {
        const char* section;
        Entries entries;
        bool added;
    };
    const Row rows[] = {
        {"Form", {{"k", "v"}, {"Long Key", " spaced "}, {"br", "x\r\ny"}}, true},
        {"form", {{"z", "1"}}, false},
        {"Description", {{"b", "2"}}, false},
        {"Bad", {{"ok", "1"}, {"no\nkey", "2"}}, false},
        {"Bad", {{";k", "1"}}, false},
        {"B]ad", {}, false},
        {"Empty", {}, true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(profile.AddSection(row.section, row.entries), row.added) << row.section;
    ASSERT_TRUE(profile.Save(m_path));
    EXPECT_EQ(Contents(), "[Description]\na=1\n\n[Form]\nk=v\nLong Key= spaced \nbr=x  y\n\n[Empty]\n");
    for (const auto& [key, value] : Entries{{"k", "v"}, {"long key", "spaced"}, {"br", "x  y"}})
        EXPECT_EQ(platform::ReadProfileString(m_path, "FORM", key, "-"), value) << key;
    EXPECT_EQ(platform::ReadProfileString(m_path, "Bad", "ok", "-"), "-") << "a refused section leaves nothing";
}

TEST_F(ProfileTest, OversizedFileIsNeitherReadNorReplaced)
{
    std::string big = "[Description]\na=1\n" + std::string(platform::kMaxProfileFileBytes, 'x');
    Put(big);
    platform::Profile profile;
    EXPECT_FALSE(profile.Load(m_path));
    EXPECT_EQ(platform::ReadProfileString(m_path, "Description", "a", "-"), "-");
    EXPECT_FALSE(platform::WriteProfileString(m_path, "Description", "b", "2"));
    EXPECT_EQ(Contents().size(), big.size());

    // One byte under the limit is still a profile.
    Put(big.substr(0, platform::kMaxProfileFileBytes));
    EXPECT_EQ(platform::ReadProfileString(m_path, "Description", "a", "-"), "1");
}

TEST_F(ProfileTest, RewriteKeepsModeAndLeavesNoTemporaryFile)
{
    Put("[Description]\na=1\n");
    ASSERT_EQ(::chmod(m_path.c_str(), 0640), 0);
    ASSERT_TRUE(platform::WriteProfileString(m_path, "Description", "a", "2"));
    struct stat status {};
    ASSERT_EQ(::stat(m_path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    int files = 0;
    for (const auto& entry : fs::directory_iterator(m_dir)) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST_F(ProfileTest, RewriteKeepsOwnerAndGroup)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving the file to another owner needs root";
    constexpr uid_t kOwner = 65534;
    constexpr gid_t kGroup = 65534;
    Put("[Description]\na=1\n");
    ASSERT_EQ(::chown(m_path.c_str(), kOwner, kGroup), 0);
    ASSERT_EQ(::chmod(m_path.c_str(), 0640), 0);
    ASSERT_TRUE(platform::WriteProfileString(m_path, "Description", "a", "2"));
    struct stat status {};
    ASSERT_EQ(::stat(m_path.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kOwner);
    EXPECT_EQ(status.st_gid, kGroup);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(Contents(), "[Description]\na=2\n");
}

TEST_F(ProfileTest, ALinkStaysALinkAndItsTargetIsEdited)
{
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, const char*>> links; // name in m_dir -> target
        const char* target;                                     // the file behind, in m_dir; null: none
        bool saved;
    };
    const Case cases[] = {
        {"absolute link", {{"Desc.inf", "@/real/odbc.ini"}}, "real/odbc.ini", true},
        {"relative link", {{"Desc.inf", "real/odbc.ini"}}, "real/odbc.ini", true},
        {"chain of links", {{"Desc.inf", "hop"}, {"hop", "real/odbc.ini"}}, "real/odbc.ini", true},
        {"dangling link: its target is created", {{"Desc.inf", "real/new.ini"}}, nullptr, true},
        {"loop of links", {{"Desc.inf", "hop"}, {"hop", "Desc.inf"}}, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "real");
        if (c.target)
            std::ofstream(m_dir / c.target) << "; kept\n[Description]\na=1\n";
        for (const auto& [name, to] : c.links) {
            std::string target = to[0] == '@' ? (m_dir / (to + 2)).string() : to;
            fs::create_symlink(target, m_dir / name);
        }
        EXPECT_EQ(platform::WriteProfileString(m_path, "Description", "a", "2"), c.saved);
        EXPECT_TRUE(fs::is_symlink(m_dir / "Desc.inf"));
        if (!c.saved)
            continue;
        EXPECT_EQ(Contents(), c.target ? "; kept\n[Description]\na=2\n" : "[Description]\na=2\n");
        int files = 0;
        for (const auto& entry : fs::directory_iterator(m_dir / "real")) {
            (void)entry;
            ++files;
        }
        EXPECT_EQ(files, 1) << "no temporary file is left beside the target";
    }
}

TEST_F(ProfileTest, WriteIntoMissingDirectoryFails)
{
    std::string path = (m_dir / "missing" / "Desc.inf").string();
    EXPECT_FALSE(platform::WriteProfileString(path, "Description", "a", "1"));
    EXPECT_FALSE(fs::exists(m_dir / "missing"));
}

TEST_F(ProfileTest, ConcurrentWritersLoseNothing)
{
    constexpr int kThreads = 8;
    constexpr int kKeysEach = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            for (int k = 0; k < kKeysEach; ++k)
                platform::WriteProfileString(m_path, "Description", "k" + std::to_string(t) + "_" + std::to_string(k),
                                             std::to_string(k));
        });
    for (std::thread& thread : threads)
        thread.join();
    platform::Profile profile;
    ASSERT_TRUE(profile.Load(m_path));
    for (int t = 0; t < kThreads; ++t)
        for (int k = 0; k < kKeysEach; ++k)
            EXPECT_EQ(profile.GetString("Description", "k" + std::to_string(t) + "_" + std::to_string(k)),
                      std::to_string(k));
}

} // namespace
