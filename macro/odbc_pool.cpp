#include "macro/odbc_pool.h"

#include "framework/thread_data.h"
#include "macro/odbc_thread.h"
#include "platform/clock.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <vector>

namespace {

// Spare connections a source keeps follow the most it had lent at once
// over the last two of these periods: a steady load finds its spares open,
// and what a past burst left idle is closed once the burst is this old.
std::atomic<std::uint64_t> g_spareDemandPeriodMs{kODBCSpareDemandPeriodMs};

struct Spare {
    SQLHDBC hdbc = SQL_NULL_HDBC;
    std::uint32_t uses = 0;
    std::uint64_t idleSince = 0;
};

struct PooledConnection {
    // Null while the source's first connect is under way.
    SQLHDBC hdbc = SQL_NULL_HDBC;
    std::uint32_t uses = 0;
    int activeUsers = 0;
    std::thread::id holder; // the thread its active users run on
    std::uint64_t idleSince = 0;
    // Connections made for callers on other threads while hdbc was busy
    // (async-sql): given back, they wait for the next such caller instead
    // of being closed, so concurrent queries do not connect every time.
    std::vector<Spare> spares;
    std::map<SQLHDBC, std::uint32_t> lent;
    // Callers connecting off the thread, each holding a place under the ceiling.
    int connecting = 0;
    // Callers at the ceiling, in the order they came.
    std::deque<ODBCPoolWaiter*> waiters;
    // The most spares lent at once in this period and in the one before.
    std::size_t peakLent = 0;
    std::size_t previousPeakLent = 0;
    std::uint64_t periodStart = 0;
    std::uint64_t spareConnects = 0;

    std::size_t Open() const { return (hdbc ? 1 : 0) + spares.size() + lent.size() + connecting; }
    bool Empty() const { return Open() == 0 && waiters.empty(); }
};

// A source whose connect timed out or was refused: until then callers fail
// at once with its error, and the first caller after tries again.
struct Refusal {
    std::uint64_t until = 0;
    std::string error;
    std::uint32_t errorNumber = 0;
};

struct PoolState {
    std::map<std::string, PooledConnection> pool;
    // Connections flushed while in use: holders left before the last closes.
    std::map<SQLHDBC, int> retired;
    std::map<std::string, Refusal> refused;
};

PoolState& Pool()
{
    static PoolState* state = [] {
        CHeapSwitch shared;
        return new PoolState; // outlives every engine start and stop
    }();
    return *state;
}

bool Succeeded(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

void RollDemandPeriod(PooledConnection& entry)
{
    const std::uint64_t now = platform::MonotonicMs();
    const std::uint64_t period = g_spareDemandPeriodMs.load(std::memory_order_relaxed);
    if (now - entry.periodStart < period)
        return;
    // A period with no lending at all clears both peaks.
    entry.previousPeakLent = now - entry.periodStart < 2 * period ? entry.peakLent : 0;
    entry.peakLent = entry.lent.size();
    entry.periodStart = now;
}

std::size_t SpareDemand(const PooledConnection& entry)
{
    return std::max(entry.peakLent, entry.previousPeakLent);
}

void NoteLent(PooledConnection& entry)
{
    RollDemandPeriod(entry);
    entry.peakLent = std::max(entry.peakLent, entry.lent.size());
}

// Closes idle spares beyond what the source lent at once lately.
void TrimSpares(PooledConnection& entry)
{
    while (!entry.spares.empty() && entry.spares.size() + entry.lent.size() > SpareDemand(entry)) {
        // The oldest idle one goes: spares are lent from the back.
        FreeODBCHandle(entry.spares.front().hdbc);
        entry.spares.erase(entry.spares.begin());
    }
}

bool AtCeiling(const PooledConnection& entry)
{
    const std::uint32_t ceiling = ODBCMaxConnections();
    return ceiling != 0 && entry.Open() >= ceiling;
}

bool IdleLong(std::uint64_t idleSince)
{
    return platform::MonotonicMs() - idleSince >= kODBCCheckIdleMs;
}

void Answer(ODBCPoolWaiter& waiter, ODBCGrant grant, SQLHDBC hdbc = SQL_NULL_HDBC, bool check = false,
            const Refusal* refusal = nullptr)
{
    waiter.wake.Lock();
    waiter.grant = grant;
    waiter.hdbc = hdbc;
    waiter.check = check;
    if (refusal) {
        waiter.error = refusal->error;
        waiter.errorNumber = refusal->errorNumber;
    }
    waiter.answered = true;
    waiter.wake.WakeAll();
    waiter.wake.Unlock();
}

ODBCPoolWaiter* NextWaiter(PooledConnection& entry)
{
    if (entry.waiters.empty())
        return nullptr;
    ODBCPoolWaiter* waiter = entry.waiters.front();
    entry.waiters.pop_front();
    return waiter;
}

// A connect that timed out or was refused (class 08, or a time-out) makes
// the source fail at once for a while; another failure, as a wrong data
// source name, is the page's alone.
bool NoteConnectFailure(const std::string& key, SQLHDBC hdbc)
{
    SQLCHAR state[6] = {};
    SQLCHAR text[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (hdbc == SQL_NULL_HDBC ||
        !Succeeded(SQLGetDiagRec(SQL_HANDLE_DBC, hdbc, 1, state, &native, text, sizeof text, &length))) {
        Pool().refused.erase(key);
        return false;
    }
    std::string_view code(reinterpret_cast<char*>(state));
    if (!code.starts_with("08") && !code.starts_with("HYT")) {
        Pool().refused.erase(key);
        return false;
    }
    Refusal& refusal = Pool().refused[key];
    refusal.until = platform::MonotonicMs() + kODBCRefusedSourceMs;
    refusal.error = "(" + std::string(code) + ") " + reinterpret_cast<char*>(text);
    refusal.errorNumber = static_cast<std::uint32_t>(native);
    return true;
}

// Whether a caller may try to connect to the source now; the one that may
// holds the others off for as long as its connect can take.
const Refusal* RefusedNow(const std::string& key)
{
    auto found = Pool().refused.find(key);
    if (found == Pool().refused.end())
        return nullptr;
    const std::uint64_t now = platform::MonotonicMs();
    if (now < found->second.until)
        return &found->second;
    found->second.until = now + std::uint64_t{ODBCLoginTimeoutSeconds()} * 1000 + kODBCRefusedSourceMs;
    return nullptr;
}

// Lends the pooled connection or an idle spare to caller; false when both are busy.
bool LendIdle(PooledConnection& entry, std::thread::id caller, ODBCPoolAsk& ask)
{
    if (entry.hdbc && (entry.activeUsers == 0 || entry.holder == caller)) {
        ask.check = entry.activeUsers == 0 && IdleLong(entry.idleSince);
        ++entry.activeUsers;
        ++entry.uses;
        entry.holder = caller;
        ask.hdbc = entry.hdbc;
        ask.pooled = 1;
        return true;
    }
    if (!entry.spares.empty()) {
        Spare spare = entry.spares.back();
        entry.spares.pop_back();
        entry.lent[spare.hdbc] = spare.uses + 1;
        NoteLent(entry);
        ask.check = IdleLong(spare.idleSince);
        ask.hdbc = spare.hdbc;
        ask.pooled = 1;
        return true;
    }
    return false;
}

// Puts a connection the caller now holds into the pool: the source's own
// when it has none, else a lent spare.
void Enter(const std::string& key, SQLHDBC hdbc, std::thread::id caller)
{
    auto [found, added] = Pool().pool.try_emplace(key);
    PooledConnection& entry = found->second;
    if (entry.hdbc == SQL_NULL_HDBC) {
        entry.hdbc = hdbc;
        entry.uses = 0;
        entry.activeUsers = 1;
        entry.holder = caller;
        return;
    }
    entry.lent[hdbc] = 0;
    ++entry.spareConnects;
    NoteLent(entry);
}

// Hands the connection a holder gave back to the first waiter, if any.
bool HandToWaiter(PooledConnection& entry, SQLHDBC hdbc, bool pooledOne)
{
    ODBCPoolWaiter* waiter = NextWaiter(entry);
    if (!waiter)
        return false;
    if (pooledOne) {
        entry.activeUsers = 1;
        ++entry.uses;
        entry.holder = waiter->caller;
    } else {
        NoteLent(entry);
    }
    Answer(*waiter, ODBCGrant::Got, hdbc);
    return true;
}

// A place under the ceiling came free: the first waiter connects in it.
void PassPlace(PooledConnection& entry)
{
    if (ODBCPoolWaiter* waiter = NextWaiter(entry)) {
        ++entry.connecting;
        Answer(*waiter, ODBCGrant::Connect);
    }
}

// Removes a source's entry; a connection still in use is closed by its last
// holder, and its waiters ask again.
std::map<std::string, PooledConnection>::iterator DropEntry(std::map<std::string, PooledConnection>::iterator entry)
{
    // Lent spares are closed by their holders: the source is gone when
    // they give them back.
    for (Spare& spare : entry->second.spares)
        FreeODBCHandle(spare.hdbc);
    if (entry->second.activeUsers > 0)
        Pool().retired[entry->second.hdbc] = entry->second.activeUsers;
    else
        FreeODBCHandle(entry->second.hdbc);
    while (ODBCPoolWaiter* waiter = NextWaiter(entry->second))
        Answer(*waiter, ODBCGrant::Retry);
    return Pool().pool.erase(entry);
}

} // namespace

// The login time-out must be in place before the connect it limits. It is
// the settable one, not minutes: a database host that accepts and never
// answers would hold the caller for as long.
SQLRETURN ConnectODBC(SQLHDBC hdbc, const ODBCSource& source)
{
    const SQLULEN seconds = ODBCLoginTimeoutSeconds();
    SQLSetConnectAttr(hdbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
    SQLSetConnectAttr(hdbc, SQL_ATTR_QUIET_MODE, nullptr, 0);
    auto text = [](const std::string& s) { return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str())); };
    return SQLConnect(hdbc, text(source.dsn), SQL_NTS, text(source.user), SQL_NTS, text(source.password), SQL_NTS);
}

void FreeODBCHandle(SQLHDBC hdbc)
{
    if (hdbc == SQL_NULL_HDBC)
        return;
    SQLDisconnect(hdbc);
    SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
}

void PoolGet(SQLHENV env, ODBCPoolAsk& ask)
{
    CHeapSwitch shared;
    ask.hdbc = SQL_NULL_HDBC;
    ask.pooled = 0;
    ask.check = false;
    ask.result = SQL_SUCCESS;
    const std::string key = ODBCPoolKey(ask.source);
    auto found = Pool().pool.find(key);
    if (found != Pool().pool.end()) {
        // Also when only the pooled connection is in use any more.
        RollDemandPeriod(found->second);
        TrimSpares(found->second);
        // Drivers crash when two threads drive one connection at once,
        // which async-sql queries would do; nested queries on one thread
        // may share it. A caller from another thread while it is busy gets
        // a spare connection instead.
        if (LendIdle(found->second, ask.caller, ask)) {
            ask.grant = ODBCGrant::Got;
            return;
        }
    }
    if (ask.defer) {
        ask.grant = ODBCGrant::Deferred;
        return;
    }
    if (const Refusal* refusal = RefusedNow(key)) {
        ask.grant = ODBCGrant::Refused;
        ask.error = refusal->error;
        ask.errorNumber = refusal->errorNumber;
        ask.result = -1;
        return;
    }
    if (ask.offThread) {
        PooledConnection& entry = Pool().pool[key];
        // A caller beyond the ceiling waits its turn rather than taking
        // one of the connections the database keeps for everyone else.
        if (AtCeiling(entry) && ask.waiter) {
            ask.waiter->caller = ask.caller;
            entry.waiters.push_back(ask.waiter);
            ask.grant = ODBCGrant::Wait;
            return;
        }
        ++entry.connecting;
        ask.grant = ODBCGrant::Connect;
        return;
    }
    // In place on the thread (a query nested in another's row text): it
    // cannot wait for its own statement to end.
    ask.grant = ODBCGrant::Got;
    ask.result = -1;
    if (!Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env, &ask.hdbc)))
        return;
    if (!Succeeded(ConnectODBC(ask.hdbc, SplitODBCSource(ask.source)))) {
        NoteConnectFailure(key, ask.hdbc);
        return;
    }
    Pool().refused.erase(key);
    SQLUSMALLINT limit = 0;
    if (!Succeeded(SQLGetInfo(ask.hdbc, SQL_MAX_CONCURRENT_ACTIVITIES, &limit, sizeof limit, nullptr)))
        limit = 0;
    if (limit == 0) {
        Enter(key, ask.hdbc, ask.caller);
        ask.pooled = 1;
    }
    ask.result = SQL_SUCCESS;
}

void PoolAdopt(ODBCPoolAsk& ask, bool connected, SQLUSMALLINT limit)
{
    CHeapSwitch shared;
    const std::string key = ODBCPoolKey(ask.source);
    ask.pooled = 0;
    auto found = Pool().pool.find(key);
    if (found != Pool().pool.end() && found->second.connecting > 0)
        --found->second.connecting;
    if (!connected) {
        if (NoteConnectFailure(key, ask.hdbc) && found != Pool().pool.end()) {
            const Refusal& refusal = Pool().refused[key];
            while (ODBCPoolWaiter* waiter = NextWaiter(found->second))
                Answer(*waiter, ODBCGrant::Refused, SQL_NULL_HDBC, false, &refusal);
        } else if (found != Pool().pool.end()) {
            PassPlace(found->second);
        }
        if (found != Pool().pool.end() && found->second.Empty())
            Pool().pool.erase(found);
        return;
    }
    Pool().refused.erase(key);
    if (limit != 0) {
        // Not shareable, so not pooled: its place goes to the next waiter.
        if (found != Pool().pool.end()) {
            PassPlace(found->second);
            if (found->second.Empty())
                Pool().pool.erase(found);
        }
        return;
    }
    Enter(key, ask.hdbc, ask.caller);
    ask.pooled = 1;
}

bool PoolWithdraw(const char* source, ODBCPoolWaiter& waiter)
{
    auto found = Pool().pool.find(ODBCPoolKey(source));
    if (found == Pool().pool.end())
        return !waiter.answered;
    auto& waiters = found->second.waiters;
    auto at = std::find(waiters.begin(), waiters.end(), &waiter);
    if (at == waiters.end())
        return false;
    waiters.erase(at);
    return true;
}

int PoolRelease(SQLHENV env, const char* source, SQLHDBC hdbc)
{
    CHeapSwitch shared;
    auto found = Pool().pool.find(ODBCPoolKey(source));
    if (found != Pool().pool.end() && found->second.hdbc == hdbc) {
        PooledConnection& entry = found->second;
        --entry.activeUsers;
        if (entry.uses > kODBCRefreshAfterUses && entry.activeUsers == 0) {
            // The new connection is made before the old one goes: closing a
            // driver's last connection makes the driver manager unload the
            // driver, only to load it again for the new one.
            SQLHDBC fresh = SQL_NULL_HDBC;
            const bool connected = Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env, &fresh)) &&
                                   Succeeded(ConnectODBC(fresh, SplitODBCSource(source)));
            FreeODBCHandle(entry.hdbc);
            if (!connected) {
                // A dead handle would fail every later query: drop it so the
                // next one connects afresh.
                FreeODBCHandle(fresh);
                entry.hdbc = SQL_NULL_HDBC;
                PassPlace(entry);
                if (entry.Empty())
                    Pool().pool.erase(found);
                return 1;
            }
            entry.hdbc = fresh;
            entry.uses = 0;
        }
        if (entry.activeUsers == 0) {
            entry.idleSince = platform::MonotonicMs();
            HandToWaiter(entry, entry.hdbc, true);
        }
        return 1;
    }
    if (found != Pool().pool.end()) {
        PooledConnection& entry = found->second;
        auto lent = entry.lent.find(hdbc);
        if (lent != entry.lent.end()) {
            // A spare is not refreshed in place: past its uses, or beyond
            // what the source keeps, it is closed, and the next busy caller
            // connects afresh. The pooled connection stays open meanwhile,
            // so the driver is never unloaded.
            // A fixed small cap closed, at every round of a load with more
            // callers than the cap, the connections the next round opened
            // again.
            RollDemandPeriod(entry);
            if (lent->second > kODBCRefreshAfterUses) {
                FreeODBCHandle(lent->first);
                entry.lent.erase(lent);
                PassPlace(entry);
            } else if (!entry.waiters.empty()) {
                ++lent->second;
                HandToWaiter(entry, hdbc, false);
            } else {
                if (entry.spares.size() + entry.lent.size() > SpareDemand(entry))
                    FreeODBCHandle(lent->first);
                else
                    entry.spares.push_back({lent->first, lent->second, platform::MonotonicMs()});
                entry.lent.erase(lent);
                TrimSpares(entry);
            }
            return 1;
        }
    }
    auto retired = Pool().retired.find(hdbc);
    if (retired != Pool().retired.end()) {
        if (--retired->second > 0)
            return 1; // another holder still uses it and closes it last
        Pool().retired.erase(retired);
    }
    return 0;
}

void PoolFlush(const char* source)
{
    CHeapSwitch shared;
    if (source == nullptr) {
        for (auto entry = Pool().pool.begin(); entry != Pool().pool.end();)
            entry = DropEntry(entry);
        return;
    }
    auto found = Pool().pool.find(ODBCPoolKey(source));
    if (found != Pool().pool.end())
        DropEntry(found);
}

// A lost connection takes the source's spares with it: a database that
// restarted dropped them all. An entry that already holds another
// connection (made after the loss) stays.
void PoolDiscard(const char* source, SQLHDBC hdbc)
{
    CHeapSwitch shared;
    auto found = Pool().pool.find(ODBCPoolKey(source));
    if (found != Pool().pool.end() && (found->second.hdbc == hdbc || found->second.lent.count(hdbc) != 0))
        DropEntry(found);
}

void PoolClear()
{
    PoolFlush(nullptr);
    CHeapSwitch shared;
    for (auto& [hdbc, holders] : Pool().retired)
        FreeODBCHandle(hdbc);
    Pool().retired.clear();
    Pool().refused.clear();
}

// Run by the thread when no request came for a while, so that a burst's
// spares close once it is over, not when a later page asks.
std::uint64_t PoolTrim()
{
    CHeapSwitch shared;
    for (auto& [key, entry] : Pool().pool) {
        RollDemandPeriod(entry);
        TrimSpares(entry);
    }
    return PoolNextTrim();
}

std::uint64_t PoolNextTrim()
{
    for (const auto& [key, entry] : Pool().pool)
        if (!entry.spares.empty())
            return platform::MonotonicMs() + g_spareDemandPeriodMs.load(std::memory_order_relaxed);
    return platform::kNoDeadline;
}

bool PoolInspect(const char* source, ODBCPoolEntryInfo& info)
{
    auto found = Pool().pool.find(ODBCPoolKey(source));
    if (found == Pool().pool.end())
        return false;
    info.uses = found->second.uses;
    info.activeUsers = found->second.activeUsers;
    info.spares = found->second.spares.size();
    info.lent = found->second.lent.size();
    info.spareConnects = found->second.spareConnects;
    return true;
}

std::size_t PoolSize()
{
    return Pool().pool.size();
}

void SetODBCSpareDemandPeriodMs(std::uint64_t milliseconds)
{
    g_spareDemandPeriodMs = milliseconds ? milliseconds : kODBCSpareDemandPeriodMs;
}
