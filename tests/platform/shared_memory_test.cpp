#include "eventually.h"
#include "platform/shared_memory.h"
#include "shared_memory_scope.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using platform::NamedMutex;
using platform::SharedMemory;
using platform::SharedMemoryName;
using Wait = NamedMutex::WaitResult;

constexpr std::uint64_t kChildLimitMs = 10000;

// Runs body in a forked child, which leaves with body's result through
// _exit: no destructors, so the parent's objects are not closed (or their
// names unlinked) twice.
pid_t Spawn(const std::function<int()>& body)
{
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    return pid;
}

// The child's exit code, -1 when it did not end in time (it is then killed).
int Reap(pid_t pid)
{
    int status = 0;
    const std::uint64_t end = platform::MonotonicMs() + kChildLimitMs;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (platform::MonotonicMs() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        platform::SleepMs(2);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::atomic_ref<std::uint32_t> WordAt(const SharedMemory& memory, std::size_t offset)
{
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(static_cast<char*>(memory.Data()) + offset));
}

TEST(SharedMemoryNameTest, SeparatorsBecomeDotsUnderOneSlash)
{
    struct Case {
        const char* prefix;
        const char* name;
        const char* expected;
    };
    const Case cases[] = {
        {nullptr, "Tessa/VLInfo2", "/Tessa.VLInfo2"},
        {nullptr, "Tessa/VLInfoMutex3", "/Tessa.VLInfoMutex3"},
        {nullptr, "Tessa\\VLInfo", "/Tessa.VLInfo"},
        {nullptr, "/lead/../x", "/.lead....x"},
        {"", "Tessa/VLInfo", "/Tessa.VLInfo"},
        {"run1", "Tessa/VLInfo2", "/run1.Tessa.VLInfo2"},
        {"a/b\\c", "Tessa/VLInfo", "/a.b.c.Tessa.VLInfo"},
    };
    for (const Case& c : cases) {
        if (c.prefix)
            ::setenv(platform::kShmPrefixVariable, c.prefix, 1);
        else
            ::unsetenv(platform::kShmPrefixVariable);
        EXPECT_EQ(SharedMemoryName(c.name), c.expected) << (c.prefix ? c.prefix : "(unset)") << " " << c.name;
    }
    ::unsetenv(platform::kShmPrefixVariable);
}

TEST_F(SharedMemoryTest, CreatorUnlinksAtCloseWhileOpenersKeepTheirView)
{
    auto creator = std::make_unique<SharedMemory>();
    ASSERT_TRUE(creator->Create("Tessa/Block", 4096));
    EXPECT_TRUE(creator->IsCreator());
    EXPECT_EQ(creator->Size(), 4096u);

    struct stat status;
    ASSERT_EQ(::stat(DevShmPath("Tessa/Block").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(status.st_size, 4096);
    const auto* bytes = static_cast<const unsigned char*>(creator->Data());
    EXPECT_TRUE(std::all_of(bytes, bytes + 4096, [](unsigned char b) { return b == 0; }));

    SharedMemory opener;
    ASSERT_TRUE(opener.Create("Tessa/Block", 4096));
    EXPECT_FALSE(opener.IsCreator());
    WordAt(*creator, 4092).store(0xA1B2C3D4);
    EXPECT_EQ(WordAt(opener, 4092).load(), 0xA1B2C3D4u);

    creator.reset();
    EXPECT_FALSE(std::filesystem::exists(DevShmPath("Tessa/Block")));
    WordAt(opener, 0).store(7);
    EXPECT_EQ(WordAt(opener, 4092).load(), 0xA1B2C3D4u);

    // With the name gone a new opener gets a fresh object, and makes it.
    SharedMemory later;
    ASSERT_TRUE(later.Create("Tessa/Block", 4096));
    EXPECT_TRUE(later.IsCreator());
    EXPECT_EQ(WordAt(later, 4092).load(), 0u);
}

TEST_F(SharedMemoryTest, ShortObjectIsGrownBeforeMapping)
{
    SharedMemory small;
    ASSERT_TRUE(small.Create("Tessa/Short", 16));
    SharedMemory whole;
    ASSERT_TRUE(whole.Create("Tessa/Short", 8192));
    EXPECT_EQ(std::filesystem::file_size(DevShmPath("Tessa/Short")), 8192u);
    // The last word of the larger view must be backed by the object.
    WordAt(whole, 8188).store(5);
    EXPECT_EQ(WordAt(whole, 8188).load(), 5u);
}

TEST_F(SharedMemoryTest, FailuresLeaveNothingOpen)
{
    SharedMemory memory;
    EXPECT_FALSE(memory.Create("Tessa/Empty", 0));
    EXPECT_FALSE(memory.Create(std::string(300, 'n'), 4096)); // longer than a file name may be
    EXPECT_FALSE(memory.IsOpen());
    EXPECT_EQ(memory.Data(), nullptr);
    NamedMutex mutex;
    EXPECT_FALSE(mutex.Create(std::string(300, 'n')));
    EXPECT_EQ(mutex.Wait(0), Wait::failed);
    EXPECT_FALSE(mutex.Release());
}

TEST_F(SharedMemoryTest, TwoProcessesShareOneMapping)
{
    SharedMemory memory;
    ASSERT_TRUE(memory.Create("Tessa/Shared", 4096));
    WordAt(memory, 0).store(41);
    pid_t child = Spawn([] {
        SharedMemory view;
        if (!view.Create("Tessa/Shared", 4096) || view.IsCreator())
            return 2;
        if (WordAt(view, 0).load() != 41)
            return 3;
        WordAt(view, 8).store(99);
        return 0;
    });
    ASSERT_GT(child, 0);
    EXPECT_EQ(Reap(child), 0);
    EXPECT_EQ(WordAt(memory, 8).load(), 99u);
}

TEST_F(SharedMemoryTest, MutexAbandonedByAKilledProcessCountsAsAcquired)
{
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = Spawn([&] {
        NamedMutex mutex;
        if (!mutex.Create("Tessa/VLInfoMutex3") || mutex.Wait(1000) != Wait::acquired)
            return 2;
        char byte = 1;
        if (::write(ready[1], &byte, 1) != 1)
            return 3;
        ::pause(); // killed here, holding the mutex
        return 4;
    });
    ASSERT_GT(child, 0);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);

    NamedMutex mutex;
    ASSERT_TRUE(mutex.Create("Tessa/VLInfoMutex3"));
    EXPECT_EQ(mutex.Wait(50), Wait::timeout); // still held by the live child
    ::kill(child, SIGKILL);
    EXPECT_EQ(Reap(child), -1);

    EXPECT_EQ(mutex.Wait(1000), Wait::abandoned);
    EXPECT_TRUE(mutex.Release());
    // Made consistent: usable as normal afterwards.
    EXPECT_EQ(mutex.Wait(0), Wait::acquired);
    EXPECT_TRUE(mutex.Release());
    // The child died without closing, so its name stays until removed.
    SharedMemory name;
    ASSERT_TRUE(name.Create("Tessa/VLInfoMutex3", 1));
    name.Unlink();
}

TEST_F(SharedMemoryTest, MutexWaitTimesOutAndIsNotRecursive)
{
    NamedMutex mutex;
    ASSERT_TRUE(mutex.Create("Tessa/M"));
    std::atomic<int> stage{0};
    std::thread holder([&] {
        NamedMutex own;
        if (!own.Create("Tessa/M") || own.Wait(1000) != Wait::acquired)
            return;
        stage = 1;
        Eventually([&] { return stage.load() == 2; }, 10000);
        own.Release();
    });
    ASSERT_TRUE(Eventually([&] { return stage.load() == 1; }));

    EXPECT_EQ(mutex.Wait(0), Wait::timeout);
    EXPECT_FALSE(mutex.Release()); // not the owner: changes nothing
    for (std::uint32_t ms : {30u, 120u}) {
        const std::uint64_t start = platform::MonotonicMs();
        EXPECT_EQ(mutex.Wait(ms), Wait::timeout);
        const std::uint64_t elapsed = platform::MonotonicMs() - start;
        EXPECT_GE(elapsed, ms);
        EXPECT_LT(elapsed, ms + kSlackMs);
    }
    stage = 2;
    holder.join();

    ASSERT_EQ(mutex.Wait(1000), Wait::acquired);
    EXPECT_EQ(mutex.Wait(0), Wait::failed);
    EXPECT_EQ(mutex.Wait(50), Wait::failed); // not a 50 ms deadlock either
    EXPECT_TRUE(mutex.Release());
    EXPECT_FALSE(mutex.Release());
}

// Processes that all create the same mutex at once and count under it: the
// count is exact only when every one of them got the one initialised mutex.
TEST_F(SharedMemoryTest, ProcessesRacingToCreateShareOneMutex)
{
    constexpr std::uint32_t kProcesses = 6;
    constexpr std::uint32_t kRounds = 300;
    constexpr std::size_t kOpened = 0, kCount = 4, kDone = 8;
    SharedMemory memory;
    ASSERT_TRUE(memory.Create("Tessa/Counts", 4096));

    std::vector<pid_t> children;
    for (std::uint32_t i = 0; i < kProcesses; ++i) {
        children.push_back(Spawn([&] {
            SharedMemory view;
            NamedMutex mutex;
            if (!view.Create("Tessa/Counts", 4096) || !mutex.Create("Tessa/CountsMutex"))
                return 2;
            // Nobody closes (and so unlinks) before everyone has opened.
            WordAt(view, kOpened).fetch_add(1);
            if (!Eventually([&] { return WordAt(view, kOpened).load() == kProcesses; }, 8000))
                return 3;
            auto* count = reinterpret_cast<volatile std::uint32_t*>(static_cast<char*>(view.Data()) + kCount);
            for (std::uint32_t round = 0; round < kRounds; ++round) {
                if (mutex.Wait(5000) != Wait::acquired)
                    return 4;
                const std::uint32_t seen = *count;
                if (round % 16 == 0)
                    std::this_thread::yield();
                *count = seen + 1;
                mutex.Release();
            }
            WordAt(view, kDone).fetch_add(1);
            Eventually([&] { return WordAt(view, kDone).load() == kProcesses; }, 8000);
            mutex.Close();
            return 0;
        }));
        ASSERT_GT(children.back(), 0);
    }
    for (pid_t child : children)
        EXPECT_EQ(Reap(child), 0);
    EXPECT_EQ(WordAt(memory, kCount).load(), kProcesses * kRounds);
}

} // namespace
