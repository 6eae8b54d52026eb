#pragma once
// Engine start and stop: how both hosts (the application and the service)
// bring the whole set of servers up and down.
//
// StartServices opens the server log, readies the access-list file cache,
// initialises the engine (the global macro scope with the built-in macro
// families, the named strings, the engine's Users and Groups lists, the
// engine settings, the init macro and the global statistics block), loads
// the HTTP configuration, creates one CHTTPServer per enabled server and
// starts them all. StopServices undoes all of it in reverse. Both are called
// from one controlling thread; they may alternate any number of times.
//
// The optional functions the original bound at run time are facilities of
// the platform layer here. The binders still record what is available, so a
// host that never binds them (or unbinds them) takes the paths a system
// without them takes: no fibers, no worker pool, no impersonation.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CGroupMap;
class CMacroContext;
class CUserMap;

// What the binders found.
struct CEngineFunctions {
    bool fibers = false;
    bool completionPort = false;
    bool acceptEx = false;
    bool readDirectoryChanges = false;
    bool logon = false;
};

// The engine settings read from the product key at every start.
struct CEngineSettings {
    std::string initMacro;
    // 1 in the registry means processors x kWorkersPerProcessor; 0 no pool.
    std::uint32_t workers = 1;
    std::uint32_t concurrency = 0;
    std::uint32_t compatibility = 0;
    // Seconds a statement's driver call and a database connect may take
    // (SQLQueryTimeout, SQLLoginTimeout), and the connections a data source
    // may have open at once (SQLMaxConnections): missing keeps the SQL
    // macros' defaults; 0 is no limit, but for the login time-out, where it
    // keeps the default.
    std::optional<std::uint32_t> sqlQueryTimeout;
    std::uint32_t sqlLoginTimeout = 0;
    std::optional<std::uint32_t> sqlMaxConnections;
};

// A Workers value of 1 asks for this many workers per processor.
inline constexpr std::uint32_t kWorkersPerProcessor = 20;
// The scratch buffer the init macros expand into; their output is dropped.
inline constexpr std::size_t kInitMacroScratchBytes = 1024;
// StopServices waits at most this long, after the servers were deleted, for
// server threads that went idle late; what still lives then is reported.
inline constexpr std::uint32_t kStopThreadsWaitMs = 5000;

// Event ids of the engine's reports.
inline constexpr std::uint32_t kEventEngineText = 0x40004002;
inline constexpr std::uint32_t kEventEngineError = 0xC0004001;

// The binders. BindFiberAPI also publishes the fibers-available flag that new
// configurations take as their UseFibers default.
void BindFiberAPI();
void BindCompletionPortAPI();
void BindLogonFunctions();
CEngineFunctions GetEngineFunctions();
// Forgets every binding: the host then runs as a system without them.
void UnbindEngineFunctions();

// 1 when the services already ran (nothing is done), else starts them and
// returns 0.
int StartServices();
// 1 when the services did not run, else stops them and returns 0.
int StopServices();
int ServicesRunning();

void InitServerEngine();
void ShutdownServerEngine();

// The global macro scope: the built-ins and the engine's named strings.
// Read-only while the engine runs.
CMacroContext& GlobalMacroContext();
// The engine's Users and Groups (Software\Tessaline\Velmora\Users, Groups):
// the last fallback of every server's lists.
CUserMap& EngineUsers();
CGroupMap& EngineGroups();
// The settings of the last engine start (Workers already resolved).
CEngineSettings GetEngineSettings();
// What the running servers listen on, one line a port, as a person reads it:
// "http://127.0.0.1:8080/ (HTTP server)", "SSL 2.0 on 127.0.0.1:8443 (HTTP
// server)". configured counts the servers created, listening those of them
// that run; a host says what it serves only from this, never beforehand.
struct CListenerReport {
    std::vector<std::string> lines;
    std::size_t configured = 0;
    std::size_t listening = 0;
    bool NothingListens() const { return configured > 0 && listening == 0; }
};
CListenerReport DescribeListeners();

// True when the last start could run the worker pool: fibers and completion
// ports bound and Workers not 0.
bool WorkerPoolWanted();
