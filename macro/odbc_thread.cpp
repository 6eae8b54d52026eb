#include "macro/odbc_thread.h"

#include "framework/event_lock.h"
#include "framework/server_log.h"
#include "framework/thread_data.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/registry_values.h"
#include "macro/sql_macros.h"
#include "platform/sync.h"

#include <atomic>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

constexpr std::uint16_t kLogWarning = 2;
constexpr std::uint16_t kLogError = 1;
constexpr std::uint32_t kEventODBCThreadDied = 0xC0004001;
// Callers look at the thread's health this often while they wait.
constexpr std::uint32_t kDoneWaitSliceMs = 500;
// How long a stop waits, after cancelling, for a request in flight.
constexpr std::uint32_t kStopCancelWaitMs = 30000;

enum class Code { AllocEnv, Stop, Flush, Query, GetConnection, Release, Close };

struct Request {
    Code code = Code::Query;
    const ODBCQuery* query = nullptr;
    const char* source = nullptr;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    int pooled = 0;
    int result = 0;
    // Whose work this is: a pooled connection is shared only on one thread.
    std::thread::id caller = std::this_thread::get_id();
    ThreadData threadData{};
    std::exception_ptr error;
    std::atomic<bool> done{false};
};

struct PooledConnection {
    SQLHDBC hdbc = SQL_NULL_HDBC;
    std::uint32_t uses = 0;
    int activeUsers = 0;
    std::uint16_t limit = 0;
    std::thread::id holder; // the thread its active users run on
};

struct ODBCState {
    CEventLock requestLock;
    platform::Event requestEvent{false};
    platform::Event doneEvent{false};
    std::thread thread;
    std::atomic<std::thread::id> threadId{};
    std::atomic<bool> alive{false};
    Request* current = nullptr;
    SQLHENV env = SQL_NULL_HENV;
    // Touched only on the ODBC thread.
    std::map<std::string, PooledConnection> pool;
    // Connections flushed while in use: holders left before the last closes.
    std::map<SQLHDBC, int> retired;
    std::mutex statementsLock;
    std::set<SQLHSTMT> statements;
};

ODBCState& State()
{
    static ODBCState* state = [] {
        CHeapSwitch shared;
        return new ODBCState; // outlives every engine start and stop
    }();
    return *state;
}

bool OnODBCThread()
{
    return State().alive.load() && State().threadId.load() == std::this_thread::get_id();
}

bool Succeeded(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

void FreeHandle(SQLHDBC hdbc)
{
    if (hdbc == SQL_NULL_HDBC)
        return;
    SQLDisconnect(hdbc);
    SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
}

// The login time-out must be in place before the connect it limits.
SQLRETURN Connect(SQLHDBC hdbc, const ODBCSource& source)
{
    SQLSetConnectAttr(hdbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kODBCLoginTimeoutSeconds), 0);
    SQLSetConnectAttr(hdbc, SQL_ATTR_QUIET_MODE, nullptr, 0);
    auto text = [](const std::string& s) { return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str())); };
    return SQLConnect(hdbc, text(source.dsn), SQL_NTS, text(source.user), SQL_NTS, text(source.password), SQL_NTS);
}

// ---- The work itself, always on the ODBC thread (or in place on it) ------

void DoGetConnection(Request& request)
{
    CHeapSwitch shared;
    ODBCState& state = State();
    request.hdbc = SQL_NULL_HDBC;
    request.pooled = 0;
    std::string key = ODBCPoolKey(request.source);
    auto found = state.pool.find(key);
    // Drivers crash when two threads drive one connection at once, which
    // async-sql queries would do; nested queries on one thread may share it.
    // A caller from another thread while it is busy gets a connection of its
    // own instead.
    if (found != state.pool.end() &&
        (found->second.activeUsers == 0 || found->second.holder == request.caller)) {
        ++found->second.activeUsers;
        ++found->second.uses;
        found->second.holder = request.caller;
        request.hdbc = found->second.hdbc;
        request.pooled = 1;
        request.result = SQL_SUCCESS;
        return;
    }
    request.result = -1;
    if (!Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, state.env, &request.hdbc)))
        return;
    if (!Succeeded(Connect(request.hdbc, SplitODBCSource(request.source))))
        return;
    SQLUSMALLINT limit = 0;
    if (!Succeeded(SQLGetInfo(request.hdbc, SQL_MAX_CONCURRENT_ACTIVITIES, &limit, sizeof limit, nullptr)))
        limit = 0;
    if (limit == 0 && found == state.pool.end()) {
        state.pool[key] = PooledConnection{request.hdbc, 0, 1, 0, request.caller};
        request.pooled = 1;
    }
    request.result = SQL_SUCCESS;
}

void DoRelease(Request& request)
{
    CHeapSwitch shared;
    ODBCState& state = State();
    request.result = 0;
    auto found = state.pool.find(ODBCPoolKey(request.source));
    if (found != state.pool.end() && found->second.hdbc == request.hdbc) {
        PooledConnection& entry = found->second;
        --entry.activeUsers;
        if (entry.uses > kODBCRefreshAfterUses && entry.activeUsers == 0) {
            SQLDisconnect(entry.hdbc);
            if (!Succeeded(Connect(entry.hdbc, SplitODBCSource(request.source)))) {
                // A dead handle would fail every later query: drop it so the
                // next one connects afresh.
                SQLFreeHandle(SQL_HANDLE_DBC, entry.hdbc);
                state.pool.erase(found);
                request.result = 1;
                return;
            }
            entry.uses = 0;
        }
        request.result = 1;
        return;
    }
    auto retired = state.retired.find(request.hdbc);
    if (retired != state.retired.end()) {
        if (--retired->second > 0) {
            request.result = 1; // another holder still uses it and closes it last
            return;
        }
        state.retired.erase(retired);
    }
}

void DoFlush(Request& request)
{
    CHeapSwitch shared;
    ODBCState& state = State();
    auto drop = [&state](std::map<std::string, PooledConnection>::iterator entry) {
        if (entry->second.activeUsers > 0)
            state.retired[entry->second.hdbc] = entry->second.activeUsers;
        else
            FreeHandle(entry->second.hdbc);
        return state.pool.erase(entry);
    };
    if (request.source == nullptr) {
        for (auto entry = state.pool.begin(); entry != state.pool.end();)
            entry = drop(entry);
        return;
    }
    auto found = state.pool.find(ODBCPoolKey(request.source));
    if (found != state.pool.end())
        drop(found);
}

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
            request.source = nullptr;
            DoFlush(request);
            for (auto& [hdbc, holders] : State().retired)
                FreeHandle(hdbc);
            State().retired.clear();
            SQLFreeHandle(SQL_HANDLE_ENV, State().env);
            State().env = SQL_NULL_HENV;
            break;
        }
        case Code::Flush:
            DoFlush(request);
            break;
        case Code::Query:
            ExecuteSQLQuery(*request.query);
            break;
        case Code::GetConnection:
            DoGetConnection(request);
            break;
        case Code::Release:
            DoRelease(request);
            break;
        case Code::Close:
            DoClose(request);
            break;
        }
    } catch (...) {
        // Whatever the row text raised reaches the caller unchanged.
        request.error = std::current_exception();
    }
    request.threadData = GetThreadData();
    GetThreadData() = saved;
}

void ThreadProc()
{
    ODBCState& state = State();
    state.threadId = std::this_thread::get_id();
    try {
        for (;;) {
            state.requestEvent.Wait();
            Request* request = state.current;
            if (request == nullptr)
                continue;
            bool stop = request->code == Code::Stop;
            Dispatch(*request);
            state.current = nullptr; // before done: the caller may post again at once
            request->done = true;
            state.doneEvent.Set();
            if (stop)
                break;
        }
    } catch (...) {
        LogMessage(kLogError, kEventODBCThreadDied, {"Unexpected raw exception in ODBC hack-o-rama thread."});
    }
    state.alive = false;
    state.doneEvent.Set();
}

// Hands a request to the thread (the request lock is held) and waits for
// it, giving up when the thread has ended. False when it was not done.
bool Post(Request& request)
{
    ODBCState& state = State();
    request.threadData = GetThreadData();
    state.current = &request;
    state.requestEvent.Set();
    while (!request.done) {
        if (state.doneEvent.Wait(kDoneWaitSliceMs))
            continue;
        if (!state.alive.load() && !request.done)
            return false;
    }
    GetThreadData() = request.threadData;
    return true;
}

// Runs a request in place on the ODBC thread itself, else through the
// thread under the request lock. False on time-out or a dead thread.
bool Run(Request& request, const char* timeoutText)
{
    if (OnODBCThread()) {
        request.threadData = GetThreadData();
        Dispatch(request);
        GetThreadData() = request.threadData;
    } else {
        ODBCState& state = State();
        if (!state.alive.load())
            return false;
        if (!state.requestLock.Lock(kODBCMutexWaitMs)) {
            LogMessage(kLogWarning, kEventODBCError, {timeoutText});
            return false;
        }
        bool done = Post(request);
        state.requestLock.Unlock();
        if (!done)
            return false;
    }
    if (request.error)
        std::rethrow_exception(request.error);
    return true;
}

} // namespace

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
    state.alive = true;
    try {
        state.thread = std::thread(ThreadProc);
    } catch (...) {
        state.alive = false;
        return 0;
    }
    Request request;
    request.code = Code::AllocEnv;
    request.threadData = GetThreadData();
    request.threadData.heap = nullptr;
    state.current = &request;
    state.requestEvent.Set();
    std::uint64_t deadline = platform::DeadlineAfter(kODBCStartWaitMs);
    while (!request.done && platform::MonotonicMs() < deadline)
        state.doneEvent.Wait(kDoneWaitSliceMs);
    if (!request.done || state.env == SQL_NULL_HENV) {
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
    bool locked = state.requestLock.Lock(kODBCStopWaitMs);
    if (!locked) {
        // A request is in flight: cancel its statements rather than
        // overwrite it, then wait for it to end.
        {
            std::lock_guard<std::mutex> hold(state.statementsLock);
            for (SQLHSTMT statement : state.statements)
                SQLCancel(statement);
        }
        locked = state.requestLock.Lock(kStopCancelWaitMs);
    }
    if (locked && state.alive.load()) {
        Request request;
        request.code = Code::Stop;
        Post(request);
    }
    if (locked || !state.alive.load()) {
        state.thread.join();
    } else {
        // Never killed: it ends by itself once its request is done, and
        // finds nothing more to do.
        LogMessage(kLogWarning, kEventODBCError, {"ODBC thread did not stop"});
        state.thread.detach();
    }
    state.alive = false;
    state.threadId = std::thread::id();
    if (locked)
        state.requestLock.Unlock();
}

bool ODBCThreadRunning()
{
    return State().alive.load();
}

void SQLQuery(const ODBCQuery& query)
{
    if (!OnODBCThread() && query.scope->FindMacro("async-sql") != nullptr) {
        ExecuteSQLQuery(query);
        return;
    }
    Request request;
    request.code = Code::Query;
    request.query = &query;
    if (!Run(request, "Timeout waiting for mutex in SQLQuery"))
        MacroError(query.out, query.scope, kODBCErrorType, 0,
                   ODBCThreadRunning() ? "(HYT00) Timeout waiting for mutex in SQLQuery"
                                       : "(08003) ODBC services are not running",
                   1);
}

SQLRETURN GetConnection(const char* source, SQLHDBC& hdbc, int& pooled)
{
    Request request;
    request.code = Code::GetConnection;
    request.source = source;
    request.result = -1;
    bool ran = Run(request, "Timeout waiting for mutex in GetConnection");
    hdbc = request.hdbc;
    pooled = request.pooled;
    return ran ? static_cast<SQLRETURN>(request.result) : -1;
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
            FreeHandle(hdbc);
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

SQLHENV ODBCEnvironment()
{
    return State().env;
}

void ODBCStatementStarted(SQLHSTMT statement)
{
    std::lock_guard<std::mutex> hold(State().statementsLock);
    State().statements.insert(statement);
}

void ODBCStatementEnded(SQLHSTMT statement)
{
    std::lock_guard<std::mutex> hold(State().statementsLock);
    State().statements.erase(statement);
}

bool ODBCPoolEntry(const char* source, ODBCPoolEntryInfo& info)
{
    // Read on the caller's thread: tests ask while no request runs.
    auto found = State().pool.find(ODBCPoolKey(source));
    if (found == State().pool.end())
        return false;
    info.uses = found->second.uses;
    info.activeUsers = found->second.activeUsers;
    return true;
}

std::size_t ODBCPoolSize()
{
    return State().pool.size();
}
