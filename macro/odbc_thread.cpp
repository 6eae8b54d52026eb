#include "macro/odbc_thread.h"

#include "framework/server_log.h"
#include "framework/thread_data.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/odbc_pool.h"
#include "macro/registry_values.h"
#include "macro/sql_macros.h"
#include "platform/net.h"
#include "platform/sync.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr std::uint16_t kLogWarning = 2;
constexpr std::uint16_t kLogError = 1;
constexpr std::uint32_t kEventODBCThreadDied = 0xC0004001;
// How long a caller whose turn is near spins at least and at most.
constexpr std::uint64_t kSpinMinNs = 500000;
constexpr std::uint64_t kSpinMaxNs = 2000000;
// How long a stop waits, after cancelling, for a request in flight.
constexpr std::uint32_t kStopCancelWaitMs = 30000;

enum class Code { AllocEnv, Stop, Flush, Query, GetConnection, Adopt, Withdraw, Release, Close, Discard, Inspect };

// Where a request is; changes only under the queue's lock.
enum class Stage { New, Queued, Running, Done, Failed };

struct Request {
    Code code = Code::Query;
    const ODBCQuery* query = nullptr;
    const char* source = nullptr;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    int pooled = 0;
    int result = 0;
    // Getting a connection and adopting a new one.
    ODBCPoolAsk ask;
    bool connected = false;
    SQLUSMALLINT limit = 0;
    ODBCPoolEntryInfo* info = nullptr;
    // Whose work this is: a pooled connection is shared only on one thread.
    std::thread::id caller = std::this_thread::get_id();
    ThreadData threadData{};
    std::exception_ptr error;
    // Under the state's queue lock: the request's place in the queue.
    Stage stage = Stage::New;
    Request* next = nullptr;
    // The caller parks here alone; finished is set under its lock, and read
    // without it by a caller that spins.
    platform::WaitQueue completion;
    std::atomic<bool> finished{false};
    // Its turn is near (it is next in line or running): the caller spins
    // for a while before parking. Set once, under the completion's lock.
    std::atomic<bool> near{false};

    Request() = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    // Whoever told this caller its turn was near may still hold the lock
    // (see TellNext): the request outlives that.
    ~Request()
    {
        completion.Lock();
        completion.Unlock();
    }
    // Not run: its client had left before its turn came.
    bool clientLeft = false;
};

struct StatementWatch {
    int client = -1; // the descriptor of the connection it runs for
    // While in a driver call that may block: when the watchdog cancels it.
    std::uint64_t callDeadline = 0;
    ODBCCancel cancelled = ODBCCancel::None;
    // SQLCancel runs on it without the lock: the entry stays until it is done.
    bool cancelling = false;
};

// The statement a thread runs, published in atomics of the thread's own so
// that neither its start nor each driver call takes a lock shared with the
// other threads: the request thread, which every page's SQL waits for, and
// async-sql callers, which contended on the map's mutex at every fetch. A
// second statement on the same thread (nested in another's row text, or of
// another fiber of the worker) goes through the map.
//
// word: bit 0 a statement is in, bit 1 it is in a driver call, bit 2 the
// watchdog is cancelling it, bits 3-4 why it was cancelled (ODBCCancel),
// from bit 8 on a count the request thread moves at every change, so that
// the watchdog's compare-and-swap fails once the call it judged has ended.
// The watchdog calls SQLCancel only after setting bit 2 on the very call it
// judged; the request thread does not end the call, nor the statement (and
// so free its handle), while bit 2 is set.
struct InFlight {
    static constexpr std::uint64_t kActive = 1, kInCall = 2, kCancelling = 4;
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
    std::atomic<int> client{-1};
    std::atomic<std::uint64_t> callDeadline{0};
};

struct ODBCState {
    // The requests not yet taken, oldest first. The queue's lock guards the
    // list, every request's stage and waiter, and accepting; the thread
    // sleeps on the queue while the list is empty.
    platform::WaitQueue queue;
    Request* head = nullptr;
    Request* tail = nullptr;
    bool accepting = false;
    std::thread thread;
    std::atomic<std::thread::id> threadId{};
    std::atomic<bool> alive{false};
    SQLHENV env = SQL_NULL_HENV;
    // The statements in flight and the watchdog, under statementsLock.
    std::mutex statementsLock;
    std::condition_variable statementsChanged;
    std::map<SQLHSTMT, StatementWatch> statements;
    std::thread watchdog;
    bool watchdogStop = false;
    // Statements are cancelled from now on; written under statementsLock.
    std::atomic<bool> stopping{false};
    // The watchdog sleeps without a tick; the request thread wakes it.
    std::atomic<bool> watchdogIdle{false};
    // How long a request takes on the thread lately (moving average), for
    // how long a caller whose turn is near spins.
    std::atomic<std::uint64_t> requestNs{0};
    // Callers the thread had to wake as it finished their requests.
    std::atomic<std::uint64_t> callerWakeUps{0};
    std::atomic<std::uint32_t> queryTimeout{kODBCDefaultQueryTimeoutSeconds};
    std::atomic<std::uint32_t> loginTimeout{kODBCDefaultLoginTimeoutSeconds};
    std::atomic<std::uint32_t> maxConnections{kODBCDefaultMaxConnections};
};

ODBCState& State()
{
    static ODBCState* state = [] {
        CHeapSwitch shared;
        return new ODBCState; // outlives every engine start and stop
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

bool OnODBCThread()
{
    return State().alive.load() && State().threadId.load() == std::this_thread::get_id();
}

bool Succeeded(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// ---- The work itself, always on the ODBC thread (or in place on it) ------

void DoClose(Request& request)
{
    SQLDisconnect(request.hdbc);
    request.result = SQLFreeHandle(SQL_HANDLE_DBC, request.hdbc);
}

// Runs one request on this thread, with the caller's thread record in place
// so that its heap, nesting depth and memory budget carry over.
void Dispatch(Request& request)
{
    ThreadData saved = GetThreadData();
    GetThreadData() = request.threadData;
    try {
        switch (request.code) {
        case Code::AllocEnv: {
            CHeapSwitch shared;
            SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &State().env);
            SQLSetEnvAttr(State().env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
            break;
        }
        case Code::Stop: {
            PoolClear();
            SQLFreeHandle(SQL_HANDLE_ENV, State().env);
            State().env = SQL_NULL_HENV;
            break;
        }
        case Code::Flush:
            PoolFlush(request.source);
            break;
        case Code::Query:
            ExecuteSQLQuery(*request.query);
            break;
        case Code::GetConnection:
            request.ask.source = request.source;
            request.ask.caller = request.caller;
            PoolGet(State().env, request.ask);
            break;
        case Code::Adopt:
            PoolAdopt(request.ask, request.connected, request.limit);
            break;
        case Code::Withdraw:
            request.result = PoolWithdraw(request.source, *request.ask.waiter) ? 1 : 0;
            break;
        case Code::Release:
            request.result = PoolRelease(State().env, request.source, request.hdbc);
            break;
        case Code::Close:
            DoClose(request);
            break;
        case Code::Discard:
            PoolDiscard(request.source, request.hdbc);
            break;
        case Code::Inspect:
            request.result = request.source ? PoolInspect(request.source, *request.info) : static_cast<int>(PoolSize());
            break;
        }
    } catch (...) {
        // Whatever the row text raised reaches the caller unchanged.
        request.error = std::current_exception();
    }
    request.threadData = GetThreadData();
    GetThreadData() = saved;
}

// ---- The queue between the callers and the thread ----------------------
//
// One request runs at a time, in the order asked. The thread takes the next
// request itself as soon as one is done, and wakes only the caller whose
// request it finished: a fiber parks on its own request, never on a lock the
// others wait for too.

enum class Outcome { Done, TimedOut, Gone };

// Wakes the caller of a request that is over (the state's queue lock is
// held, which Await relies on).
void Finish(Request& request, Stage stage)
{
    request.stage = stage;
    request.completion.Lock();
    request.finished.store(true, std::memory_order_release);
    if (!request.completion.IsEmpty())
        State().callerWakeUps.fetch_add(1, std::memory_order_relaxed);
    request.completion.WakeAll(); // none when the caller spins
    request.completion.Unlock();
}

// Fails what is still queued once the thread takes nothing more.
void FailQueued(ODBCState& state)
{
    while (Request* request = state.head) {
        state.head = request->next;
        Finish(*request, Stage::Failed);
    }
    state.tail = nullptr;
}

// Queues a request at the back, or at the front for a stop, which should
// not wait behind the pages. False when the thread takes no requests.
bool Enqueue(Request& request, bool first = false)
{
    ODBCState& state = State();
    state.queue.Lock();
    if (!state.accepting) {
        state.queue.Unlock();
        return false;
    }
    request.stage = Stage::Queued;
    request.next = nullptr;
    if (!state.head) {
        request.near.store(true, std::memory_order_relaxed); // next in line
        state.head = state.tail = &request;
    } else if (first) {
        request.near.store(true, std::memory_order_relaxed);
        request.next = state.head;
        state.head = &request;
    } else {
        state.tail->next = &request;
        state.tail = &request;
    }
    state.queue.WakeOne(); // the thread, when it sleeps
    state.queue.Unlock();
    return true;
}

// Spins while the request runs or is next, for a few times what a request
// takes lately: the page is then taken up without a wake-up through the
// worker's port, which costs the request thread more than the query's
// bookkeeping. True when it finished meanwhile.
bool SpinUntilFinished(Request& request)
{
    using Clock = std::chrono::steady_clock;
    const std::uint64_t lately = State().requestNs.load(std::memory_order_relaxed);
    const auto budget = std::chrono::nanoseconds(std::clamp<std::uint64_t>(4 * lately, kSpinMinNs, kSpinMaxNs));
    const auto until = Clock::now() + budget;
    for (unsigned round = 1; !request.finished.load(std::memory_order_acquire); ++round) {
        if (round % 64 == 0) {
            if (Clock::now() >= until)
                return false;
            // Other fibers of this worker run meanwhile.
            platform::YieldToReady();
        }
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    return true;
}

// Tells the caller of the request next in line that its turn is near, so
// that it spins instead of waiting to be woken by the request thread. Takes
// the queue locked and unlocks it; the wake-up, when the caller is parked,
// costs this caller's thread, not the request thread.
void TellNextAndUnlock(ODBCState& state)
{
    Request* next = state.head;
    if (!next || next->near.load(std::memory_order_relaxed)) {
        state.queue.Unlock();
        return;
    }
    // A queued request goes only through its completion's lock (Finish,
    // a timed-out wait, the destructor): held, it stays.
    next->completion.Lock();
    next->near.store(true, std::memory_order_relaxed);
    const bool parked = !next->completion.IsEmpty();
    state.queue.Unlock();
    if (parked)
        next->completion.WakeAll();
    next->completion.Unlock();
}

// Waits until the request is done or failed, or, while it is still queued,
// until the deadline (it then stays queued). A fiber parks; its worker
// runs on. A caller whose turn is near spins first.
Outcome Await(Request& request, std::uint64_t deadline)
{
    ODBCState& state = State();
    bool spun = false;
    request.completion.Lock();
    while (!request.finished.load(std::memory_order_relaxed)) {
        if (!spun && request.near.load(std::memory_order_relaxed)) {
            spun = true;
            request.completion.Unlock();
            SpinUntilFinished(request);
            request.completion.Lock();
            continue;
        }
        // Woken also when told its turn is near.
        if (request.completion.Wait(deadline))
            continue;
        request.completion.Unlock();
        state.queue.Lock();
        const bool queued = request.stage == Stage::Queued;
        state.queue.Unlock();
        if (queued)
            return Outcome::TimedOut;
        // A running request has no time-out: its statement can be cancelled.
        deadline = platform::kNoDeadline;
        request.completion.Lock();
    }
    request.completion.Unlock();
    // Finish runs under the queue lock: once this side has taken it, the
    // thread has let go of the request, which may then go.
    state.queue.Lock();
    const bool done = request.stage == Stage::Done;
    TellNextAndUnlock(state);
    return done ? Outcome::Done : Outcome::Gone;
}

// Takes a request that has not started out of the queue; false when the
// thread took it meanwhile.
bool Withdraw(Request& request)
{
    ODBCState& state = State();
    state.queue.Lock();
    const bool queued = request.stage == Stage::Queued;
    if (queued) {
        Request* previous = nullptr;
        for (Request* at = state.head; at != &request; at = at->next)
            previous = at;
        (previous ? previous->next : state.head) = request.next;
        if (state.tail == &request)
            state.tail = previous;
        request.next = nullptr;
        request.stage = Stage::New;
    }
    state.queue.Unlock();
    return queued;
}

void ThreadProc()
{
    ODBCState& state = State();
    state.threadId = std::this_thread::get_id();
    std::uint64_t trimAt = platform::kNoDeadline;
    state.queue.Lock();
    for (;;) {
        while (!state.head && state.accepting) {
            if (state.queue.Wait(trimAt) || platform::MonotonicMs() < trimAt)
                continue;
            // No request came for a while: spares a past burst left idle
            // close now, not when a later page asks for that source.
            state.queue.Unlock();
            trimAt = PoolTrim();
            state.queue.Lock();
        }
        if (!state.accepting)
            break;
        Request& request = *state.head;
        state.head = request.next;
        if (!state.head)
            state.tail = nullptr;
        request.stage = Stage::Running;
        state.queue.Unlock();

        const bool stop = request.code == Code::Stop;
        bool died = false;
        const auto started = std::chrono::steady_clock::now();
        try {
            // A page whose client left while it waited is not worth a query,
            // nor a connect that may take the whole login time-out.
            const int client = request.threadData.clientHandlePlusOne - 1;
            if ((request.code == Code::Query || request.code == Code::GetConnection) && client >= 0 &&
                platform::PeerHungUp(client))
                request.clientLeft = true;
            else
                Dispatch(request);
        } catch (...) {
            LogMessage(kLogError, kEventODBCThreadDied, {"Unexpected raw exception in ODBC hack-o-rama thread."});
            died = true;
        }
        const std::uint64_t took = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started).count());
        const std::uint64_t lately = state.requestNs.load(std::memory_order_relaxed);
        state.requestNs.store(lately - lately / 8 + took / 8, std::memory_order_relaxed);
        if (trimAt == platform::kNoDeadline && !stop)
            trimAt = PoolNextTrim();
        state.queue.Lock();
        if (stop || died)
            state.accepting = false;
        Finish(request, died || request.clientLeft ? Stage::Failed : Stage::Done);
    }
    state.alive = false;
    FailQueued(state);
    state.queue.Unlock();
}

// Runs a request in place on the ODBC thread itself, else through the
// thread in its turn. False on time-out or a dead thread.
bool Run(Request& request, const char* timeoutText)
{
    if (OnODBCThread()) {
        request.threadData = GetThreadData();
        Dispatch(request);
        GetThreadData() = request.threadData;
    } else {
        request.threadData = GetThreadData();
        if (!Enqueue(request))
            return false;
        Outcome outcome = Await(request, platform::DeadlineAfter(kODBCMutexWaitMs));
        if (outcome == Outcome::TimedOut) {
            if (Withdraw(request)) {
                LogMessage(kLogWarning, kEventODBCError, {timeoutText});
                return false;
            }
            outcome = Await(request, platform::kNoDeadline);
        }
        if (outcome != Outcome::Done)
            return false;
        GetThreadData() = request.threadData;
    }
    if (request.error)
        std::rethrow_exception(request.error);
    return true;
}

// ---- The watchdog --------------------------------------------------------
//
// Cancels, with SQLCancel from its own thread, a driver call that ran past
// the query time-out and a statement whose client left. SQLCancel runs
// without the lock (a driver may take a while over it, as one that sends
// the server a cancel request); the statement's entry, and so its handle,
// stays until it is done.

std::atomic<ODBCCancelCall> g_cancelCall{&SQLCancel};

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

// Marks a statement cancelled; one in a driver call is queued for SQLCancel.
void Mark(SQLHSTMT statement, StatementWatch& watch, ODBCCancel reason, std::vector<SQLHSTMT>& calls)
{
    if (watch.cancelled == ODBCCancel::None)
        watch.cancelled = reason;
    if (watch.callDeadline != 0 && !watch.cancelling) {
        watch.cancelling = true;
        calls.push_back(statement);
    }
}

void CancelCalls(std::unique_lock<std::mutex>& hold, const std::vector<SQLHSTMT>& calls)
{
    if (calls.empty())
        return;
    ODBCState& state = State();
    hold.unlock();
    for (SQLHSTMT statement : calls)
        g_cancelCall.load()(statement);
    hold.lock();
    for (SQLHSTMT statement : calls)
        state.statements[statement].cancelling = false;
    state.statementsChanged.notify_all();
}

// Marks the request thread's statement cancelled when it is still the one
// seen as word, and cancels its driver call if it is in one.
void MarkInFlight(InFlight& slot, std::uint64_t word, ODBCCancel reason)
{
    const bool inCall = (word & InFlight::kInCall) != 0;
    std::uint64_t marked = InFlight::WithReason(word, reason) | (inCall ? InFlight::kCancelling : 0);
    if (!slot.word.compare_exchange_strong(word, marked))
        return; // the call or the statement ended meanwhile
    if (!inCall)
        return;
    // The request thread waits at the call's end while bit 2 is set, so
    // the handle is the one in flight and still allocated.
    g_cancelCall.load()(slot.statement.load(std::memory_order_acquire));
    slot.word.fetch_and(~InFlight::kCancelling);
    slot.word.notify_all();
}

// Whether the request thread's statement should be cancelled, and why.
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
    ODBCState& state = State();
    std::unique_lock<std::mutex> hold(state.statementsLock);
    while (!state.watchdogStop) {
        // Idle until a statement comes: seen under the lock for the map,
        // and by the request thread through watchdogIdle for its own.
        bool waited = false;
        if (state.statements.empty()) {
            state.watchdogIdle.store(true);
            if (!AnySlotActive()) {
                state.statementsChanged.wait(hold, [&state] {
                    return state.watchdogStop || !state.watchdogIdle.load() || !state.statements.empty();
                });
                waited = true;
            }
            state.watchdogIdle.store(false);
        }
        if (!waited)
            state.statementsChanged.wait_for(hold, std::chrono::milliseconds(kODBCWatchTickMs));
        if (state.watchdogStop)
            break;
        const std::uint64_t now = platform::MonotonicMs();
        std::vector<SQLHSTMT> calls;
        for (auto& [statement, watch] : state.statements) {
            const ODBCCancel reason = ReasonToCancel(
                watch.cancelled, watch.callDeadline != 0 && now >= watch.callDeadline, watch.client);
            if (reason != ODBCCancel::None)
                Mark(statement, watch, reason, calls);
        }
        CancelCalls(hold, calls);
        hold.unlock();
        {
            std::lock_guard<std::mutex> slots(Slots().lock);
            for (InFlight* slot : Slots().slots)
                WatchInFlight(*slot, now);
        }
        hold.lock();
    }
}

void StartWatchdog()
{
    ODBCState& state = State();
    {
        std::lock_guard<std::mutex> hold(state.statementsLock);
        state.stopping = false;
        if (state.watchdog.joinable())
            return;
        state.watchdogStop = false;
    }
    state.watchdog = std::thread(WatchdogProc);
}

void StopWatchdog()
{
    ODBCState& state = State();
    if (!state.watchdog.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(state.statementsLock);
        state.watchdogStop = true;
    }
    state.statementsChanged.notify_all();
    state.watchdog.join();
}

// A stop cancels every statement in flight and every one still to come.
void CancelAllStatements()
{
    ODBCState& state = State();
    std::unique_lock<std::mutex> hold(state.statementsLock);
    state.stopping = true;
    std::vector<SQLHSTMT> calls;
    for (auto& [statement, watch] : state.statements)
        Mark(statement, watch, ODBCCancel::Stopped, calls);
    CancelCalls(hold, calls);
    hold.unlock();
    // A compare-and-swap lost to the request thread is tried again on
    // what it changed to; one that ended its statement is done with.
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

} // namespace

// Fields are taken by position: collapsing empty ones would send "a;;pw"
// to the driver with the password as the user name.
ODBCSource SplitODBCSource(std::string_view source)
{
    ODBCSource fields;
    std::string* targets[] = {&fields.dsn, &fields.user, &fields.password};
    std::size_t at = 0;
    for (std::string* target : targets) {
        if (at > source.size())
            break;
        std::size_t end = source.find(';', at);
        if (end == std::string_view::npos)
            end = source.size();
        *target = std::string(source.substr(at, end - at));
        at = end + 1;
    }
    return fields;
}

// Only the source name folds: with user and password folded too, a page
// giving a wrong password in the wrong case would be served the pooled
// connection opened with the right one.
std::string ODBCPoolKey(std::string_view source)
{
    ODBCSource fields = SplitODBCSource(source);
    std::string key = LowerName(fields.dsn);
    key += '\0';
    key += fields.user;
    key += '\0';
    key += fields.password;
    return key;
}

std::string ODBCInsert::Build(std::string_view quote) const
{
    auto identifier = [quote](const std::string& name) {
        if (quote.empty() || quote == " ")
            return name;
        std::string text(quote);
        for (std::size_t at = 0; at < name.size();) {
            if (name.compare(at, quote.size(), quote) == 0) {
                text.append(quote).append(quote); // a quote inside the name is doubled
                at += quote.size();
            } else {
                text += name[at++];
            }
        }
        return text.append(quote);
    };
    std::string statement = "INSERT INTO " + identifier(table) + " ( ";
    for (std::size_t i = 0; i < columns.size(); ++i)
        statement += (i ? ", " : "") + identifier(columns[i]);
    statement += " ) VALUES ( ";
    for (std::size_t i = 0; i < values.size(); ++i)
        statement += (i ? ", " : "") + values[i];
    return statement + " )";
}

int StartODBCThread()
{
    ODBCState& state = State();
    if (state.alive.load())
        return 1;
    CHeapSwitch shared;
    state.queue.Lock();
    state.accepting = true;
    state.queue.Unlock();
    state.alive = true;
    try {
        StartWatchdog();
        state.thread = std::thread(ThreadProc);
    } catch (...) {
        state.queue.Lock();
        state.accepting = false;
        state.queue.Unlock();
        state.alive = false;
        return 0;
    }
    Request request;
    request.code = Code::AllocEnv;
    request.threadData = GetThreadData();
    request.threadData.heap = nullptr;
    Outcome outcome = Outcome::Gone;
    if (Enqueue(request)) {
        outcome = Await(request, platform::DeadlineAfter(kODBCStartWaitMs));
        if (outcome == Outcome::TimedOut && !Withdraw(request))
            outcome = Await(request, platform::kNoDeadline);
    }
    if (outcome != Outcome::Done || state.env == SQL_NULL_HENV) {
        StopODBCThread();
        return 0;
    }
    return 1;
}

void StopODBCThread()
{
    ODBCState& state = State();
    if (!state.thread.joinable())
        return;
    Request request;
    request.code = Code::Stop;
    request.threadData = GetThreadData();
    bool stopped = true;
    if (Enqueue(request, true) &&
        Await(request, platform::DeadlineAfter(kODBCStopWaitMs)) == Outcome::TimedOut) {
        // A request is in flight: cancel its statements rather than wait
        // for them, then give it a while to end.
        CancelAllStatements();
        if (Await(request, platform::DeadlineAfter(kStopCancelWaitMs)) == Outcome::TimedOut) {
            if (Withdraw(request)) {
                stopped = false;
                state.queue.Lock();
                state.accepting = false; // the thread ends after its request
                state.queue.Unlock();
            } else {
                Await(request, platform::kNoDeadline);
            }
        }
    }
    if (stopped) {
        state.thread.join();
    } else {
        // Never killed: it ends by itself once its request is done, and
        // finds nothing more to do.
        LogMessage(kLogWarning, kEventODBCError, {"ODBC thread did not stop"});
        state.thread.detach();
    }
    state.alive = false;
    state.threadId = std::thread::id();
    StopWatchdog();
}

bool ODBCThreadRunning()
{
    return State().alive.load();
}

namespace {

// Waits, parked, for the caller's turn at its source's ceiling; at the
// time-out it leaves the queue, unless it was answered meanwhile.
bool AwaitTurn(const char* source, ODBCPoolWaiter& waiter)
{
    const std::uint32_t seconds = State().queryTimeout.load();
    const std::uint64_t deadline = platform::DeadlineAfter(seconds ? seconds * 1000 : kODBCMutexWaitMs);
    waiter.wake.Lock();
    while (!waiter.answered && waiter.wake.Wait(deadline)) {
    }
    bool answered = waiter.answered;
    waiter.wake.Unlock();
    if (answered)
        return true;
    Request request;
    request.code = Code::Withdraw;
    request.source = source;
    request.ask.waiter = &waiter;
    const bool ran = Run(request, "Timeout waiting for mutex in GetConnection");
    if (ran && request.result == 1)
        return false;
    // Answered meanwhile; or the thread could not be asked, and the waiter
    // must stay until the pool lets go of it (a stop answers every waiter).
    waiter.wake.Lock();
    while (!waiter.answered && ODBCThreadRunning() && !ran)
        waiter.wake.Wait(platform::kNoDeadline);
    answered = waiter.answered;
    waiter.wake.Unlock();
    return answered;
}

// Connects a new handle on a thread of its own while the caller parks: a
// database host that does not answer holds this caller alone, not the
// request thread and with it every source's SQL. The place it was given
// under the ceiling is taken up, or freed, by the adoption.
SQLRETURN ConnectOffThread(const char* source, ODBCLease& lease, std::thread::id holder)
{
    SQLHDBC hdbc = SQL_NULL_HDBC;
    bool connected = false;
    SQLUSMALLINT limit = 0;
    if (Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, State().env, &hdbc))) {
        const ODBCSource fields = SplitODBCSource(source);
        auto connect = [&] {
            connected = Succeeded(ConnectODBC(hdbc, fields));
            if (connected && !Succeeded(SQLGetInfo(hdbc, SQL_MAX_CONCURRENT_ACTIVITIES, &limit, sizeof limit, nullptr)))
                limit = 0;
        };
        platform::RunOnOwnThread(connect);
    } else {
        hdbc = SQL_NULL_HDBC;
    }
    Request request;
    request.code = Code::Adopt;
    request.caller = holder;
    request.ask.source = source;
    request.ask.caller = holder;
    request.ask.hdbc = hdbc;
    request.connected = connected;
    request.limit = limit;
    Run(request, "Timeout waiting for mutex in GetConnection");
    lease.hdbc = hdbc;
    lease.pooled = request.ask.pooled;
    return connected ? SQL_SUCCESS : -1;
}

// How many times a caller asks again after its source's entry went.
constexpr int kAcquireRounds = 8;

SQLRETURN Acquire(const char* source, ODBCLease& lease, std::thread::id holder, bool defer)
{
    lease.hdbc = SQL_NULL_HDBC;
    lease.pooled = 0;
    lease.check = false;
    lease.error.clear();
    lease.errorNumber = 0;
    lease.deferred = false;
    const bool inPlace = OnODBCThread();
    for (int round = 0; round < kAcquireRounds; ++round) {
        ODBCPoolWaiter waiter;
        Request request;
        request.code = Code::GetConnection;
        request.source = source;
        request.caller = holder;
        request.ask.offThread = !inPlace;
        request.ask.defer = defer && inPlace;
        request.ask.waiter = &waiter;
        if (!Run(request, "Timeout waiting for mutex in GetConnection")) {
            lease.hdbc = request.ask.hdbc;
            lease.pooled = request.ask.pooled;
            return -1;
        }
        ODBCPoolAsk& ask = request.ask;
        if (ask.grant == ODBCGrant::Wait) {
            if (!AwaitTurn(source, waiter)) {
                const std::uint32_t seconds = State().queryTimeout.load();
                lease.error = "(HYT00) Timeout expired: all " + std::to_string(ODBCMaxConnections()) +
                              " connections the data source may have were in use for " +
                              std::to_string(seconds ? seconds : kODBCMutexWaitMs / 1000) + " seconds";
                return -1;
            }
            ask.grant = waiter.grant;
            ask.hdbc = waiter.hdbc;
            ask.pooled = 1;
            ask.check = waiter.check;
            ask.error = waiter.error;
            ask.errorNumber = waiter.errorNumber;
            ask.result = waiter.grant == ODBCGrant::Got ? SQL_SUCCESS : -1;
        }
        switch (ask.grant) {
        case ODBCGrant::Got:
            lease.hdbc = ask.hdbc;
            lease.pooled = ask.pooled;
            lease.check = ask.check;
            return ask.result;
        case ODBCGrant::Deferred:
            lease.deferred = true;
            return -1;
        case ODBCGrant::Refused:
            lease.error = ask.error;
            lease.errorNumber = ask.errorNumber;
            return -1;
        case ODBCGrant::Connect:
            return ConnectOffThread(source, lease, holder);
        case ODBCGrant::Wait:
        case ODBCGrant::Retry:
            break;
        }
    }
    lease.error = "(08003) The data source's connections were dropped while the query waited for one";
    return -1;
}

// A connection got for a query that did not run goes back.
struct LeaseReturn {
    const char* source;
    ODBCLease& lease;
    ~LeaseReturn()
    {
        if (!lease.given || lease.hdbc == SQL_NULL_HDBC)
            return;
        try {
            if (!lease.pooled || ReleaseConnection(source, lease.hdbc) == 0)
                CloseConnection(lease.hdbc);
        } catch (...) {
        }
    }
};

} // namespace

void SQLQuery(const ODBCQuery& query)
{
    const bool onThread = OnODBCThread();
    if (!onThread && query.scope->FindMacro("async-sql") != nullptr) {
        ExecuteSQLQuery(query);
        return;
    }
    // The query's connection, when it needs a new one or one given back,
    // is got here, off the request thread, and the query asked again.
    ODBCLease lease;
    ODBCQuery asked = query;
    if (!onThread)
        asked.lease = &lease;
    LeaseReturn unused{query.source, lease};
    for (int round = 0; round < kAcquireRounds; ++round) {
        Request request;
        request.code = Code::Query;
        request.query = &asked;
        // A query that could not run is a macro error: silent, the page would
        // show an empty result as if the query had found nothing.
        if (!Run(request, "Timeout waiting for mutex in SQLQuery")) {
            MacroError(query.out, query.scope, kODBCErrorType, 0,
                       request.clientLeft        ? "(HY008) Operation canceled: the client left"
                       : ODBCThreadRunning()     ? "(HYT00) Timeout waiting for mutex in SQLQuery"
                                                 : "(08003) ODBC services are not running",
                       1);
            return;
        }
        if (!lease.deferred)
            return;
        lease.result = Acquire(query.source, lease, State().threadId.load(), false);
        lease.given = true;
    }
}

SQLRETURN AcquireConnection(const char* source, ODBCLease& lease, bool defer)
{
    return Acquire(source, lease, std::this_thread::get_id(), defer);
}

SQLRETURN GetConnection(const char* source, SQLHDBC& hdbc, int& pooled)
{
    ODBCLease lease;
    SQLRETURN result = AcquireConnection(source, lease);
    hdbc = lease.hdbc;
    pooled = lease.pooled;
    return result;
}

int ReleaseConnection(const char* source, SQLHDBC hdbc)
{
    Request request;
    request.code = Code::Release;
    request.source = source;
    request.hdbc = hdbc;
    if (!Run(request, "Timeout waiting for mutex in FlushConnection"))
        return 0;
    return request.result;
}

SQLRETURN CloseConnection(SQLHDBC hdbc)
{
    Request request;
    request.code = Code::Close;
    request.hdbc = hdbc;
    if (!Run(request, "Timeout waiting for mutex in FlushConnection")) {
        // The thread is gone: nothing else touches the handle any more.
        if (!ODBCThreadRunning())
            FreeODBCHandle(hdbc);
        return -1;
    }
    return static_cast<SQLRETURN>(request.result);
}

void FlushConnection(const char* source)
{
    Request request;
    request.code = Code::Flush;
    request.source = source;
    Run(request, "Timeout waiting for mutex in FlushConnection");
}

void DiscardConnection(const char* source, SQLHDBC hdbc)
{
    Request request;
    request.code = Code::Discard;
    request.source = source;
    request.hdbc = hdbc;
    Run(request, "Timeout waiting for mutex in FlushConnection");
}

SQLHENV ODBCEnvironment()
{
    return State().env;
}

void SetODBCTimeouts(std::optional<std::uint32_t> querySeconds, std::uint32_t loginSeconds)
{
    State().queryTimeout = querySeconds.value_or(kODBCDefaultQueryTimeoutSeconds);
    State().loginTimeout = loginSeconds ? loginSeconds : kODBCDefaultLoginTimeoutSeconds;
}

void SetODBCMaxConnections(std::optional<std::uint32_t> connections)
{
    State().maxConnections = connections.value_or(kODBCDefaultMaxConnections);
}

std::uint32_t ODBCMaxConnections()
{
    return State().maxConnections.load();
}

std::uint32_t ODBCQueryTimeoutSeconds()
{
    return State().queryTimeout.load();
}

std::uint32_t ODBCLoginTimeoutSeconds()
{
    return State().loginTimeout.load();
}

namespace {

// When the watchdog cancels a driver call that starts now; never with a
// query time-out of 0, which is no limit.
std::uint64_t CallDeadline(const ODBCState& state)
{
    const std::uint32_t seconds = state.queryTimeout.load();
    if (seconds == 0)
        return platform::kNoDeadline;
    return platform::MonotonicMs() + std::uint64_t{seconds} * 1000 + kODBCCancelGraceMs;
}

// Whether statement is the request thread's own, published in the slot.
bool InSlot(SQLHSTMT statement)
{
    return statement != SQL_NULL_HSTMT && t_slot.slot != nullptr &&
           t_slot.slot->statement.load(std::memory_order_acquire) == statement;
}

// Waits while the watchdog cancels the slot's call; answers the word after.
std::uint64_t SettledWord(InFlight& slot)
{
    std::uint64_t word = slot.word.load();
    while (word & InFlight::kCancelling) {
        slot.word.wait(word);
        word = slot.word.load();
    }
    return word;
}

} // namespace

void ODBCStatementStarted(SQLHSTMT statement)
{
    ODBCState& state = State();
    const int client = GetClientHandle();
    InFlight& slot = ThreadSlot();
    if (!(slot.word.load(std::memory_order_relaxed) & InFlight::kActive)) {
        slot.statement.store(statement, std::memory_order_relaxed);
        slot.client.store(client, std::memory_order_relaxed);
        slot.callDeadline.store(0, std::memory_order_relaxed);
        // Only this thread changes the word while no statement is in.
        const std::uint64_t word = slot.word.load(std::memory_order_relaxed);
        slot.word.store(((word & ~InFlight::kFlags) + InFlight::kStep) | InFlight::kActive);
        if (state.watchdogIdle.load()) {
            std::lock_guard<std::mutex> hold(state.statementsLock);
            state.watchdogIdle = false;
            state.statementsChanged.notify_all();
        }
        return;
    }
    {
        CHeapSwitch shared; // process-wide, as the pool: its nodes live on the shared heap
        std::lock_guard<std::mutex> hold(state.statementsLock);
        state.statements[statement] = StatementWatch{client, 0, ODBCCancel::None, false};
    }
    state.statementsChanged.notify_all(); // a sleeping watchdog has work
}

void ODBCStatementEnded(SQLHSTMT statement)
{
    ODBCState& state = State();
    if (InSlot(statement)) {
        InFlight& slot = *t_slot.slot;
        for (std::uint64_t word = SettledWord(slot);;) {
            if (slot.word.compare_exchange_weak(word, (word & ~InFlight::kFlags) + InFlight::kStep))
                break;
            word = SettledWord(slot);
        }
        // Cleared before the handle is freed: a handle allocated later at
        // the same address is not taken for this one.
        slot.statement.store(SQL_NULL_HSTMT, std::memory_order_release);
        return;
    }
    std::unique_lock<std::mutex> hold(state.statementsLock);
    auto found = state.statements.find(statement);
    if (found == state.statements.end())
        return;
    state.statementsChanged.wait(hold, [&found] { return !found->second.cancelling; });
    state.statements.erase(found);
}

ODBCCancel ODBCCallStarting(SQLHSTMT statement)
{
    ODBCState& state = State();
    if (InSlot(statement)) {
        InFlight& slot = *t_slot.slot;
        std::uint64_t word = slot.word.load();
        for (;;) {
            // The client is not asked here, at every fetch: a poll per row
            // was a quarter of the request thread's time. The thread asked
            // when it took the request, and the watchdog asks at its tick.
            ODBCCancel reason = InFlight::Reason(word);
            if (reason == ODBCCancel::None && state.stopping.load())
                reason = ODBCCancel::Stopped;
            if (reason != ODBCCancel::None)
                return reason;
            slot.callDeadline.store(CallDeadline(state), std::memory_order_relaxed);
            // Fails only when the watchdog or a stop marked it meanwhile.
            if (slot.word.compare_exchange_strong(word, word + InFlight::kStep + InFlight::kInCall))
                return ODBCCancel::None;
        }
    }
    std::lock_guard<std::mutex> hold(state.statementsLock);
    auto found = state.statements.find(statement);
    if (found == state.statements.end())
        return ODBCCancel::None;
    StatementWatch& watch = found->second;
    if (watch.cancelled == ODBCCancel::None && state.stopping)
        watch.cancelled = ODBCCancel::Stopped;
    if (watch.cancelled == ODBCCancel::None && watch.client >= 0 && platform::PeerHungUp(watch.client))
        watch.cancelled = ODBCCancel::ClientLeft;
    if (watch.cancelled == ODBCCancel::None)
        watch.callDeadline = CallDeadline(state);
    return watch.cancelled;
}

ODBCCancel ODBCCallEnded(SQLHSTMT statement)
{
    ODBCState& state = State();
    if (InSlot(statement)) {
        InFlight& slot = *t_slot.slot;
        for (std::uint64_t word = SettledWord(slot);;) {
            if (slot.word.compare_exchange_weak(word, (word & ~InFlight::kInCall) + InFlight::kStep))
                return InFlight::Reason(word);
            word = SettledWord(slot);
        }
    }
    std::unique_lock<std::mutex> hold(state.statementsLock);
    auto found = state.statements.find(statement);
    if (found == state.statements.end())
        return ODBCCancel::None;
    state.statementsChanged.wait(hold, [&found] { return !found->second.cancelling; });
    found->second.callDeadline = 0;
    return found->second.cancelled;
}

// Asked of the thread, which trims spares on a timer meanwhile.
bool ODBCPoolEntry(const char* source, ODBCPoolEntryInfo& info)
{
    Request request;
    request.code = Code::Inspect;
    request.source = source;
    request.info = &info;
    return Run(request, "Timeout waiting for mutex in FlushConnection") && request.result == 1;
}

std::size_t ODBCPoolSize()
{
    Request request;
    request.code = Code::Inspect;
    return Run(request, "Timeout waiting for mutex in FlushConnection") ? static_cast<std::size_t>(request.result) : 0;
}

std::size_t ODBCStatementsInFlight()
{
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> hold(Slots().lock);
        for (InFlight* slot : Slots().slots)
            count += (slot->word.load() & InFlight::kActive) ? 1 : 0;
    }
    std::lock_guard<std::mutex> hold(State().statementsLock);
    return State().statements.size() + count;
}

void SetODBCCancelCallForTesting(ODBCCancelCall call)
{
    g_cancelCall.store(call ? call : &SQLCancel);
}

std::uint64_t ODBCCallerWakeUps()
{
    return State().callerWakeUps.load();
}