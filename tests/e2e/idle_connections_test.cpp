// Kept-alive connections that sit idle between requests: thousands of them
// must neither slow a new client down nor, in fiber mode, cost more than a
// few KiB each (a waiting connection holds no fiber stack and no transfer
// buffers). The idle clients live in a child process (bench/idle_clients.h),
// so only the server's memory and descriptors are in this process.

#include "bench/idle_clients.h"
#include "e2e_server.h"
#include "eventually.h"
#include "raw_client.h"

#include <algorithm>
#include <cstdlib>

using namespace e2e;

namespace {

constexpr rlim_t kSpareDescriptors = 512;
constexpr std::size_t kFileBytes = 1024;
// Resident growth allowed per idle connection in fiber mode. The
// sanitizers' allocator pads every block and keeps freed ones in
// quarantine, so there the figure says nothing about the server.
constexpr double kMaxBytesPerIdleConnection = 4096;
#if defined(VELMORA_SANITIZE) || defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif
// "At once" for a client behind thousands of idle ones: at least this,
// more where the machine's own warm-up requests were slow.
constexpr std::uint64_t kNewClientLimitMs = 2000;
constexpr int kConnectTimeoutMs = 10000;

const std::string kRequest = "GET /x.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";

// Connections of every server being served or kept alive now.
long ActiveConnections()
{
    long active = 0;
    for (CServer* server : GetServerList())
        active += server->GetActiveConnections();
    return active;
}

long ResidentKiB()
{
    std::string status = ReadFile("/proc/self/status");
    std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

struct IdleCase {
    const char* name;
    bool fibers;
    int idle;
    // Thread mode spends a thread per connection by design: no memory bound.
    bool boundMemory;
};

class IdleConnectionsTest : public E2ETest, public ::testing::WithParamInterface<IdleCase> {
protected:
    IdleConnectionsTest() { m_fibers = GetParam().fibers; }
};

TEST_P(IdleConnectionsTest, ManyIdleConnectionsAreCheapAndDelayNobody)
{
    const IdleCase& c = GetParam();
    if (!RaiseOpenFileLimit(static_cast<rlim_t>(c.idle) + kSpareDescriptors))
        GTEST_SKIP() << "the limit on open files cannot be raised to " << c.idle + kSpareDescriptors
                     << " (hard limit too low, and raising it needs CAP_SYS_RESOURCE)";
    std::uint16_t port = FreePort();
    platform::RegistryKey key = Key(AddServer(port));
    key.SetDword("KeepAliveTimeout", 120);
    key.SetDword("ConnTimeout", 120);
    const std::string content(kFileBytes, 'i');
    WriteFile(m_root + "/x.txt", content);
    StartServers();

    // What every connection's first request sets up once (the cache entry,
    // the log file, a spare fiber or two) is not the idle connections' cost.
    // The slowest of them tells how long "at once" takes on this machine now.
    std::uint64_t warmSlowest = 0;
    for (int i = 0; i < 20; ++i) {
        std::uint64_t start = NowMs();
        RawClient warm(port);
        ParsedReply reply;
        ASSERT_TRUE(warm.Send(kRequest));
        ASSERT_EQ(warm.Read(kConnectTimeoutMs, reply), RawClient::kReply);
        warmSlowest = std::max(warmSlowest, NowMs() - start);
    }
    platform::SleepMs(200);
    long before = ResidentKiB();
    ASSERT_GT(before, 0);

    bench::IdleClients idle;
    std::string problem = idle.Open(port, kRequest, kFileBytes, c.idle, kConnectTimeoutMs);
    ASSERT_EQ(problem, "");
    platform::SleepMs(500);
    long after = ResidentKiB();
    double perConnection = static_cast<double>(after - before) * 1024.0 / c.idle;
    if (c.fibers) {
        CWorkerPoolCounts counts = GetWorkerPoolCounts();
        EXPECT_GE(counts.paused, static_cast<std::uint32_t>(c.idle)) << "idle connections hold fibers";
        EXPECT_LT(counts.fibers, 200u);
    }
    if (c.boundMemory && kMemoryIsMeasurable) {
        EXPECT_LT(perConnection, kMaxBytesPerIdleConnection) << (after - before) << " KiB for " << c.idle;
    }
    std::printf("[ %s ] %d idle connections: %.0f bytes resident each\n", c.name, c.idle, perConnection);

    // A new client is served at once, and twice on its connection.
    const std::uint64_t atOnce = std::max(kNewClientLimitMs, 10 * warmSlowest);
    RawClient fresh(port);
    for (int i = 0; i < 2; ++i) {
        std::uint64_t start = NowMs();
        ParsedReply reply;
        ASSERT_TRUE(fresh.Send(kRequest));
        ASSERT_EQ(fresh.Read(kConnectTimeoutMs, reply), RawClient::kReply) << "request " << i;
        EXPECT_EQ(reply.body, content);
        EXPECT_LT(NowMs() - start, atOnce) << "request " << i << "; a warm-up request took at most " << warmSlowest;
    }
    // The idle ones are still kept, each holding its client slot.
    EXPECT_GE(ActiveConnections(), c.idle + 1);
    idle.Close();
    fresh.Close();
    // Every connection ends as it always did: its slot back and its hit logged.
    EXPECT_TRUE(Eventually([] { return ActiveConnections() == 0; }, 20000)) << ActiveConnections();
    if (c.fibers) {
        EXPECT_EQ(GetWorkerPoolCounts().paused, 0u);
    }
    StopAllServers();
    EXPECT_EQ(LogLinesOnceThere(m_logs.front().path, 20 + c.idle + 2).size(), static_cast<std::size_t>(20 + c.idle + 2));
}

// A kept-alive connection that lapses after requests, whether it waited in
// its own fiber or without one, ends quietly: closed at the keep-alive
// time-out, its slot given back, and nothing logged but its hits.
TEST_P(IdleConnectionsTest, ALapsedKeptAliveConnectionEndsQuietly)
{
    constexpr std::uint32_t kKeepAliveSeconds = 1;
    std::uint16_t port = FreePort();
    platform::RegistryKey key = Key(AddServer(port));
    key.SetDword("KeepAliveTimeout", kKeepAliveSeconds);
    WriteFile(m_root + "/x.txt", "lapse");
    StartServers();

    RawClient client(port);
    for (int i = 0; i < 3; ++i) {
        ParsedReply reply;
        ASSERT_TRUE(client.Send(kRequest));
        ASSERT_EQ(client.Read(5000, reply), RawClient::kReply) << i;
        EXPECT_EQ(reply.body, "lapse");
        // Long enough for the connection to wait without its fiber.
        platform::SleepMs(100);
    }
    std::uint64_t from = NowMs();
    std::uint64_t closed = client.WaitForClose(kKeepAliveSeconds * kMsPerTimeoutSecond + 5000);
    ASSERT_NE(closed, 0u) << "never closed";
    EXPECT_GE(closed - from + 150, kKeepAliveSeconds * 1000);
    EXPECT_TRUE(Eventually([] { return ActiveConnections() == 0; }, 5000)) << ActiveConnections();
    StopAllServers();
    EXPECT_EQ(LogLinesOnceThere(m_logs.front().path, 3).size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Modes, IdleConnectionsTest,
                         ::testing::Values(IdleCase{"fiber", true, 10000, true}, IdleCase{"thread", false, 1000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
