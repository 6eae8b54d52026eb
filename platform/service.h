#pragma once
// The service side of service control: the dispatcher a service program runs
// on its main thread, the control handler its service main registers, and the
// status reports it makes. Including this header gives the whole service
// layer (the status record, the database and the controller too).
//
// RunServiceDispatcher takes the service's run-time lock, writes a first
// start-pending record, opens the control socket and runs serviceMain on a
// new thread; the calling thread then becomes the dispatcher: it takes
// controls from the socket and from signals (SIGTERM stop, SIGUSR1 pause,
// SIGUSR2 continue) and calls the handler with each, one at a time. A control
// the service's controls-accepted bits refuse is answered with
// kErrorServiceCannotAcceptControl and never reaches the handler, except a
// stop signal, which waits until stops are accepted (systemd sends it once).
// The dispatcher returns once serviceMain has returned; when serviceMain
// returns without having reported stopped, stopped is reported for it.
//
// Status reports may come from any thread at once: each is written whole
// (the record file and, when NOTIFY_SOCKET is set, a systemd notification)
// under one lock, in the order the reports were made.

#include "platform/service_controller.h"
#include "platform/service_database.h"
#include "platform/service_status.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// arguments[0] is the service name.
using ServiceMainFunction = std::function<void(const std::vector<std::string>& arguments)>;
// Called on the dispatcher thread with the control code.
using ServiceControlHandler = std::function<void(std::uint32_t control)>;

// How long the dispatcher waits for a connected client to send its control,
// so a silent client cannot hold the control channel.
inline constexpr std::uint32_t kServiceRequestReadTimeoutMs = 2000;

// Set in a service's environment by a foreground run (velmora-sc run): the
// service then shows its events on standard error as well.
inline constexpr const char* kServiceForegroundVariable = "VELMORA_FOREGROUND";

// The handle a service reports its status through.
class ServiceStatusHandle {
public:
    // Reports a status: processId is filled in, controlsAccepted kept as
    // given. kServiceOk; kErrorInvalidData for a state outside 1..7;
    // kErrorServiceNotActive once stopped was reported; else the number of
    // the failed write of the record.
    int Report(const ServiceStatus& status);
    // The last status reported.
    ServiceStatus Current() const;

private:
    friend class ServiceDispatcher;
    ServiceStatusHandle() = default;

    mutable std::mutex m_lock;
    ServiceStatus m_status;
    std::string m_name;
    // Called with m_lock held after each report (wakes the dispatcher).
    std::function<void(const ServiceStatus&)> m_onReport;
    bool m_stopped = false;
};

// Runs the service named name in this process (see above). Returns
// kServiceOk after the service stopped; kErrorInvalidName;
// kErrorServiceAlreadyRunning when another process runs it;
// kErrorFilenameTooLong when its socket path would not fit; or the Win32
// number of a run-time file that could not be made.
int RunServiceDispatcher(std::string_view name, ServiceMainFunction serviceMain);

// Registers the control handler of the service the dispatcher runs in this
// process; returns its status handle, valid until RunServiceDispatcher
// returns. Null when no dispatcher runs a service of that name (any case).
ServiceStatusHandle* RegisterServiceControlHandler(std::string_view name, ServiceControlHandler handler);

} // namespace platform
