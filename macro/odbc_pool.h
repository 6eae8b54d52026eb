#pragma once
// The connection pool of the ODBC request thread: an open connection per
// data source, spares for callers on other threads while it is busy, a
// ceiling per source past which callers wait their turn, and the sources
// whose connect failed lately. Touched only on the ODBC request thread
// (odbc_thread.cpp), which serialises every call below.

#include "platform/sync.h"

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>
#include <thread>

struct ODBCSource;
struct ODBCPoolEntryInfo;

// What a caller asking for a connection is answered.
enum class ODBCGrant {
    Got,      // hdbc is lent: pooled 1, or 0 when it is the caller's own
    Connect,  // a place under the ceiling is kept: connect, then adopt
    Wait,     // at the ceiling: the waiter is queued for a connection given back
    Deferred, // a connect or a wait is needed and the caller does it off the thread
    Refused,  // the source's connect failed a moment ago: error holds why
    Retry,    // the source's entry went meanwhile: ask again
};

// A caller queued at its source's ceiling; lives on the caller's stack until
// answered or withdrawn.
struct ODBCPoolWaiter {
    std::thread::id caller;
    platform::WaitQueue wake;
    bool answered = false; // under wake's lock
    ODBCGrant grant = ODBCGrant::Retry;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    bool check = false;
    std::string error;
    std::uint32_t errorNumber = 0;

    ODBCPoolWaiter() = default;
    ODBCPoolWaiter(const ODBCPoolWaiter&) = delete;
    ODBCPoolWaiter& operator=(const ODBCPoolWaiter&) = delete;
    // The request thread may still hold the lock it answered under.
    ~ODBCPoolWaiter()
    {
        wake.Lock();
        wake.Unlock();
    }
};

struct ODBCPoolAsk {
    const char* source = nullptr;
    std::thread::id caller;
    // How a connect or a wait is done: off the thread by the caller (with
    // waiter for a wait), left to the caller (defer), or a connect in place.
    bool offThread = false;
    bool defer = false;
    ODBCPoolWaiter* waiter = nullptr;
    ODBCGrant grant = ODBCGrant::Got;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    int pooled = 0;
    bool check = false; // idle a while: look at it before use
    SQLRETURN result = -1;
    std::string error;
    std::uint32_t errorNumber = 0;
};

SQLRETURN ConnectODBC(SQLHDBC hdbc, const ODBCSource& source);
void FreeODBCHandle(SQLHDBC hdbc);

void PoolGet(SQLHENV env, ODBCPoolAsk& ask);
// After a Connect grant: the caller's new connection joins the pool (pooled
// set), or, when it failed, frees its place and may refuse the source for a
// while. limit is the driver's count of active statements (0 none).
void PoolAdopt(ODBCPoolAsk& ask, bool connected, SQLUSMALLINT limit);
// True when the waiter left the queue unanswered; false when it was
// answered meanwhile (its answer stands).
bool PoolWithdraw(const char* source, ODBCPoolWaiter& waiter);
// 1 given back; 0 when the caller closes it.
int PoolRelease(SQLHENV env, const char* source, SQLHDBC hdbc);
void PoolFlush(const char* source);
void PoolDiscard(const char* source, SQLHDBC hdbc);
// Closes everything, retired connections too (the thread stops).
void PoolClear();
// Closes idle spares the recent demand no longer needs; answers when it
// should run again (platform::kNoDeadline: no spare is open).
std::uint64_t PoolTrim();
std::uint64_t PoolNextTrim();
bool PoolInspect(const char* source, ODBCPoolEntryInfo& info);
std::size_t PoolSize();
