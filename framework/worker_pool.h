#pragma once
// The worker pool: the second way of serving connections, taken by every
// server whose UseFibers is set while the pool runs.
//
// A fixed set of worker threads each owns a completion port (its own epoll
// set) and the connection fibers it created; a fiber never resumes on
// another thread, so thread-local state stays right. Every connection runs
// in a fiber (ServerFiber) on a FiberConnection record. A fiber that must
// wait for its socket arms the port and switches back to its worker, which
// runs the next ready fiber; the port's timer ends the wait on time.
//
// Accepts are posted ahead: each listening socket of a fiber-mode server has
// Listeners accept records (at least one per worker) spread over the
// workers. An accepted client is handed to a fiber only when its first data
// has arrived; one that sends nothing for ConnTimeout seconds is closed and
// its record accepts again. When an accept completes another is posted at
// once on the worker serving the fewest connections, so the number
// outstanding stays constant and the load spreads.
//
// Waits of the primitives in platform/sync.h made inside a fiber park the
// fiber, not the thread, so a fiber may hold a CEventLock across a switch.
// The logon token and the thread data (allocation heap and the rest) are the
// fiber's own and are put back whenever it resumes.

#include <cstdint>

class CServer;
struct FiberConnection;

using FiberProc = void (*)(FiberConnection* record);

// Record states, also the operation a completion for the record means.
inline constexpr std::uint32_t kFiberRunning = 1;
inline constexpr std::uint32_t kFiberAcceptPosted = 2;
inline constexpr std::uint32_t kFiberParked = 3;
inline constexpr std::uint32_t kFiberFinished = 4;
// Accepted, its accept already replaced, waiting for the client's first
// data; or a kept-alive connection waiting for its next request. Either
// way the record holds no fiber.
inline constexpr std::uint32_t kFiberAwaitingData = 5;

// A parked record not reused within this time is destroyed.
inline constexpr std::uint32_t kParkedRecordLifeMs = 60000;
// How often each worker runs its time-out work (parked and finished records).
inline constexpr std::uint32_t kTimeoutWorkIntervalMs = 60000;
// A worker's packet wait is the worker count times this.
inline constexpr std::uint32_t kPacketWaitPerWorkerMs = 15000;
// The most workers a pool may have; more is a configuration mistake.
inline constexpr std::uint32_t kMaxWorkers = 4096;
// StopWorkerThreads waits this long for each worker to end.
inline constexpr std::uint32_t kWorkerEndWaitMs = 10000;

// Event ids of the pool's reports.
inline constexpr std::uint32_t kEventPoolWarning = 0x80004000;

// Starts count workers (capped at kMaxWorkers). concurrency is accepted for
// the configuration's sake: each worker is a kernel thread of its own and
// the kernel schedules them. False when the pool runs already or the system
// refuses a port or a thread (then nothing is left started).
bool StartWorkerThreads(std::uint32_t count, std::uint32_t concurrency, FiberProc fiberProc);
// Ends every worker: their fibers are unwound on their own threads (slots
// and locks released), the threads joined, and only then are fibers and
// records freed. The servers are stopped first.
void StopWorkerThreads();
bool WorkerPoolRunning();

// The connection procedure of the pool's fibers.
void ServerFiber(FiberConnection* record);

// For CServer::Start: posts `listeners` accept records (at least one) for a
// listening socket of a server in fiber mode, and returns once the workers
// hold them. A client that sends nothing for connTimeout seconds (0: no
// limit) is closed. False when the pool is not running.
bool PostServerAccepts(CServer* server, int listeningSocket, bool secure, std::uint32_t listeners,
                       std::uint32_t connTimeout);
// For CServer::Stop: every worker drops the server's accept records (closing
// clients that sent nothing yet) and forgets its listening sockets; returns
// when all have done so. Connections already running are not touched.
void RetireServerAccepts(CServer* server);

// What the pool holds now, summed over the workers.
struct CWorkerPoolCounts {
    std::uint32_t workers = 0;
    std::uint32_t records = 0;        // every FiberConnection alive
    std::uint32_t running = 0;        // state 1
    std::uint32_t pendingAccepts = 0; // state 2
    std::uint32_t parked = 0;         // state 3
    std::uint32_t finished = 0;       // state 4, not yet destroyed
    std::uint32_t awaitingData = 0;   // state 5: accepted clients that sent nothing yet
    std::uint32_t fibers = 0;         // fibers created and not yet freed
    std::uint32_t paused = 0;         // kept-alive connections waiting, without a fiber, for their next request
};
CWorkerPoolCounts GetWorkerPoolCounts();

// Tests shorten the parked-record life and the time-out work interval; 0
// restores them. Takes effect for workers started afterwards.
void SetWorkerPoolTimesForTesting(std::uint32_t parkedLifeMs, std::uint32_t timeoutIntervalMs);
