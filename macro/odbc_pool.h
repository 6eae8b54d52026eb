#pragma once
// Inside the ODBC module: the connection pool (odbc_pool.cpp), and what the
// pool asks of the request thread (odbc_thread.cpp). The module's interface
// is odbc_thread.h.

#include "framework/thread_data.h"
#include "platform/sync.h"

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <cstdint>
#include <thread>

struct ODBCSource;
struct ODBCLease;
struct ODBCPoolEntryInfo;

SQLRETURN ConnectODBC(SQLHDBC hdbc, const ODBCSource& source);
// Disconnects and frees a connection (answering SQLFreeHandle's code), or
// leaves that to the cancel still running on one of its statements.
SQLRETURN FreeODBCHandle(SQLHDBC hdbc);

// Lends holder a connection of source: the pooled one, an idle spare, one
// given back while it waited at the source's ceiling, or a new one. The
// wait ends at the query time-out, counted from this call. With defer (on
// the request thread) a connect or a wait is not done but left to the
// caller (lease.deferred). Answers as AcquireConnection.
SQLRETURN PoolAcquire(const char* source, std::thread::id holder, bool defer, ODBCLease& lease);
// 1 given back (to the pool or straight to a waiter); 0 when the caller
// closes it.
int PoolRelease(const char* source, SQLHDBC hdbc);
void PoolFlush(const char* source);
void PoolDiscard(const char* source, SQLHDBC hdbc);
// Closes everything, retired connections too (the thread stops).
void PoolClear();
// Closes idle spares the recent demand no longer needs; answers when it
// should run again (platform::kNoDeadline: no spare is open).
std::uint64_t PoolTrim();
// When PoolTrim should run first (platform::kNoDeadline: no spare is open).
std::uint64_t PoolNextTrim();
bool PoolInspect(const char* source, ODBCPoolEntryInfo& info);
std::size_t PoolSize();

// Of the request thread, for the pool. Every disconnect runs there, as
// before the pool had a lock of its own: drivers such as SQLite's do not
// take a disconnect while connects run on other threads.
bool OnODBCRequestThread();
// Closes hdbc on the request thread: at once when called there or when the
// thread is not running, else soon after, without waiting.
void CloseODBCHandleLater(SQLHDBC hdbc);
// A spare was left idle with no trim due: the thread sets its timer.
void WakeODBCThreadForTrim();

// The module's one T, made on the shared heap and never freed: it outlives
// every engine start and stop, and every caller's heap.
template <typename T>
T& LastingState()
{
    static T* state = [] {
        CHeapSwitch shared;
        return new T;
    }();
    return *state;
}

// Where a caller parks until its request is answered. The answerer may still
// hold the lock it answered under when the caller goes on, so the caller's
// record is not freed before that lock is let go. Last among its holder's
// members, so that it is let go first.
struct AnswerQueue : platform::WaitQueue {
    AnswerQueue() = default;
    AnswerQueue(const AnswerQueue&) = delete;
    AnswerQueue& operator=(const AnswerQueue&) = delete;
    ~AnswerQueue()
    {
        Lock();
        Unlock();
    }
};
