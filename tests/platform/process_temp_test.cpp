#include "platform/process_temp.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using platform::ProcessTempFolder;

class ProcessTempTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-ptemp-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_root = m_dir + "/tmp";
    }
    void TearDown() override
    {
        if (m_hadHome)
            ::setenv("VELMORA_HOME", m_home.c_str(), 1);
        else
            ::unsetenv("VELMORA_HOME");
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    void UseHome()
    {
        if (const char* home = std::getenv("VELMORA_HOME")) {
            m_hadHome = true;
            m_home = home;
        }
        ::setenv("VELMORA_HOME", m_dir.c_str(), 1);
    }
    // A process that makes its folder, puts a copy in it and is killed.
    void KilledProcessFolder(const std::string& name)
    {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ProcessTempFolder folder;
            if (folder.Create(m_root, name) == 0)
                std::ofstream(folder.Path() + "/URLabcdef") << "a whole document";
            ::raise(SIGKILL);
            ::_exit(1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        ASSERT_TRUE(std::filesystem::exists(m_root + "/" + name + "/URLabcdef"));
    }

    std::string m_dir;
    std::string m_root;
    std::string m_home;
    bool m_hadHome = false;
};

TEST_F(ProcessTempTest, SweepRemovesDeadProcessesFoldersOnly)
{
    KilledProcessFolder("101");
    ProcessTempFolder live;
    ASSERT_EQ(live.Create(m_root, "202"), 0);
    std::ofstream(live.Path() + "/URLlive00") << "in use";
    // A folder whose lock file is gone, and one still being made (no lock
    // file yet): the first is a dead one's, the second may be live.
    std::filesystem::create_directories(m_root + "/303");
    std::filesystem::create_directories(m_root + "/.new-abcdef");

    EXPECT_EQ(platform::SweepProcessTempFolders(m_root), 2);

    struct {
        const char* name;
        bool stays;
    } const cases[] = {{"101", false}, {"202", true}, {"303", false}, {".new-abcdef", true}};
    for (const auto& c : cases)
        EXPECT_EQ(std::filesystem::exists(m_root + "/" + c.name), c.stays) << c.name;
    EXPECT_TRUE(std::filesystem::exists(live.Path() + "/URLlive00"));

    // A clean end takes the folder with it.
    std::string path = live.Path();
    live.Remove();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ProcessTempTest, ALiveProcessKeepsItsName)
{
    ProcessTempFolder first;
    ASSERT_EQ(first.Create(m_root, "404"), 0);
    ProcessTempFolder second;
    EXPECT_EQ(second.Create(m_root, "404"), EBUSY);
    EXPECT_TRUE(std::filesystem::exists(first.Path() + "/.lock"));
    // Nothing half made is left beside it.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_root))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(ProcessTempTest, TheProcessFolderIsInTheStateDirectoryAndReplacesADeadNamesake)
{
    UseHome();
    // After a restart the pid may be the dead run's again.
    std::string own = std::to_string(::getpid());
    std::filesystem::create_directories(m_root + "/" + own);
    std::ofstream(m_root + "/" + own + "/URLstale0") << "left by a crash";

    std::string folder = platform::ProcessTempDirectory();
    EXPECT_EQ(folder, m_root + "/" + own);
    EXPECT_FALSE(std::filesystem::exists(folder + "/URLstale0"));
    // The sweep of a start leaves the running process's folder alone.
    EXPECT_EQ(platform::SweepProcessTempFolders(m_root), 0);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

// The sweep takes only folders named as processes' folders, and never goes
// through a link or into a folder another user owns: what an operator or
// another program keeps there stays.
TEST_F(ProcessTempTest, TheSweepTakesItsOwnNamesOnlyAndNeverLeavesItsFolder)
{
    KilledProcessFolder("505");
    std::filesystem::create_directories(m_root + "/keep");
    std::ofstream(m_root + "/keep/notes.txt") << "the operator's";
    EXPECT_EQ(platform::SweepProcessTempFolders(m_root), 1);
    EXPECT_FALSE(std::filesystem::exists(m_root + "/505"));
    EXPECT_TRUE(std::filesystem::exists(m_root + "/keep/notes.txt"));

    // A link to a shared folder holding a dead-looking folder of another program.
    const std::string shared = m_dir + "/shared";
    std::filesystem::create_directories(shared + "/606");
    std::filesystem::remove_all(m_root);
    std::filesystem::create_directory_symlink(shared, m_root);
    EXPECT_EQ(platform::SweepProcessTempFolders(m_root), -1);
    EXPECT_EQ(errno, ELOOP);
    ProcessTempFolder folder;
    EXPECT_EQ(folder.Create(m_root, "707"), ELOOP);
    EXPECT_TRUE(std::filesystem::exists(shared + "/606"));
    EXPECT_FALSE(std::filesystem::exists(shared + "/707"));

    if (::geteuid() != 0)
        GTEST_SKIP() << "a folder of another user's needs root to make";
    std::filesystem::remove(m_root);
    std::filesystem::create_directories(m_root + "/808");
    ASSERT_EQ(::chown(m_root.c_str(), 65534, 65534), 0);
    EXPECT_EQ(platform::SweepProcessTempFolders(m_root), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_TRUE(std::filesystem::exists(m_root + "/808"));
}

} // namespace
