#include "platform/fswatch.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <functional>
#include <thread>
#include <vector>

namespace {

using platform::DirectoryWatcher;

// Long enough for any loaded machine to deliver an inotify event.
constexpr std::uint32_t kEventWaitMs = 5000;

class DirectoryWatcherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-fswatch-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        ASSERT_TRUE(m_watcher.Open());
    }
    void TearDown() override { std::filesystem::remove_all(m_root); }

    void Write(const std::string& relative, const std::string& text)
    {
        std::ofstream(m_root + "/" + relative, std::ios::binary | std::ios::trunc) << text;
    }
    // Consumes whatever is queued so the next Wait sees only new events.
    void Settle()
    {
        while (m_watcher.Wait(50) == DirectoryWatcher::kChanged) {
        }
    }

    std::string m_root;
    DirectoryWatcher m_watcher;
};

TEST_F(DirectoryWatcherTest, EditsAnywhereInTheTreeAreReported)
{
    std::filesystem::create_directories(m_root + "/a/b");
    Write("a/b/old.txt", "one");
    ASSERT_EQ(m_watcher.WatchTrees({m_root}), 1u);
    EXPECT_EQ(m_watcher.GetWatchCount(), 3u);

    // Each kind of edit, one at a time, deep in the tree and at the top.
    const std::vector<std::pair<const char*, std::function<void()>>> edits = {
        {"write", [&] { Write("a/b/old.txt", "two"); }},
        {"create", [&] { Write("new.txt", "x"); }},
        {"rename", [&] { std::filesystem::rename(m_root + "/new.txt", m_root + "/a/moved.txt"); }},
        {"delete", [&] { std::filesystem::remove(m_root + "/a/moved.txt"); }},
        {"time", [&] {
             std::filesystem::last_write_time(m_root + "/a/b/old.txt",
                                              std::filesystem::file_time_type::clock::now() - std::chrono::hours(5));
         }},
    };
    for (const auto& [name, edit] : edits) {
        Settle();
        edit();
        EXPECT_EQ(m_watcher.Wait(kEventWaitMs), DirectoryWatcher::kChanged) << name;
    }
    Settle();
    EXPECT_EQ(m_watcher.Wait(100), DirectoryWatcher::kTimedOut);
}

TEST_F(DirectoryWatcherTest, DirectoriesCreatedLaterAreWatchedToo)
{
    ASSERT_EQ(m_watcher.WatchTrees({m_root}), 1u);
    std::filesystem::create_directories(m_root + "/later");
    ASSERT_EQ(m_watcher.Wait(kEventWaitMs), DirectoryWatcher::kChanged);
    Settle();
    EXPECT_EQ(m_watcher.GetWatchCount(), 2u);
    Write("later/file.htm", "x");
    EXPECT_EQ(m_watcher.Wait(kEventWaitMs), DirectoryWatcher::kChanged);
}

TEST_F(DirectoryWatcherTest, NewRootsReplaceTheOldWatches)
{
    std::filesystem::create_directories(m_root + "/one");
    std::filesystem::create_directories(m_root + "/two");
    ASSERT_EQ(m_watcher.WatchTrees({m_root + "/one", m_root + "/missing"}), 1u);
    ASSERT_EQ(m_watcher.WatchTrees({m_root + "/two"}), 1u);
    Settle();
    Write("one/x.txt", "x");
    EXPECT_EQ(m_watcher.Wait(200), DirectoryWatcher::kTimedOut);
    Write("two/x.txt", "x");
    EXPECT_EQ(m_watcher.Wait(kEventWaitMs), DirectoryWatcher::kChanged);
}

TEST_F(DirectoryWatcherTest, StopWakesAWaiterAndStaysSetUntilRestart)
{
    ASSERT_EQ(m_watcher.WatchTrees({m_root}), 1u);
    DirectoryWatcher::WaitResult result = DirectoryWatcher::kFailed;
    std::uint64_t started = platform::MonotonicMs();
    std::thread waiter([&] { result = m_watcher.Wait(platform::kInfinite); });
    platform::SleepMs(50);
    m_watcher.Stop();
    waiter.join();
    EXPECT_EQ(result, DirectoryWatcher::kStopped);
    EXPECT_LT(platform::MonotonicMs() - started, kEventWaitMs);
    EXPECT_EQ(m_watcher.Wait(platform::kInfinite), DirectoryWatcher::kStopped);
    EXPECT_TRUE(m_watcher.WaitForStop(0));

    m_watcher.Restart();
    EXPECT_FALSE(m_watcher.WaitForStop(20));
    EXPECT_EQ(m_watcher.Wait(20), DirectoryWatcher::kTimedOut);
}

TEST_F(DirectoryWatcherTest, WithoutWatchesAWaitStillEndsOnTime)
{
    std::uint64_t started = platform::MonotonicMs();
    EXPECT_EQ(m_watcher.Wait(100), DirectoryWatcher::kTimedOut);
    EXPECT_GE(platform::MonotonicMs() - started, 90u);
}

} // namespace
