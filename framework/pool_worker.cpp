#include "framework/pool_worker.h"

#include "framework/memory.h"
#include "framework/server_log.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/eventlog.h"
#include "platform/net.h"

#include <algorithm>

namespace pool_detail {

thread_local Worker* t_worker = nullptr;
thread_local FiberConnection* t_current = nullptr;

std::atomic<std::uint32_t> g_parkedLifeMs{kParkedRecordLifeMs};
std::atomic<std::uint32_t> g_timeoutIntervalMs{kTimeoutWorkIntervalMs};

void LogWarning(std::string_view text) { LogMessage(platform::kEventTypeWarning, kEventPoolWarning, {text}); }

Pool& ThePool()
{
    static Pool pool;
    return pool;
}

namespace {

class CPoolWaiter : public CIOWaiter {
public:
    int WaitForIOCompletion(int handle, bool forWrite, std::uint32_t milliseconds) override;
};

CPoolWaiter g_waiter;

} // namespace

CIOWaiter& PoolWaiter() { return g_waiter; }

namespace {

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
    if (self->idleTimedOut) {
        // The worker waited for this input while the connection was paused.
        self->idleTimedOut = false;
        platform::SetLastSocketError(platform::kWsaeTimedOut);
        return 0;
    }
    Worker* worker = self->worker;
    {
        CHeapSwitch shared;
        // The connection's own socket stays registered from its accept to its
        // close, so a wait costs no system call; any other handle (a pipe, an
        // outgoing connection) may be closed without the port knowing, and
        // is armed one-shot.
        const std::uint64_t deadline = platform::DeadlineAfter(milliseconds);
        const auto cookie = reinterpret_cast<std::uintptr_t>(self);
        const int armed = handle == self->socket->GetHandle()
                              ? worker->port.ArmEdge(handle, forWrite, deadline, cookie)
                              : worker->port.Arm(handle, forWrite, deadline, cookie);
        if (armed != 0)
            return armed;
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

} // namespace

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
    record->socket->SetPause(&record->pause);
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
    if (record->paused) {
        record->paused = false;
        counts.paused.fetch_sub(1, std::memory_order_relaxed);
    }
    if (record->socket->IsOpen())
        port.Disarm(record->socket->GetHandle());
}

void Worker::UnwindFiber(FiberConnection* record)
{
    if (!record->fiber)
        return;
    if (record->fiber->IsFinished()) {
        CHeapSwitch shared;
        spareFibers.Give(std::move(record->fiber));
        return;
    }
    if (record->fiber->GetState() != platform::Fiber::State::kNew) {
        // Unwound on its own thread with its own identity and thread state,
        // so every destructor on its stack (slots, locks, sockets) runs as
        // it would have.
        record->socket->Shutdown();
        Enter(record);
        record->fiber.reset();
        Leave(record);
    }
    record->fiber.reset();
    spareFibers.Forget();
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
        auto entry = [record, proc] { proc(record); };
        CHeapSwitch shared;
        const std::size_t created = spareFibers.Created();
        record->fiber = spareFibers.Take(entry);
        if (spareFibers.Created() != created)
            counts.fibers.fetch_add(1, std::memory_order_relaxed);
    }
    // The fiber's identity and thread state come back with it.
    Enter(record);
    record->fiber->Resume();
    Leave(record);
    // Either its first wait took the idle time-out, or bytes came after all.
    record->idleTimedOut = false;

    if (!record->fiber->IsFinished())
        return;
    if (record->fiber->GetFailure() || record->state == kFiberFinished) {
        if (record->fiber->GetFailure())
            LogWarning("Unexpected raw exception in ServerFiber.  Not to worry; we can always create another fiber...");
        CloseClient(record);
        if (record->state != kFiberFinished)
            SetState(record, kFiberFinished);
        finished.Push(record);
        return;
    }
    ReleaseFiber(record);
    if (record->pause.requested && !quitting) {
        Pause(record);
        return;
    }
    // The connection ended (or the pool is ending, and a paused one would
    // only be woken to end): the record waits for reuse.
    if (record->pause.requested) {
        record->pause.requested = false;
        record->pause.resumed = true;
        record->socket->Shutdown();
        MakeReady(record);
        return;
    }
    CloseClient(record);
    {
        CHeapSwitch shared;
        Park(record);
    }
}

void Worker::ReleaseFiber(FiberConnection* record)
{
    CHeapSwitch shared;
    spareFibers.Give(std::move(record->fiber));
}

void Worker::Pause(FiberConnection* record)
{
    WSocket& socket = *record->socket;
    socket.ReleaseIdleBuffers();
    SetState(record, kFiberAwaitingData);
    record->paused = true;
    counts.paused.fetch_add(1, std::memory_order_relaxed);
    // The wait the request loop would have made: the socket's time-out.
    std::uint64_t deadline =
        socket.GetTimeout() ? platform::DeadlineAfter(socket.GetTimeout()) : platform::kNoDeadline;
    const int handle = socket.GetHandle();
    const auto cookie = reinterpret_cast<std::uintptr_t>(record);
    int armed;
    {
        CHeapSwitch shared;
        armed = port.ArmEdge(handle, false, deadline, cookie);
        // The edge may be of bytes the request already took: resumed for
        // it, the connection would wait for its next request holding a
        // fiber. Looked at first, and armed again (the edge is taken now).
        if (armed > 0 && platform::WaitHandle(handle, false, 0) == 0)
            armed = port.ArmEdge(handle, false, deadline, cookie);
    }
    // Bytes came already, or not armed: the connection runs again and reads
    // them or meets the failure itself.
    if (armed != 0)
        Resume(record, false);
}

void Worker::Resume(FiberConnection* record, bool timedOut)
{
    if (record->paused) {
        record->paused = false;
        counts.paused.fetch_sub(1, std::memory_order_relaxed);
    }
    record->idleTimedOut = timedOut;
    record->pause.requested = false;
    record->pause.resumed = true;
    record->socket->RestoreBuffers();
    SetState(record, kFiberRunning);
    CHeapSwitch shared;
    MakeReady(record);
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
    // Spare stacks beyond the recent peak are what a past burst needed.
    CHeapSwitch shared;
    counts.fibers.fetch_sub(static_cast<std::uint32_t>(spareFibers.Trim()), std::memory_order_relaxed);
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
    case kFiberAwaitingData: {
        auto* record = static_cast<FiberConnection*>(target);
        if (record->paused)
            Resume(record, !ready);
        else if (ready)
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
        DropAccepts(request->server);
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


} // namespace pool_detail
