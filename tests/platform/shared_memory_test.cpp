#include "eventually.h"
#include "other_user.h"
#include "platform/shared_memory.h"
#include "shared_memory_scope.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

using platform::NamedMutex;
using platform::SharedMemory;
using Wait = NamedMutex::WaitResult;

// Runs body in a forked child that leaves through _exit, so it closes (and
// unlinks) nothing of the parent's.
pid_t Spawn(const std::function<int()>& body)
{
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    return pid;
}

// The child's exit code; -1 when killed or not done within 10 s (then killed).
int Reap(pid_t pid)
{
    int status = 0;
    if (!Eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10000)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::atomic_ref<std::uint32_t> WordAt(const SharedMemory& memory, std::size_t offset)
{
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(static_cast<char*>(memory.Data()) + offset));
}

TEST(SharedMemoryNameTest, SeparatorsBecomeDotsUnderOneSlash)
{
    const struct {
        const char* prefix;
        const char* name;
        const char* expected;
    } cases[] = {
        {nullptr, "Tessa/VLInfo2", "/Tessa.VLInfo2"},
        {nullptr, "Tessa\\VLInfoMutex3", "/Tessa.VLInfoMutex3"},
        {nullptr, "/lead/../x", "/.lead....x"},
        {"", "Tessa/VLInfo", "/Tessa.VLInfo"},
        {"a/b\\c", "Tessa/VLInfo2", "/a.b.c.Tessa.VLInfo2"},
    };
    for (const auto& c : cases) {
        c.prefix ? ::setenv(platform::kShmPrefixVariable, c.prefix, 1) : ::unsetenv(platform::kShmPrefixVariable);
        EXPECT_EQ(platform::SharedMemoryName(c.name), c.expected) << c.name;
    }
    ::unsetenv(platform::kShmPrefixVariable);
}

TEST_F(SharedMemoryTest, CreatorUnlinksAtCloseWhileOpenersKeepTheirView)
{
    auto creator = std::make_unique<SharedMemory>();
    ASSERT_TRUE(creator->Create("Tessa/Block", 16));
    EXPECT_TRUE(creator->IsCreator());
    struct stat status;
    ASSERT_EQ(::stat(DevShmPath("Tessa/Block").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    // A larger opener grows the object before mapping: its last word is backed.
    SharedMemory opener;
    ASSERT_TRUE(opener.Create("Tessa/Block", 8192));
    EXPECT_FALSE(opener.IsCreator());
    EXPECT_EQ(std::filesystem::file_size(DevShmPath("Tessa/Block")), 8192u);
    WordAt(*creator, 12).store(0xA1B2C3D4);
    WordAt(opener, 8188).store(5);
    EXPECT_EQ(WordAt(opener, 12).load(), 0xA1B2C3D4u);

    creator.reset();
    EXPECT_FALSE(std::filesystem::exists(DevShmPath("Tessa/Block")));
    EXPECT_EQ(WordAt(opener, 12).load(), 0xA1B2C3D4u);
    SharedMemory later; // the name is free again: a fresh object
    ASSERT_TRUE(later.Create("Tessa/Block", 16));
    EXPECT_TRUE(later.IsCreator());
    EXPECT_EQ(WordAt(later, 12).load(), 0u);

    EXPECT_FALSE(later.Create("Tessa/Empty", 0));
    EXPECT_FALSE(later.Create(std::string(300, 'n'), 16)); // longer than a file name may be
    EXPECT_FALSE(later.IsOpen());
}

TEST_F(SharedMemoryTest, MutexTimesOutWhileHeldAndIsAcquiredWhenItsOwnerIsKilled)
{
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = Spawn([&] {
        NamedMutex mutex;
        char byte = 1;
        if (!mutex.Create("Tessa/VLInfoMutex3") || mutex.Wait(1000) != Wait::acquired || ::write(ready[1], &byte, 1) != 1)
            return 2;
        ::pause(); // killed here, holding the mutex
        return 3;
    });
    ASSERT_GT(child, 0);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);

    NamedMutex mutex;
    ASSERT_TRUE(mutex.Create("Tessa/VLInfoMutex3"));
    EXPECT_EQ(mutex.Wait(0), Wait::timeout);
    const std::uint64_t start = platform::MonotonicMs();
    EXPECT_EQ(mutex.Wait(120), Wait::timeout);
    EXPECT_GE(platform::MonotonicMs() - start, 120u);
    EXPECT_LT(platform::MonotonicMs() - start, 120u + SlackMs());
    EXPECT_FALSE(mutex.Release()); // not ours: changes nothing

    ::kill(child, SIGKILL);
    EXPECT_EQ(Reap(child), -1);
    EXPECT_EQ(mutex.Wait(1000), Wait::abandoned);
    EXPECT_EQ(mutex.Wait(50), Wait::failed); // not recursive, and no deadlock
    EXPECT_TRUE(mutex.Release());
    EXPECT_EQ(mutex.Wait(0), Wait::acquired); // consistent again
    EXPECT_TRUE(mutex.Release());
    // The killed creator could not unlink its name.
    SharedMemory name;
    ASSERT_TRUE(name.Create("Tessa/VLInfoMutex3", 1));
    name.Unlink();
}

// Processes that open one mapping and create one mutex name at the same
// moment, and count under it: the count is exact only if all of them got the
// one initialised mutex.
TEST_F(SharedMemoryTest, ProcessesShareAMappingAndRaceToCreateOneMutex)
{
    constexpr std::uint32_t kProcesses = 6, kRounds = 300;
    SharedMemory memory; // words: opened, count, done
    ASSERT_TRUE(memory.Create("Tessa/Counts", 16));
    std::vector<pid_t> children;
    for (std::uint32_t i = 0; i < kProcesses; ++i) {
        children.push_back(Spawn([&] {
            SharedMemory view;
            NamedMutex mutex;
            if (!view.Create("Tessa/Counts", 16) || view.IsCreator() || !mutex.Create("Tessa/CountsMutex"))
                return 2;
            // Nobody closes (the creator unlinks) before everyone has opened.
            WordAt(view, 0).fetch_add(1);
            Eventually([&] { return WordAt(view, 0).load() == kProcesses; }, 8000);
            auto* count = static_cast<volatile std::uint32_t*>(view.Data()) + 1;
            for (std::uint32_t round = 0; round < kRounds; ++round) {
                if (mutex.Wait(5000) != Wait::acquired)
                    return 3;
                const std::uint32_t seen = *count;
                std::this_thread::yield();
                *count = seen + 1;
                mutex.Release();
            }
            WordAt(view, 8).fetch_add(1);
            Eventually([&] { return WordAt(view, 8).load() == kProcesses; }, 8000);
            return 0;
        }));
        ASSERT_GT(children.back(), 0);
    }
    for (pid_t child : children)
        EXPECT_EQ(Reap(child), 0);
    EXPECT_EQ(WordAt(memory, 4).load(), kProcesses * kRounds);
}

// Names are known in advance, so another local user can make them first: a
// block it could cut short under our mapping, a mutex it holds for ever.
// Neither is used; both are made afresh, and the user reaches neither.
TEST_F(SharedMemoryTest, ObjectsAnotherUserMadeFirstAreMadeAfresh)
{
    if (std::string why = OtherUserProcess::Obstacle(); !why.empty())
        GTEST_SKIP() << why;
    const std::string block = DevShmPath("Tessa/VLInfo0"), mutexFile = DevShmPath("Tessa/VLInfoMutex0");
    SharedMemory squatted;
    NamedMutex held;
    OtherUserProcess nobody({
        [&] {
            return squatted.Create("Tessa/VLInfo0", 4096) && ::chmod(block.c_str(), 0666) == 0
                   && held.Create("Tessa/VLInfoMutex0") && held.Wait(0) == Wait::acquired;
        },
        [&] { return ::truncate(block.c_str(), 0) == 0; },
    });
    ASSERT_TRUE(nobody.Run(0));

    SharedMemory memory;
    ASSERT_TRUE(memory.Create("Tessa/VLInfo0", 4096));
    EXPECT_EQ(memory.Refused(), "user 65534's, mode 0666");
    NamedMutex mutex;
    ASSERT_TRUE(mutex.Create("Tessa/VLInfoMutex0"));
    EXPECT_EQ(mutex.Refused(), "user 65534's, mode 0600");
    EXPECT_EQ(mutex.Wait(1000), Wait::acquired);
    EXPECT_TRUE(mutex.Release());
    for (const std::string& path : {block, mutexFile}) {
        struct stat status {};
        ASSERT_EQ(::stat(path.c_str(), &status), 0) << path;
        EXPECT_EQ(status.st_uid, ::geteuid()) << path;
        EXPECT_EQ(status.st_mode & 07777, 0600u) << path;
    }
    EXPECT_FALSE(nobody.Run(1)) << "the other user cut our block short";
    static_cast<volatile char*>(memory.Data())[4095] = 1; // would die of SIGBUS had it worked
    // An object of ours that others may open is not used either.
    memory.Close();
    SharedMemory open;
    ASSERT_TRUE(open.Create("Tessa/Open", 16));
    ASSERT_EQ(::chmod(DevShmPath("Tessa/Open").c_str(), 0644), 0);
    SharedMemory again;
    ASSERT_TRUE(again.Create("Tessa/Open", 16));
    EXPECT_EQ(again.Refused(), "user " + std::to_string(::geteuid()) + "'s, mode 0644");
    EXPECT_TRUE(again.IsCreator());
}

} // namespace
