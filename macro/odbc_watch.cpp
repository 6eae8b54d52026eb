// The statement watchdog and its cancels.
//
// Owns: one record per statement in flight (each thread keeps its own, and
// every record is listed once for the watchdog and a stop), the watchdog
// thread, and the cancel jobs. May call: the driver's SQLCancel and
// SQLFreeHandle (on a cancel's own thread), platform's socket shut-down and
// peer checks, the query time-out setting, and CloseODBCHandleLater for a
// connection whose close waited on a cancel. The request thread and the
// pool call in; this unit calls neither's queue nor pool.
//
// A cancel runs on a thread of its own: a driver's cancel may wait on the
// very database that stopped answering (it sends the server a request and
// reads the reply), and the one watchdog must go on cancelling every other
// source's statements. A call still blocked a while after its first cancel
// is given up: the socket its thread waits on is shut down, so the call
// returns with its connection lost, and a cancel that has not come back by
// then keeps the statement's handle, which it frees when it does.

#include "macro/odbc_thread.h"
#include "macro/odbc_pool.h"
#include "macro/odbc_watch.h"

#include "framework/thread_data.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/sync.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// A statement in flight, kept by the thread that runs it and published in
// atomics, so that neither its start nor each driver call takes a lock
// shared with the other threads: the request thread, which every page's SQL
// waits for, and async-sql callers would contend on it at every fetch. A
// thread holds as many records as it ever had statements open at once (one
// nested in another's row text, or of another fiber of the worker), and
// reuses them.
//
// word: bit 0 a statement is in, bit 1 it is in a driver call, bit 2 a
// cancel runs on it, bits 3-4 why it was cancelled (ODBCCancel), bit 5 its
// call was given up (the connection is lost), bit 6 it has a cancel job;
// from bit 8 on a count the owning thread moves at every change, so that
// the watchdog's compare-and-swap fails once the call it judged has ended.
// The owner does not end the call, nor the statement, while bit 2 is set.
struct InFlight {
    static constexpr std::uint64_t kActive = 1, kInCall = 2, kCancelling = 4, kGivenUp = 32, kHasJob = 64;
    static constexpr int kReasonShift = 3;
    static constexpr std::uint64_t kReasonMask = std::uint64_t{3} << kReasonShift;
    static constexpr std::uint64_t kStep = std::uint64_t{1} << 8;
    static constexpr std::uint64_t kFlags = kStep - 1;

    static ODBCCancel Reason(std::uint64_t word) { return static_cast<ODBCCancel>((word & kReasonMask) >> kReasonShift); }
    static std::uint64_t WithReason(std::uint64_t word, ODBCCancel reason)
    {
        return word | (static_cast<std::uint64_t>(reason) << kReasonShift);
    }

    std::atomic<std::uint64_t> word{0};
    std::atomic<SQLHSTMT> statement{SQL_NULL_HSTMT};
    std::atomic<SQLHDBC> connection{SQL_NULL_HDBC};
    std::atomic<int> client{-1};
    std::atomic<std::uint64_t> callDeadline{0};
    const int thread = platform::CurrentThreadId();
    InFlight* nextOfThread = nullptr; // touched by the owning thread only
};

// The cancels of one statement, from its first until both its owner has
// ended it and no cancel runs any more.
struct CancelJob {
    SQLHDBC connection = SQL_NULL_HDBC;
    int thread = 0;
    // Its statement's record; used only while the owner waits on the cancel.
    InFlight* record = nullptr;
    std::uint64_t firstAt = 0;
    bool running = false;
    // The owner went on without this cancel: it frees the handle.
    bool abandoned = false;
    bool ownerDone = false;
    bool closeConnection = false;
    bool shutDown = false;
};

struct WatchState {
    // The watchdog's sleep and stop.
    std::mutex lock;
    std::condition_variable wake;
    std::thread watchdog;
    bool watchdogStop = false;
    // Statements are cancelled from now on.
    std::atomic<bool> stopping{false};
    // The watchdog sleeps without a tick; a statement's start wakes it.
    std::atomic<bool> watchdogIdle{false};
    // Every thread's records. A record goes with its thread; the lock keeps
    // it while it is looked at. Taken after lock, never before.
    std::mutex recordsLock;
    std::vector<InFlight*> records;
    // Taken after recordsLock, never before.
    std::mutex cancelsLock;
    std::map<SQLHSTMT, CancelJob> jobs;
};

WatchState& Watch()
{
    static WatchState* state = [] {
        CHeapSwitch shared;
        return new WatchState; // outlives every engine start and stop, and every thread's exit
    }();
    return *state;
}

// The calling thread's records, unlisted and freed as it exits.
struct ThreadRecords {
    InFlight* first = nullptr;
    ~ThreadRecords()
    {
        if (first == nullptr)
            return;
        {
            std::lock_guard<std::mutex> hold(Watch().recordsLock);
            for (InFlight* record = first; record; record = record->nextOfThread)
                std::erase(Watch().records, record);
        }
        while (first) {
            InFlight* next = first->nextOfThread;
            delete first;
            first = next;
        }
    }
};

thread_local ThreadRecords t_records;

// A record of the calling thread with no statement in, made when none is.
InFlight& FreeRecord()
{
    for (InFlight* record = t_records.first; record; record = record->nextOfThread)
        if (!(record->word.load(std::memory_order_relaxed) & InFlight::kActive))
            return *record;
    CHeapSwitch shared;
    auto* record = new InFlight;
    {
        std::lock_guard<std::mutex> hold(Watch().recordsLock);
        Watch().records.push_back(record);
    }
    record->nextOfThread = t_records.first;
    t_records.first = record;
    return *record;
}

// The calling thread's record of statement; null for one not started here.
InFlight* RecordOf(SQLHSTMT statement)
{
    if (statement == SQL_NULL_HSTMT)
        return nullptr;
    for (InFlight* record = t_records.first; record; record = record->nextOfThread)
        if (record->statement.load(std::memory_order_relaxed) == statement)
            return record;
    return nullptr;
}

std::atomic<ODBCCancelCall> g_cancelCall{&SQLCancel};

// When the watchdog cancels a driver call that starts now; never with a
// query time-out of 0, which is no limit.
std::uint64_t CallDeadline()
{
    const std::uint32_t seconds = ODBCQueryTimeoutSeconds();
    if (seconds == 0)
        return platform::kNoDeadline;
    return platform::MonotonicMs() + std::uint64_t{seconds} * 1000 + kODBCCancelGraceMs;
}

// Waits while a cancel runs on the record's call; answers the word after.
std::uint64_t SettledWord(InFlight& record)
{
    std::uint64_t word = record.word.load();
    while (word & InFlight::kCancelling) {
        record.word.wait(word);
        word = record.word.load();
    }
    return word;
}

void ReleaseOwner(InFlight& record)
{
    record.word.fetch_and(~InFlight::kCancelling);
    record.word.notify_all();
}

// ---- Cancels, each on a thread of its own ---------------------------------

void FreeAfterCancel(SQLHSTMT statement, const CancelJob& job)
{
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    if (job.closeConnection)
        CloseODBCHandleLater(job.connection);
}

void CancelProc(SQLHSTMT statement)
{
    g_cancelCall.load()(statement);
    WatchState& watch = Watch();
    std::unique_lock<std::mutex> hold(watch.cancelsLock);
    auto found = watch.jobs.find(statement);
    CancelJob& job = found->second;
    job.running = false;
    if (!job.abandoned) {
        ReleaseOwner(*job.record); // its owner waits on this cancel
        return;
    }
    if (!job.ownerDone)
        return; // the owner frees the handle when it ends the statement
    const CancelJob ended = job;
    watch.jobs.erase(found);
    hold.unlock();
    FreeAfterCancel(statement, ended);
}

// Starts a cancel of statement, under the jobs' lock; false when no thread
// could be had (the next tick tries again).
bool StartCancel(SQLHSTMT statement, CancelJob& job)
{
    job.running = true;
    try {
        std::thread(CancelProc, statement).detach();
    } catch (const std::system_error&) {
        job.running = false;
        return false;
    }
    return true;
}

// The job of a statement, made at its first cancel; under the jobs' lock.
CancelJob& JobOf(SQLHSTMT statement, InFlight& record)
{
    CHeapSwitch shared;
    auto [found, added] = Watch().jobs.try_emplace(statement);
    if (added) {
        found->second.connection = record.connection.load(std::memory_order_relaxed);
        found->second.thread = record.thread;
        found->second.record = &record;
        found->second.firstAt = platform::MonotonicMs();
    }
    return found->second;
}

// A cancel that reaches a driver before its call has begun the work is lost
// (SQLite's interrupt is a no-op while nothing runs), and the statement would
// then run for ever: a cancelled statement still in a driver call is
// cancelled again at every tick until the call ends.
ODBCCancel ReasonToCancel(ODBCCancel cancelled, bool timedOut, int client)
{
    if (cancelled != ODBCCancel::None)
        return cancelled;
    if (timedOut)
        return ODBCCancel::TimedOut;
    if (client >= 0 && platform::PeerHungUp(client))
        return ODBCCancel::ClientLeft;
    return ODBCCancel::None;
}

// Marks a record's statement cancelled when it is still the one seen as
// word, and cancels its driver call if it is in one; under the records' lock.
void Mark(InFlight& record, std::uint64_t word, ODBCCancel reason)
{
    const SQLHSTMT statement = record.statement.load(std::memory_order_acquire);
    const bool inCall = (word & InFlight::kInCall) != 0;
    std::lock_guard<std::mutex> hold(Watch().cancelsLock);
    auto known = Watch().jobs.find(statement);
    const bool idle = known == Watch().jobs.end() || (!known->second.running && !known->second.abandoned);
    const bool cancel = inCall && idle;
    std::uint64_t marked = InFlight::WithReason(word, reason);
    if (cancel)
        marked |= InFlight::kCancelling | InFlight::kHasJob;
    // Fails when the call or the statement ended meanwhile: the handle may
    // then be gone, and nothing is started on it.
    if (!record.word.compare_exchange_strong(word, marked) || !cancel)
        return;
    if (!StartCancel(statement, JobOf(statement, record)))
        ReleaseOwner(record);
}

// Whether a record's statement should be cancelled, and why; under the
// records' lock.
void Judge(InFlight& record, std::uint64_t now)
{
    const std::uint64_t word = record.word.load();
    if (!(word & InFlight::kActive) || (word & InFlight::kCancelling))
        return;
    const bool inCall = (word & InFlight::kInCall) != 0;
    const ODBCCancel cancelled = InFlight::Reason(word);
    if (cancelled != ODBCCancel::None && !inCall)
        return;
    const ODBCCancel reason = ReasonToCancel(cancelled, inCall && now >= record.callDeadline.load(std::memory_order_relaxed),
                                             record.client.load(std::memory_order_relaxed));
    if (reason != ODBCCancel::None)
        Mark(record, word, reason);
}

// Gives up a call still blocked a while after its first cancel: the socket
// its thread waits on is shut down, so that the call returns with its
// connection lost, and a cancel still running is left to free the handle
// itself. A shut-down that found no socket (the thread was between calls,
// or the number it waited on may have changed hands) is tried again at the
// next tick while the call lasts. The call is held meanwhile (by the
// cancelling bit) so that its thread cannot move on to another descriptor.
// Under the records' and the jobs' locks.
void GiveUp(InFlight& record, bool force)
{
    std::uint64_t word = record.word.load();
    const std::uint64_t due = InFlight::kActive | InFlight::kInCall | InFlight::kHasJob;
    if ((word & due) != due)
        return;
    const SQLHSTMT statement = record.statement.load(std::memory_order_acquire);
    auto found = Watch().jobs.find(statement);
    if (found == Watch().jobs.end())
        return;
    CancelJob& job = found->second;
    if (job.shutDown || (!force && platform::MonotonicMs() < job.firstAt + kODBCCancelGiveUpMs))
        return;
    // With no cancel running the call is held here; one running holds it
    // already, until it is abandoned below.
    if (!(word & InFlight::kCancelling)) {
        if (!record.word.compare_exchange_strong(word, word | InFlight::kCancelling | InFlight::kGivenUp))
            return; // the call ended meanwhile
    } else {
        record.word.fetch_or(InFlight::kGivenUp);
    }
    job.shutDown = platform::ShutDownSocketThreadWaitsOn(job.thread);
    job.abandoned = job.abandoned || job.running;
    ReleaseOwner(record);
}

void GiveUpLateCancels(bool force)
{
    WatchState& watch = Watch();
    std::lock_guard<std::mutex> records(watch.recordsLock);
    std::lock_guard<std::mutex> hold(watch.cancelsLock);
    for (InFlight* record : watch.records)
        GiveUp(*record, force);
}

bool AnyActive()
{
    std::lock_guard<std::mutex> hold(Watch().recordsLock);
    for (InFlight* record : Watch().records)
        if (record->word.load() & InFlight::kActive)
            return true;
    return false;
}

void WatchdogProc()
{
    WatchState& watch = Watch();
    std::unique_lock<std::mutex> hold(watch.lock);
    while (!watch.watchdogStop) {
        // Idle until a statement comes: its start sees watchdogIdle set, or
        // this sees its record active.
        bool waited = false;
        watch.watchdogIdle.store(true);
        if (!AnyActive()) {
            watch.wake.wait(hold, [&watch] { return watch.watchdogStop || !watch.watchdogIdle.load(); });
            waited = true;
        }
        watch.watchdogIdle.store(false);
        if (!waited)
            watch.wake.wait_for(hold, std::chrono::milliseconds(kODBCWatchTickMs));
        if (watch.watchdogStop)
            break;
        const std::uint64_t now = platform::MonotonicMs();
        hold.unlock();
        {
            std::lock_guard<std::mutex> records(watch.recordsLock);
            for (InFlight* record : watch.records)
                Judge(*record, now);
        }
        GiveUpLateCancels(false);
        hold.lock();
    }
}

// The job of an ended statement goes, unless a cancel still runs on it,
// which then frees the handle. Under the jobs' lock.
bool EndJob(SQLHSTMT statement)
{
    auto found = Watch().jobs.find(statement);
    if (found == Watch().jobs.end())
        return true;
    if (found->second.running) {
        found->second.ownerDone = true;
        return false;
    }
    Watch().jobs.erase(found);
    return true;
}

} // namespace

void StartWatchdog()
{
    WatchState& watch = Watch();
    {
        std::lock_guard<std::mutex> hold(watch.lock);
        watch.stopping = false;
        if (watch.watchdog.joinable())
            return;
        watch.watchdogStop = false;
    }
    watch.watchdog = std::thread(WatchdogProc);
}

void StopWatchdog()
{
    WatchState& watch = Watch();
    if (!watch.watchdog.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(watch.lock);
        watch.watchdogStop = true;
    }
    watch.wake.notify_all();
    watch.watchdog.join();
    GiveUpLateCancels(true);
}

void CancelAllStatements()
{
    WatchState& watch = Watch();
    watch.stopping = true;
    // A compare-and-swap lost to the owner is tried again on what it
    // changed to; one that ended its statement is done with.
    std::lock_guard<std::mutex> records(watch.recordsLock);
    for (InFlight* record : watch.records) {
        for (;;) {
            const std::uint64_t word = record->word.load();
            if (!(word & InFlight::kActive) || InFlight::Reason(word) != ODBCCancel::None)
                break;
            Mark(*record, word, ODBCCancel::Stopped);
        }
    }
}

bool CancelHoldsConnection(SQLHDBC hdbc)
{
    WatchState& watch = Watch();
    std::lock_guard<std::mutex> hold(watch.cancelsLock);
    for (auto& [statement, job] : watch.jobs) {
        if (job.connection == hdbc && job.running) {
            job.closeConnection = true;
            return true;
        }
    }
    return false;
}

void ODBCStatementStarted(SQLHSTMT statement, SQLHDBC connection)
{
    WatchState& watch = Watch();
    InFlight& record = FreeRecord();
    record.statement.store(statement, std::memory_order_relaxed);
    record.connection.store(connection, std::memory_order_relaxed);
    record.client.store(GetClientHandle(), std::memory_order_relaxed);
    record.callDeadline.store(0, std::memory_order_relaxed);
    // Only this thread changes the word while no statement is in.
    const std::uint64_t word = record.word.load(std::memory_order_relaxed);
    record.word.store(((word & ~InFlight::kFlags) + InFlight::kStep) | InFlight::kActive);
    if (watch.watchdogIdle.load()) {
        std::lock_guard<std::mutex> hold(watch.lock);
        watch.watchdogIdle = false;
        watch.wake.notify_all();
    }
}

bool ODBCStatementEnded(SQLHSTMT statement)
{
    InFlight* record = RecordOf(statement);
    if (record == nullptr)
        return true;
    std::uint64_t word = SettledWord(*record);
    bool free = true;
    if (word & InFlight::kHasJob) {
        std::lock_guard<std::mutex> hold(Watch().cancelsLock);
        free = EndJob(statement);
    }
    while (!record->word.compare_exchange_weak(word, (word & ~InFlight::kFlags) + InFlight::kStep))
        word = SettledWord(*record);
    // Cleared before the handle is freed: a handle allocated later at the
    // same address is not taken for this one.
    record->statement.store(SQL_NULL_HSTMT, std::memory_order_release);
    return free;
}

ODBCCancel ODBCCallStarting(SQLHSTMT statement)
{
    InFlight* record = RecordOf(statement);
    if (record == nullptr)
        return ODBCCancel::None;
    std::uint64_t word = record->word.load();
    for (;;) {
        // The client is not asked here, at every fetch: a poll per row was
        // a quarter of the request thread's time. The thread asked when it
        // took the request, and the watchdog asks at its tick.
        ODBCCancel reason = InFlight::Reason(word);
        if (reason == ODBCCancel::None && Watch().stopping.load())
            reason = ODBCCancel::Stopped;
        if (reason != ODBCCancel::None)
            return reason;
        record->callDeadline.store(CallDeadline(), std::memory_order_relaxed);
        // Fails only when the watchdog or a stop marked it meanwhile.
        if (record->word.compare_exchange_strong(word, word + InFlight::kStep + InFlight::kInCall))
            return ODBCCancel::None;
    }
}

ODBCCancel ODBCCallEnded(SQLHSTMT statement)
{
    InFlight* record = RecordOf(statement);
    if (record == nullptr)
        return ODBCCancel::None;
    for (std::uint64_t word = SettledWord(*record);;) {
        if (record->word.compare_exchange_weak(word, (word & ~InFlight::kInCall) + InFlight::kStep))
            return InFlight::Reason(word);
        word = SettledWord(*record);
    }
}

bool ODBCStatementGivenUp(SQLHSTMT statement)
{
    const InFlight* record = RecordOf(statement);
    return record != nullptr && (record->word.load() & InFlight::kGivenUp) != 0;
}

std::size_t ODBCStatementsInFlight()
{
    std::lock_guard<std::mutex> hold(Watch().recordsLock);
    std::size_t count = 0;
    for (const InFlight* record : Watch().records)
        count += (record->word.load() & InFlight::kActive) ? 1 : 0;
    return count;
}

std::size_t ODBCCancelsRunning()
{
    std::lock_guard<std::mutex> hold(Watch().cancelsLock);
    std::size_t count = 0;
    for (const auto& [statement, job] : Watch().jobs)
        count += job.running ? 1 : 0;
    return count;
}

void SetODBCCancelCallForTesting(ODBCCancelCall call)
{
    g_cancelCall.store(call ? call : &SQLCancel);
}
