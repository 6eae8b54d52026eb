#pragma once
// The ODBC request thread, its connection pool and its statement watchdog.
// Every ODBC call of the SQL macros goes through one dedicated thread that
// owns the environment; a caller (thread or connection fiber) hands its
// request over and waits, a fiber parking while it does. With async-sql
// defined in the calling scope a query runs on the caller's own thread, or,
// for a caller in a fiber, on one of a bounded set of statement threads
// while only the fiber waits.
// The pool of open connections, keyed by data source, has a lock of its
// own: a connection is lent and given back on the caller's thread, and one
// given back goes straight to a caller waiting at its source's ceiling.
//
// Stopping is cooperative: a statement in flight is cancelled with
// SQLCancel, then the thread is joined; it is never killed. A watchdog
// thread cancels the same way a driver call that runs past the query
// time-out (some drivers ignore SQL_ATTR_QUERY_TIMEOUT) and a statement
// whose client has left, so no statement holds the one request thread, or
// an async-sql caller's worker, for longer than the time-out.
//
// The units: odbc_thread.cpp (where a statement runs: the request thread
// and its queue, the statement threads), odbc_pool.cpp (the
// pool and the hand-over to waiters), odbc_watch.cpp (the watchdog and its
// cancels).

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CMacroContext;
class CTextBuffer;

inline constexpr std::uint32_t kODBCMutexWaitMs = 300000;
// What a driver call of a statement, and a connect, may take unless the
// product key's SQLQueryTimeout and SQLLoginTimeout (seconds) say otherwise:
// past what a page's reader waits for, and short enough that a stuck
// statement or a database host that does not answer holds the one request
// thread, and so every page's SQL, for seconds, not minutes.
inline constexpr std::uint32_t kODBCDefaultQueryTimeoutSeconds = 15;
inline constexpr std::uint32_t kODBCDefaultLoginTimeoutSeconds = 10;
// Connections a source may have open at once unless the product key's
// SQLMaxConnections says otherwise (0 there: no ceiling): what a database's
// usual limit of about a hundred carries for a few sources and its other
// users. A caller beyond it waits for one given back.
inline constexpr std::uint32_t kODBCDefaultMaxConnections = 20;
// A source whose connect timed out fails at once for this long; then one
// caller tries again. A refused connect is not held against the source.
inline constexpr std::uint64_t kODBCRefusedSourceMs = 5000;
// A pooled connection idle this long is looked at before it is used: a
// database that restarted meanwhile ended it.
inline constexpr std::uint64_t kODBCCheckIdleMs = 500;
// A driver that keeps the query time-out itself is left this long to
// report it before the watchdog cancels.
inline constexpr std::uint32_t kODBCCancelGraceMs = 1000;
// How long after its first cancel a call that is still blocked is given
// up: the socket it waits on is shut down, and a cancel not back by then
// is left to end by itself.
inline constexpr std::uint32_t kODBCCancelGiveUpMs = 1000;
// How often the watchdog looks at statements in flight.
inline constexpr std::uint32_t kODBCWatchTickMs = 100;
inline constexpr std::uint32_t kODBCRefreshAfterUses = 16;
inline constexpr std::uint64_t kODBCSpareDemandPeriodMs = 10000;
// Threads that run the async-sql statements of pages served in fibers, at
// most (a statement beyond waits for one, up to its query time-out), and how
// long one stays idle before it ends.
inline constexpr std::size_t kODBCStatementThreads = 256;
inline constexpr std::uint32_t kODBCStatementThreadIdleMs = 30000;
inline constexpr std::uint32_t kODBCStartWaitMs = 10000;
inline constexpr std::uint32_t kODBCStopWaitMs = 3000;
inline constexpr std::uint32_t kEventODBCError = 0x8000400B;
inline constexpr const char* kODBCErrorType = "ODBC";

// The three fields of a data-source string "source;user;password", split by
// position: "dsn;;secret" has an empty user.
struct ODBCSource {
    std::string dsn;
    std::string user;
    std::string password;
};
ODBCSource SplitODBCSource(std::string_view source);
// The pool key: the data-source name folded to lower case, user and
// password exactly as given.
std::string ODBCPoolKey(std::string_view source);

// An INSERT whose identifiers are quoted with the driver's own quote
// character once the connection is known.
struct ODBCInsert {
    std::string table;
    std::vector<std::string> columns;
    std::vector<std::string> values; // already quoted literals
    std::string Build(std::string_view quote) const;
};

// The arguments of one query. The three texts may be null; raw says whether
// each was passed unexpanded (then it is expanded; else appended as it is).
// A connection as the pool lends it, or why there is none.
struct ODBCLease {
    SQLHDBC hdbc = SQL_NULL_HDBC;
    int pooled = 0;
    bool check = false; // idle a while: look at it before use
    // Set when the pool itself said why (a source refused a moment ago, a
    // wait for a connection that timed out); else the handle's records say.
    std::string error;
    std::uint32_t errorNumber = 0;
    // The request thread left the connect or the wait to the caller, who
    // asks again with the lease given.
    bool deferred = false;
    bool given = false;
    SQLRETURN result = -1;
};

struct ODBCQuery {
    CMacroContext* scope = nullptr;
    CTextBuffer* out = nullptr;
    const char* source = nullptr;
    const char* statement = nullptr;
    const ODBCInsert* insert = nullptr; // instead of statement
    const char* rowText = nullptr;
    const char* beforeText = nullptr;
    const char* afterText = nullptr;
    bool rowRaw = false;
    bool beforeRaw = false;
    bool afterRaw = false;
    // A query of its own on the request thread: its connection is made
    // (or waited for) by the caller, off the thread.
    ODBCLease* lease = nullptr;
};

int StartODBCThread();
void StopODBCThread();
bool ODBCThreadRunning();

// Runs one statement; output and macro errors as ExecuteSQLQuery gives them.
// A request that cannot get the thread in time, or finds it gone, is an
// ODBC macro error.
void SQLQuery(const ODBCQuery& query);

// 0 with hdbc set and pooled 1 (give it back with ReleaseConnection) or 0
// (close it with CloseConnection); -1 on failure (hdbc may still need
// closing). A caller on another thread than the pooled connection's busy
// holder gets a spare connection of the source, still pooled.
SQLRETURN GetConnection(const char* source, SQLHDBC& hdbc, int& pooled);
// GetConnection with the whole answer. A new connection is made off the
// request thread, and a caller beyond the source's ceiling waits its turn
// (bounded by the query time-out). With defer, on the request thread, a
// connect or a wait is not done but left to the caller (lease.deferred).
SQLRETURN AcquireConnection(const char* source, ODBCLease& lease, bool defer = false);
// 1 when the connection was given back; 0 when the caller must close it
// (its source left the pool meanwhile and no other holder uses it).
int ReleaseConnection(const char* source, SQLHDBC hdbc);
SQLRETURN CloseConnection(SQLHDBC hdbc);
// Drops the pooled connection of a source, or all when source is null; a
// connection still in use is closed by its last holder instead.
void FlushConnection(const char* source);

// Drops the pooled connection of a source when hdbc is (or is lent from)
// it, after the connection failed as a lost one: the next caller connects
// afresh. Holders still using it close it as for a flush.
void DiscardConnection(const char* source, SQLHDBC hdbc);

SQLHENV ODBCEnvironment();

// Time-outs in seconds: a query time-out of 0 is no limit, none the
// default; a login time-out of 0 keeps the default. Read at every statement
// and connect, so a change applies to the next one.
void SetODBCTimeouts(std::optional<std::uint32_t> querySeconds, std::uint32_t loginSeconds);
std::uint32_t ODBCQueryTimeoutSeconds();
std::uint32_t ODBCLoginTimeoutSeconds();
// Connections per source at most (0: no ceiling); none gives the default.
void SetODBCMaxConnections(std::optional<std::uint32_t> connections);
std::uint32_t ODBCMaxConnections();

// Why a statement was cancelled.
enum class ODBCCancel { None, TimedOut, ClientLeft, Stopped };

// Statements in flight register here, with their connection and the client
// connection the calling thread serves, so that the watchdog and a stop can
// cancel them. A driver call that may block is bracketed by
// ODBCCallStarting, which answers the reason not to make it (None: go on),
// and ODBCCallEnded, which answers why it was cancelled meanwhile (None: it
// was not). ODBCStatementEnded answers whether the caller frees the handle:
// false when a cancel given up still runs on it, which then frees it.
void ODBCStatementStarted(SQLHSTMT statement, SQLHDBC connection);
bool ODBCStatementEnded(SQLHSTMT statement);
// True once the statement's call was given up (its socket shut down, or
// its cancel left running): its connection is lost and leaves the pool.
bool ODBCStatementGivenUp(SQLHSTMT statement);
ODBCCancel ODBCCallStarting(SQLHSTMT statement);
ODBCCancel ODBCCallEnded(SQLHSTMT statement);

// For tests: what the pool holds for a source (false when absent).
struct ODBCPoolEntryInfo {
    std::uint32_t uses = 0;
    int activeUsers = 0;
    std::size_t spares = 0; // idle connections for callers on other threads
    std::size_t lent = 0;   // spares in use
    std::uint64_t spareConnects = 0; // spares connected since the entry was made
};
bool ODBCPoolEntry(const char* source, ODBCPoolEntryInfo& info);
std::size_t ODBCPoolSize();
// For tests: statements between ODBCStatementStarted and ODBCStatementEnded.
std::size_t ODBCStatementsInFlight();
// For tests: cancels still running, given up or not.
std::size_t ODBCCancelsRunning();
// For tests: callers the thread woke as it finished their requests (a
// caller whose turn was near is taken up by itself).
std::uint64_t ODBCCallerWakeUps();
// For tests: the period over which spare connections follow demand; 0 puts
// the default back.
void SetODBCSpareDemandPeriodMs(std::uint64_t milliseconds);
// For tests: what the watchdog calls in place of the driver's SQLCancel
// (null puts the driver's back).
using ODBCCancelCall = SQLRETURN (*)(SQLHSTMT);
void SetODBCCancelCallForTesting(ODBCCancelCall call);
