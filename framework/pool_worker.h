#pragma once
// Inside framework/ only: what the worker pool's two halves share. The
// workers (pool_worker.cpp: the scheduler, the wait seam, completions and
// records) and the pool (worker_pool.cpp: accepts, the fiber procedure and
// the public calls of worker_pool.h).

#include "framework/fiber_queue.h"
#include "framework/server.h"
#include "framework/thread_data.h"
#include "framework/worker_pool.h"
#include "framework/wsocket.h"
#include "platform/fiber.h"
#include "platform/fiber_pool.h"
#include "platform/iocp.h"
#include "platform/security.h"
#include "platform/sync.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

namespace pool_detail {

struct Worker;
struct ListenEntry;

// What a posted completion asks of a worker.
enum PostedOperation : std::uintptr_t {
    kOpArmAccept = 5, // pointer: ServerAccepts, bytes: secure flag
    kOpWake = 7,      // pointer: FiberConnection, bytes: its wait sequence
    kOpRetire = 8,    // pointer: Request
    kOpSync = 9,      // pointer: Request
    kOpQuit = 666,
};

// The cookie of a listening socket armed in a worker's port; records use
// their state as the same first word.
constexpr std::uint32_t kListenOperation = 6;

// Fibers a worker runs in a row before it looks at its port again.
constexpr std::size_t kFibersBetweenPolls = 32;
// Finished fibers a worker keeps for reuse follow its recent peak of live
// fibers (the time-out work lets that peak decay); the stacks of all but
// this many most recently used spares give their pages back at that time.
constexpr std::size_t kHotSpareFibers = 16;

// Completions a worker takes in a row before it runs fibers again: one
// batch of the kernel's readiness reports.
constexpr std::size_t kCompletionsPerRound = platform::CompletionPort::kMaxEventsPerWait;

// A worker that is ending lets running connections finish for this long
// after their sockets were shut down; then they are unwound.
constexpr std::uint32_t kQuitDrainMs = 5000;
// A listening socket that failed for another reason than "nothing there"
// (descriptors running out, say) is tried again after this pause, so the
// fault cannot spin a core.
constexpr std::uint32_t kAcceptRetryMs = 100;

// One server's listening socket as the pool knows it. Kept until the pool
// ends, so a request still on its way after the server retired finds it.
struct ServerAccepts {
    CServer* server;
    int listeningSocket;
    bool secure;
    std::uint32_t connTimeout;
    std::atomic<bool> retired{false};
};

// A request that the calling thread waits for until every worker took it.
struct Request {
    CServer* server = nullptr;
    std::atomic<int> left{0};
    platform::Event done{true, false};

    void Finish()
    {
        if (left.fetch_sub(1) == 1)
            done.Set();
    }
};


} // namespace pool_detail

struct FiberConnection {
    // The first word: the cookie's operation for the worker.
    std::uint32_t state = kFiberAcceptPosted;
    pool_detail::Worker* worker = nullptr;
    std::unique_ptr<platform::Fiber> fiber;
    // When the accept was posted (state 2) or when the parked record expires (3).
    std::uint64_t tick = 0;
    // The record's own copy of its work; never shared with another record.
    ConnectionWork work;
    std::unique_ptr<WSocket> socket;
    pool_detail::ServerAccepts* accepts = nullptr;
    pool_detail::ListenEntry* listen = nullptr;

    // The list of accepted clients that sent nothing yet (state 5).
    FiberConnection* prevPending = nullptr;
    FiberConnection* nextPending = nullptr;
    bool pending = false;
    // Waiting for its next request (state 5, without a fiber).
    bool paused = false;

    bool queued = false; // on the ready ring
    // The connection waits for its next request without a fiber.
    CConnectionPause pause;
    // That wait ended by its time-out: the resumed fiber's first socket
    // wait reports it.
    bool idleTimedOut = false;

    // A socket wait: 1 ready, 0 timed out.
    bool ioWaiting = false;
    int ioResult = 0;
    // A wait of the primitives (events, locks, semaphores).
    // Read by a waker on another thread.
    std::atomic<platform::WaitNode*> seamNode{nullptr};
    std::atomic<std::uint32_t> seamSequence{0};
    std::atomic<int> parkedOnThread{0};
    std::multimap<std::uint64_t, FiberConnection*>::iterator seamDeadline;
    bool hasSeamDeadline = false;

    // The fiber's own thread state while it does not run.
    ThreadData threadData{};
    platform::LogonTokenPtr token;
    int lastSocketError = 0;
};

namespace pool_detail {

struct ListenEntry {
    std::uint32_t operation = kListenOperation;
    ServerAccepts* accepts = nullptr;
    // Records waiting for a client on this socket.
    std::vector<FiberConnection*> waiting;
    bool armed = false;
    std::uint64_t retryAt = 0;
};

struct Counts {
    std::atomic<std::uint32_t> records{0};
    std::atomic<std::uint32_t> byState[6]{};
    std::atomic<std::uint32_t> fibers{0};
    std::atomic<std::uint32_t> paused{0};
};

// The worker running on this thread, and the record whose fiber runs now.
extern thread_local Worker* t_worker;
extern thread_local FiberConnection* t_current;

extern std::atomic<std::uint32_t> g_parkedLifeMs;
extern std::atomic<std::uint32_t> g_timeoutIntervalMs;

void LogWarning(std::string_view text);
void FreeRecord(FiberConnection* record);
// What a record's socket waits through once its fiber runs the connection.
CIOWaiter& PoolWaiter();

struct Worker {
    std::uint32_t packetWaitMs = 0;
    std::uint32_t parkedLifeMs = kParkedRecordLifeMs;
    std::uint32_t timeoutIntervalMs = kTimeoutWorkIntervalMs;
    platform::CompletionPort port;
    std::thread thread;
    platform::Event ended{true, false};

    CFiberQueue ready{1024};
    CFiberQueue urgent{64};
    CFiberQueue parked{512};
    CFiberQueue finished{16};
    platform::FiberPool spareFibers{kHotSpareFibers};
    std::vector<std::unique_ptr<ListenEntry>> listens;
    FiberConnection* pendingHead = nullptr;
    FiberConnection* pendingTail = nullptr;
    std::unordered_set<FiberConnection*> records;
    std::multimap<std::uint64_t, FiberConnection*> seamDeadlines;
    std::uint32_t nextSequence = 0;
    std::uint64_t nextTimeoutWork = 0;
    bool quitting = false;
    std::uint64_t quitDeadline = 0;
    Counts counts;
    int workerSocketError = 0;

    void Main();
    void RunReady();
    void Dispatch(const platform::Completion& completion);
    void DispatchPosted(const platform::Completion& completion);
    void RunFiber(FiberConnection* record);
    // urgent: a wait of the primitives ended (a lock was granted, say); the
    // fiber runs before the round goes on, since others may wait for it.
    void MakeReady(FiberConnection* record, bool urgent = false);
    void RunUrgent();
    void PollBetweenFibers();
    std::uint32_t NextWaitMs();
    void ExpireSeamWaits(std::uint64_t now);
    void TimeoutWork(std::uint64_t now);

    FiberConnection* CreateRecord();
    void DestroyRecord(FiberConnection* record);
    void Unlink(FiberConnection* record);
    void UnwindFiber(FiberConnection* record);
    void Enter(FiberConnection* record);
    void Leave(FiberConnection* record);
    void SetState(FiberConnection* record, std::uint32_t state);
    void ArmAccept(ServerAccepts* accepts);
    FiberConnection* TakeRecord(ServerAccepts* accepts);
    void ReplaceAccept(ServerAccepts* accepts, ListenEntry* entry);
    void PostAccept(FiberConnection* record, ListenEntry* entry);
    // A record waiting for a client on the entry's socket, not yet armed.
    void QueueAccept(FiberConnection* record, ListenEntry* entry);
    void ArmListener(ListenEntry* entry);
    void AcceptReady(ListenEntry* entry);
    void FirstData(FiberConnection* record);
    void IdleAccept(FiberConnection* record);
    // When a silent client's ConnTimeout ends (kNoDeadline: never).
    static std::uint64_t SilenceDeadline(const FiberConnection* record);
    void CloseClient(FiberConnection* record);
    // Closes this worker's oldest accepted client that has sent nothing, to
    // make room for another when descriptors run short; false when none.
    bool CloseOldestSilent();
    void Park(FiberConnection* record);
    // A kept-alive connection whose request loop asked for a pause: the
    // fiber goes back to the spares, the buffers are given back and the
    // socket is armed for the next request within its time-out.
    void Pause(FiberConnection* record);
    // Bytes came (or the time-out passed): the connection runs again.
    void Resume(FiberConnection* record, bool timedOut);
    void ReleaseFiber(FiberConnection* record);
    void AddPending(FiberConnection* record);
    void RemovePending(FiberConnection* record);
    // Every accept of server (null: of every server) is dropped: listening
    // sockets disarmed, silent clients closed, records parked for reuse.
    void DropAccepts(CServer* server);
    void BeginQuit();
    void Shutdown();
    bool HasRunning() const { return counts.byState[kFiberRunning].load(std::memory_order_relaxed) != 0; }
};

struct Pool {
    std::mutex lock; // start, stop, and the accept lists
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::unique_ptr<ServerAccepts>> accepts;
    std::atomic<bool> running{false};
    FiberProc fiberProc = nullptr;
    std::atomic<std::uint32_t> scanStart{0};

    // Counts are read without a lock: a slightly stale choice is harmless.
    Worker* LeastLoaded(Worker* self)
    {
        auto load = [](const Worker* worker) {
            return worker->counts.byState[kFiberRunning].load(std::memory_order_relaxed) +
                   worker->counts.byState[kFiberAcceptPosted].load(std::memory_order_relaxed) +
                   worker->counts.byState[kFiberAwaitingData].load(std::memory_order_relaxed);
        };
        Worker* best = self;
        const std::uint32_t selfLoad = load(self);
        std::uint32_t bestLoad = selfLoad;
        const std::size_t n = workers.size();
        const std::size_t start = scanStart.fetch_add(1, std::memory_order_relaxed) % n;
        for (std::size_t i = 0; i < n && bestLoad > 0; ++i) {
            Worker* worker = workers[(start + i) % n].get();
            if (std::uint32_t candidate = load(worker); candidate < bestLoad) {
                best = worker;
                bestLoad = candidate;
            }
        }
        // The caller keeps the accept unless another is lighter by more
        // than a sixteenth: kept, it is taken again at once, while handed
        // over it waits for the other worker's next poll, and a burst of
        // thousands of connections would be accepted a handful at a time.
        const std::uint32_t margin = std::max<std::uint32_t>(1, selfLoad / 16);
        return bestLoad + margin < selfLoad ? best : self;
    }
};

Pool& ThePool();

} // namespace pool_detail
