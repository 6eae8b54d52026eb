#pragma once
// The ODBC request thread and its connection pool. Every ODBC call of the
// SQL macros goes through one dedicated thread that owns the environment and
// a pool of open connections keyed by data source; a caller (thread or
// connection fiber) hands its request over and waits, a fiber parking while
// it does. With async-sql defined in the calling scope a query runs on the
// caller's own thread and only the pool operations go through the thread.
//
// Stopping is cooperative: a statement in flight is cancelled with
// SQLCancel, then the thread is joined; it is never killed.

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CMacroContext;
class CTextBuffer;

inline constexpr std::uint32_t kODBCMutexWaitMs = 300000;
inline constexpr SQLULEN kODBCLoginTimeoutSeconds = kODBCMutexWaitMs / 1000;
inline constexpr std::uint32_t kODBCRefreshAfterUses = 16;
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
// 1 when the connection was given back; 0 when the caller must close it
// (its source left the pool meanwhile and no other holder uses it).
int ReleaseConnection(const char* source, SQLHDBC hdbc);
SQLRETURN CloseConnection(SQLHDBC hdbc);
// Drops the pooled connection of a source, or all when source is null; a
// connection still in use is closed by its last holder instead.
void FlushConnection(const char* source);

SQLHENV ODBCEnvironment();

// Statements in flight register here so that a stop can cancel them.
void ODBCStatementStarted(SQLHSTMT statement);
void ODBCStatementEnded(SQLHSTMT statement);

// For tests: what the pool holds for a source (false when absent).
struct ODBCPoolEntryInfo {
    std::uint32_t uses = 0;
    int activeUsers = 0;
    std::size_t spares = 0; // idle connections for callers on other threads
    std::size_t lent = 0;   // spares in use
};
bool ODBCPoolEntry(const char* source, ODBCPoolEntryInfo& info);
std::size_t ODBCPoolSize();
