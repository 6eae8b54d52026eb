#include "framework/pool_worker.h"

#include "framework/memory.h"
#include "framework/server_log.h"
#include "framework/slow_heads.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/eventlog.h"
#include "platform/net.h"

#include <algorithm>

namespace pool_detail {

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
    PostAccept(TakeRecord(accepts), entry);
    // The worker that handed this accept over may have left clients queued:
    // the kernel woke it alone for them, so they are taken here.
    if (entry->armed)
        AcceptReady(entry);
}

FiberConnection* Worker::TakeRecord(ServerAccepts* accepts)
{
    // A parked record is reused before a new one is made.
    FiberConnection* record = parked.Pop();
    if (!record)
        record = CreateRecord();
    record->work = ConnectionWork{accepts->server, accepts->listeningSocket, 0, 0, accepts->secure};
    record->accepts = accepts;
    return record;
}

void Worker::ReplaceAccept(ServerAccepts* accepts, ListenEntry* entry)
{
    // On the worker serving the fewest connections, so the load spreads;
    // here when this worker is among the least loaded.
    if (accepts->retired.load())
        return;
    Worker* target = ThePool().LeastLoaded(this);
    if (target != this) {
        target->port.Post(kOpArmAccept, accepts->secure ? 1 : 0, accepts);
        return;
    }
    // The listener is being drained; it is armed again when that ends.
    QueueAccept(TakeRecord(accepts), entry);
}

void Worker::QueueAccept(FiberConnection* record, ListenEntry* entry)
{
    SetState(record, kFiberAcceptPosted);
    record->tick = platform::MonotonicMs();
    record->listen = entry;
    CHeapSwitch shared;
    entry->waiting.push_back(record);
}

void Worker::PostAccept(FiberConnection* record, ListenEntry* entry)
{
    QueueAccept(record, entry);
    ArmListener(entry);
}

void Worker::ArmListener(ListenEntry* entry)
{
    if (entry->armed || entry->waiting.empty() || entry->retryAt)
        return;
    // Watched, not armed per accept: every worker holding an accept watches
    // the one socket, and the kernel wakes one of them per client instead
    // of all of them contending for the socket's lock.
    if (port.Watch(entry->accepts->listeningSocket, reinterpret_cast<std::uintptr_t>(entry)) == 0)
        entry->armed = true;
    else
        entry->retryAt = platform::MonotonicMs() + kAcceptRetryMs;
}

void Worker::AcceptReady(ListenEntry* entry)
{
    ServerAccepts* accepts = entry->accepts;
    // One client per report: the watch is level-triggered, so clients still
    // queued are reported again, and a worker never pays a failed accept
    // for draining a queue another worker was woken for too.
    bool taken = false;
    while (!taken && !entry->waiting.empty()) {
        std::uint32_t peer = 0;
        int handle = platform::AcceptSocket(accepts->listeningSocket, &peer, nullptr, true);
        if (handle < 0) {
            int error = platform::LastSocketError();
            if (error == platform::kWsaeConnAborted || error == platform::kWsaeConnReset)
                continue;
            // Out of descriptors, this worker's oldest client that has sent
            // nothing yields its own to the next (closed at once, so the
            // accept is tried again at once); with none such, it pauses.
            if (error == platform::kWsaeMFile) {
                ReportDescriptorsRunOut();
                if (CloseOldestSilent())
                    continue;
            }
            if (error != platform::kWsaeWouldBlock)
                entry->retryAt = platform::MonotonicMs() + kAcceptRetryMs;
            break;
        }
        taken = true;
        FiberConnection* record = entry->waiting.front();
        entry->waiting.erase(entry->waiting.begin());
        WSocket& socket = *record->socket;
        if (socket.AttachAccepted(handle) != 0) {
            socket.Abort();
            socket.ResetBuffers();
            entry->waiting.push_back(record);
            continue;
        }
        // The work of requests needs descriptors of its own (a file, a
        // pipe): near the limit, this worker's oldest client that has sent
        // nothing makes room for the one just come.
        if (LeavesTooFewDescriptors(handle))
            CloseOldestSilent();
        socket.SetPeerAddress(peer);
        record->work.clientAddress = peer;
        record->tick = platform::MonotonicMs();
        record->listen = nullptr;
        SetState(record, kFiberAwaitingData);
        // The accept is replaced at once: a client that stays silent holds
        // its own record and deadline, never one of the server's accepts.
        ReplaceAccept(accepts, entry);
        // The client's first data hands it to the fiber; silence for
        // ConnTimeout seconds closes it, and silence past the grace counts
        // it against its address (IdleAccept).
        std::uint64_t deadline = std::min(SilenceDeadline(record), record->tick + kSilentGraceMs);
        // The number may be that of a socket closed without the port knowing.
        port.Disarm(handle);
        const int armed = port.ArmEdge(handle, false, deadline, reinterpret_cast<std::uintptr_t>(record));
        if (armed > 0) {
            FirstData(record);
            continue;
        }
        if (armed != 0) {
            socket.Abort();
            socket.ResetBuffers();
            Park(record);
            continue;
        }
        AddPending(record);
    }
    // A watch reports for as long as clients are queued: a worker without
    // an accept to give them, or pausing after a failure, stops watching.
    if (entry->armed && (entry->waiting.empty() || entry->retryAt)) {
        port.Disarm(accepts->listeningSocket);
        entry->armed = false;
    }
    ArmListener(entry);
}

void Worker::FirstData(FiberConnection* record)
{
    RemovePending(record);
    ServerAccepts* accepts = record->accepts;
    WSocket& socket = *record->socket;
    socket.Spoke();
    socket.SetTimeout(CClientLimits{accepts->connTimeout}.ReadTimeoutMs());
    socket.SetFiberMode(&PoolWaiter());
    record->listen = nullptr;
    SetState(record, kFiberRunning);
    MakeReady(record);
}

std::uint64_t Worker::SilenceDeadline(const FiberConnection* record)
{
    std::uint32_t connTimeout = record->accepts->connTimeout;
    return connTimeout ? record->tick + static_cast<std::uint64_t>(connTimeout) * 1000 : platform::kNoDeadline;
}

void Worker::IdleAccept(FiberConnection* record)
{
    RemovePending(record);
    WSocket& socket = *record->socket;
    // Silent for the grace: counted against its address, as slow heads are,
    // and watched again until ConnTimeout; at the address's cap the oldest
    // silent one is closed. Connections that never send would otherwise
    // hold the server from one address until ConnTimeout, however many they
    // are. HeaderTimeout 0 (no head limit) counts none.
    const std::uint64_t deadline = SilenceDeadline(record);
    CServer* server = record->accepts->server;
    if (platform::MonotonicMs() < deadline &&
        (!server->CountsSilentConnections() || socket.CountSilent(&server->GetSlowHeads()))) {
        const int handle = socket.GetHandle();
        port.Disarm(handle);
        const int armed = port.ArmEdge(handle, false, deadline, reinterpret_cast<std::uintptr_t>(record));
        if (armed == 0) {
            AddPending(record);
            return;
        }
        if (armed > 0) {
            FirstData(record);
            return;
        }
    }
    // Connected and silent for ConnTimeout seconds (or one too many): closed.
    // Its accept was replaced when it came, so the record waits for reuse.
    CloseClient(record);
    Park(record);
}

void Worker::CloseClient(FiberConnection* record)
{
    WSocket& socket = *record->socket;
    // Its server is still there: a count of a silent client is given back.
    socket.EndHeadDeadline();
    if (socket.IsOpen())
        port.Disarm(socket.GetHandle());
    socket.Abort();
    socket.ResetBuffers();
}

bool Worker::CloseOldestSilent()
{
    FiberConnection* oldest = pendingHead;
    if (!oldest)
        return false;
    RemovePending(oldest);
    CloseClient(oldest);
    Park(oldest);
    return true;
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

void Worker::DropAccepts(CServer* server)
{
    for (auto it = listens.begin(); it != listens.end();) {
        ListenEntry* entry = it->get();
        if (server && entry->accepts->server != server) {
            ++it;
            continue;
        }
        port.Disarm(entry->accepts->listeningSocket);
        for (FiberConnection* record : entry->waiting)
            Park(record);
        entry->waiting.clear();
        CHeapSwitch shared;
        it = listens.erase(it);
    }
    // Clients accepted but silent are closed; their records wait for reuse.
    for (FiberConnection* record = pendingHead; record;) {
        FiberConnection* next = record->nextPending;
        if (!server || (record->accepts && record->accepts->server == server)) {
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
    DropAccepts(nullptr);
    // Running connections end at their next socket wait; paused ones are
    // woken to end the same way.
    for (FiberConnection* record : records) {
        if (record->state == kFiberRunning) {
            record->socket->Shutdown();
        } else if (record->paused) {
            record->socket->Shutdown();
            Resume(record, false);
        }
    }
}

void Worker::Shutdown()
{
    // Every fiber is unwound on this thread before anything is freed; the
    // records themselves go once the thread has ended.
    for (FiberConnection* record : records)
        UnwindFiber(record);
    {
        CHeapSwitch shared;
        counts.fibers.fetch_sub(static_cast<std::uint32_t>(spareFibers.Clear()), std::memory_order_relaxed);
    }
    for (FiberConnection* record : records) {
        Unlink(record);
        record->socket->Abort();
    }
    seamDeadlines.clear();
    platform::RevertToSelf();
}


} // namespace pool_detail

using namespace pool_detail;

namespace {

// Posts a request to every worker and waits until each took it. A worker
// that has ended (its port failed) is not waited for, and the wait is
// bounded: a request a worker never takes is reported and left alive, since
// that worker may still take it later.
void PostToEveryWorker(Pool& pool, std::uintptr_t operation, CServer* server)
{
    Request* request;
    {
        CHeapSwitch shared;
        request = new Request;
    }
    request->server = server;
    // One count is the caller's own, given back once everything is posted.
    request->left.store(static_cast<int>(pool.workers.size()) + 1);
    for (auto& worker : pool.workers)
        if (worker->ended.Wait(0) || !worker->port.Post(operation, 0, request))
            request->Finish();
    request->Finish();
    if (!request->done.Wait(kWorkerEndWaitMs)) {
        LogWarning("A worker thread did not answer the pool within its time; it is left to itself.");
        return;
    }
    CHeapSwitch shared;
    delete request;
}

} // namespace

// ---------------------------------------------------------------------------
// The fiber's side

// One turn of a connection: from its first data, or from the end of a pause,
// to its end or its next pause. The worker parks the record afterwards (or
// waits for the paused connection's next request) and keeps the fiber for
// another turn of any record.
void ServerFiber(FiberConnection* record)
{
    CThreadHeap heap;
    heap.Create();
    try {
        record->work.server->ServeFiberConnection(*record->socket, record->work);
    } catch (const platform::FiberUnwind&) {
        heap.Destroy();
        throw;
    } catch (...) {
        LogWarning("Unexpected raw exception in ServerFiber.  Not to worry; we can always create another fiber...");
        heap.Destroy();
        record->worker->SetState(record, kFiberFinished);
        return;
    }
    heap.Destroy();
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
    PostToEveryWorker(pool, kOpSync, server);
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
    PostToEveryWorker(pool, kOpRetire, server);
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
        total.awaitingData += counts.byState[kFiberAwaitingData].load();
        total.fibers += counts.fibers.load();
        total.paused += counts.paused.load();
    }
    return total;
}

void SetWorkerPoolTimesForTesting(std::uint32_t parkedLifeMs, std::uint32_t timeoutIntervalMs)
{
    g_parkedLifeMs.store(parkedLifeMs ? parkedLifeMs : kParkedRecordLifeMs);
    g_timeoutIntervalMs.store(timeoutIntervalMs ? timeoutIntervalMs : kTimeoutWorkIntervalMs);
}
