// Where a statement runs: the ODBC request thread and its queue, and the
// statement threads of async-sql callers in fibers.
//
// Owns: the request queue, the one thread that takes its requests in turn,
// the statement threads and their queue,
// the ODBC environment, the closing list through which every disconnect
// runs on that thread, and the settings (time-outs, ceiling). May call: the
// pool (odbc_pool.cpp) to lend and take back connections, the watchdog
// (odbc_watch.cpp) to start, stop and cancel, and the statement code of
// the SQL macros, which runs a query on the thread.

#include "macro/odbc_thread.h"

#include "framework/server_log.h"
#include "framework/thread_data.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/odbc_pool.h"
#include "macro/odbc_watch.h"
#include "macro/registry_values.h"
#include "macro/sql_macros.h"
#include "platform/net.h"
#include "platform/sync.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
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
// How often a query is asked again once its connection was got for it.
constexpr int kQueryRounds = 8;

enum class Code { AllocEnv, Stop, Flush, Query, Close };

// Where a request is; changes only under the queue's lock.
enum class Stage { New, Queued, Running, Done, Failed };

struct Request {
    Code code = Code::Query;
    const ODBCQuery* query = nullptr;
    const char* source = nullptr;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    int result = 0;
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

struct ODBCState {
    // The requests not yet taken, oldest first. The queue's lock guards the
    // list, every request's stage, the closing list and the flags below it;
    // the thread sleeps on the queue while there is nothing to do.
    platform::WaitQueue queue;
    Request* head = nullptr;
    Request* tail = nullptr;
    bool accepting = false;
    std::vector<SQLHDBC> closing;
    bool trimWanted = false;
    std::thread thread;
    std::atomic<std::thread::id> threadId{};
    std::atomic<bool> alive{false};
    SQLHENV env = SQL_NULL_HENV;
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
    return LastingState<ODBCState>();
}

bool OnODBCThread()
{
    return State().alive.load() && State().threadId.load() == std::this_thread::get_id();
}

// ---- The work itself, always on the ODBC thread (or in place on it) ------

// Closes what the pool and the cancels left to close; the queue is locked
// and stays so.
void CloseLeftHandles(ODBCState& state)
{
    while (!state.closing.empty()) {
        std::vector<SQLHDBC> closing;
        {
            CHeapSwitch shared;
            closing.swap(state.closing);
        }
        state.queue.Unlock();
        for (SQLHDBC hdbc : closing)
            FreeODBCHandle(hdbc);
        {
            CHeapSwitch shared;
            closing.clear();
            closing.shrink_to_fit();
        }
        state.queue.Lock();
    }
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
            State().queue.Lock();
            CloseLeftHandles(State());
            State().queue.Unlock();
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
        case Code::Close:
            request.result = FreeODBCHandle(request.hdbc);
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
            // Each step lets go of the queue: what came meanwhile is seen
            // before the thread sleeps.
            if (!state.closing.empty()) {
                CloseLeftHandles(state);
                continue;
            }
            if (state.trimWanted) {
                state.trimWanted = false;
                state.queue.Unlock();
                trimAt = std::min(trimAt, PoolNextTrim());
                state.queue.Lock();
                continue;
            }
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
            // A page whose client left while it waited is not worth a query.
            const int client = request.threadData.clientHandlePlusOne - 1;
            if (request.code == Code::Query && client >= 0 && platform::PeerHungUp(client))
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
        state.queue.Lock();
        if (stop || died)
            state.accepting = false;
        Finish(request, died || request.clientLeft ? Stage::Failed : Stage::Done);
    }
    state.alive = false;
    FailQueued(state);
    // Nothing is left for a thread that is gone.
    CloseLeftHandles(state);
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

} // namespace

bool OnODBCRequestThread()
{
    return OnODBCThread();
}

void CloseODBCHandleLater(SQLHDBC hdbc)
{
    if (hdbc == SQL_NULL_HDBC)
        return;
    ODBCState& state = State();
    if (!OnODBCThread()) {
        state.queue.Lock();
        if (state.accepting) {
            {
                CHeapSwitch shared;
                state.closing.push_back(hdbc);
            }
            state.queue.WakeOne(); // the thread, when it sleeps
            state.queue.Unlock();
            return;
        }
        state.queue.Unlock();
    }
    FreeODBCHandle(hdbc);
}

void WakeODBCThreadForTrim()
{
    ODBCState& state = State();
    state.queue.Lock();
    state.trimWanted = true;
    state.queue.WakeOne();
    state.queue.Unlock();
}

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

// ---- The statement threads of callers in a fiber ----------------------
//
// An async-sql statement of a page served in a fiber runs, row text and
// all, on one of these threads while only its fiber waits: run on the
// worker, a statement that waits on its database would hold every other
// fiber of that worker, and with them the connections they were lent. A
// thread takes one statement at a time; one idle a while ends.

struct StatementJob {
    const ODBCQuery* query = nullptr;
    ThreadData threadData{};
    std::exception_ptr error;
    StatementJob* next = nullptr;
    // Under the threads' lock: taken by a thread.
    bool taken = false;
    bool finished = false; // under completion's lock
    // The caller parks here.
    AnswerQueue completion;
};

struct StatementThreads {
    std::mutex lock;
    std::condition_variable work;
    StatementJob* head = nullptr;
    StatementJob* tail = nullptr;
    std::size_t queued = 0;
    std::size_t threads = 0;
    std::size_t idle = 0;
};

StatementThreads& Runners()
{
    return LastingState<StatementThreads>();
}

void StatementThreadProc()
{
    StatementThreads& runners = Runners();
    std::unique_lock<std::mutex> hold(runners.lock);
    for (;;) {
        if (!runners.head) {
            ++runners.idle;
            const bool woken = runners.work.wait_for(hold, std::chrono::milliseconds(kODBCStatementThreadIdleMs),
                                                     [&] { return runners.head != nullptr; });
            --runners.idle;
            if (!woken) {
                --runners.threads;
                return;
            }
        }
        StatementJob& job = *runners.head;
        runners.head = job.next;
        if (!runners.head)
            runners.tail = nullptr;
        --runners.queued;
        job.taken = true;
        hold.unlock();
        GetThreadData() = job.threadData;
        try {
            ExecuteSQLQuery(*job.query);
        } catch (...) {
            job.error = std::current_exception();
        }
        job.threadData = GetThreadData();
        GetThreadData() = ThreadData{};
        job.completion.Lock();
        job.finished = true;
        job.completion.WakeAll();
        job.completion.Unlock();
        hold.lock();
    }
}

// Runs a query on a statement thread while the calling fiber waits. A
// query that finds no thread free by its time-out is an error, as one
// that finds no connection.
void RunOnStatementThread(const ODBCQuery& query)
{
    StatementThreads& runners = Runners();
    StatementJob job;
    job.query = &query;
    job.threadData = GetThreadData();
    bool inPlace = false;
    {
        CHeapSwitch shared;
        std::lock_guard<std::mutex> hold(runners.lock);
        (runners.tail ? runners.tail->next : runners.head) = &job;
        runners.tail = &job;
        ++runners.queued;
        if (runners.queued > runners.idle && runners.threads < kODBCStatementThreads) {
            try {
                std::thread(StatementThreadProc).detach();
                ++runners.threads;
            } catch (const std::system_error&) {
                // The threads there are take it in turn.
            }
        }
        // With no thread to be had at all (then nothing else is queued),
        // the query runs in place.
        inPlace = runners.threads == 0;
        if (inPlace) {
            runners.head = runners.tail = nullptr;
            runners.queued = 0;
        } else {
            runners.work.notify_one();
        }
    }
    if (inPlace) {
        ExecuteSQLQuery(query);
        return;
    }
    const std::uint32_t seconds = ODBCQueryTimeoutSeconds();
    std::uint64_t deadline = platform::DeadlineAfter(seconds ? seconds * 1000 : kODBCMutexWaitMs);
    job.completion.Lock();
    while (!job.finished) {
        if (job.completion.Wait(deadline))
            continue;
        job.completion.Unlock();
        bool withdrawn = false;
        {
            std::lock_guard<std::mutex> hold(runners.lock);
            if (!job.taken) {
                StatementJob* previous = nullptr;
                for (StatementJob* at = runners.head; at != &job; at = at->next)
                    previous = at;
                (previous ? previous->next : runners.head) = job.next;
                if (runners.tail == &job)
                    runners.tail = previous;
                --runners.queued;
                withdrawn = true;
            }
        }
        if (withdrawn) {
            MacroError(query.out, query.scope, kODBCErrorType, 0,
                       ("(HYT00) Timeout expired: all " + std::to_string(kODBCStatementThreads) +
                        " statement threads were busy for " + std::to_string(seconds ? seconds : kODBCMutexWaitMs / 1000) +
                        " seconds")
                           .c_str(),
                       1);
            return;
        }
        // Taken: it ends by its own time-out, or is cancelled.
        deadline = platform::kNoDeadline;
        job.completion.Lock();
    }
    job.completion.Unlock();
    GetThreadData() = job.threadData;
    if (job.error)
        std::rethrow_exception(job.error);
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
        if (platform::ThreadHasWaitSeam())
            RunOnStatementThread(query);
        else
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
    for (int round = 0; round < kQueryRounds; ++round) {
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
        lease.result = PoolAcquire(query.source, State().threadId.load(), false, lease);
        lease.given = true;
    }
}

SQLRETURN AcquireConnection(const char* source, ODBCLease& lease, bool defer)
{
    if (!ODBCThreadRunning()) {
        lease = ODBCLease{};
        return -1;
    }
    return PoolAcquire(source, std::this_thread::get_id(), defer, lease);
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
    return PoolRelease(source, hdbc);
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
    PoolDiscard(source, hdbc);
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

bool ODBCPoolEntry(const char* source, ODBCPoolEntryInfo& info)
{
    return PoolInspect(source, info);
}

std::size_t ODBCPoolSize()
{
    return PoolSize();
}

std::uint64_t ODBCCallerWakeUps()
{
    return State().callerWakeUps.load();
}
