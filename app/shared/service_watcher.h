#pragma once
// CServiceWatcher: asks a service manager about one service, and sends it
// commands, on a thread of its own, so that a slow or remote machine never
// holds the window's thread. Answers come back on the window's thread. Both
// Service pages (the application's far one and the applet's) follow their
// service through it.
//
// One query is outstanding at a time. A query that has not been answered
// within the time-out reads as kServiceNoAnswer until an answer comes.

#include "app/shared/service_manager.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QObject;
class QTimer;

// How long the window waits for a service state before it shows none: a
// local query reads a status record at once, and a remote one that takes
// longer than this is better shown as unknown than as stale: with a query a
// second, buttons that a silent machine would refuse grey within 1.5 s.
inline constexpr std::uint32_t kServiceQueryTimeoutMs = 500;
// How long closing waits for a command or query in flight before leaving
// it to end on its own.
inline constexpr std::uint32_t kServiceWatcherJoinMs = 100;
// How often a page asks for the state.
inline constexpr int kServiceRefreshMs = 1000;

class CServiceWatcher {
public:
    using StateHandler = std::function<void(int state)>;

    // onState runs on receiver's thread, and never once the watcher is gone.
    CServiceWatcher(std::shared_ptr<IServiceManager> manager, std::string service, QObject* receiver,
                    StateHandler onState, std::uint32_t timeoutMs = kServiceQueryTimeoutMs);
    ~CServiceWatcher();

    CServiceWatcher(const CServiceWatcher&) = delete;
    CServiceWatcher& operator=(const CServiceWatcher&) = delete;

    // Asks for the state unless a query is outstanding; one outstanding past
    // the time-out is reported as kServiceNoAnswer (once). Returns at once.
    void Poll();
    // Polls now and then every intervalMs, on the receiver's thread, so
    // the page follows changes made elsewhere.
    void PollEvery(int intervalMs);
    // Sends the command; the state after it is reported. Returns at once.
    void Send(ServiceCommand command);

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<QTimer> m_refresh;
    // Fires the time-out after the query it was started for, between polls.
    std::unique_ptr<QTimer> m_overdue;
};
