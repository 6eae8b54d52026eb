#pragma once
// The client side of service control: start a service from its database
// entry, send it controls over its control socket, and read its status.
// Every call is bounded; a service that does not answer in time gives
// kErrorServiceRequestTimeout (1053).

#include "platform/service_status.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// How long a control may take to be answered: a handler runs on the
// service's one dispatcher thread, so a slow one holds every control after it.
inline constexpr std::uint32_t kServiceControlTimeoutMs = 30000;
// How long Start waits for the service to leave start-pending.
inline constexpr std::uint32_t kServiceStartTimeoutMs = 30000;
// How long a foreground run keeps a stop for a child that has not begun to
// take controls: longer than the service's start wait hints together.
inline constexpr std::uint32_t kForegroundStopGraceMs = 90000;
// Signals closer together than this are one request: a terminal's Ctrl-C
// reaches every process of its group, and a wrapper (timeout, make) may
// hand it on besides, so one press can arrive twice.
inline constexpr std::uint32_t kForegroundInsistAfterMs = 1000;
// How often a waiting call looks at the status record again.
inline constexpr std::uint32_t kServicePollIntervalMs = 20;

class ServiceController {
public:
    explicit ServiceController(std::string name) : m_name(std::move(name)) {}

    const std::string& Name() const { return m_name; }

    // Spawns the entry's image detached (a new session, no inherited
    // descriptors, standard streams on /dev/null, working directory "/",
    // this process's environment, default signal dispositions).
    // With waitForRunning it then waits up to timeoutMs for the service to
    // leave start-pending: kServiceOk once it runs (or is paused); the
    // service's exit code (or kErrorProcessAborted) when it stopped instead;
    // kErrorServiceRequestTimeout when it is still pending. Without, it
    // returns once the service's dispatcher is up (its first status record
    // is written), or 1053 when that does not happen in time.
    // Before spawning: kErrorServiceDoesNotExist, kErrorServiceDisabled,
    // kErrorServiceAlreadyRunning; an image that cannot be executed gives
    // kErrorFileNotFound (2), kErrorAccessDenied or kErrorBadExeFormat.
    int Start(bool waitForRunning = true, std::uint32_t timeoutMs = kServiceStartTimeoutMs);

    // Sends a control and fills status with what the service reports after
    // its handler ran. kErrorServiceNotActive when it does not run (or
    // kErrorServiceDoesNotExist when it has no entry either);
    // kErrorServiceCannotAcceptControl when its controls-accepted bits refuse
    // the control; kErrorServiceRequestTimeout when the handler did not
    // return within timeoutMs.
    int Control(std::uint32_t control, ServiceStatus& status, std::uint32_t timeoutMs = kServiceControlTimeoutMs);
    int Stop(ServiceStatus& status, std::uint32_t timeoutMs = kServiceControlTimeoutMs)
    {
        return Control(kServiceControlStop, status, timeoutMs);
    }
    int Pause(ServiceStatus& status, std::uint32_t timeoutMs = kServiceControlTimeoutMs)
    {
        return Control(kServiceControlPause, status, timeoutMs);
    }
    int Continue(ServiceStatus& status, std::uint32_t timeoutMs = kServiceControlTimeoutMs)
    {
        return Control(kServiceControlContinue, status, timeoutMs);
    }
    int Interrogate(ServiceStatus& status, std::uint32_t timeoutMs = kServiceControlTimeoutMs)
    {
        return Control(kServiceControlInterrogate, status, timeoutMs);
    }

    // The last status the service reported, read without disturbing it.
    // A service that does not run reads as stopped (processId 0); one whose
    // process ended without reporting stopped carries kErrorProcessAborted
    // as its exit code. kErrorServiceDoesNotExist when it neither runs nor
    // has an entry.
    int QueryStatus(ServiceStatus& status) const;

    // Waits up to timeoutMs for the reported state to be state. kServiceOk,
    // or kErrorServiceRequestTimeout with *last (optional) the last status seen.
    int WaitForState(std::uint32_t state, std::uint32_t timeoutMs, ServiceStatus* last = nullptr) const;

    // Runs the entry's image as a child in the foreground (its own process
    // group, the caller's standard streams), turning SIGINT, SIGTERM and
    // SIGHUP sent to the caller, and the hang-up of its controlling terminal,
    // into the stop control (a caller that starts with SIGHUP ignored, as
    // nohup starts it, outlives its terminal); the child gets SIGTERM
    // when the caller ends without stopping it. A stop asked for while the child
    // still starts is kept and delivered once the start ends; a second
    // signal later than kForegroundInsistAfterMs, or a child that never
    // takes controls within
    // kForegroundStopGraceMs, gets SIGTERM instead. Returns kServiceOk with
    // *exitStatus the child's exit status (128 + the signal when a signal
    // ended it; *deathSignal that signal when the run did not send it
    // itself, else 0), or the numbers of Start's checks before spawning
    // (kErrorServiceAlreadyRunning also when another run's child took the
    // service first).
    int RunInForeground(int* exitStatus, int* deathSignal = nullptr);

private:
    std::string m_name;
};

} // namespace platform
