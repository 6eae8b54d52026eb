#pragma once
// CServer: the base of every server. It owns one server's listening sockets
// (a plain port and, with SSL, a secure port), the listener threads that
// accept on them, the client slots, the access log and the statistics block.
// Accepted connections are served by pooled server threads shared by all
// servers of the process, or, for a server with UseFibers while the worker
// pool runs (worker_pool.h), by fibers of the pool; every connection takes
// CServer::HandleConnection, which calls the derived server's ServerRequest.
//
// The base knows nothing of the registry: what it needs of the server's
// configuration it asks through the protected hooks below, which the
// configured server (macro/configured_server.h) answers from CServiceConfig.
//
// Stopping is cooperative. Stop shuts the sockets down so that every wait on
// them ends, and the threads that own the sockets close them; no thread is
// ever killed, and Stop returns only when nothing of the server runs.

#include "framework/event_lock.h"
#include "framework/server_stats.h"
#include "framework/slow_heads.h"
#include "framework/snapshot.h"
#include "framework/wsocket.h"
#include "platform/security.h"
#include "platform/sync.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace platform {
class Heap;
}

// A server's configuration as far as listening and connection handling go.
struct CServerListenSettings {
    std::uint32_t port = 80;
    std::uint32_t sslPort = 443;
    std::uint32_t address = 0; // network order; 0 = any
    std::uint32_t maxUsers = 0;
    std::uint32_t connTimeout = 0; // seconds; 0 = no limit
    std::uint32_t useFibers = 0;
    std::uint32_t listeners = 8;
    bool useSSL = false;
    bool sslOnly = false;
    // The configured port could not be read: that listener is not opened.
    bool portUnreadable = false;
    bool sslPortUnreadable = false;
    // Where the settings are kept, for the start's messages; empty: nowhere.
    std::string source;
};

// One accepted connection handed to a thread.
struct ConnectionWork {
    class CServer* server = nullptr;
    int listeningSocket = platform::kInvalidSocket;
    std::uint32_t clientAddress = 0; // network order
    std::uint32_t reserved = 0;
    bool secure = false;
};

// Clients whose handshake finished but whom no accept took yet. A burst of
// new connections (a thousand clients that each send one request) overflows
// a short queue, and every client dropped there waits a full second for its
// SYN to be sent again; the kernel trims this to net.core.somaxconn.
inline constexpr int kListenBacklog = 4096;
// Bytes an accepted socket may hold queued but unsent (see SetUpListener).
inline constexpr int kUnsentLimit = 128 * 1024;
// A pooled server thread that found no work for this long ends.
inline constexpr std::uint32_t kServerThreadIdleMs = 60000;
// Stop's waits: for the connections before and after their sockets are shut
// down, and for a listener after its socket is shut down.
inline constexpr std::uint32_t kStopConnectionWaitMs = 2000;
inline constexpr std::uint32_t kStopListenerWaitMs = 5000;
// Waits on the statistics mutexes on the connection path.
inline constexpr std::uint32_t kStatsConnectionWaitMs = 100;
// The logging mutex: a hit that cannot take it within this time is dropped.
inline constexpr std::uint32_t kLogMutexWaitMs = 5000;
// The log-file name is expanded again after this long, or in a new UTC minute.
inline constexpr std::uint64_t kLogReexpandMs = 61440;
// Pause before a listener that failed unexpectedly starts accepting again,
// so a fault that repeats cannot spin a core.
inline constexpr std::uint32_t kListenerRespawnPauseMs = 100;

// Event ids of the server framework's reports.
inline constexpr std::uint32_t kEventInfoText = 0x40004002;
inline constexpr std::uint32_t kEventWarningText = 0x80004000;
inline constexpr std::uint32_t kEventErrorText = 0xC0004001;
inline constexpr std::uint32_t kEventThreadKilled = 0x8000400A;

class CServer {
public:
    CServer();
    // Leaves the global server list; the owner stops the server first.
    virtual ~CServer();
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // Returns 0.
    virtual int Stop();
    // Returns 0, or the WinSock number when a listening socket could not be
    // set up (the server then has no listener). index names the statistics
    // block.
    virtual int Start(unsigned index);
    // 1 HTTP server, 2 chat room, 3 HTTP proxy.
    virtual std::uint32_t GetServerType() const { return 0; }
    // Serves one connection; catches its own exceptions.
    virtual void ServerRequest(WSocket* socket) = 0;

    // The sequence every connection takes, on a server thread or a fiber.
    void HandleConnection(WSocket& socket, const ConnectionWork& work);
    // A fiber's whole turn with one accepted client: the client slot (the
    // fiber parks while none is free; none given closes the client), the
    // connection, and the slot back. A kept-alive connection that pauses
    // between requests (CConnectionPause) keeps its slot; its next turn
    // goes straight on with the request loop.
    void ServeFiberConnection(WSocket& socket, const ConnectionWork& work);
    // 1 when a client slot was given (waiting ConnTimeout x 1024 ms when
    // MaxUsers is set), 0 when not.
    int AcquireClientSlot();
    void ReleaseClientSlot();
    // A thread's whole turn with one accepted client: it waits in its own
    // thread for the client's first data (ConnTimeout seconds at most), then
    // for a slot, and serves it. The listener never waits for either.
    void ServeThreadConnection(WSocket& socket, const ConnectionWork& work);
    // The wait for a client's first data: true when it came in time; false
    // when the client stayed silent, or its address is full of heads under way.
    bool AwaitFirstData(WSocket& socket);

    // Writes one access-log line (nothing for an empty line); the file is
    // opened, and reopened when its expanded name changes, on the way.
    void LogHit(std::string_view line);
    void FlushLog();
    // The name of the open access log; empty when none is open.
    std::string GetLogFileName() const;

    bool IsRunning() const;
    bool IsStopping() const { return m_stopping.load(); }
    // True while the server accepts through the worker pool.
    bool IsFiberMode() const { return m_fiberMode; }
    // The server's statistics block; unmapped while the server is stopped.
    CServerStats& GetStats() { return m_stats; }
    const CServerStats& GetStats() const { return m_stats; }
    // Connections being served right now, and accepted clients whose
    // thread waits for their first data.
    long GetActiveConnections() const { return m_activeConnections.load() + 1; }
    // Connections of this server slow to send their request heads.
    CSlowHeads& GetSlowHeads() { return m_slowHeads; }
    // False when the operator set no head limit: silent connections are
    // then bounded by the connection time-out alone.
    virtual bool CountsSilentConnections() const { return true; }

    // Tests move the clock the access log reads (UTC seconds); null restores it.
    using UnixClock = std::int64_t (*)();
    static void SetLogClockForTesting(UnixClock clock);

protected:
    // The configuration hooks.
    virtual CServerListenSettings GetListenSettings() const = 0;
    // Before every connection: reload the configuration when it changed.
    virtual void RefreshConfiguration() {}
    // The token a connection impersonates; null: none.
    virtual platform::LogonTokenPtr GetConnectionToken() { return nullptr; }
    // Gives a secure connection the certificate and key.
    virtual void PrepareSecure(WSocket&) {}
    // Start's set-up of the configuration (anonymous logon, list fallbacks,
    // the server macros), after the statistics block exists.
    virtual void PrepareStart() {}
    // Fiber mode cannot be had: the configuration forgets UseFibers.
    virtual void ClearUseFibers() {}
    // The configured log-file text; empty: no access log.
    virtual std::string GetLogFileText() const { return {}; }
    // Asked on every hit, so a server can answer without copying the text.
    virtual bool HasLogFile() const { return !GetLogFileText().empty(); }
    // The text expanded into a file name.
    virtual std::string ExpandLogFileText(const std::string& text) { return text; }

private:
    struct Listener {
        WSocketBase socket;
        std::thread thread;
        bool secure = false;
    };
    struct ThreadEntry {
        WSocket* connection;
        std::uint64_t startTick;
    };

    friend void ServerThreadMain(struct ServerThreadRecord* record);

    int SetUpListener(Listener& listener, std::uint32_t port, std::uint32_t address);
    void ListenLoop(Listener* listener);
    void AcceptLoop(Listener& listener);
    void HandOver(int handle, std::uint32_t peer, bool secure, int listeningSocket);
    void StopListener(Listener& listener);
    void WaitForConnections();
    void ShutdownConnections();
    void AddThreadEntry(WSocket* connection);
    void RemoveThreadEntry(WSocket* connection);
    void OpenLogFile();
    void CloseLogFile();
    void AddConnectionStats(const WSocket& socket, bool secure);
    // A slot alone (the semaphore and the client counters), and the count
    // Stop waits for alone; AcquireClientSlot and ReleaseClientSlot are both.
    bool TakeSlot();
    void GiveSlot();
    void BeginConnection();
    void EndConnection();

    std::mutex m_activeMutex; // keeps the count and the all-done event in step
    std::atomic<long> m_activeConnections{-1};
    platform::Event m_allDone{true, true};
    std::mutex m_semaphoreMutex; // guards the pointer only
    std::shared_ptr<platform::Semaphore> m_clientSlots;
    std::atomic<bool> m_stopping{false};

    // The access log, under the logging lock.
    mutable CEventLock m_logLock;
    // One open access log; writers hold it while they append.
    struct LogFile {
        LogFile(int file, std::string fileName) : handle(file), name(std::move(fileName)) {}
        ~LogFile() { Close(); }
        LogFile(const LogFile&) = delete;
        LogFile& operator=(const LogFile&) = delete;
        // Once no hit can write any more (Stop), though copies remain.
        void Close() const;
        // Says once in the server log that hits written to it are lost.
        void ReportLost(std::string_view why) const;
        mutable std::atomic<int> handle;
        const std::string name;
        mutable std::atomic<bool> lostReported{false};
    };
    void PublishLogFile(std::shared_ptr<const LogFile> file);
    // What hits write to, read without any lock on every hit; each thread's
    // copy keeps a swapped-out file alive until that thread's next hit.
    CSnapshot<LogFile> m_logFile{nullptr};
    // The file m_logFile publishes, and swapped-out ones that some thread's
    // copy may still hold open (and flock'ed): a name that comes back takes
    // its file back, and Stop closes them all.
    std::shared_ptr<const LogFile> m_openLog;
    std::vector<std::weak_ptr<const LogFile>> m_retiredLogs;
    // Until then (monotonic ms) and within that minute of the log clock the
    // open file is the right one and hits take it without the lock.
    std::atomic<std::uint64_t> m_logValidUntilMs{0};
    std::atomic<std::int64_t> m_logValidMinute{0};
    bool m_logExpanded = false;
    std::uint64_t m_lastExpansionMs = 0;
    std::int64_t m_lastExpansionMinute = 0;

    std::unique_ptr<Listener> m_plain;
    std::unique_ptr<Listener> m_secure;
    std::uint32_t m_maxUsers = 0;
    std::uint32_t m_connTimeout = 0;
    bool m_fiberMode = false;

    std::mutex m_threadListMutex;
    std::vector<ThreadEntry> m_threadList;

    CServerStats m_stats;
    CSlowHeads m_slowHeads;
};

// An accept failed for want of descriptors: says so in the server log, once
// in the process's life.
void ReportDescriptorsRunOut();
// Descriptors kept free for the work of requests (files, pipes, upstream
// sockets) while clients that have sent nothing hold the rest.
inline constexpr long kDescriptorReserve = 64;
// True (and said, as ReportDescriptorsRunOut says it) when an accepted
// handle leaves fewer than the reserve free below the limit: handles are
// numbered lowest free first, so every one below it is taken.
bool LeavesTooFewDescriptors(int handle);

// The process's servers, in construction order.
std::vector<CServer*> GetServerList();
// Starts the worker pool with `workers` threads when that is not 0 (servers
// with UseFibers then serve through it), then every server with index 0, 1,
// 2, ..., and records their number in the global statistics block.
void StartAllServers(std::uint32_t workers = 0, std::uint32_t concurrency = 0);
// Stops every server, then ends the idle server threads and the worker pool.
void StopAllServers();
// Deletes every server of the list.
void DeleteAllServers();
// Server threads alive now (serving or idle).
int GetServerThreadCount();
// Of those, the ones parked on the idle list.
int GetIdleServerThreadCount();
// Tests shorten the idle end of server threads; 0 restores it.
void SetServerThreadIdleForTesting(std::uint32_t milliseconds);
