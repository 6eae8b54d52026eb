// The statement watchdog and its cancels.
//
// Owns: every thread's statement slot, the map of the further statements a
// thread has open (nested in another's row text), the watchdog thread, and
// the cancel jobs. May call: the driver's SQLCancel and SQLFreeHandle (on a
// cancel's own thread), platform's socket shut-down and peer checks, the
// query time-out setting, and CloseODBCHandleLater for a connection whose
// close waited on a cancel. The request thread and the pool call in; this
// unit calls neither's queue nor pool.
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

struct StatementWatch {
    int client = -1; // the descriptor of the connection it runs for
    int thread = 0;  // the kernel id of the thread that makes its calls
    SQLHDBC connection = SQL_NULL_HDBC;
    // While in a driver call that may block: when the watchdog cancels it.
    std::uint64_t callDeadline = 0;
    ODBCCancel cancelled = ODBCCancel::None;
    // A cancel runs on it: the entry stays, and the call does not end, until
    // the cancel is done or given up.
    bool cancelling = false;
    bool givenUp = false;
};

// The statement a thread runs, published in atomics of the thread's own so
// that neither its start nor each driver call takes a lock shared with the
// other threads: the request thread, which every page's SQL waits for, and
// async-sql callers, which contended on the map's mutex at every fetch. A
// second statement on the same thread (nested in another's row text, or of
// another fiber of the worker) goes through the map.
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
    int thread = platform::CurrentThreadId();
};

// The cancels of one statement, from its first until both its owner has
// ended it and no cancel runs any more.
struct CancelJob {
    SQLHDBC connection = SQL_NULL_HDBC;
    int thread = 0;
    InFlight* slot = nullptr; // null: the statement is in the map
    std::uint64_t firstAt = 0;
    bool running = false;
    // The owner went on without this cancel: it frees the handle.
    bool abandoned = false;
    bool ownerDone = false;
    bool closeConnection = false;
    bool shutDown = false;
};

struct WatchState {
    // The statements in the map and the watchdog, under statementsLock.
    std::mutex statementsLock;
    std::condition_variable statementsChanged;
    std::map<SQLHSTMT, StatementWatch> statements;
    std::thread watchdog;
    bool watchdogStop = false;
    // Statements are cancelled from now on; written under statementsLock.
    std::atomic<bool> stopping{false};
    // The watchdog sleeps without a tick; a statement's start wakes it.
    std::atomic<bool> watchdogIdle{false};
    // Taken after statementsLock or the slots' lock, never before.
    std::mutex cancelsLock;
    std::map<SQLHSTMT, CancelJob> jobs;
};

WatchState& Watch()
{
    static WatchState* state = [] {
        CHeapSwitch shared;
        return new WatchState; // outlives every engine start and stop
    }();
    return *state;
}

// Every thread's slot, for the watchdog and a stop. A slot goes with its
// thread; the lock keeps it while it is looked at.
struct SlotRegistry {
    std::mutex lock;
    std::vector<InFlight*> slots;
};

SlotRegistry& Slots()
{
    static SlotRegistry* registry = [] {
        CHeapSwitch shared;
        return new SlotRegistry; // outlives every thread's exit
    }();
    return *registry;
}

struct SlotOwner {
    InFlight* slot = nullptr;
    ~SlotOwner()
    {
        if (slot == nullptr)
            return;
        {
            std::lock_guard<std::mutex> hold(Slots().lock);
            std::erase(Slots().slots, slot);
        }
        delete slot;
    }
};

thread_local SlotOwner t_slot;

InFlight& ThreadSlot()
{
    if (t_slot.slot == nullptr) {
        CHeapSwitch shared;
        auto* slot = new InFlight;
        std::lock_guard<std::mutex> hold(Slots().lock);
        Slots().slots.push_back(slot);
        t_slot.slot = slot;
    }
    return *t_slot.slot;
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

// Whether statement is the calling thread's own, published in the slot.
bool InSlot(SQLHSTMT statement)
{
    return statement != SQL_NULL_HSTMT && t_slot.slot != nullptr &&
           t_slot.slot->statement.load(std::memory_order_acquire) == statement;
}

// Waits while a cancel runs on the slot's call; answers the word after.
std::uint64_t SettledWord(InFlight& slot)
{
    std::uint64_t word = slot.word.load();
    while (word & InFlight::kCancelling) {
        slot.word.wait(word);
        word = slot.word.load();
    }
    return word;
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
    // The lock order: the map's, then the jobs'.
    std::unique_lock<std::mutex> statements(watch.statementsLock);
    std::unique_lock<std::mutex> hold(watch.cancelsLock);
    auto found = watch.jobs.find(statement);
    CancelJob& job = found->second;
    job.running = false;
    if (!job.abandoned) {
        if (job.slot) {
            job.slot->word.fetch_and(~InFlight::kCancelling);
            job.slot->word.notify_all();
        } else if (auto entry = watch.statements.find(statement); entry != watch.statements.end()) {
            entry->second.cancelling = false;
            watch.statementsChanged.notify_all();
        }
        return;
    }
    if (!job.ownerDone)
        return; // the owner frees the handle when it ends the statement
    const CancelJob ended = job;
    watch.jobs.erase(found);
    hold.unlock();
    statements.unlock();
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

// The job of a statement, made at its first cancel.
CancelJob& JobOf(SQLHSTMT statement, SQLHDBC connection, int thread, InFlight* slot)
{
    CHeapSwitch shared;
    auto [found, added] = Watch().jobs.try_emplace(statement);
    if (added) {
        found->second.connection = connection;
        found->second.thread = thread;
        found->second.slot = slot;
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

// Marks a statement of the map cancelled and cancels its call, if it is in
// one; under the map's lock.
void Mark(SQLHSTMT statement, StatementWatch& watch, ODBCCancel reason)
{
    if (watch.cancelled == ODBCCancel::None)
        watch.cancelled = reason;
    if (watch.callDeadline == 0 || watch.cancelling)
        return;
    std::lock_guard<std::mutex> hold(Watch().cancelsLock);
    CancelJob& job = JobOf(statement, watch.connection, watch.thread, nullptr);
    if (job.running || job.abandoned)
        return;
    watch.cancelling = StartCancel(statement, job);
}

// Marks a slot's statement cancelled when it is still the one seen as word,
// and cancels its driver call if it is in one; under the slots' lock.
void MarkInFlight(InFlight& slot, std::uint64_t word, ODBCCancel reason)
{
    const SQLHSTMT statement = slot.statement.load(std::memory_order_acquire);
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
    if (!slot.word.compare_exchange_strong(word, marked) || !cancel)
        return;
    CancelJob& job = JobOf(statement, slot.connection.load(std::memory_order_relaxed), slot.thread, &slot);
    if (!StartCancel(statement, job)) {
        slot.word.fetch_and(~InFlight::kCancelling);
        slot.word.notify_all();
    }
}

// Whether a slot's statement should be cancelled, and why; under the slots' lock.
void WatchInFlight(InFlight& slot, std::uint64_t now)
{
    const std::uint64_t word = slot.word.load();
    if (!(word & InFlight::kActive) || (word & InFlight::kCancelling))
        return;
    const bool inCall = (word & InFlight::kInCall) != 0;
    const ODBCCancel cancelled = InFlight::Reason(word);
    if (cancelled != ODBCCancel::None && !inCall)
        return;
    const ODBCCancel reason = ReasonToCancel(cancelled, inCall && now >= slot.callDeadline.load(std::memory_order_relaxed),
                                             slot.client.load(std::memory_order_relaxed));
    if (reason != ODBCCancel::None)
        MarkInFlight(slot, word, reason);
}

// Whether a statement's cancel is due to be given up: its call is still
// blocked a while after the first cancel. The jobs' lock is held.
bool DueToGiveUp(const CancelJob& job, bool inCall, bool force)
{
    return !job.abandoned && inCall && (force || platform::MonotonicMs() >= job.firstAt + kODBCCancelGiveUpMs);
}

// Gives up: the socket the call's thread waits on is shut down, so that the
// call returns with its connection lost, and a cancel still running is left
// to free the handle itself. The call is marked given up first, and held
// (by the lock of the map, or the cancelling bit of the slot) until this is
// done, so that its thread cannot have moved on to another descriptor.
void GiveUp(CancelJob& job)
{
    if (!job.shutDown)
        job.shutDown = platform::ShutDownSocketThreadWaitsOn(job.thread);
    job.abandoned = job.running;
}

// Looks at every cancel job: the slots' first, then the map's.
void GiveUpLateCancels(bool force)
{
    WatchState& watch = Watch();
    {
        std::lock_guard<std::mutex> slots(Slots().lock);
        std::lock_guard<std::mutex> hold(watch.cancelsLock);
        for (auto& [statement, job] : watch.jobs) {
            // An abandoned job's slot may be gone with its thread.
            if (!job.slot || job.abandoned)
                continue;
            InFlight& slot = *job.slot;
            std::uint64_t word = slot.word.load();
            const bool current = slot.statement.load(std::memory_order_acquire) == statement && (word & InFlight::kActive);
            if (!current || !DueToGiveUp(job, (word & InFlight::kInCall) != 0, force))
                continue;
            // With no cancel running the call is held here; one running
            // holds it already.
            const bool held = (word & InFlight::kCancelling) == 0;
            if (held) {
                if (!slot.word.compare_exchange_strong(word, word | InFlight::kCancelling | InFlight::kGivenUp))
                    continue; // the call ended meanwhile
            } else {
                slot.word.fetch_or(InFlight::kGivenUp);
            }
            GiveUp(job);
            if (held || job.abandoned) {
                slot.word.fetch_and(~InFlight::kCancelling);
                slot.word.notify_all();
            }
        }
    }
    std::lock_guard<std::mutex> statements(watch.statementsLock);
    std::lock_guard<std::mutex> hold(watch.cancelsLock);
    bool changed = false;
    for (auto& [statement, job] : watch.jobs) {
        if (job.slot)
            continue;
        auto found = watch.statements.find(statement);
        if (found == watch.statements.end() || !DueToGiveUp(job, found->second.callDeadline != 0, force))
            continue;
        found->second.givenUp = true;
        GiveUp(job);
        if (job.abandoned) {
            found->second.cancelling = false;
            changed = true;
        }
    }
    if (changed)
        watch.statementsChanged.notify_all();
}

bool AnySlotActive()
{
    std::lock_guard<std::mutex> hold(Slots().lock);
    for (InFlight* slot : Slots().slots)
        if (slot->word.load() & InFlight::kActive)
            return true;
    return false;
}

void WatchdogProc()
{
    WatchState& watch = Watch();
    std::unique_lock<std::mutex> hold(watch.statementsLock);
    while (!watch.watchdogStop) {
        // Idle until a statement comes: seen under the lock for the map,
        // and through watchdogIdle for a slot's.
        bool waited = false;
        if (watch.statements.empty()) {
            watch.watchdogIdle.store(true);
            if (!AnySlotActive()) {
                watch.statementsChanged.wait(hold, [&watch] {
                    return watch.watchdogStop || !watch.watchdogIdle.load() || !watch.statements.empty();
                });
                waited = true;
            }
            watch.watchdogIdle.store(false);
        }
        if (!waited)
            watch.statementsChanged.wait_for(hold, std::chrono::milliseconds(kODBCWatchTickMs));
        if (watch.watchdogStop)
            break;
        const std::uint64_t now = platform::MonotonicMs();
        for (auto& [statement, entry] : watch.statements) {
            const ODBCCancel reason = ReasonToCancel(
                entry.cancelled, entry.callDeadline != 0 && now >= entry.callDeadline, entry.client);
            if (reason != ODBCCancel::None)
                Mark(statement, entry, reason);
        }
        hold.unlock();
        {
            std::lock_guard<std::mutex> slots(Slots().lock);
            for (InFlight* slot : Slots().slots)
                WatchInFlight(*slot, now);
        }
        GiveUpLateCancels(false);
        hold.lock();
    }
}

} // namespace

void StartWatchdog()
{
    WatchState& watch = Watch();
    {
        std::lock_guard<std::mutex> hold(watch.statementsLock);
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
        std::lock_guard<std::mutex> hold(watch.statementsLock);
        watch.watchdogStop = true;
    }
    watch.statementsChanged.notify_all();
    watch.watchdog.join();
    GiveUpLateCancels(true);
}

void CancelAllStatements()
{
    WatchState& watch = Watch();
    {
        std::lock_guard<std::mutex> hold(watch.statementsLock);
        watch.stopping = true;
        for (auto& [statement, entry] : watch.statements)
            Mark(statement, entry, ODBCCancel::Stopped);
    }
    // A compare-and-swap lost to the owner is tried again on what it
    // changed to; one that ended its statement is done with.
    std::lock_guard<std::mutex> slots(Slots().lock);
    for (InFlight* slot : Slots().slots) {
        for (;;) {
            const std::uint64_t word = slot->word.load();
            if (!(word & InFlight::kActive) || InFlight::Reason(word) != ODBCCancel::None)
                break;
            MarkInFlight(*slot, word, ODBCCancel::Stopped);
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
    const int client = GetClientHandle();
    InFlight& slot = ThreadSlot();
    if (!(slot.word.load(std::memory_order_relaxed) & InFlight::kActive)) {
        slot.statement.store(statement, std::memory_order_relaxed);
        slot.connection.store(connection, std::memory_order_relaxed);
        slot.client.store(client, std::memory_order_relaxed);
        slot.callDeadline.store(0, std::memory_order_relaxed);
        // Only this thread changes the word while no statement is in.
        const std::uint64_t word = slot.word.load(std::memory_order_relaxed);
        slot.word.store(((word & ~InFlight::kFlags) + InFlight::kStep) | InFlight::kActive);
        if (watch.watchdogIdle.load()) {
            std::lock_guard<std::mutex> hold(watch.statementsLock);
            watch.watchdogIdle = false;
            watch.statementsChanged.notify_all();
        }
        return;
    }
    {
        CHeapSwitch shared; // process-wide: its nodes live on the shared heap
        std::lock_guard<std::mutex> hold(watch.statementsLock);
        StatementWatch& entry = watch.statements[statement];
        entry = StatementWatch{};
        entry.client = client;
        entry.thread = platform::CurrentThreadId();
        entry.connection = connection;
    }
    watch.statementsChanged.notify_all(); // a sleeping watchdog has work
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

bool ODBCStatementEnded(SQLHSTMT statement)
{
    WatchState& watch = Watch();
    if (InSlot(statement)) {
        InFlight& slot = *t_slot.slot;
        std::uint64_t word = SettledWord(slot);
        bool free = true;
        if (word & InFlight::kHasJob) {
            std::lock_guard<std::mutex> hold(watch.cancelsLock);
            free = EndJob(statement);
        }
        while (!slot.word.compare_exchange_weak(word, (word & ~InFlight::kFlags) + InFlight::kStep))
            word = SettledWord(slot);
        // Cleared before the handle is freed: a handle allocated later at
        // the same address is not taken for this one.
        slot.statement.store(SQL_NULL_HSTMT, std::memory_order_release);
        return free;
    }
    std::unique_lock<std::mutex> hold(watch.statementsLock);
    auto found = watch.statements.find(statement);
    if (found == watch.statements.end())
        return true;
    watch.statementsChanged.wait(hold, [&found] { return !found->second.cancelling; });
    watch.statements.erase(found);
    std::lock_guard<std::mutex> jobs(watch.cancelsLock);
    return EndJob(statement);
}

ODBCCancel ODBCCallStarting(SQLHSTMT statement)
{
    WatchState& watch = Watch();
    if (InSlot(statement)) {
        InFlight& slot = *t_slot.slot;
        std::uint64_t word = slot.word.load();
        for (;;) {
            // The client is not asked here, at every fetch: a poll per row
            // was a quarter of the request thread's time. The thread asked
            // when it took the request, and the watchdog asks at its tick.
            ODBCCancel reason = InFlight::Reason(word);
            if (reason == ODBCCancel::None && watch.stopping.load())
                reason = ODBCCancel::Stopped;
            if (reason != ODBCCancel::None)
                return reason;
            slot.callDeadline.store(CallDeadline(), std::memory_order_relaxed);
            // Fails only when the watchdog or a stop marked it meanwhile.
            if (slot.word.compare_exchange_strong(word, word + InFlight::kStep + InFlight::kInCall))
                return ODBCCancel::None;
        }
    }
    std::lock_guard<std::mutex> hold(watch.statementsLock);
    auto found = watch.statements.find(statement);
    if (found == watch.statements.end())
        return ODBCCancel::None;
    StatementWatch& entry = found->second;
    if (entry.cancelled == ODBCCancel::None && watch.stopping)
        entry.cancelled = ODBCCancel::Stopped;
    if (entry.cancelled == ODBCCancel::None && entry.client >= 0 && platform::PeerHungUp(entry.client))
        entry.cancelled = ODBCCancel::ClientLeft;
    if (entry.cancelled == ODBCCancel::None)
        entry.callDeadline = CallDeadline();
    return entry.cancelled;
}

ODBCCancel ODBCCallEnded(SQLHSTMT statement)
{
    WatchState& watch = Watch();
    if (InSlot(statement)) {
        InFlight& slot = *t_slot.slot;
        for (std::uint64_t word = SettledWord(slot);;) {
            if (slot.word.compare_exchange_weak(word, (word & ~InFlight::kInCall) + InFlight::kStep))
                return InFlight::Reason(word);
            word = SettledWord(slot);
        }
    }
    std::unique_lock<std::mutex> hold(watch.statementsLock);
    auto found = watch.statements.find(statement);
    if (found == watch.statements.end())
        return ODBCCancel::None;
    watch.statementsChanged.wait(hold, [&found] { return !found->second.cancelling; });
    found->second.callDeadline = 0;
    return found->second.cancelled;
}

bool ODBCStatementGivenUp(SQLHSTMT statement)
{
    if (InSlot(statement))
        return (t_slot.slot->word.load() & InFlight::kGivenUp) != 0;
    std::lock_guard<std::mutex> hold(Watch().statementsLock);
    auto found = Watch().statements.find(statement);
    return found != Watch().statements.end() && found->second.givenUp;
}

std::size_t ODBCStatementsInFlight()
{
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> hold(Slots().lock);
        for (InFlight* slot : Slots().slots)
            count += (slot->word.load() & InFlight::kActive) ? 1 : 0;
    }
    std::lock_guard<std::mutex> hold(Watch().statementsLock);
    return Watch().statements.size() + count;
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
