#include "eventually.h"
#include "framework/server_stats.h"
#include "platform/clock.h"
#include "shared_memory_scope.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace at = server_stat_offset;
namespace global = stats_offset;

class ServerStatsTest : public SharedMemoryTest {
protected:
    void TearDown() override
    {
        DestroyGlobalStatsBlock();
        SharedMemoryTest::TearDown();
    }
};

// Another process reads the block: python3 maps the object read-only and
// prints count little-endian words from offset, then "|" and the NUL-ended
// text at textAt when textAt >= 0.
std::string ReadWithPython(const std::string& name, int offset, int count, int textAt)
{
    const std::string command =
        "python3 -c 'import mmap,struct,sys; a=sys.argv; o,n,t=int(a[2]),int(a[3]),int(a[4]);"
        " f=open(a[1],\"rb\"); m=mmap.mmap(f.fileno(),4096,access=mmap.ACCESS_READ);"
        " print(\" \".join(map(str,struct.unpack_from(\"<%dI\"%n,m,o)))"
        " + (\"|\"+m[t:t+64].split(b\"\\0\")[0].decode() if t>=0 else \"\"))' "
        + SharedMemoryTest::DevShmPath(name).string() + " " + std::to_string(offset) + " " + std::to_string(count)
        + " " + std::to_string(textAt) + " 2>&1";
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char line[1024];
        while (output.size() < 65536 && std::fgets(line, sizeof line, pipe))
            output += line;
        ::pclose(pipe);
    }
    if (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}

std::string Words(std::initializer_list<std::uint32_t> words)
{
    std::string text;
    for (std::uint32_t word : words)
        text += (text.empty() ? "" : " ") + std::to_string(word);
    return text;
}

TEST_F(ServerStatsTest, AnotherProcessReadsTheLayoutByteForByte)
{
    if (std::system("python3 -c pass >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 is not installed";
    const auto before = static_cast<std::uint32_t>(platform::UnixTimeSeconds());
    ASSERT_TRUE(CreateGlobalStatsBlock());
    SetGlobalServerCount(3);
    CServerStats stats;
    const std::uint32_t address = 0x0100007F; // 127.0.0.1, first part in the lowest byte
    ASSERT_TRUE(stats.Create(7, 1, 8080, 8443, address));
    const auto after = static_cast<std::uint32_t>(platform::UnixTimeSeconds());
    stats.SetDescription("Sales Intranet");
    stats.AddClient();
    stats.AddClient();
    stats.RemoveClient();
    stats.AddConnection(false, 1000, 200);
    stats.AddConnection(true, 5000, 300);
    for (std::uint32_t i = 0; i < 4; ++i)
        stats.Add(at::kCGIHits + 4 * i, 4 + i);

    const std::uint32_t startTime = GlobalStats().Read(global::kStartTime);
    const std::uint32_t statTime = stats.Read(at::kStatTime);
    EXPECT_TRUE(before <= startTime && startTime <= after && before <= statTime && statTime <= after);
    EXPECT_EQ(ReadWithPython(StatsBlockName(), 0, 10, -1), Words({0x10000, 3, 1, startTime, 2, 6000, 500, 1, 5000, 300}));
    EXPECT_EQ(ReadWithPython(StatsBlockName() + "7", 0, 2, 8), "65536 1|Sales Intranet");
    EXPECT_EQ(ReadWithPython(StatsBlockName() + "7", 72, 15, -1),
              Words({8080, 8443, address, 1, statTime, 2, 6000, 500, 1, 5000, 300, 4, 5, 6, 7}));
    EXPECT_TRUE(std::filesystem::exists(DevShmPath(StatsMutexName() + "7")));

    // Cut to 63 characters and a NUL, within the 64 bytes.
    stats.SetDescription(std::string(100, 'd'));
    EXPECT_EQ(ReadWithPython(StatsBlockName() + "7", 68, 2, 8), Words({0x00646464, 8080}) + "|" + std::string(63, 'd'));
    stats.Close();
    EXPECT_FALSE(std::filesystem::exists(DevShmPath(StatsBlockName() + "7")));
}

TEST_F(ServerStatsTest, ConcurrentConnectionsAddUpExactly)
{
    ASSERT_TRUE(CreateGlobalStatsBlock());
    CServerStats servers[2];
    ASSERT_TRUE(servers[0].Create(0, 1, 80, 443, 0));
    ASSERT_TRUE(servers[1].Create(1, 2, 81, 0, 0));
    constexpr std::uint32_t kThreads = 8, kRounds = 2000, kPerServer = kThreads / 2 * kRounds;
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint32_t i = 0; i < kRounds; ++i) {
                servers[t % 2].AddClient();
                servers[t % 2].AddConnection(i % 2 == 0, 3, 5);
                servers[t % 2].RemoveClient();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const CServerStats& stats : servers) {
        EXPECT_EQ(stats.Read(at::kNumClients), 0u);
        EXPECT_EQ(stats.Read(at::kNumHits), kPerServer);
        EXPECT_EQ(stats.Read(at::kBytesReceived), 5 * kPerServer);
        EXPECT_EQ(stats.Read(at::kSecureBytesSent), 3 * kPerServer / 2);
    }
    EXPECT_EQ(GetGlobalClientCount(), 0);
    EXPECT_EQ(GlobalStats().Read(global::kHits), 2 * kPerServer);
    EXPECT_EQ(GlobalStats().Read(global::kSecureHits), kPerServer);
}

TEST_F(ServerStatsTest, WordsWrapAndStayInsideTheBlock)
{
    ASSERT_TRUE(CreateGlobalStatsBlock());
    CServerStats stats;
    ASSERT_TRUE(stats.Create(0, 1, 80, 0, 0));
    stats.Store(at::kBytesSent, 0xFFFFFFF0u);
    stats.AddConnection(false, 0x20, (std::uint64_t{1} << 32) + 7);
    EXPECT_EQ(stats.Read(at::kBytesSent), 0x10u);
    EXPECT_EQ(stats.Read(at::kBytesReceived), 7u);
    // A client count does not wrap: it never goes below 0.
    stats.RemoveClient();
    EXPECT_EQ(stats.Read(at::kNumClients), 0u);
    EXPECT_EQ(GetGlobalClientCount(), 0);

    for (std::size_t offset : {kStatsBlockBytes, kStatsBlockBytes - 2, std::size_t{93}}) {
        stats.Store(offset, 1);
        EXPECT_EQ(stats.Read(offset), 0u) << offset;
    }
    EXPECT_EQ(stats.Read(at::kNumHits), 1u); // 93 did not touch the word at 92
    // A text with no NUL before the end of the block stops there.
    stats.Store(kStatsBlockBytes - 8, 0x41414141);
    stats.Store(kStatsBlockBytes - 4, 0x41414141);
    EXPECT_EQ(stats.ReadText(kStatsBlockBytes - 8, 64), "AAAAAAAA");
}

// A name left by a process that died keeps its words; a new server's figures
// must not start from them.
TEST_F(ServerStatsTest, CreateClearsABlockLeftBehind)
{
    platform::SharedMemory left;
    ASSERT_TRUE(left.Create(StatsBlockName() + "4", kStatsBlockBytes));
    std::memset(left.Data(), 0x5A, sizeof(ServerStatsBlock));
    CServerStats stats;
    ASSERT_TRUE(stats.Create(4, 3, 8000, 0, 0));
    EXPECT_EQ(stats.Read(at::kVersion), kStatsVersion);
    EXPECT_EQ(stats.ReadText(at::kDescription, at::kDescriptionBytes), "");
    for (std::size_t offset = at::kNumClients; offset <= at::kKAVHits; offset += 4) {
        if (offset == at::kStatTime)
            continue;
        EXPECT_EQ(stats.Read(offset), 0u) << "offset " << offset;
    }
}

// A second instance that starts clears the block it finds; clients the first
// one still serves then leave, and the count stays at 0 instead of wrapping.
TEST_F(ServerStatsTest, AClientCountClearedUnderItsClientsStaysAtZero)
{
    ASSERT_TRUE(CreateGlobalStatsBlock());
    CServerStats stats;
    ASSERT_TRUE(stats.Create(0, 1, 80, 0, 0));
    for (int i = 0; i < 3; ++i)
        stats.AddClient();
    ASSERT_TRUE(CreateGlobalStatsBlock());
    for (int i = 0; i < 3; ++i)
        stats.RemoveClient();
    EXPECT_EQ(GetGlobalClientCount(), 0);
    EXPECT_EQ(stats.Read(at::kNumClients), 0u);
}

// Each hive is an instance with blocks of its own; only the default
// service's hive has the designed names a monitor looks for.
TEST_F(ServerStatsTest, EachHiveCountsInItsOwnBlocks)
{
    const std::string folder = std::filesystem::temp_directory_path() / ("vstats" + std::to_string(::getpid()));
    const char* registry = std::getenv("VELMORA_REGISTRY");
    const std::string savedRegistry = registry ? registry : "";
    ::setenv("VELMORA_REGISTRY", (folder + "/a/registry.db").c_str(), 1);
    ASSERT_TRUE(CreateGlobalStatsBlock());
    CServerStats first;
    ASSERT_TRUE(first.Create(0, 1, 80, 0, 0));
    first.AddClient();
    first.AddConnection(false, 10, 20);
    const std::string firstName = StatsBlockName();

    // The other instance sees none of the first one's figures.
    ::setenv("VELMORA_REGISTRY", (folder + "/b/../b/registry.db").c_str(), 1);
    EXPECT_NE(StatsBlockName(), firstName);
    {
        CServerStats second;
        ASSERT_TRUE(second.Create(0, 1, 80, 0, 0));
        EXPECT_EQ(second.Read(at::kNumHits), 0u);
        EXPECT_EQ(first.Read(at::kNumHits), 1u);
    }
    for (const std::string& name : {std::string(kStatsName), std::string(kStatsName) + "0"}) {
        platform::SharedMemory designed;
        ASSERT_TRUE(designed.Create(name, kStatsBlockBytes));
        EXPECT_EQ(*static_cast<const std::uint32_t*>(designed.Data()), 0u) << name << " is not this hive's block";
    }
    // One hive, however it is spelt, is one instance.
    ::setenv("VELMORA_REGISTRY", (folder + "/./a/registry.db").c_str(), 1);
    EXPECT_EQ(StatsBlockName(), firstName);

    // The default service (no variable moves its hive) keeps the designed names.
    ::unsetenv("VELMORA_REGISTRY");
    const char* home = std::getenv("VELMORA_HOME");
    const std::string savedHome = home ? home : "";
    ::unsetenv("VELMORA_HOME");
    EXPECT_EQ(StatsBlockName(), kStatsName);
    EXPECT_EQ(StatsMutexName(), kStatsMutexName);
    // A state folder of its own is another instance.
    ::setenv("VELMORA_HOME", folder.c_str(), 1);
    EXPECT_NE(StatsBlockName(), kStatsName);
    if (home)
        ::setenv("VELMORA_HOME", savedHome.c_str(), 1);
    else
        ::unsetenv("VELMORA_HOME");
    if (registry)
        ::setenv("VELMORA_REGISTRY", savedRegistry.c_str(), 1);
    first.Close();
}

TEST_F(ServerStatsTest, WithoutAMappingNothingIsCounted)
{
    EXPECT_EQ(GetGlobalClientCount(), -1);
    // A prefix too long for a file name makes every mapping fail.
    ::setenv(platform::kShmPrefixVariable, std::string(300, 'p').c_str(), 1);
    EXPECT_FALSE(CreateGlobalStatsBlock());
    CServerStats stats;
    EXPECT_FALSE(stats.Create(0, 1, 80, 0, 0));
    stats.AddConnection(true, 1, 1);
    stats.SetDescription("x");
    EXPECT_FALSE(stats.LockMutex(0));
    EXPECT_EQ(GetGlobalClientCount(), -1);
    ::setenv(platform::kShmPrefixVariable, Prefix().c_str(), 1);

    ASSERT_TRUE(CreateGlobalStatsBlock());
    stats.AddClient(); // a server without a block still counts globally
    EXPECT_EQ(GetGlobalClientCount(), 1);
}

// A holder that never lets go (a stopped process of ours) costs a setting up
// a bounded wait, not the start of every server.
TEST_F(ServerStatsTest, AMutexNobodyReleasesDelaysASetUpOnlyBriefly)
{
    platform::NamedMutex holder;
    ASSERT_TRUE(holder.Create(StatsMutexName() + "2"));
    ASSERT_EQ(holder.Wait(0), platform::NamedMutex::WaitResult::acquired);
    std::atomic<bool> done{false};
    CServerStats stats;
    std::thread start([&] {
        stats.Create(2, 1, 80, 0, 0);
        done = true;
    });
    EXPECT_TRUE(Eventually([&] { return done.load(); }, CStatsBlock::kCreateWaitMs + 20000));
    holder.Release();
    start.join();
    EXPECT_EQ(stats.Read(at::kPort), 80u);
}

// Two hive paths whose 64-bit FNV-1a hashes are equal (one core found the
// pair in minutes) are two instances all the same.
TEST_F(ServerStatsTest, HivesWhosePathsCollideUnderAWeakHashHaveNamesOfTheirOwn)
{
    const char* registry = std::getenv("VELMORA_REGISTRY");
    const std::string saved = registry ? registry : "";
    ::setenv("VELMORA_REGISTRY", "/velmora-hive-415dd13b88223e3c/registry.db", 1);
    const std::string first = StatsBlockName();
    ::setenv("VELMORA_REGISTRY", "/velmora-hive-0ce43c7170de88e3/registry.db", 1);
    EXPECT_NE(StatsBlockName(), first);
    registry ? ::setenv("VELMORA_REGISTRY", saved.c_str(), 1) : ::unsetenv("VELMORA_REGISTRY");
}

// A process killed with -9 leaves its blocks and mutexes; the next start
// removes them (so its own are its to remove at the end), and leaves those
// a live process holds.
TEST_F(ServerStatsTest, BlocksAKilledProcessLeftAreRemovedAndLiveOnesStay)
{
    CServerStats live;
    ASSERT_TRUE(live.Create(1, 1, 81, 0, 0));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CServerStats stats;
        if (CreateGlobalStatsBlock() && stats.Create(3, 1, 80, 0, 0))
            ::raise(SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::vector<std::string> left = {StatsBlockName(), StatsMutexName(), StatsBlockName() + "3",
                                           StatsMutexName() + "3"};
    for (const std::string& name : left)
        ASSERT_TRUE(std::filesystem::exists(DevShmPath(name))) << name;

    EXPECT_EQ(RemoveStatsBlocksLeftBehind(), 4);
    for (const std::string& name : left)
        EXPECT_FALSE(std::filesystem::exists(DevShmPath(name))) << name;
    EXPECT_TRUE(std::filesystem::exists(DevShmPath(StatsBlockName() + "1")));
    EXPECT_TRUE(std::filesystem::exists(DevShmPath(StatsMutexName() + "1")));
}

} // namespace
