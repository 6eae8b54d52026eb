// The connection pool.
//
// Owns: an open connection per data source, spares for callers on other
// threads while it is busy, the ceiling per source with the callers waiting
// at it, the connections flushed while in use, the sources whose connect
// timed out lately and those that connected before, under the pool's own
// lock, held for bookkeeping only: no driver call runs under it. Besides,
// each source's turn to connect, taken only where its driver needs it (a
// SQLite source, which also gets its lock wait set there). A connection
// given back goes to the next waiter at once, on the giver's thread.
//
// May call: the driver to connect (in place, or on a thread of its own for a
// caller in a fiber), the settings (time-outs, ceiling), and the request
// thread's CloseODBCHandleLater, through which every disconnect goes.

#include "macro/odbc_pool.h"

#include "framework/thread_data.h"
#include "macro/odbc_thread.h"
#include "macro/odbc_watch.h"
#include "macro/registry_values.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/socket_census.h"
#include "platform/sync.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

// Spare connections a source keeps follow the most it had lent at once
// over the last two of these periods: a steady load finds its spares open,
// and what a past burst left idle is closed once the burst is this old.
std::atomic<std::uint64_t> g_spareDemandPeriodMs{kODBCSpareDemandPeriodMs};

// How many times a caller asks again after its source's entry went.
constexpr int kAcquireRounds = 8;
// Sources whose good connects are remembered, at most.
constexpr std::size_t kRememberedSources = 4096;
// The pause before a refused connect of a source that connected before is
// tried again (within the caller's query time-out): a database that
// restarts refuses for a fraction of a second.
constexpr std::uint32_t kReconnectPauseMs = 200;

// How far along the waiters a connection given back looks for one whose
// thread is free: a fiber whose worker runs another statement cannot take
// it up until that statement ends.
constexpr std::size_t kWaiterScan = 512;

// What a caller asking for a connection is answered.
enum class Grant {
    Got,      // lent
    Connect,  // a place under the ceiling is kept: connect, then adopt
    Wait,     // at the ceiling: queued for a connection given back
    Deferred, // a connect or a wait is needed and the caller does it off the thread
    Refused,  // the source's connect timed out a moment ago
    Retry,    // the source's entry went meanwhile: ask again
    TimedOut, // its wait passed its deadline before its thread could end it
};

// A caller queued at its source's ceiling; lives on the caller's stack until
// answered or withdrawn.
struct Waiter {
    std::thread::id holder; // whose the connection will be
    std::thread::id self = std::this_thread::get_id();
    std::uint64_t deadline = platform::kNoDeadline;
    bool answered = false; // under wake's lock
    Grant grant = Grant::Retry;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    std::string error;
    std::uint32_t errorNumber = 0;
    AnswerQueue wake;
};

struct Spare {
    SQLHDBC hdbc = SQL_NULL_HDBC;
    std::uint32_t uses = 0;
    std::uint64_t idleSince = 0;
};

struct Lent {
    std::uint32_t uses = 0;
    std::thread::id holder;
    // Statements of the holder on it now: one nested in another's row text
    // shares its connection, as it cannot wait for that one to end.
    int users = 1;
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
    std::map<SQLHDBC, Lent> lent;
    // Callers connecting, each holding a place under the ceiling.
    int connecting = 0;
    // Callers at the ceiling, in the order they came.
    std::deque<Waiter*> waiters;
    // The most spares lent at once in this period and in the one before.
    std::size_t peakLent = 0;
    std::size_t previousPeakLent = 0;
    std::uint64_t periodStart = 0;
    std::uint64_t spareConnects = 0;

    std::size_t Open() const { return (hdbc ? 1 : 0) + spares.size() + lent.size() + connecting; }
    bool Empty() const { return Open() == 0 && waiters.empty(); }
};

// A source whose connect timed out: until then callers fail at once, and
// the first caller after tries again.
struct Refusal {
    std::uint64_t until = 0;
    std::uint64_t failedAt = 0;
    std::string error;
    std::uint32_t errorNumber = 0;
};

struct Retired {
    int holders = 0;
    std::thread::id holder;
};

struct PoolState {
    std::mutex lock;
    std::map<std::string, PooledConnection> pool;
    // Connections dropped while in use: the last holder closes them.
    std::map<SQLHDBC, Retired> retired;
    std::map<std::string, Refusal> refused;
    // The sources that have connected with their user and password: a
    // refused connect of one is its database restarting, not a mistake.
    std::map<std::string, bool> connectedBefore;
    // Connections each thread holds for its statements now.
    std::map<std::thread::id, int> busy;
    // The request thread's trim timer is set.
    bool trimArmed = false;
};

PoolState& Pool()
{
    return LastingState<PoolState>();
}

bool Succeeded(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// The socket each connection's driver talks to its database on, learnt at
// its connect from the sockets that appeared meanwhile (drivers do not
// say). Other connects beside it add theirs: those another connection
// claims are not its own. None appear for a driver without a server.
struct Wire {
    platform::SocketMark mark; // fd -1 while not known
    std::vector<platform::SocketMark> candidates;
};

struct Wires {
    std::mutex lock;
    std::map<SQLHDBC, Wire> byHandle;
};

Wires& TheWires()
{
    return LastingState<Wires>();
}

// added lives on the caller's heap; the wires on the shared one.
void NoteWire(SQLHDBC hdbc, const std::vector<platform::SocketMark>& added)
{
    CHeapSwitch shared;
    Wires& wires = TheWires();
    std::lock_guard<std::mutex> hold(wires.lock);
    Wire& wire = wires.byHandle[hdbc];
    wire.mark = added.size() == 1 ? added.front() : platform::SocketMark{};
    wire.candidates.clear();
    if (added.size() > 1)
        wire.candidates.assign(added.begin(), added.end());
}

void ForgetWire(SQLHDBC hdbc)
{
    CHeapSwitch shared;
    Wires& wires = TheWires();
    std::lock_guard<std::mutex> hold(wires.lock);
    wires.byHandle.erase(hdbc);
}

enum class WireState {
    NoSocket, // a driver without a server (SQLite)
    Quiet,
    Ended,    // the database closed it, or said something while it was idle
    Unknown,  // one of several sockets: not known which
};

// Looks, without waiting, at the socket of an idle connection.
WireState LookAtWire(SQLHDBC hdbc)
{
    Wires& wires = TheWires();
    std::lock_guard<std::mutex> hold(wires.lock);
    auto found = wires.byHandle.find(hdbc);
    if (found == wires.byHandle.end())
        return WireState::NoSocket;
    Wire& wire = found->second;
    if (wire.mark.fd < 0) {
        if (wire.candidates.empty())
            return WireState::NoSocket;
        std::erase_if(wire.candidates, [&](const platform::SocketMark& candidate) {
            return std::any_of(wires.byHandle.begin(), wires.byHandle.end(), [&](const auto& other) {
                return other.first != hdbc && other.second.mark.fd == candidate.fd &&
                       other.second.mark.inode == candidate.inode;
            });
        });
        if (wire.candidates.size() != 1)
            return WireState::Unknown;
        wire.mark = wire.candidates.front();
        wire.candidates.clear();
    }
    return platform::LookAtIdleSocket(wire.mark) == platform::IdleSocket::Quiet ? WireState::Quiet : WireState::Ended;
}

// Whether an idle connection may be lent, and whether it is looked at
// with a statement first: one that sat idle a while, or whose socket is not
// known. False for one the database ended: a backend ended (a restart, an
// administrator) sends its notice and closes while the connection is idle,
// and a statement sent on it would fail after it was sent, when whether
// it ran can no longer be told. Idle as little as it may, it goes, and the
// caller connects afresh.
bool MayLend(SQLHDBC hdbc, std::uint64_t idleSince, bool& check)
{
    switch (LookAtWire(hdbc)) {
    case WireState::Ended:
        return false;
    case WireState::Unknown:
        check = true;
        return true;
    case WireState::NoSocket:
    case WireState::Quiet:
        break;
    }
    check = platform::MonotonicMs() - idleSince >= kODBCCheckIdleMs;
    return true;
}

// What a locked section leaves to do once the lock is let go: the closes,
// and the waiters it answered are woken by then already.
struct Unlocked {
    std::vector<SQLHDBC> closing;
    bool wakeTrim = false;
    ~Unlocked()
    {
        for (SQLHDBC hdbc : closing)
            CloseODBCHandleLater(hdbc);
        if (wakeTrim)
            WakeODBCThreadForTrim();
    }
};

// Holds the pool's lock with the shared heap in place: the pool's nodes
// outlive every caller's heap.
struct PoolLock {
    CHeapSwitch shared;
    std::lock_guard<std::mutex> hold{Pool().lock};
};

void Hold(std::thread::id holder)
{
    ++Pool().busy[holder];
}

void Unhold(std::thread::id holder)
{
    auto found = Pool().busy.find(holder);
    if (found != Pool().busy.end() && --found->second <= 0)
        Pool().busy.erase(found);
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
void TrimSpares(PooledConnection& entry, Unlocked& after)
{
    while (!entry.spares.empty() && entry.spares.size() + entry.lent.size() > SpareDemand(entry)) {
        // The oldest idle one goes: spares are lent from the back.
        after.closing.push_back(entry.spares.front().hdbc);
        entry.spares.erase(entry.spares.begin());
    }
}

bool AtCeiling(const PooledConnection& entry)
{
    const std::uint32_t ceiling = ODBCMaxConnections();
    return ceiling != 0 && entry.Open() >= ceiling;
}

void Answer(Waiter& waiter, Grant grant, SQLHDBC hdbc = SQL_NULL_HDBC, const std::string* error = nullptr,
            std::uint32_t errorNumber = 0)
{
    waiter.wake.Lock();
    waiter.grant = grant;
    waiter.hdbc = hdbc;
    if (error) {
        waiter.error = *error;
        waiter.errorNumber = errorNumber;
    }
    waiter.answered = true;
    waiter.wake.WakeAll();
    waiter.wake.Unlock();
}

// The first waiter, or with preferFree the first whose thread holds no
// connection (it can take one up at once), looking a little way along.
// Waiters past their deadline are answered so on the way: a fiber whose
// worker was busy all along could not end its own wait, and a connection
// handed to it would wait with it.
Waiter* NextWaiter(PooledConnection& entry, bool preferFree = false)
{
    const std::uint64_t now = platform::MonotonicMs();
    while (!entry.waiters.empty() && entry.waiters.front()->deadline <= now) {
        Answer(*entry.waiters.front(), Grant::TimedOut);
        entry.waiters.pop_front();
    }
    if (entry.waiters.empty())
        return nullptr;
    auto chosen = entry.waiters.begin();
    if (preferFree) {
        const std::size_t scan = std::min(entry.waiters.size(), kWaiterScan);
        for (std::size_t i = 0; i < scan; ++i) {
            if (Pool().busy.count(entry.waiters[i]->self) == 0) {
                chosen = entry.waiters.begin() + static_cast<std::ptrdiff_t>(i);
                break;
            }
        }
    }
    Waiter* waiter = *chosen;
    entry.waiters.erase(chosen);
    return waiter;
}

std::string RefusalText(const Refusal& refusal)
{
    const std::uint64_t ago = platform::MonotonicMs() - refusal.failedAt;
    return refusal.error + "; no connect was tried: the last one timed out " + std::to_string(ago / 1000) + "." +
           std::to_string(ago % 1000 / 100) + " seconds ago";
}

// A connect that timed out makes the source fail at once for a while, so
// that its callers are not each held for the login time-out. A refused
// connect costs nothing to try again and is the page's alone, as any other
// failure (a wrong data source name, a wrong password).
bool NoteConnectFailure(const std::string& key, SQLHDBC hdbc, std::uint64_t tookMs)
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
    // Not every driver says HYT00: one that ran out its login time-out took
    // about that long.
    // The PostgreSQL client counts its time-out in whole seconds of the
    // clock, so it may give up up to a second early.
    const std::uint64_t login = std::uint64_t{ODBCLoginTimeoutSeconds()} * 1000;
    if (!code.starts_with("HYT") && tookMs < login - std::min(login / 10 + 1000, login / 2)) {
        Pool().refused.erase(key);
        return false;
    }
    Refusal& refusal = Pool().refused[key];
    refusal.failedAt = platform::MonotonicMs();
    refusal.until = refusal.failedAt + kODBCRefusedSourceMs;
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

// Lends the pooled connection or an idle spare to caller; false when both
// are busy. An idle one the database ended is closed on the way.
bool LendIdle(PooledConnection& entry, std::thread::id caller, ODBCLease& lease, Unlocked& after)
{
    if (entry.hdbc && entry.activeUsers == 0 && !MayLend(entry.hdbc, entry.idleSince, lease.check)) {
        after.closing.push_back(entry.hdbc);
        entry.hdbc = SQL_NULL_HDBC;
    }
    if (entry.hdbc && (entry.activeUsers == 0 || entry.holder == caller)) {
        if (entry.activeUsers != 0)
            lease.check = false;
        ++entry.activeUsers;
        ++entry.uses;
        entry.holder = caller;
        lease.hdbc = entry.hdbc;
        lease.pooled = 1;
        Hold(caller);
        return true;
    }
    for (auto& [hdbc, lent] : entry.lent) {
        if (lent.holder == caller) {
            ++lent.users;
            lease.hdbc = hdbc;
            lease.pooled = 1;
            Hold(caller);
            return true;
        }
    }
    while (!entry.spares.empty()) {
        Spare spare = entry.spares.back();
        entry.spares.pop_back();
        if (!MayLend(spare.hdbc, spare.idleSince, lease.check)) {
            after.closing.push_back(spare.hdbc);
            continue;
        }
        entry.lent[spare.hdbc] = Lent{spare.uses + 1, caller};
        NoteLent(entry);
        lease.hdbc = spare.hdbc;
        lease.pooled = 1;
        Hold(caller);
        return true;
    }
    return false;
}

// Puts a connection the caller now holds into the pool: the source's own
// when it has none, else a lent spare.
void Enter(PooledConnection& entry, SQLHDBC hdbc, std::thread::id caller)
{
    Hold(caller);
    if (entry.hdbc == SQL_NULL_HDBC) {
        entry.hdbc = hdbc;
        entry.uses = 0;
        entry.activeUsers = 1;
        entry.holder = caller;
        return;
    }
    entry.lent[hdbc] = Lent{0, caller};
    ++entry.spareConnects;
    NoteLent(entry);
}

// Hands a connection given back to a waiter, if any: the pooled one, or a
// spare with its count of uses.
bool HandToWaiter(PooledConnection& entry, SQLHDBC hdbc, bool pooledOne, std::uint32_t uses)
{
    Waiter* waiter = NextWaiter(entry, true);
    if (!waiter)
        return false;
    if (pooledOne) {
        entry.activeUsers = 1;
        ++entry.uses;
        entry.holder = waiter->holder;
    } else {
        entry.lent[hdbc] = Lent{uses, waiter->holder};
        NoteLent(entry);
    }
    Hold(waiter->holder);
    Answer(*waiter, Grant::Got, hdbc);
    return true;
}

// A place under the ceiling came free: the first waiter connects in it.
void PassPlace(PooledConnection& entry)
{
    if (Waiter* waiter = NextWaiter(entry)) {
        ++entry.connecting;
        Answer(*waiter, Grant::Connect);
    }
}

// Removes a source's entry; a connection still in use is closed by its last
// holder, and its waiters ask again.
std::map<std::string, PooledConnection>::iterator DropEntry(std::map<std::string, PooledConnection>::iterator entry,
                                                            Unlocked& after)
{
    PooledConnection& dropped = entry->second;
    for (Spare& spare : dropped.spares)
        after.closing.push_back(spare.hdbc);
    for (auto& [hdbc, lent] : dropped.lent)
        Pool().retired[hdbc] = Retired{lent.users, lent.holder};
    if (dropped.activeUsers > 0)
        Pool().retired[dropped.hdbc] = Retired{dropped.activeUsers, dropped.holder};
    else if (dropped.hdbc)
        after.closing.push_back(dropped.hdbc);
    while (Waiter* waiter = NextWaiter(dropped))
        Answer(*waiter, Grant::Retry);
    return Pool().pool.erase(entry);
}

// The decision for one ask, under the lock.
Grant Decide(const std::string& key, std::thread::id holder, bool inPlace, bool defer, std::uint64_t deadline,
             Waiter& waiter, ODBCLease& lease, Unlocked& after)
{
    auto found = Pool().pool.find(key);
    if (found != Pool().pool.end()) {
        // Also when only the pooled connection is in use any more.
        RollDemandPeriod(found->second);
        TrimSpares(found->second, after);
        // Drivers crash when two threads drive one connection at once,
        // which async-sql queries would do; nested queries on one thread
        // may share it. A caller from another thread while it is busy gets
        // a spare connection instead.
        if (LendIdle(found->second, holder, lease, after))
            return Grant::Got;
    }
    if (defer)
        return Grant::Deferred;
    if (const Refusal* refusal = RefusedNow(key)) {
        lease.error = RefusalText(*refusal);
        lease.errorNumber = refusal->errorNumber;
        return Grant::Refused;
    }
    PooledConnection& entry = found != Pool().pool.end() ? found->second : Pool().pool[key];
    // A caller beyond the ceiling waits its turn rather than taking one of
    // the connections the database keeps for everyone else; one nested on
    // the request thread cannot wait for its own statement to end.
    if (!inPlace && AtCeiling(entry)) {
        waiter.holder = holder;
        waiter.deadline = deadline;
        entry.waiters.push_back(&waiter);
        return Grant::Wait;
    }
    ++entry.connecting;
    return Grant::Connect;
}

// After a connect: the new connection joins the pool (pooled set) or, when
// it failed, frees its place and may refuse the source for a while. limit
// is the driver's count of active statements (0 none).
void Adopt(const std::string& key, SQLHDBC hdbc, bool connected, SQLUSMALLINT limit, std::uint64_t tookMs,
           std::thread::id holder, ODBCLease& lease)
{
    PoolLock locked;
    auto found = Pool().pool.find(key);
    if (found == Pool().pool.end())
        found = Pool().pool.try_emplace(key).first;
    PooledConnection& entry = found->second;
    if (entry.connecting > 0)
        --entry.connecting;
    if (!connected) {
        // No handle: no connect was tried (the client left), which says
        // nothing of the source.
        if (hdbc != SQL_NULL_HDBC && NoteConnectFailure(key, hdbc, tookMs)) {
            const Refusal& refusal = Pool().refused[key];
            const std::string text = RefusalText(refusal);
            while (Waiter* waiter = NextWaiter(entry))
                Answer(*waiter, Grant::Refused, SQL_NULL_HDBC, &text, refusal.errorNumber);
        } else {
            PassPlace(entry);
        }
    } else {
        Pool().refused.erase(key);
        if (Pool().connectedBefore.size() < kRememberedSources)
            Pool().connectedBefore[key] = true;
        if (limit == 0) {
            Enter(entry, hdbc, holder);
            lease.pooled = 1;
        } else {
            // Not shareable, so not pooled: its place goes to the next waiter.
            PassPlace(entry);
        }
    }
    if (entry.Empty())
        Pool().pool.erase(found);
}

// Connects to one data source run one at a time where its driver needs
// it: the SQLite driver crashed inside SQLConnect while another connect of
// its source ran (under a load of async-sql pages, once in some fifteen
// starts). Other drivers connect in parallel, so that a cold burst on a
// database whose login is slow waits one login, not one per page. Until a
// source's first connect has said which driver it has, its connects go one
// at a time.
struct ConnectTurn {
    std::timed_mutex lock;
    std::atomic<bool> known{false};
    std::atomic<bool> parallel{false};
    // Its driver is SQLite's (see ConnectODBC).
    std::atomic<bool> sqlite{false};
};

// A value of a connection string, braced when it holds what would end it.
std::string ConnectValue(const std::string& value)
{
    if (value.find_first_of(";{}=") == std::string::npos && (value.empty() || (value.front() != ' ' && value.back() != ' ')))
        return value;
    std::string braced = "{";
    for (char c : value) {
        braced += c;
        if (c == '}')
            braced += '}';
    }
    return braced + "}";
}

ConnectTurn& TurnOf(const std::string& dsn)
{
    static std::mutex* guard = [] {
        CHeapSwitch shared;
        return new std::mutex;
    }();
    static auto* turns = [] {
        CHeapSwitch shared;
        return new std::map<std::string, std::unique_ptr<ConnectTurn>>;
    }();
    CHeapSwitch shared;
    std::lock_guard<std::mutex> hold(*guard);
    std::unique_ptr<ConnectTurn>& turn = (*turns)[LowerName(dsn)];
    if (!turn)
        turn = std::make_unique<ConnectTurn>();
    return *turn;
}

// The SQLite driver, told by its name: none, when the driver says none.
std::optional<bool> SQLiteDriver(SQLHDBC hdbc)
{
    SQLCHAR name[256] = {};
    SQLSMALLINT length = 0;
    if (!Succeeded(SQLGetInfo(hdbc, SQL_DRIVER_NAME, name, sizeof name, &length)))
        return std::nullopt;
    return LowerName(reinterpret_cast<char*>(name)).find("sqlite") != std::string::npos;
}

// Whether the driver of a connected handle takes connects beside others.
bool DriverConnectsInParallel(SQLHDBC hdbc)
{
    return SQLiteDriver(hdbc) == false;
}

// Runs connect (which answers the connected handle, or null) in the
// source's turn when its driver needs one; false, with nothing run, when
// the turn did not come by the deadline.
template <typename Connect>
bool InTurn(const std::string& dsn, std::uint64_t deadline, Connect connect)
{
    ConnectTurn& turn = TurnOf(dsn);
    std::unique_lock<std::timed_mutex> hold(turn.lock, std::defer_lock);
    if (!turn.parallel.load()) {
        const std::uint64_t now = platform::MonotonicMs();
        const auto wait = std::chrono::milliseconds(deadline > now ? std::min<std::uint64_t>(deadline - now, 86400000) : 0);
        if (!hold.try_lock_for(wait))
            return false;
        if (turn.parallel.load())
            hold.unlock(); // learnt while this one waited
    }
    const SQLHDBC connected = connect();
    if (connected != SQL_NULL_HDBC && !turn.known.load()) {
        turn.parallel = DriverConnectsInParallel(connected);
        turn.known = true;
    }
    return true;
}

// A connect that waited its turn (since asked) behind one that timed out
// meanwhile is not made.
bool RefusedWhileWaiting(const std::string& key, std::uint64_t asked, ODBCLease& lease)
{
    PoolLock locked;
    auto found = Pool().refused.find(key);
    if (found == Pool().refused.end() || found->second.failedAt < asked)
        return false;
    lease.error = RefusalText(found->second);
    lease.errorNumber = found->second.errorNumber;
    return true;
}

// Whether a connect that failed may be tried again (one of a caller that
// waited for a connection: a page that finds the database down fails at
// once, one that was queued behind statements a restart ended does not):
// the server refused it
// at once (class 08, or 57P03 "starting up") for a source that connected
// with the same user and password before, and the caller's time-out leaves
// room for the pause and another login.
bool MayConnectAgain(const std::string& key, SQLHDBC hdbc, std::uint64_t tookMs, std::uint64_t deadline)
{
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (!Succeeded(SQLGetDiagRec(SQL_HANDLE_DBC, hdbc, 1, state, &native, nullptr, 0, &length)))
        return false;
    const std::string_view code(reinterpret_cast<char*>(state));
    if (!(code.starts_with("08") || code == "57P03"))
        return false;
    const std::uint64_t login = std::uint64_t{ODBCLoginTimeoutSeconds()} * 1000;
    if (tookMs >= login / 2 || platform::MonotonicMs() + kReconnectPauseMs + tookMs >= deadline)
        return false;
    PoolLock locked;
    return Pool().connectedBefore.count(key) != 0;
}

// Connects a new handle for holder in the place it was given: on a thread
// of its own for a caller in a fiber, so that a database host that does not
// answer holds this caller alone, not its worker's other connections.
SQLRETURN ConnectNew(const std::string& key, const char* source, std::thread::id holder, std::uint64_t deadline,
                     bool waited, ODBCLease& lease)
{
    SQLHDBC hdbc = SQL_NULL_HDBC;
    bool connected = false;
    SQLUSMALLINT limit = 0;
    // A page whose client left is not worth a connect that may take the
    // whole login time-out.
    const int client = GetClientHandle();
    const bool clientLeft = client >= 0 && platform::PeerHungUp(client);
    if (!clientLeft && Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, ODBCEnvironment(), &hdbc))) {
        const ODBCSource fields = SplitODBCSource(source);
        bool refused = false;
        std::uint64_t took = 0;
        const std::uint64_t asked = platform::MonotonicMs();
        bool late = false;
        auto connect = [&] {
            late = !InTurn(fields.dsn, deadline, [&]() -> SQLHDBC {
                // A connect ahead of this one that timed out is said before
                // its turn passed: this page fails with it rather than
                // making a whole login time-out of its own.
                if ((refused = RefusedWhileWaiting(key, asked, lease)))
                    return SQL_NULL_HDBC;
                const std::uint64_t begun = platform::MonotonicMs();
                connected = Succeeded(ConnectODBC(hdbc, fields));
                took = platform::MonotonicMs() - begun;
                if (connected && !Succeeded(SQLGetInfo(hdbc, SQL_MAX_CONCURRENT_ACTIVITIES, &limit, sizeof limit, nullptr)))
                    limit = 0;
                if (!connected) {
                    PoolLock locked;
                    NoteConnectFailure(key, hdbc, took);
                }
                return connected ? hdbc : SQL_NULL_HDBC;
            });
        };
        // Bounded by the deadline: each round takes at least the pause.
        for (;;) {
            if (platform::ThreadHasWaitSeam())
                platform::RunOnOwnThread(connect);
            else
                connect();
            if (connected || refused || late || !waited || !MayConnectAgain(key, hdbc, took, deadline))
                break;
            platform::SleepMs(kReconnectPauseMs);
        }
        if (late) {
            lease.error = "(HYT00) Timeout expired: the data source's connects ahead of this one took " +
                          std::to_string((platform::MonotonicMs() - asked) / 1000) + " seconds";
            refused = true;
        }
        if (refused) {
            CloseODBCHandleLater(hdbc);
            hdbc = SQL_NULL_HDBC;
        }
        lease.pooled = 0;
        Adopt(key, hdbc, connected, limit, took, holder, lease);
    } else {
        lease.pooled = 0;
        Adopt(key, SQL_NULL_HDBC, false, 0, 0, holder, lease);
        hdbc = SQL_NULL_HDBC;
    }
    // A failed handle stays with the caller, whose error its records give.
    lease.hdbc = hdbc;
    return connected ? SQL_SUCCESS : -1;
}

// Waits, parked, for the caller's turn at its source's ceiling; at the
// deadline it leaves the queue, unless it was answered meanwhile.
bool AwaitTurn(const std::string& key, Waiter& waiter, std::uint64_t deadline)
{
    waiter.wake.Lock();
    while (!waiter.answered && waiter.wake.Wait(deadline)) {
    }
    const bool answered = waiter.answered;
    waiter.wake.Unlock();
    if (answered)
        return true;
    PoolLock locked;
    auto found = Pool().pool.find(key);
    if (found != Pool().pool.end()) {
        auto& waiters = found->second.waiters;
        auto at = std::find(waiters.begin(), waiters.end(), &waiter);
        if (at != waiters.end()) {
            waiters.erase(at);
            return false;
        }
    }
    // Answered while the lock was being taken: every answer is given under it.
    return true;
}

} // namespace

namespace {

// The login time-out must be in place before the connect it limits. It is
// the settable one, not minutes: a database host that accepts and never
// answers would hold the caller for as long.
SQLRETURN ConnectDriver(SQLHDBC hdbc, const ODBCSource& source)
{
    const SQLULEN seconds = ODBCLoginTimeoutSeconds();
    SQLSetConnectAttr(hdbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
    SQLSetConnectAttr(hdbc, SQL_ATTR_QUIET_MODE, nullptr, 0);
    auto text = [](const std::string& s) { return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str())); };
    // SQLite waits for a lock another process holds in a sleep of its own
    // (the driver's default: 100 s) that no cancel reaches, and takes its
    // length only at the connect. A statement may wait twice (to read, then
    // to write), so each wait is half the query time-out: a locked file
    // fails its pages by their time-out. The first connect of a source
    // learns its driver, and is made again so when it is SQLite's.
    const std::uint32_t query = ODBCQueryTimeoutSeconds();
    ConnectTurn& turn = TurnOf(source.dsn);
    auto busyLimited = [&] {
        std::string attributes = "DSN=" + ConnectValue(source.dsn) + ";UID=" + ConnectValue(source.user) +
                                 ";PWD=" + ConnectValue(source.password) +
                                 ";Timeout=" + std::to_string(std::uint64_t{query} * 1000 / 2);
        SQLSMALLINT length = 0;
        return SQLDriverConnect(hdbc, nullptr, text(attributes), SQL_NTS, nullptr, 0, &length, SQL_DRIVER_NOPROMPT);
    };
    if (query != 0 && turn.sqlite.load())
        return busyLimited();
    SQLRETURN rc = SQLConnect(hdbc, text(source.dsn), SQL_NTS, text(source.user), SQL_NTS, text(source.password), SQL_NTS);
    if (Succeeded(rc) && SQLiteDriver(hdbc) == true) {
        turn.sqlite = true;
        if (query != 0) {
            SQLDisconnect(hdbc);
            rc = busyLimited();
        }
    }
    return rc;
}

} // namespace

SQLRETURN ConnectODBC(SQLHDBC hdbc, const ODBCSource& source)
{
    const bool knownSQLite = TurnOf(source.dsn).sqlite.load();
    const std::vector<platform::SocketMark> before =
        knownSQLite ? std::vector<platform::SocketMark>() : platform::OpenStreamSockets();
    const SQLRETURN rc = ConnectDriver(hdbc, source);
    // SQLite's driver has no server: what other threads opened meanwhile
    // is none of its own.
    const bool served = Succeeded(rc) && !knownSQLite && SQLiteDriver(hdbc) != true;
    NoteWire(hdbc, served ? platform::NewSockets(before, platform::OpenStreamSockets())
                          : std::vector<platform::SocketMark>());
    return rc;
}

SQLRETURN FreeODBCHandle(SQLHDBC hdbc)
{
    ForgetWire(hdbc);
    if (hdbc == SQL_NULL_HDBC || CancelHoldsConnection(hdbc))
        return SQL_SUCCESS;
    SQLDisconnect(hdbc);
    return SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
}

SQLRETURN PoolAcquire(const char* source, std::thread::id holder, bool defer, ODBCLease& lease)
{
    lease.hdbc = SQL_NULL_HDBC;
    lease.pooled = 0;
    lease.check = false;
    lease.error.clear();
    lease.errorNumber = 0;
    lease.deferred = false;
    const std::uint32_t seconds = ODBCQueryTimeoutSeconds();
    const std::uint64_t deadline = platform::DeadlineAfter(seconds ? seconds * 1000 : kODBCMutexWaitMs);
    const bool inPlace = OnODBCRequestThread();
    std::string key;
    {
        CHeapSwitch shared;
        key = ODBCPoolKey(source);
    }
    bool waited = false;
    for (int round = 0; round < kAcquireRounds; ++round) {
        Waiter waiter;
        Grant grant;
        {
            Unlocked after;
            PoolLock locked;
            grant = Decide(key, holder, inPlace, defer && inPlace, deadline, waiter, lease, after);
        }
        if (grant == Grant::Wait) {
            waited = true;
            if (!AwaitTurn(key, waiter, deadline) || waiter.grant == Grant::TimedOut) {
                lease.error = "(HYT00) Timeout expired: all " + std::to_string(ODBCMaxConnections()) +
                              " connections the data source may have were in use for " +
                              std::to_string(seconds ? seconds : kODBCMutexWaitMs / 1000) + " seconds";
                return -1;
            }
            grant = waiter.grant;
            lease.hdbc = waiter.hdbc;
            lease.pooled = grant == Grant::Got ? 1 : 0;
            lease.error = waiter.error;
            lease.errorNumber = waiter.errorNumber;
        }
        switch (grant) {
        case Grant::Got:
            return SQL_SUCCESS;
        case Grant::Deferred:
            lease.deferred = true;
            return -1;
        case Grant::Refused:
            return -1;
        case Grant::Connect:
            return ConnectNew(key, source, holder, deadline, waited, lease);
        case Grant::Wait:
        case Grant::Retry:
        case Grant::TimedOut:
            break;
        }
    }
    lease.error = "(08003) The data source's connections were dropped while the query waited for one";
    return -1;
}

int PoolRelease(const char* source, SQLHDBC hdbc)
{
    std::string key;
    {
        CHeapSwitch shared;
        key = ODBCPoolKey(source);
    }
    Unlocked after;
    std::unique_lock<std::mutex> hold(Pool().lock, std::defer_lock);
    CHeapSwitch shared;
    hold.lock();
    auto found = Pool().pool.find(key);
    if (found != Pool().pool.end() && found->second.hdbc == hdbc) {
        PooledConnection* entry = &found->second;
        --entry->activeUsers;
        Unhold(entry->holder);
        if (entry->uses > kODBCRefreshAfterUses && entry->activeUsers == 0) {
            // Kept from every caller while the new connection is made, which
            // is before the old one goes: closing a driver's last connection
            // makes the driver manager unload the driver, only to load it
            // again for the new one.
            entry->activeUsers = 1;
            entry->holder = std::thread::id();
            hold.unlock();
            SQLHDBC fresh = SQL_NULL_HDBC;
            auto connect = [&] {
                const std::uint64_t deadline = platform::DeadlineAfter(ODBCLoginTimeoutSeconds() * 1000);
                InTurn(SplitODBCSource(source).dsn, deadline, [&]() -> SQLHDBC {
                    if (!Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, ODBCEnvironment(), &fresh))) {
                        fresh = SQL_NULL_HDBC;
                    } else if (!Succeeded(ConnectODBC(fresh, SplitODBCSource(source)))) {
                        after.closing.push_back(fresh);
                        fresh = SQL_NULL_HDBC;
                    }
                    return fresh;
                });
            };
            if (platform::ThreadHasWaitSeam())
                platform::RunOnOwnThread(connect);
            else
                connect();
            hold.lock();
            found = Pool().pool.find(key);
            if (found == Pool().pool.end() || found->second.hdbc != hdbc) {
                // Flushed meanwhile: the old one was retired with this holder.
                Pool().retired.erase(hdbc);
                after.closing.push_back(hdbc);
                if (fresh)
                    after.closing.push_back(fresh);
                return 1;
            }
            entry = &found->second;
            entry->activeUsers = 0;
            after.closing.push_back(hdbc);
            if (!fresh) {
                // A dead handle would fail every later query: drop it so the
                // next one connects afresh.
                entry->hdbc = SQL_NULL_HDBC;
                PassPlace(*entry);
                if (entry->Empty())
                    Pool().pool.erase(found);
                return 1;
            }
            entry->hdbc = fresh;
            entry->uses = 0;
        }
        if (entry->activeUsers == 0) {
            entry->idleSince = platform::MonotonicMs();
            HandToWaiter(*entry, entry->hdbc, true, 0);
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
            Unhold(lent->second.holder);
            if (--lent->second.users > 0)
                return 1; // a statement it is nested in still uses it
            const std::uint32_t uses = lent->second.uses;
            entry.lent.erase(lent);
            RollDemandPeriod(entry);
            if (uses > kODBCRefreshAfterUses) {
                after.closing.push_back(hdbc);
                PassPlace(entry);
            } else if (!HandToWaiter(entry, hdbc, false, uses + 1)) {
                if (entry.spares.size() + entry.lent.size() + 1 > SpareDemand(entry)) {
                    after.closing.push_back(hdbc);
                } else {
                    entry.spares.push_back({hdbc, uses, platform::MonotonicMs()});
                    if (!Pool().trimArmed) {
                        Pool().trimArmed = true;
                        after.wakeTrim = true;
                    }
                }
                TrimSpares(entry, after);
            }
            return 1;
        }
    }
    auto retired = Pool().retired.find(hdbc);
    if (retired != Pool().retired.end()) {
        Unhold(retired->second.holder);
        if (--retired->second.holders > 0)
            return 1; // another holder still uses it and closes it last
        Pool().retired.erase(retired);
    }
    return 0;
}

void PoolFlush(const char* source)
{
    Unlocked after;
    PoolLock locked;
    if (source == nullptr) {
        for (auto entry = Pool().pool.begin(); entry != Pool().pool.end();)
            entry = DropEntry(entry, after);
        return;
    }
    auto found = Pool().pool.find(ODBCPoolKey(source));
    if (found != Pool().pool.end())
        DropEntry(found, after);
}

// A lost connection takes the source's spares with it: a database that
// restarted dropped them all. An entry that already holds another
// connection (made after the loss) stays.
void PoolDiscard(const char* source, SQLHDBC hdbc)
{
    Unlocked after;
    PoolLock locked;
    auto found = Pool().pool.find(ODBCPoolKey(source));
    if (found != Pool().pool.end() && (found->second.hdbc == hdbc || found->second.lent.count(hdbc) != 0))
        DropEntry(found, after);
}

void PoolClear()
{
    PoolFlush(nullptr);
    Unlocked after;
    PoolLock locked;
    for (auto& [hdbc, retired] : Pool().retired)
        after.closing.push_back(hdbc);
    Pool().retired.clear();
    Pool().refused.clear();
    Pool().connectedBefore.clear();
    Pool().busy.clear();
    Pool().trimArmed = false; // the next thread starts with no timer
}

// Run by the request thread when no request came for a while, so that a
// burst's spares close once it is over, not when a later page asks.
std::uint64_t PoolTrim()
{
    Unlocked after;
    PoolLock locked;
    bool spares = false;
    for (auto& [key, entry] : Pool().pool) {
        RollDemandPeriod(entry);
        TrimSpares(entry, after);
        spares = spares || !entry.spares.empty();
    }
    Pool().trimArmed = spares;
    return spares ? platform::MonotonicMs() + g_spareDemandPeriodMs.load(std::memory_order_relaxed) : platform::kNoDeadline;
}

std::uint64_t PoolNextTrim()
{
    PoolLock locked;
    bool spares = false;
    for (const auto& [key, entry] : Pool().pool)
        spares = spares || !entry.spares.empty();
    Pool().trimArmed = spares;
    return spares ? platform::MonotonicMs() + g_spareDemandPeriodMs.load(std::memory_order_relaxed) : platform::kNoDeadline;
}

bool PoolInspect(const char* source, ODBCPoolEntryInfo& info)
{
    PoolLock locked;
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
    PoolLock locked;
    return Pool().pool.size();
}

void SetODBCSpareDemandPeriodMs(std::uint64_t milliseconds)
{
    g_spareDemandPeriodMs = milliseconds ? milliseconds : kODBCSpareDemandPeriodMs;
}
