// The worker pool with a line server on 127.0.0.1: posted accepts, fibers
// that wait without blocking their worker, client slots, time-outs on a
// quiet server, record reuse and expiry, and a stop that leaves nothing.

#include "framework/worker_pool.h"

#include "eventually.h"
#include "framework/event_lock.h"
#include "framework/server.h"
#include "framework/server_log.h"
#include "framework/server_stats.h"
#include "framework/thread_data.h"
#include "loopback.h"
#include "platform/clock.h"
#include "platform/security.h"
#include "server_clients.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>


namespace {

// How long the "sleep" command sleeps: long enough that an answer to
// another client, even on a busy machine, comes before it ends.
constexpr std::uint32_t kSleepCommandMs = 3000;

CEventLock g_sharedLock;

// Answers "echo <line>"; "lock" takes g_sharedLock and keeps it until
// "unlock", across the socket waits in between; "heap" answers whether the
// connection's heap is still its own; "bye" ends.
class LineServer : public CServer {
public:
    explicit LineServer(std::uint16_t port)
    {
        settings.port = port;
        settings.address = LoopbackAddress();
        settings.useFibers = 1;
        settings.connTimeout = 5;
    }

    void ServerRequest(WSocket* socket) override
    {
        bool locked = false;
        platform::Heap* heap = GetThreadHeap();
        try {
            CTextBuffer line;
            for (;;) {
                line.Empty();
                if (socket->ReadLine(line, true) <= 0)
                    break;
                std::string text = line.ToString();
                std::string reply = "echo " + text;
                if (text == "lock") {
                    static_cast<void>(g_sharedLock.Lock());
                    locked = true;
                    reply = "locked";
                } else if (text == "unlock" && locked) {
                    g_sharedLock.Unlock();
                    locked = false;
                    reply = "unlocked";
                } else if (text == "heap") {
                    reply = heap && GetThreadHeap() == heap ? "own heap" : "wrong heap";
                } else if (text == "sleep") {
                    platform::SleepMs(kSleepCommandMs);
                    reply = "slept";
                } else if (text == "uid") {
                    reply = std::to_string(::geteuid());
                } else if (text == "fiber") {
                    reply = socket->IsFiberMode() ? "fiber" : "thread";
                }
                socket->SendTextLine(reply, false);
                if (text == "bye")
                    break;
            }
        } catch (const WSocketException&) {
        }
        if (locked)
            g_sharedLock.Unlock();
    }

    CServerListenSettings settings;
    std::atomic<int> cleared{0};
    platform::LogonTokenPtr token;

protected:
    CServerListenSettings GetListenSettings() const override { return settings; }
    platform::LogonTokenPtr GetConnectionToken() override { return token; }
    void ClearUseFibers() override { cleared.fetch_add(1); }
};

class WorkerPoolTest : public ServerProcessTest {
protected:
    void TearDown() override
    {
        StopAllServers();
        DeleteAllServers();
        SetWorkerPoolTimesForTesting(0, 0);
    }
    void ExpectNothingLeft()
    {
        StopAllServers();
        DeleteAllServers();
        EXPECT_FALSE(WorkerPoolRunning());
        CWorkerPoolCounts counts = GetWorkerPoolCounts();
        EXPECT_EQ(counts.workers + counts.records + counts.fibers, 0u);
        EXPECT_EQ(GetServerThreadCount(), 0);
        EXPECT_TRUE(Eventually([&] { return LiveThreads() == m_threads; })) << LiveThreads() << " vs " << m_threads;
        EXPECT_EQ(OpenDescriptors(), m_descriptors);
    }
};

TEST_F(WorkerPoolTest, BothPortsKeepTheirAcceptsOutstandingAndClientsAreServedInFibers)
{
    auto* server = new LineServer(FreePort());
    server->settings.useSSL = true;
    server->settings.sslPort = FreePort();
    server->settings.listeners = 8;
    StartAllServers(4);
    ASSERT_TRUE(WorkerPoolRunning());
    ASSERT_TRUE(server->IsRunning());
    ASSERT_TRUE(server->IsFiberMode());
    EXPECT_EQ(server->cleared.load(), 0);
    EXPECT_EQ(GetWorkerPoolCounts().pendingAccepts, 16u);
    EXPECT_EQ(GetWorkerPoolCounts().workers, 4u);

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 40; ++i)
        clients.push_back(std::make_unique<Client>(server->settings.port));
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 40; ++i)
            ASSERT_EQ(clients[i]->Ask("n" + std::to_string(i)), "echo n" + std::to_string(i));
    EXPECT_EQ(clients[0]->Ask("fiber"), "fiber");
    EXPECT_EQ(GetServerThreadCount(), 0) << "no server thread in fiber mode";
    EXPECT_EQ(GetWorkerPoolCounts().running, 40u);
    // Each first-data accept was replaced: still 16 outstanding, once the
    // last replacements have reached their workers.
    EXPECT_TRUE(Eventually([] { return GetWorkerPoolCounts().pendingAccepts == 16u; }))
        << GetWorkerPoolCounts().pendingAccepts;

    // The secure port has no SSL layer here: it closes without plain text.
    {
        Client secure(server->settings.sslPort, 3000);
        EXPECT_EQ(secure.Ask("hello"), "");
        clients.clear();
        EXPECT_TRUE(Eventually([] { return GetWorkerPoolCounts().running == 0; }, 3000));
    }
    ExpectNothingLeft();
}

TEST_F(WorkerPoolTest, EveryWorkerHoldsAnAcceptEvenWithFewerListeners)
{
    auto* server = new LineServer(FreePort());
    server->settings.listeners = 1;
    StartAllServers(4);
    ASSERT_TRUE(server->IsFiberMode());
    EXPECT_EQ(GetWorkerPoolCounts().pendingAccepts, 4u);
    {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 12; ++i)
            clients.push_back(std::make_unique<Client>(server->settings.port));
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(clients[i]->Ask("x"), "echo x");
        // A replacement may still be on its way to the worker it was posted to.
        EXPECT_TRUE(Eventually([] { return GetWorkerPoolCounts().pendingAccepts == 4u; }))
            << "each served client's accept was replaced: " << GetWorkerPoolCounts().pendingAccepts;
    }
    ExpectNothingLeft();
}

TEST_F(WorkerPoolTest, WithoutThePoolTheServerRunsOnThreadsAndForgetsUseFibers)
{
    auto* server = new LineServer(FreePort());
    StartAllServers();
    EXPECT_FALSE(server->IsFiberMode());
    EXPECT_EQ(server->cleared.load(), 1);
    {
        Client client(server->settings.port);
        EXPECT_EQ(client.Ask("fiber"), "thread");
    }
    ExpectNothingLeft();
}

// One worker: everything the fibers wait for must leave the thread free.
TEST_F(WorkerPoolTest, AFiberHoldingALockAcrossSocketWaitsDoesNotStallItsWorker)
{
    auto* server = new LineServer(FreePort());
    StartAllServers(1);
    {
        Client first(server->settings.port);
        Client second(server->settings.port);
        Client third(server->settings.port);
        ASSERT_EQ(first.Ask("lock"), "locked");
        // The second fiber parks on the lock...
        ASSERT_EQ(second.socket.SendTextLine("lock", false), 6);
        platform::SleepMs(100);
        // ...while the worker goes on serving others.
        EXPECT_EQ(third.Ask("heap"), "own heap");
        EXPECT_EQ(first.Ask("heap"), "own heap") << "the heap comes back with the fiber";
    // A sleep parks only the sleeping fiber.
    ASSERT_EQ(third.socket.SendTextLine("sleep", false), 7);
    EXPECT_EQ(first.Ask("during"), "echo during");
    // Told by order, not by a time: served during the sleep, the answer
    // comes while the sleeper has not replied yet.
    EXPECT_FALSE(third.socket.WaitForInput(0)) << "the sleeping fiber held the worker";
    EXPECT_TRUE(third.socket.WaitForInput(kSleepCommandMs + 20000));
        EXPECT_EQ(first.Ask("unlock"), "unlocked");
        CTextBuffer reply;
        ASSERT_GT(second.socket.ReadLine(reply, true), 0);
        EXPECT_EQ(reply.ToString(), "locked");
        EXPECT_EQ(second.Ask("unlock"), "unlocked");
    }
    ExpectNothingLeft();
}

// A full server keeps the client waiting in its fiber, never the worker.
// Both connections share one worker thread; each must see its own identity
// after every switch.
TEST_F(WorkerPoolTest, EachFiberGetsItsOwnIdentityBackWhenItResumes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "skipped: changing a thread's identity needs root (CI runs as root)";
    auto* impersonating = new LineServer(FreePort());
    auto token = std::make_shared<platform::LogonToken>();
    token->userName = "nobody";
    token->uid = 65534;
    token->gid = 65534;
    token->groups = {65534};
    impersonating->token = token;
    auto* plain = new LineServer(FreePort());
    StartAllServers(1);
    {
        Client guest(impersonating->settings.port);
        Client self(plain->settings.port);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(guest.Ask("uid"), "65534");
            EXPECT_EQ(self.Ask("uid"), "0");
        }
    }
    ExpectNothingLeft();
}

TEST_F(WorkerPoolTest, ClientSlotWaitParksTheFiberAndAFreedSlotServesIt)
{
    auto* full = new LineServer(FreePort());
    full->settings.maxUsers = 1;
    full->settings.connTimeout = 3;
    auto* other = new LineServer(FreePort());
    StartAllServers(1);
    {
        Client holder(full->settings.port);
        ASSERT_EQ(holder.Ask("a"), "echo a");
        Client waiting(full->settings.port);
        ASSERT_EQ(waiting.socket.SendTextLine("b", false), 3);
        platform::SleepMs(200);
        Client elsewhere(other->settings.port);
        EXPECT_EQ(elsewhere.Ask("c"), "echo c") << "the worker is not blocked by the slot wait";
        EXPECT_EQ(holder.Ask("a2"), "echo a2");
        EXPECT_EQ(holder.Ask("bye"), "echo bye");
        CTextBuffer reply;
        ASSERT_GT(waiting.socket.ReadLine(reply, true), 0);
        EXPECT_EQ(reply.ToString(), "echo b");

        // With the slot kept busy for longer than the slot wait, the
        // newcomer is closed unserved.
        Client late(full->settings.port, 8000);
        std::string lateReply = "none";
        std::uint64_t start = platform::MonotonicMs();
        std::thread asker([&] { lateReply = late.Ask("d"); });
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(waiting.Ask("ping"), "echo ping");
            platform::SleepMs(500);
        }
        asker.join();
        EXPECT_EQ(lateReply, "");
        EXPECT_GE(platform::MonotonicMs() - start, 3000u);
    }
    ExpectNothingLeft();
}

TEST_F(WorkerPoolTest, DeadlinesFireOnTimeOnAQuietServer)
{
    auto* server = new LineServer(FreePort());
    server->settings.connTimeout = 2;
    auto* unlimited = new LineServer(FreePort());
    unlimited->settings.connTimeout = 0;
    StartAllServers(2);

    // Connected and silent: closed by the accept's deadline.
    {
        Client silent(server->settings.port, 10000);
        std::uint64_t start = platform::MonotonicMs();
        CTextBuffer reply;
        EXPECT_LE(silent.socket.ReadLine(reply, true), 0);
        std::uint64_t took = platform::MonotonicMs() - start;
        EXPECT_GE(took, 2000u - 50);
        EXPECT_LE(took, 2000u + 1000);

        // Half a line, then nothing: closed by the socket's time-out (x 1024 ms).
        Client half(server->settings.port, 10000);
        ASSERT_EQ(half.socket.Send("par", 3, false), 3);
        start = platform::MonotonicMs();
        EXPECT_LE(half.socket.ReadLine(reply, true), 0);
        took = platform::MonotonicMs() - start;
        EXPECT_GE(took, 2048u - 50);
        EXPECT_LE(took, 2048u + 1000);

        // ConnTimeout 0: a silent client is never cut.
        Client patient(unlimited->settings.port, 10000);
        EXPECT_FALSE(patient.socket.WaitForInput(2500));
        EXPECT_EQ(patient.Ask("still"), "echo still");
    }
    ExpectNothingLeft();
}

TEST_F(WorkerPoolTest, ParkedRecordsAreReusedThenExpire)
{
    SetWorkerPoolTimesForTesting(300, 100);
    auto* server = new LineServer(FreePort());
    server->settings.listeners = 1;
    StartAllServers(1);
    {
        Client client(server->settings.port);
        ASSERT_EQ(client.Ask("bye"), "echo bye");
    }
    ASSERT_TRUE(Eventually([] { return GetWorkerPoolCounts().parked == 1; }));
    EXPECT_EQ(GetWorkerPoolCounts().fibers, 1u);
    // The accept that replaced the first one is served; the finished
    // connection's record and fiber wait for the next replacement.
    for (int i = 0; i < 5; ++i) {
        Client client(server->settings.port);
        ASSERT_EQ(client.Ask("bye"), "echo bye");
        ASSERT_TRUE(Eventually([] { return GetWorkerPoolCounts().running == 0; }));
    }
    EXPECT_LE(GetWorkerPoolCounts().fibers, 2u) << "fibers are reused, not made per connection";
    EXPECT_LE(GetWorkerPoolCounts().records, 3u);
    // Not reused within its life: destroyed by the next round of time-out work.
    EXPECT_TRUE(Eventually([] { return GetWorkerPoolCounts().parked == 0; }, 2000));
    EXPECT_EQ(GetWorkerPoolCounts().pendingAccepts, 1u);
    {
        Client after(server->settings.port);
        EXPECT_EQ(after.Ask("again"), "echo again");
    }
    ExpectNothingLeft();
}

TEST_F(WorkerPoolTest, StopWithFibersRunningParkedAndWaitingLeavesNothing)
{
    auto* server = new LineServer(FreePort());
    server->settings.maxUsers = 3;
    StartAllServers(2);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<Client>(server->settings.port, 8000));
        ASSERT_EQ(clients.back()->Ask("x"), "echo x");
    }
    {
        Client done(server->settings.port);
        // Waits for a slot; stop releases it unserved.
        done.socket.SendTextLine("y", false);
        platform::SleepMs(100);
    }
    ASSERT_EQ(clients[0]->Ask("lock"), "locked");
    clients[1]->socket.SendTextLine("lock", false); // parks on the lock
    clients[2]->socket.Send("half", 4, false);      // waits in the middle of a line
    platform::SleepMs(100);
    std::uint64_t start = platform::MonotonicMs();
    StopAllServers();
    EXPECT_LE(platform::MonotonicMs() - start, 6000u);
    EXPECT_FALSE(g_sharedLock.IsLocked()) << "the lock holder unwound and released it";
    clients.clear();
    ExpectNothingLeft();
}

// A burst of clients queued on the listening socket: once it is over no new
// client wakes a worker, so one left in the queue would never be served.
struct BurstCase {
    const char* name;
    std::uint32_t workers; // 0: thread mode
    std::uint32_t listeners;
};

class WorkerPoolBurstTest : public WorkerPoolTest, public ::testing::WithParamInterface<BurstCase> {};

TEST_P(WorkerPoolBurstTest, EveryQueuedClientIsAcceptedAndServed)
{
    constexpr int kClients = 200; // within the listen backlog
    auto* server = new LineServer(FreePort());
    server->settings.listeners = GetParam().listeners;
    server->settings.useFibers = GetParam().workers ? 1 : 0;
    StartAllServers(GetParam().workers);
    ASSERT_EQ(server->IsFiberMode(), GetParam().workers != 0);
    {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < kClients; ++i)
            clients.push_back(std::make_unique<Client>(server->settings.port, 5000));
        for (int i = 0; i < kClients; ++i)
            ASSERT_EQ(clients[i]->Ask("n" + std::to_string(i)), "echo n" + std::to_string(i));
    }
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Modes, WorkerPoolBurstTest,
                         ::testing::Values(BurstCase{"FibersHandingAcceptsOver", 8, 1},
                                           BurstCase{"FibersWithManyAccepts", 2, 64},
                                           BurstCase{"Threads", 0, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WorkerPoolTest, StopWithClientsStillQueuedClosesThemAndLeavesNothing)
{
    auto* server = new LineServer(FreePort());
    StartAllServers(2);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 100; ++i)
        clients.push_back(std::make_unique<Client>(server->settings.port, 5000));
    StopAllServers();
    for (auto& client : clients)
        EXPECT_EQ(client->Ask("x"), "") << "queued or silent clients are closed, never served after the stop";
    clients.clear();
    ExpectNothingLeft();
}

TEST_F(WorkerPoolTest, StartingThePoolTwiceOrWithNothingIsRefused)
{
    EXPECT_FALSE(StartWorkerThreads(0, 0, ServerFiber));
    EXPECT_FALSE(StartWorkerThreads(2, 0, nullptr));
    ASSERT_TRUE(StartWorkerThreads(2, 0, ServerFiber));
    EXPECT_FALSE(StartWorkerThreads(2, 0, ServerFiber));
    EXPECT_EQ(GetWorkerPoolCounts().workers, 2u);
    StopWorkerThreads();
    StopWorkerThreads();
    EXPECT_FALSE(WorkerPoolRunning());
    ExpectNothingLeft();
}

} // namespace
