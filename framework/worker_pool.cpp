#include "framework/worker_pool.h"

#include "framework/fiber_queue.h"
#include "framework/memory.h"
#include "framework/server.h"
#include "framework/server_log.h"
#include "framework/thread_data.h"
#include "framework/wsocket.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/eventlog.h"
#include "platform/fiber.h"
#include "platform/iocp.h"
#include "platform/net.h"
#include "platform/security.h"
#include "platform/sync.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

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
    ServerAccepts* accepts = nullptr;
    CServer* server = nullptr;
    std::atomic<int> left{0};
    platform::Event done{true, false};

    void Finish()
    {
        if (left.fetch_sub(1) == 1)
            done.Set();
    }
};

} // namespace

struct FiberConnection {
    // The first word: the cookie's operation for the worker.
    std::uint32_t state = kFiberAcceptPosted;
    Worker* worker = nullptr;
    std::unique_ptr<platform::Fiber> fiber;
    // When the accept was posted (state 2) or when the parked record expires (3).
    std::uint64_t tick = 0;
    // The record's own copy of its work; never shared with another record.
    ConnectionWork work;
    std::unique_ptr<WSocket> socket;
    ServerAccepts* accepts = nullptr;
    ListenEntry* listen = nullptr;

    // The pending-accept list, while a client is accepted and silent.
    FiberConnection* prevPending = nullptr;
    FiberConnection* nextPending = nullptr;
    bool pending = false;

    bool queued = false; // on the ready ring
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

namespace {

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
    std::atomic<std::uint32_t> byState[5]{};
    std::atomic<std::uint32_t> fibers{0};
};

thread_local Worker* t_worker = nullptr;
thread_local FiberConnection* t_current = nullptr;

std::atomic<std::uint32_t> g_parkedLifeMs{kParkedRecordLifeMs};
std::atomic<std::uint32_t> g_timeoutIntervalMs{kTimeoutWorkIntervalMs};

void LogWarning(std::string_view text) { LogMessage(platform::kEventTypeWarning, kEventPoolWarning, {text}); }
void FreeRecord(FiberConnection* record);

class CPoolWaiter : public CIOWaiter {
public:
    int WaitForIOCompletion(int handle, bool forWrite, std::uint32_t milliseconds) override;
};

CPoolWaiter g_waiter;

struct Worker {
    unsigned index = 0;
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
    void PostAccept(FiberConnection* record, ListenEntry* entry);
    void ArmListener(ListenEntry* entry);
    void AcceptReady(ListenEntry* entry);
    void FirstData(FiberConnection* record);
    void IdleAccept(FiberConnection* record);
    void CloseClient(FiberConnection* record);
    void Park(FiberConnection* record);
    void AddPending(FiberConnection* record);
    void RemovePending(FiberConnection* record);
    void Retire(CServer* server);
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
                   worker->counts.byState[kFiberAcceptPosted].load(std::memory_order_relaxed);
        };
        Worker* best = self;
        std::uint32_t bestLoad = load(self);
        const std::size_t n = workers.size();
        const std::size_t start = scanStart.fetch_add(1, std::memory_order_relaxed) % n;
        for (std::size_t i = 0; i < n && bestLoad > 0; ++i) {
            Worker* worker = workers[(start + i) % n].get();
            if (std::uint32_t candidate = load(worker); candidate < bestLoad) {
                best = worker;
                bestLoad = candidate;
            }
        }
        return best;
    }
};

Pool& ThePool()
{
    static Pool pool;
    return pool;
}

// ---------------------------------------------------------------------------
// The seam: waits of the primitives inside a fiber park the fiber.

void SeamPrepare(platform::WaitNode& node)
{
    FiberConnection* self = t_current;
    platform::Fiber* fiber = platform::Fiber::Current();
    // Outside a fiber, or in one being unwound (it cannot switch away any
    // more), the thread itself waits.
    if (!self || !fiber || fiber != self->fiber.get() || fiber->IsUnwinding()) {
        node.seam = &platform::ThreadWaitSeam();
        return;
    }
    node.context = self;
}

bool SeamPark(platform::WaitNode& node, std::uint64_t deadlineMs)
{
    auto* self = static_cast<FiberConnection*>(node.context);
    Worker* worker = self->worker;
    self->seamNode = &node;
    self->seamSequence = ++worker->nextSequence;
    // Pairs with the fence in SeamWake: either the waker sees this wait's
    // sequence, or this side sees the node granted before it suspends.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (deadlineMs != platform::kNoDeadline) {
        // The worker's own structures live on the shared heap, never on the
        // fiber's private one, which goes with the fiber.
        CHeapSwitch shared;
        self->seamDeadline = worker->seamDeadlines.emplace(deadlineMs, self);
        self->hasSeamDeadline = true;
    }
    auto leave = [&] {
        if (self->hasSeamDeadline) {
            CHeapSwitch shared;
            worker->seamDeadlines.erase(self->seamDeadline);
        }
        self->hasSeamDeadline = false;
        self->seamNode = nullptr;
    };
    try {
        while (node.state.load(std::memory_order_acquire) == 0) {
            if (deadlineMs != platform::kNoDeadline && platform::MonotonicMs() >= deadlineMs)
                break;
            platform::Fiber::Suspend();
        }
    } catch (const platform::FiberUnwind&) {
        // The fiber is being destroyed while it waits; the wait cannot be
        // dropped (the caller may hold its node in a queue), so the thread
        // finishes it, and the unwinding goes on at the next switch.
        leave();
        self->parkedOnThread.store(1);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        return platform::ThreadWaitSeam().park(node, deadlineMs);
    }
    leave();
    return node.state.load(std::memory_order_acquire) != 0;
}

void SeamWake(platform::WaitNode& node)
{
    auto* self = static_cast<FiberConnection*>(node.context);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (self->parkedOnThread.load()) {
        platform::ThreadWaitSeam().wake(node);
        return;
    }
    Worker* worker = self->worker;
    // The waker may be a fiber: what the queues grow by must not land on
    // its private heap.
    CHeapSwitch shared;
    if (t_worker == worker) {
        // The waker runs on the fiber's own thread: no post needed.
        if (self->seamNode == &node)
            worker->MakeReady(self, true);
        return;
    }
    worker->port.Post(kOpWake, self->seamSequence, self);
}

bool SeamYield()
{
    FiberConnection* self = t_current;
    platform::Fiber* fiber = platform::Fiber::Current();
    if (!self || !fiber || fiber != self->fiber.get() || fiber->IsUnwinding())
        return false;
    // With nothing else to run the turn would come straight back: the
    // caller parks instead of spinning the thread.
    Worker* worker = self->worker;
    if (worker->ready.IsEmpty() && worker->urgent.IsEmpty())
        return false;
    {
        CHeapSwitch shared;
        worker->MakeReady(self);
    }
    platform::Fiber::Suspend();
    return true;
}

constexpr platform::WaitSeam kFiberSeam{SeamPrepare, SeamPark, SeamWake, SeamYield};

// ---------------------------------------------------------------------------
// Socket waits

int CPoolWaiter::WaitForIOCompletion(int handle, bool forWrite, std::uint32_t milliseconds)
{
    FiberConnection* self = t_current;
    platform::Fiber* fiber = platform::Fiber::Current();
    if (!self || !fiber || fiber != self->fiber.get())
        return platform::WaitHandle(handle, forWrite, milliseconds);
    if (fiber->IsUnwinding()) {
        // No switch is possible any more: the transfer is given up.
        platform::SetLastSocketError(platform::kWsaeConnAborted);
        return -1;
    }
    Worker* worker = self->worker;
    {
        CHeapSwitch shared;
        if (worker->port.Arm(handle, forWrite, platform::DeadlineAfter(milliseconds),
                             reinterpret_cast<std::uintptr_t>(self)) != 0)
            return -1;
    }
    self->ioWaiting = true;
    self->ioResult = 0;
    try {
        platform::Fiber::Suspend();
    } catch (const platform::FiberUnwind&) {
        self->ioWaiting = false;
        CHeapSwitch shared;
        worker->port.Disarm(handle);
        throw;
    }
    if (self->ioWaiting) {
        // Resumed for another reason than the socket: the wait is dropped.
        self->ioWaiting = false;
        CHeapSwitch shared;
        worker->port.Disarm(handle);
        platform::SetLastSocketError(platform::kWsaeConnAborted);
        return -1;
    }
    if (self->ioResult == 0) {
        platform::SetLastSocketError(platform::kWsaeTimedOut);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// The worker

void Worker::SetState(FiberConnection* record, std::uint32_t state)
{
    counts.byState[record->state].fetch_sub(1, std::memory_order_relaxed);
    record->state = state;
    counts.byState[state].fetch_add(1, std::memory_order_relaxed);
}

FiberConnection* Worker::CreateRecord()
{
    CHeapSwitch shared;
    auto record = std::make_unique<FiberConnection>();
    record->worker = this;
    record->socket = std::make_unique<WSocket>();
    FiberConnection* raw = record.release();
    records.insert(raw);
    counts.records.fetch_add(1, std::memory_order_relaxed);
    counts.byState[raw->state].fetch_add(1, std::memory_order_relaxed);
    return raw;
}

void Worker::Unlink(FiberConnection* record)
{
    ready.Remove(record);
    urgent.Remove(record);
    parked.Remove(record);
    finished.Remove(record);
    if (record->listen) {
        auto& waiting = record->listen->waiting;
        waiting.erase(std::remove(waiting.begin(), waiting.end(), record), waiting.end());
        record->listen = nullptr;
    }
    RemovePending(record);
    if (record->socket->IsOpen())
        port.Disarm(record->socket->GetHandle());
}

void Worker::UnwindFiber(FiberConnection* record)
{
    if (!record->fiber)
        return;
    if (!record->fiber->IsFinished() && record->fiber->GetState() != platform::Fiber::State::kNew) {
        // Unwound on its own thread with its own identity and thread state,
        // so every destructor on its stack (slots, locks, sockets) runs as
        // it would have.
        record->socket->Shutdown();
        Enter(record);
        record->fiber.reset();
        Leave(record);
    }
    record->fiber.reset();
    counts.fibers.fetch_sub(1, std::memory_order_relaxed);
}

void FreeRecord(FiberConnection* record)
{
    Counts& counts = record->worker->counts;
    counts.records.fetch_sub(1, std::memory_order_relaxed);
    counts.byState[record->state].fetch_sub(1, std::memory_order_relaxed);
    CHeapSwitch shared;
    delete record;
}

void Worker::DestroyRecord(FiberConnection* record)
{
    Unlink(record);
    UnwindFiber(record);
    record->socket->Abort();
    records.erase(record);
    FreeRecord(record);
}

void Worker::Enter(FiberConnection* record)
{
    if (platform::CurrentImpersonationPointer() != record->token.get()) {
        if (record->token)
            platform::Impersonate(record->token);
        else
            platform::RevertToSelf();
    }
    std::swap(GetThreadData(), record->threadData);
    workerSocketError = platform::LastSocketError();
    platform::SetLastSocketError(record->lastSocketError);
    t_current = record;
}

void Worker::Leave(FiberConnection* record)
{
    t_current = nullptr;
    record->lastSocketError = platform::LastSocketError();
    platform::SetLastSocketError(workerSocketError);
    std::swap(GetThreadData(), record->threadData);
    if (platform::CurrentImpersonationPointer() != record->token.get())
        record->token = platform::CurrentImpersonation();
}

void Worker::MakeReady(FiberConnection* record, bool urgentWake)
{
    if (record->queued)
        return;
    record->queued = true;
    (urgentWake ? urgent : ready).Push(record);
}

void Worker::RunUrgent()
{
    while (FiberConnection* record = urgent.Pop())
        RunFiber(record);
}

void Worker::PollBetweenFibers()
{
    platform::Completion completion;
    for (std::size_t n = 0; n < kCompletionsPerRound && port.Wait(0, completion); ++n)
        Dispatch(completion);
    RunUrgent();
}

void Worker::RunFiber(FiberConnection* record)
{
    record->queued = false;
    if (record->state != kFiberRunning)
        return;
    if (!record->fiber) {
        FiberProc proc = ThePool().fiberProc;
        record->fiber = std::make_unique<platform::Fiber>([record, proc] { proc(record); });
        counts.fibers.fetch_add(1, std::memory_order_relaxed);
    }
    // The fiber's identity and thread state come back with it.
    Enter(record);
    record->fiber->Resume();
    Leave(record);

    if (record->fiber->IsFinished()) {
        if (record->fiber->GetFailure())
            LogWarning("Unexpected raw exception in ServerFiber.  Not to worry; we can always create another fiber...");
        CloseClient(record);
        if (record->state != kFiberFinished)
            SetState(record, kFiberFinished);
        finished.Push(record);
    }
}

void Worker::RunReady()
{
    // Only what is ready now: fibers made ready meanwhile wait for the next
    // round, so the port is polled between rounds. Within a long round it
    // is polled every few fibers too, so that a wake-up from another worker
    // (a lock handed over) does not wait for the whole round.
    RunUrgent();
    std::size_t run = 0;
    for (std::size_t n = ready.GetSize(); n > 0; --n) {
        FiberConnection* record = ready.Pop();
        if (!record)
            break;
        RunFiber(record);
        if (++run % kFibersBetweenPolls == 0)
            PollBetweenFibers();
        else
            RunUrgent();
    }
}

std::uint32_t Worker::NextWaitMs()
{
    if (!ready.IsEmpty() || !urgent.IsEmpty())
        return 0;
    std::uint64_t now = platform::MonotonicMs();
    std::uint64_t until = std::min<std::uint64_t>(now + packetWaitMs, nextTimeoutWork);
    if (!seamDeadlines.empty())
        until = std::min(until, seamDeadlines.begin()->first);
    for (const auto& entry : listens)
        if (entry->retryAt)
            until = std::min(until, entry->retryAt);
    if (quitting)
        until = std::min(until, now + 50);
    return until > now ? static_cast<std::uint32_t>(until - now) : 0;
}

void Worker::ExpireSeamWaits(std::uint64_t now)
{
    while (!seamDeadlines.empty() && seamDeadlines.begin()->first <= now) {
        FiberConnection* record = seamDeadlines.begin()->second;
        seamDeadlines.erase(seamDeadlines.begin());
        record->hasSeamDeadline = false;
        MakeReady(record);
    }
    for (const auto& entry : listens) {
        if (entry->retryAt && entry->retryAt <= now) {
            entry->retryAt = 0;
            ArmListener(entry.get());
        }
    }
}

void Worker::TimeoutWork(std::uint64_t now)
{
    nextTimeoutWork = now + timeoutIntervalMs;
    // Parked in order of parking, so in order of expiry.
    while (FiberConnection* oldest = parked.Peek()) {
        if (oldest->tick > now)
            break;
        DestroyRecord(oldest);
    }
    while (FiberConnection* record = finished.Pop())
        DestroyRecord(record);
}

void Worker::Main()
{
    t_worker = this;
    platform::SetThreadWaitSeam(&kFiberSeam);
    SetThreadIOWaiter(&g_waiter);
    nextTimeoutWork = platform::MonotonicMs() + timeoutIntervalMs;
    for (;;) {
        try {
            RunReady();
            platform::Completion completion;
            if (port.Wait(NextWaitMs(), completion)) {
                Dispatch(completion);
                // Take what else is there before running fibers again, but
                // not without end: on a busy port the ready fibers would wait.
                for (std::size_t n = 1; n < kCompletionsPerRound && port.Wait(0, completion); ++n)
                    Dispatch(completion);
            } else if (platform::LastSocketError() != platform::kWsaeTimedOut) {
                LogWarning("Worker thread could not wait for completions; it ends.");
                break;
            }
            std::uint64_t now = platform::MonotonicMs();
            ExpireSeamWaits(now);
            if (now >= nextTimeoutWork)
                TimeoutWork(now);
            if (quitting && (!HasRunning() || now >= quitDeadline))
                break;
        } catch (...) {
            LogWarning("Unexpected exception in worker thread; attempting recovery.");
        }
    }
    Shutdown();
    SetThreadIOWaiter(nullptr);
    platform::SetThreadWaitSeam(nullptr);
    t_worker = nullptr;
    ended.Set();
}

void Worker::Dispatch(const platform::Completion& completion)
{
    if (completion.kind == platform::Completion::kPosted) {
        DispatchPosted(completion);
        return;
    }
    const bool ready = completion.kind == platform::Completion::kReady;
    void* target = reinterpret_cast<void*>(completion.cookie);
    switch (*static_cast<std::uint32_t*>(target)) {
    case kListenOperation:
        AcceptReady(static_cast<ListenEntry*>(target));
        break;
    case kFiberAcceptPosted: {
        auto* record = static_cast<FiberConnection*>(target);
        if (ready)
            FirstData(record);
        else
            IdleAccept(record);
        break;
    }
    case kFiberRunning: {
        auto* record = static_cast<FiberConnection*>(target);
        if (record->ioWaiting) {
            record->ioWaiting = false;
            record->ioResult = ready ? 1 : 0;
            MakeReady(record);
        }
        break;
    }
    default:
        // A parked or finished record: nothing waits for it.
        break;
    }
}

void Worker::DispatchPosted(const platform::Completion& completion)
{
    switch (completion.key) {
    case kOpArmAccept:
        if (!quitting)
            ArmAccept(static_cast<ServerAccepts*>(completion.pointer));
        break;
    case kOpWake: {
        auto* record = static_cast<FiberConnection*>(completion.pointer);
        // The wait may have ended (and the record gone) since the wake was sent.
        if (records.count(record) && record->seamNode && record->seamSequence == completion.bytes)
            MakeReady(record, true);
        break;
    }
    case kOpRetire: {
        auto* request = static_cast<Request*>(completion.pointer);
        Retire(request->server);
        request->Finish();
        break;
    }
    case kOpSync:
        static_cast<Request*>(completion.pointer)->Finish();
        break;
    case kOpQuit:
        BeginQuit();
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Accepts

void Worker::ArmAccept(ServerAccepts* accepts)
{
    if (accepts->retired.load())
        return;
    ListenEntry* entry = nullptr;
    for (const auto& candidate : listens)
        if (candidate->accepts == accepts)
            entry = candidate.get();
    if (!entry) {
        CHeapSwitch shared;
        listens.push_back(std::make_unique<ListenEntry>());
        entry = listens.back().get();
        entry->accepts = accepts;
    }
    // A parked record is reused before a new one is made.
    FiberConnection* record = parked.Pop();
    if (!record)
        record = CreateRecord();
    record->work = ConnectionWork{accepts->server, accepts->listeningSocket, 0, 0, accepts->secure};
    record->accepts = accepts;
    PostAccept(record, entry);
}

void Worker::PostAccept(FiberConnection* record, ListenEntry* entry)
{
    SetState(record, kFiberAcceptPosted);
    record->tick = platform::MonotonicMs();
    record->listen = entry;
    {
        CHeapSwitch shared;
        entry->waiting.push_back(record);
    }
    ArmListener(entry);
}

void Worker::ArmListener(ListenEntry* entry)
{
    if (entry->armed || entry->waiting.empty() || entry->retryAt)
        return;
    if (port.Arm(entry->accepts->listeningSocket, false, platform::kNoDeadline,
                 reinterpret_cast<std::uintptr_t>(entry)) == 0)
        entry->armed = true;
    else
        entry->retryAt = platform::MonotonicMs() + kAcceptRetryMs;
}

void Worker::AcceptReady(ListenEntry* entry)
{
    entry->armed = false;
    ServerAccepts* accepts = entry->accepts;
    while (!entry->waiting.empty()) {
        std::uint32_t peer = 0;
        int handle = platform::AcceptSocket(accepts->listeningSocket, &peer, nullptr);
        if (handle < 0) {
            int error = platform::LastSocketError();
            if (error == platform::kWsaeConnAborted || error == platform::kWsaeConnReset)
                continue;
            if (error != platform::kWsaeWouldBlock)
                entry->retryAt = platform::MonotonicMs() + kAcceptRetryMs;
            break;
        }
        FiberConnection* record = entry->waiting.front();
        entry->waiting.erase(entry->waiting.begin());
        WSocket& socket = *record->socket;
        if (socket.Attach(handle) != 0) {
            socket.Abort();
            socket.ResetBuffers();
            entry->waiting.push_back(record);
            continue;
        }
        socket.SetPeerAddress(peer);
        socket.SetLocalConnectionAddress(socket.GetLocalAddress());
        record->work.clientAddress = peer;
        record->tick = platform::MonotonicMs();
        // The client's first data hands it to the fiber; silence for
        // ConnTimeout seconds closes it.
        std::uint64_t deadline = accepts->connTimeout
                                     ? record->tick + static_cast<std::uint64_t>(accepts->connTimeout) * 1000
                                     : platform::kNoDeadline;
        if (port.Arm(handle, false, deadline, reinterpret_cast<std::uintptr_t>(record)) != 0) {
            socket.Abort();
            socket.ResetBuffers();
            entry->waiting.push_back(record);
            continue;
        }
        AddPending(record);
    }
    ArmListener(entry);
}

void Worker::FirstData(FiberConnection* record)
{
    RemovePending(record);
    ServerAccepts* accepts = record->accepts;
    // The accept is replaced at once, on the worker serving the fewest
    // connections, so the number outstanding stays constant and the load
    // spreads; this worker when it is among the least loaded.
    Worker* target = ThePool().LeastLoaded(this);
    if (target == this)
        ArmAccept(accepts);
    else
        target->port.Post(kOpArmAccept, accepts->secure ? 1 : 0, accepts);

    WSocket& socket = *record->socket;
    socket.SetTimeout(accepts->connTimeout * kMsPerTimeoutSecond);
    socket.SetFiberMode(&g_waiter);
    record->listen = nullptr;
    SetState(record, kFiberRunning);
    MakeReady(record);
}

void Worker::IdleAccept(FiberConnection* record)
{
    // Connected and silent for ConnTimeout seconds: closed, and the record
    // accepts again on the same socket.
    RemovePending(record);
    CloseClient(record);
    ListenEntry* entry = record->listen;
    if (entry && !record->accepts->retired.load())
        PostAccept(record, entry);
    else
        Park(record);
}

void Worker::CloseClient(FiberConnection* record)
{
    WSocket& socket = *record->socket;
    if (socket.IsOpen())
        port.Disarm(socket.GetHandle());
    socket.Abort();
    socket.ResetBuffers();
}

void Worker::Park(FiberConnection* record)
{
    record->listen = nullptr;
    SetState(record, kFiberParked);
    record->tick = platform::MonotonicMs() + parkedLifeMs;
    parked.Push(record);
}

void Worker::AddPending(FiberConnection* record)
{
    record->pending = true;
    record->nextPending = nullptr;
    record->prevPending = pendingTail;
    if (pendingTail)
        pendingTail->nextPending = record;
    else
        pendingHead = record;
    pendingTail = record;
}

void Worker::RemovePending(FiberConnection* record)
{
    if (!record->pending)
        return;
    if (record->prevPending)
        record->prevPending->nextPending = record->nextPending;
    else
        pendingHead = record->nextPending;
    if (record->nextPending)
        record->nextPending->prevPending = record->prevPending;
    else
        pendingTail = record->prevPending;
    record->prevPending = record->nextPending = nullptr;
    record->pending = false;
}

void Worker::Retire(CServer* server)
{
    for (auto it = listens.begin(); it != listens.end();) {
        ListenEntry* entry = it->get();
        if (entry->accepts->server != server) {
            ++it;
            continue;
        }
        port.Disarm(entry->accepts->listeningSocket);
        for (FiberConnection* record : entry->waiting) {
            record->listen = nullptr;
            Park(record);
        }
        entry->waiting.clear();
        CHeapSwitch shared;
        it = listens.erase(it);
    }
    // Clients accepted but silent are closed; their records wait for reuse.
    for (FiberConnection* record = pendingHead; record;) {
        FiberConnection* next = record->nextPending;
        if (record->accepts && record->accepts->server == server) {
            RemovePending(record);
            CloseClient(record);
            Park(record);
        }
        record = next;
    }
}

void Worker::BeginQuit()
{
    if (quitting)
        return;
    quitting = true;
    quitDeadline = platform::MonotonicMs() + kQuitDrainMs;
    for (const auto& entry : listens) {
        port.Disarm(entry->accepts->listeningSocket);
        for (FiberConnection* record : entry->waiting)
            record->listen = nullptr;
        for (FiberConnection* record : entry->waiting)
            Park(record);
        entry->waiting.clear();
    }
    {
        CHeapSwitch shared;
        listens.clear();
    }
    while (FiberConnection* record = pendingHead) {
        RemovePending(record);
        CloseClient(record);
        Park(record);
    }
    // Running connections end at their next socket wait.
    for (FiberConnection* record : records)
        if (record->state == kFiberRunning)
            record->socket->Shutdown();
}

void Worker::Shutdown()
{
    // Every fiber is unwound on this thread before anything is freed; the
    // records themselves go once the thread has ended.
    for (FiberConnection* record : records)
        UnwindFiber(record);
    for (FiberConnection* record : records) {
        Unlink(record);
        record->socket->Abort();
    }
    seamDeadlines.clear();
    platform::RevertToSelf();
}

} // namespace

// ---------------------------------------------------------------------------
// The fiber's side

namespace {

// Parks the record until a worker reuses it for a new accept and that
// accept's client has sent data.
void FiberWait(FiberConnection* record)
{
    Worker* worker = record->worker;
    worker->SetState(record, kFiberParked);
    record->tick = platform::MonotonicMs() + worker->parkedLifeMs;
    {
        CHeapSwitch shared;
        worker->parked.Push(record);
    }
    while (record->state != kFiberRunning)
        platform::Fiber::Suspend();
}

} // namespace

void ServerFiber(FiberConnection* record)
{
    CThreadHeap heap;
    heap.Create();
    try {
        for (;;) {
            WSocket& socket = *record->socket;
            CServer* server = record->work.server;
            server->ServeFiberConnection(socket, record->work);
            FiberWait(record);
        }
    } catch (const platform::FiberUnwind&) {
        heap.Destroy();
        throw;
    } catch (...) {
        LogWarning("Unexpected raw exception in ServerFiber.  Not to worry; we can always create another fiber...");
    }
    heap.Destroy();
    record->worker->SetState(record, kFiberFinished);
}

// ---------------------------------------------------------------------------
// The pool

bool StartWorkerThreads(std::uint32_t count, std::uint32_t concurrency, FiberProc fiberProc)
{
    static_cast<void>(concurrency);
    Pool& pool = ThePool();
    std::lock_guard lock(pool.lock);
    if (pool.running.load() || count == 0 || !fiberProc)
        return false;
    count = std::min(count, kMaxWorkers);
    pool.fiberProc = fiberProc;
    CHeapSwitch shared;
    std::vector<std::unique_ptr<Worker>> workers;
    for (std::uint32_t i = 0; i < count; ++i) {
        auto worker = std::make_unique<Worker>();
        worker->index = i;
        worker->packetWaitMs = count * kPacketWaitPerWorkerMs;
        worker->parkedLifeMs = g_parkedLifeMs.load();
        worker->timeoutIntervalMs = g_timeoutIntervalMs.load();
        if (!worker->port.Open())
            return false;
        workers.push_back(std::move(worker));
    }
    for (auto& worker : workers) {
        try {
            worker->thread = std::thread(&Worker::Main, worker.get());
        } catch (...) {
            for (auto& started : workers) {
                if (!started->thread.joinable())
                    continue;
                started->port.Post(kOpQuit, 0, nullptr);
                started->thread.join();
            }
            return false;
        }
    }
    pool.workers = std::move(workers);
    pool.running.store(true);
    return true;
}

void StopWorkerThreads()
{
    Pool& pool = ThePool();
    std::lock_guard lock(pool.lock);
    if (!pool.running.exchange(false))
        return;
    for (auto& worker : pool.workers)
        worker->port.Post(kOpQuit, 0, nullptr);
    bool allEnded = true;
    for (auto& worker : pool.workers) {
        if (worker->ended.Wait(kWorkerEndWaitMs)) {
            worker->thread.join();
            for (FiberConnection* record : worker->records)
                FreeRecord(record);
            worker->records.clear();
        } else {
            // Threads are never killed. One that does not end keeps its
            // worker (and what it points at) for the rest of the process.
            allEnded = false;
            worker->thread.detach();
            LogWarning("A worker thread did not end when the pool stopped.");
            worker.release();
        }
    }
    CHeapSwitch shared;
    pool.workers.clear();
    if (allEnded)
        pool.accepts.clear();
    else
        for (auto& accepts : pool.accepts)
            accepts.release();
    pool.accepts.clear();
}

bool WorkerPoolRunning() { return ThePool().running.load(); }

bool PostServerAccepts(CServer* server, int listeningSocket, bool secure, std::uint32_t listeners,
                       std::uint32_t connTimeout)
{
    Pool& pool = ThePool();
    std::lock_guard lock(pool.lock);
    if (!pool.running.load())
        return false;
    if (platform::SetNonBlocking(listeningSocket, true) < 0)
        return false;
    ServerAccepts* accepts;
    {
        CHeapSwitch shared;
        auto owned = std::make_unique<ServerAccepts>();
        owned->server = server;
        owned->listeningSocket = listeningSocket;
        owned->secure = secure;
        owned->connTimeout = connTimeout;
        accepts = owned.get();
        pool.accepts.push_back(std::move(owned));
    }
    // At least one per worker, so that every worker accepts.
    const std::size_t count = std::max<std::size_t>(std::max<std::uint32_t>(listeners, 1), pool.workers.size());
    for (std::size_t i = 0; i < count; ++i)
        pool.workers[i % pool.workers.size()]->port.Post(kOpArmAccept, secure ? 1 : 0, accepts);
    // Posts come out in order, so once every worker took this one it also
    // took the accepts before it.
    Request sync;
    sync.left.store(static_cast<int>(pool.workers.size()));
    for (auto& worker : pool.workers)
        worker->port.Post(kOpSync, 0, &sync);
    sync.done.Wait();
    return true;
}

void RetireServerAccepts(CServer* server)
{
    Pool& pool = ThePool();
    std::lock_guard lock(pool.lock);
    if (!pool.running.load())
        return;
    for (auto& accepts : pool.accepts)
        if (accepts->server == server)
            accepts->retired.store(true);
    Request retire;
    retire.server = server;
    retire.left.store(static_cast<int>(pool.workers.size()));
    for (auto& worker : pool.workers)
        worker->port.Post(kOpRetire, 0, &retire);
    retire.done.Wait();
}

CWorkerPoolCounts GetWorkerPoolCounts()
{
    Pool& pool = ThePool();
    std::lock_guard lock(pool.lock);
    CWorkerPoolCounts total;
    for (auto& worker : pool.workers) {
        const Counts& counts = worker->counts;
        ++total.workers;
        total.records += counts.records.load();
        total.running += counts.byState[kFiberRunning].load();
        total.pendingAccepts += counts.byState[kFiberAcceptPosted].load();
        total.parked += counts.byState[kFiberParked].load();
        total.finished += counts.byState[kFiberFinished].load();
        total.fibers += counts.fibers.load();
    }
    return total;
}

void SetWorkerPoolTimesForTesting(std::uint32_t parkedLifeMs, std::uint32_t timeoutIntervalMs)
{
    g_parkedLifeMs.store(parkedLifeMs ? parkedLifeMs : kParkedRecordLifeMs);
    g_timeoutIntervalMs.store(timeoutIntervalMs ? timeoutIntervalMs : kTimeoutWorkIntervalMs);
}
