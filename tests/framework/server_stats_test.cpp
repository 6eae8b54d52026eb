#include "eventually.h"
#include "framework/server_stats.h"
#include "platform/clock.h"
#include "shared_memory_scope.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// A reader in another process: python3 maps the object read-only and prints
// count little-endian words from offset, then the NUL-ended text at textAt
// (when textAt >= 0). Empty when python3 could not run.
std::string ReadWithPython(const std::filesystem::path& file, int offset, int count, int textAt)
{
    const std::string script = "import mmap,struct,sys\n"
                               "f=open(sys.argv[1],'rb')\n"
                               "m=mmap.mmap(f.fileno(),4096,access=mmap.ACCESS_READ)\n"
                               "o,n,t=int(sys.argv[2]),int(sys.argv[3]),int(sys.argv[4])\n"
                               "w=struct.unpack_from('<%dI'%n,m,o)\n"
                               "s=' '.join(str(x) for x in w)\n"
                               "if t>=0: s+='|'+m[t:t+64].split(b'\\0')[0].decode()\n"
                               "print(s)\n";
    char scriptPath[] = "/tmp/velmora-stats-XXXXXX";
    int fd = ::mkstemp(scriptPath);
    if (fd < 0)
        return {};
    bool written = ::write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
    ::close(fd);
    std::string output;
    if (written) {
        const std::string command = "python3 " + std::string(scriptPath) + " '" + file.string() + "' "
                                    + std::to_string(offset) + " " + std::to_string(count) + " "
                                    + std::to_string(textAt) + " 2>&1";
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char chunk[512];
            std::size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0 && output.size() < 65536)
                output.append(chunk, n);
            if (::pclose(pipe) != 0)
                output = "python3 failed: " + output;
        }
    }
    ::unlink(scriptPath);
    if (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}

std::string Join(const std::vector<std::uint32_t>& words)
{
    std::ostringstream text;
    for (std::size_t i = 0; i < words.size(); ++i)
        text << (i ? " " : "") << words[i];
    return text.str();
}

bool HavePython()
{
    return std::system("python3 -c pass >/dev/null 2>&1") == 0;
}

TEST_F(ServerStatsTest, AnotherProcessReadsTheLayoutByteForByte)
{
    if (!HavePython())
        GTEST_SKIP() << "python3 is not installed";
    const std::uint32_t before = static_cast<std::uint32_t>(platform::UnixTimeSeconds());
    ASSERT_TRUE(CreateGlobalStatsBlock());
    SetGlobalServerCount(3);
    CServerStats stats;
    const std::uint32_t address = 0x0100007F; // 127.0.0.1, first part in the lowest byte
    ASSERT_TRUE(stats.Create(7, 1, 8080, 8443, address));
    const std::uint32_t after = static_cast<std::uint32_t>(platform::UnixTimeSeconds());
    stats.SetDescription("Sales Intranet");
    stats.AddClient();
    stats.AddClient();
    stats.RemoveClient();
    stats.AddConnection(false, 1000, 200);
    stats.AddConnection(true, 5000, 300);
    stats.Add(at::kCGIHits, 4);
    stats.Add(at::kWinCGIHits, 5);
    stats.Add(at::kISAPIHits, 6);
    stats.Add(at::kKAVHits, 7);

    const std::uint32_t startTime = GlobalStats().Read(global::kStartTime);
    EXPECT_GE(startTime, before);
    EXPECT_LE(startTime, after);
    EXPECT_EQ(ReadWithPython(DevShmPath("Tessa/VLInfo"), 0, 10, -1),
              Join({0x10000, 3, 1, startTime, 2, 6000, 500, 1, 5000, 300}));

    const std::uint32_t statTime = stats.Read(at::kStatTime);
    EXPECT_GE(statTime, before);
    EXPECT_LE(statTime, after);
    EXPECT_EQ(ReadWithPython(DevShmPath("Tessa/VLInfo7"), 0, 2, 8), "65536 1|Sales Intranet");
    EXPECT_EQ(ReadWithPython(DevShmPath("Tessa/VLInfo7"), 72, 15, -1),
              Join({8080, 8443, address, 1, statTime, 2, 6000, 500, 1, 5000, 300, 4, 5, 6, 7}));
    EXPECT_TRUE(std::filesystem::exists(DevShmPath("Tessa/VLInfoMutex7")));

    // The description is cut to 63 characters and its NUL.
    stats.SetDescription(std::string(100, 'd'));
    EXPECT_EQ(ReadWithPython(DevShmPath("Tessa/VLInfo7"), 68, 1, 8), std::to_string(0x00646464) + "|" + std::string(63, 'd'));
    EXPECT_EQ(stats.ReadText(at::kDescription, at::kDescriptionBytes), std::string(63, 'd'));

    stats.Close();
    EXPECT_FALSE(std::filesystem::exists(DevShmPath("Tessa/VLInfo7")));
    EXPECT_FALSE(std::filesystem::exists(DevShmPath("Tessa/VLInfoMutex7")));
}

TEST_F(ServerStatsTest, ConcurrentConnectionsAddUpExactly)
{
    ASSERT_TRUE(CreateGlobalStatsBlock());
    CServerStats first, second;
    ASSERT_TRUE(first.Create(0, 1, 80, 443, 0));
    ASSERT_TRUE(second.Create(1, 2, 81, 0, 0));
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CServerStats& stats = t % 2 ? second : first;
            for (int i = 0; i < kRounds; ++i) {
                stats.AddClient();
                stats.AddConnection(i % 2 == 0, 3, 5);
                stats.RemoveClient();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    const std::uint32_t perServer = kThreads / 2 * kRounds;
    for (CServerStats* stats : {&first, &second}) {
        EXPECT_EQ(stats->Read(at::kNumClients), 0u);
        EXPECT_EQ(stats->Read(at::kNumHits), perServer);
        EXPECT_EQ(stats->Read(at::kBytesSent), 3 * perServer);
        EXPECT_EQ(stats->Read(at::kBytesReceived), 5 * perServer);
        EXPECT_EQ(stats->Read(at::kSecureNumHits), perServer / 2);
        EXPECT_EQ(stats->Read(at::kSecureBytesReceived), 5 * perServer / 2);
    }
    EXPECT_EQ(GetGlobalClientCount(), 0);
    EXPECT_EQ(GlobalStats().Read(global::kHits), 2 * perServer);
    EXPECT_EQ(GlobalStats().Read(global::kBytesSent), 6 * perServer);
    EXPECT_EQ(GlobalStats().Read(global::kSecureHits), perServer);
    EXPECT_EQ(GlobalStats().Read(global::kSecureBytesSent), 3 * perServer);
}

TEST_F(ServerStatsTest, CountersWrapModulo32Bits)
{
    ASSERT_TRUE(CreateGlobalStatsBlock());
    CServerStats stats;
    ASSERT_TRUE(stats.Create(0, 1, 80, 0, 0));
    stats.Store(at::kBytesSent, 0xFFFFFFF0u);
    GlobalStats().Store(global::kBytesSent, 0xFFFFFFFFu);
    stats.AddConnection(false, 0x20, (std::uint64_t{1} << 32) + 7);
    EXPECT_EQ(stats.Read(at::kBytesSent), 0x10u);
    EXPECT_EQ(GlobalStats().Read(global::kBytesSent), 0x1Fu);
    EXPECT_EQ(stats.Read(at::kBytesReceived), 7u);
    stats.RemoveClient();
    EXPECT_EQ(stats.Read(at::kNumClients), 0xFFFFFFFFu);
    stats.AddClient();
    EXPECT_EQ(stats.Read(at::kNumClients), 0u);
}

TEST_F(ServerStatsTest, ConnectionCountsWhileAnotherThreadHoldsTheMutex)
{
    CServerStats stats;
    ASSERT_TRUE(stats.Create(2, 1, 80, 0, 0));
    std::atomic<int> stage{0};
    std::thread holder([&] {
        if (!stats.LockMutex(1000))
            return;
        stage = 1;
        Eventually([&] { return stage.load() == 2; }, 10000);
        stats.UnlockMutex();
        stage = 3;
    });
    ASSERT_TRUE(Eventually([&] { return stage.load() == 1; }));
    const std::uint64_t start = platform::MonotonicMs();
    stats.AddConnection(false, 10, 20);
    const std::uint64_t elapsed = platform::MonotonicMs() - start;
    EXPECT_GE(elapsed, CServerStats::kConnectionWaitMs);
    EXPECT_LT(elapsed, CServerStats::kConnectionWaitMs + kSlackMs);
    EXPECT_EQ(stats.Read(at::kNumHits), 1u);
    EXPECT_EQ(stats.Read(at::kBytesReceived), 20u);
    EXPECT_FALSE(stats.LockMutex(0)); // still the holder's
    stage = 2;
    holder.join();
    EXPECT_EQ(stage.load(), 3);
    EXPECT_TRUE(stats.LockMutex(0));
    stats.UnlockMutex();
}

// A block left by a process that died keeps its words; a new server's
// figures must not start from them.
TEST_F(ServerStatsTest, CreateClearsABlockLeftBehind)
{
    platform::SharedMemory left;
    ASSERT_TRUE(left.Create("Tessa/VLInfo4", kStatsBlockBytes));
    std::memset(left.Data(), 0x5A, 132);
    CServerStats stats;
    ASSERT_TRUE(stats.Create(4, 3, 8000, 0, 0));
    EXPECT_EQ(stats.Read(at::kVersion), kStatsVersion);
    EXPECT_EQ(stats.Read(at::kType), 3u);
    EXPECT_EQ(stats.ReadText(at::kDescription, at::kDescriptionBytes), "");
    for (std::size_t offset = at::kNumClients; offset <= at::kKAVHits; offset += 4) {
        if (offset == at::kStatTime)
            continue;
        EXPECT_EQ(stats.Read(offset), 0u) << "offset " << offset;
    }
}

TEST_F(ServerStatsTest, OffsetsOutsideTheBlockAreIgnored)
{
    CServerStats stats;
    ASSERT_TRUE(stats.Create(5, 1, 80, 0, 0));
    for (std::size_t offset : {kStatsBlockBytes, kStatsBlockBytes - 2, std::size_t{93}, std::size_t{1} << 40}) {
        stats.Add(offset, 1);
        stats.Store(offset, 1);
        EXPECT_EQ(stats.Read(offset), 0u) << offset;
    }
    EXPECT_EQ(stats.Read(at::kNumHits), 0u); // 93 did not touch the word at 92
    // A text with no NUL before the block's end stops there.
    for (std::size_t offset = kStatsBlockBytes - 8; offset < kStatsBlockBytes; offset += 4)
        stats.Store(offset, 0x41414141);
    EXPECT_EQ(stats.ReadText(kStatsBlockBytes - 8, 64), "AAAAAAAA");
    EXPECT_EQ(stats.ReadText(kStatsBlockBytes, 64), "");
}

TEST_F(ServerStatsTest, WithoutAMappingNothingIsCountedOrRead)
{
    EXPECT_EQ(GetGlobalClientCount(), -1);
    EXPECT_FALSE(GlobalStats().IsMapped());
    // A prefix too long for a file name makes every mapping fail.
    ::setenv(platform::kShmPrefixVariable, std::string(300, 'p').c_str(), 1);
    EXPECT_FALSE(CreateGlobalStatsBlock());
    CServerStats stats;
    EXPECT_FALSE(stats.Create(0, 1, 80, 0, 0));
    EXPECT_FALSE(stats.IsMapped());
    stats.AddClient();
    stats.AddConnection(true, 1, 1);
    stats.SetDescription("x");
    EXPECT_EQ(stats.Read(at::kNumHits), 0u);
    EXPECT_FALSE(stats.LockMutex(0));
    EXPECT_EQ(GetGlobalClientCount(), -1);
    ::setenv(platform::kShmPrefixVariable, Prefix().c_str(), 1);

    ASSERT_TRUE(CreateGlobalStatsBlock());
    stats.AddClient(); // an unmapped server still counts in the global block
    EXPECT_EQ(GetGlobalClientCount(), 1);
    DestroyGlobalStatsBlock();
    EXPECT_EQ(GetGlobalClientCount(), -1);
}

} // namespace
