// Velmorad: the servers run as the service "Velmora".
//
//   velmorad            runs the service (under velmora-sc, systemd or a shell)
//   velmorad -install   adds the service's entry (and a systemd unit where systemd runs)
//   velmorad -remove    deletes it
//
// Threads: the dispatcher (platform/service.h) runs the control handler; the
// service main waits for the worker, which starts the servers, waits for the
// stop event and stops them; a watchdog ends a stop that hangs.

#include "config/last_mod_stamp.h"
#include "config/service_config.h"
#include "framework/server.h"
#include "framework/server_log.h"
#include "framework/text_util.h"
#include "framework/wsocket.h"
#include "platform/ascii.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/sync.h"
#include "resources/string_table.h"
#include "service/engine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kServiceName = "Velmora";
// The display name is the product name, string 0xE000.
constexpr unsigned kProductNameId = 0xE000;
constexpr std::size_t kMaxDisplayName = 63;
constexpr std::uint32_t kEventText = 0x40004002;

// A stop that has not finished after this long ends the process.
constexpr std::uint32_t kStopWatchdogMs = 60000;
// The exit code of a stop ended by the watchdog (Linux keeps 666 & 255 = 154).
constexpr int kWatchdogExitCode = 666;
// Tests shorten the watchdog through this variable; it can only shorten it.
constexpr const char* kWatchdogVariable = "VELMORA_STOP_WATCHDOG_MS";

// The note once ran straight into the next command; it ends its line now.
constexpr const char* kUsage = "Usage:\nVelmorad -install\tInstall service\n\t(note: -install should be run with "
                               "executable in correct place.)\nVelmorad -remove\tRemove service\n";

// The status record shared by the service main, the worker and the control
// handler: each report changes it and hands it to the layer under one lock,
// so no report is built from another thread's half-written fields.
std::mutex g_statusMutex;
platform::ServiceStatus g_status;
platform::ServiceStatusHandle* g_statusHandle = nullptr;

// A foreground run (velmora-sc run, a shell) shows its events on standard
// error and ends with this status when not one configured server listens.
bool g_foreground = false;
constexpr int kNothingListensExitCode = 1;
std::atomic<int> g_exitCode{0};

// Lives as long as the process: the control handler may still be setting it
// while the service main returns.
platform::Event g_stopEvent(true, false);

void Inform(std::string_view text) { LogMessage(platform::kEventTypeInformation, kEventText, {text}); }

bool ReportStatus(std::uint32_t state, std::uint32_t exitCode, std::uint32_t checkPoint, std::uint32_t waitHint)
{
    std::lock_guard lock(g_statusMutex);
    g_status.serviceType = platform::kServiceWin32OwnProcess;
    g_status.currentState = state;
    g_status.controlsAccepted = state == platform::kServiceStartPending
                                    ? 0
                                    : platform::kServiceAcceptStop | platform::kServiceAcceptPauseContinue;
    g_status.win32ExitCode = exitCode;
    g_status.serviceSpecificExitCode = 0;
    g_status.checkPoint = checkPoint;
    g_status.waitHint = waitHint;
    bool reported = g_statusHandle != nullptr && g_statusHandle->Report(g_status) == platform::kServiceOk;
    // A service that cannot report is stopped.
    if (!reported && state != platform::kServiceStopped)
        g_stopEvent.Set();
    return reported;
}

std::uint32_t CurrentState()
{
    std::lock_guard lock(g_statusMutex);
    return g_status.currentState;
}

std::uint32_t WatchdogMs()
{
    if (const char* text = std::getenv(kWatchdogVariable)) {
        unsigned long value = std::strtoul(text, nullptr, 10);
        if (value > 0 && value < kStopWatchdogMs)
            return static_cast<std::uint32_t>(value);
    }
    return kStopWatchdogMs;
}

// Ends the process unless disarmed within its time: a stop of the servers
// that hangs would otherwise hold the service (and, in a pause, the control
// handler with every later control) for ever.
class StopWatchdog {
public:
    explicit StopWatchdog(std::uint32_t milliseconds) : m_disarmed(std::make_shared<platform::Event>(true, false))
    {
        std::thread([milliseconds, disarmed = m_disarmed] {
            if (disarmed->Wait(milliseconds))
                return;
            // No clean-up: whatever hangs may hold any lock.
            ::_exit(kWatchdogExitCode);
        }).detach();
    }
    void Disarm() { m_disarmed->Set(); }

private:
    std::shared_ptr<platform::Event> m_disarmed;
};

void ControlHandler(std::uint32_t control)
{
    std::uint32_t state = CurrentState();
    switch (control) {
    case platform::kServiceControlStop:
        Inform("Commencing Velmora shutdown");
        ReportStatus(platform::kServiceStopPending, 0, 1, 15000);
        g_stopEvent.Set();
        return;
    case platform::kServiceControlPause:
        if (state == platform::kServiceRunning) {
            Inform("Pausing Velmora service.");
            // No pending state: the service reports running until the
            // servers are stopped, then paused.
            StopWatchdog watchdog(WatchdogMs());
            StopServices();
            watchdog.Disarm();
            ReportStatus(platform::kServicePaused, 0, 0, 0);
            return;
        }
        break;
    case platform::kServiceControlContinue:
        if (state == platform::kServicePaused) {
            Inform("Continuing Velmora service.");
            StartServices();
            ReportStatus(platform::kServiceRunning, 0, 0, 0);
            return;
        }
        break;
    default:
        break;
    }
    ReportStatus(state, 0, 0, 0);
}

// Says on standard output what listens, once it does; false when servers
// are configured and not one of them could start.
bool AnnounceListeners()
{
    CListenerReport report = DescribeListeners();
    for (const std::string& line : report.lines)
        std::printf("Velmora serves %s\n", line.c_str());
    std::fflush(stdout);
    return !report.NothingListens();
}

// The hive this service will read. A relative path set for a service that
// runs in "/" names a file nobody meant (velmora-sc makes such paths absolute
// from the folder it was run in); this refuses it, and says so, instead of
// serving an empty hive made there. A hive that does not exist yet is made
// empty, and that is said too.
bool CheckHive()
{
    const char* variable = std::getenv("VELMORA_REGISTRY");
    if (variable && *variable && *variable != '/' && !g_foreground) {
        LogMessage(platform::kEventTypeError, kEventEngineError,
                   {std::string("VELMORA_REGISTRY=") + variable + " is relative, and a service runs in /: it does not start."});
        g_exitCode.store(platform::kErrorBadPathname);
        return false;
    }
    const std::string hive = platform::RegistryPath();
    std::error_code error;
    if (!std::filesystem::exists(hive, error))
        LogMessage(platform::kEventTypeWarning, kEventWarningText,
                   {"No configuration hive at " + hive + "; the service starts on a new, empty one."});
    return true;
}

void Worker()
{
    ReportStatus(platform::kServiceStartPending, 0, 3, 10000);
    if (!CheckHive()) {
        ReportStatus(platform::kServiceStopped, static_cast<std::uint32_t>(g_exitCode.load()), 0, 0);
        return;
    }
    GlobalLastModStamp().Open(platform::RegistryKey::LocalMachine(), kProductKeyPath, kLastModValueName);
    BindFiberAPI();
    if (GetEngineFunctions().fibers)
        BindCompletionPortAPI();
    BindSocketAPI();
    ReportStatus(platform::kServiceStartPending, 0, 4, 30000);
    StartServices();
    ReportStatus(platform::kServiceRunning, 0, 0, 0);
    if (g_foreground && !AnnounceListeners()) {
        // A run in a terminal that serves nothing would only look alive.
        LogMessage(platform::kEventTypeError, kEventEngineError,
                   {"Not one configured server could start; the foreground run ends."});
        g_exitCode.store(kNothingListensExitCode);
        g_stopEvent.Set();
    }

    g_stopEvent.Wait();

    // Never disarmed: the process ends when the stop is done.
    StopWatchdog watchdog(WatchdogMs());
    ReportStatus(platform::kServiceStopPending, 0, 1, kStopWatchdogMs);
    StopServices();
    UnbindSocketAPI();
}

void ServiceMain(const std::vector<std::string>&)
{
    platform::ServiceStatusHandle* handle = platform::RegisterServiceControlHandler(kServiceName, ControlHandler);
    if (handle == nullptr)
        return;
    {
        std::lock_guard lock(g_statusMutex);
        g_statusHandle = handle;
    }
    if (ReportStatus(platform::kServiceStartPending, 0, 1, 6000)) {
        g_stopEvent.Reset();
        if (ReportStatus(platform::kServiceStartPending, 0, 2, 15000)) {
            Inform("Starting up Velmora service.");
            std::thread worker(Worker);
            worker.join();
            Inform("Velmora service shut down.");
        }
    }
    ReportStatus(platform::kServiceStopped, static_cast<std::uint32_t>(g_exitCode.load()), 0, 0);
    std::lock_guard lock(g_statusMutex);
    g_statusHandle = nullptr;
}

std::string DisplayName()
{
    const char* name = LoadStringById(kProductNameId);
    std::string text = name && *name ? name : kServiceName;
    if (text.size() > kMaxDisplayName)
        text.resize(kMaxDisplayName);
    return text;
}

std::string ModulePath()
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

// The systemd unit goes with the entry where systemd manages the host; the
// entry is what counts, so a unit that cannot be written is only mentioned.
void InstallUnit()
{
    if (!platform::SystemdIsRunning())
        return;
    platform::ServiceConfig config;
    if (platform::ServiceDatabase::QueryConfig(kServiceName, config) != platform::kServiceOk)
        return;
    std::string unitPath;
    if (int code = platform::WriteSystemdUnit(config, platform::SystemdUnitDirectory(), &unitPath))
        std::fprintf(stderr, "Warning: cannot write the systemd unit (error 0x%02x)\n", static_cast<unsigned>(code));
}

void RemoveUnit()
{
    if (!platform::SystemdIsRunning())
        return;
    std::string name = kServiceName;
    for (char& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(platform::SystemdUnitDirectory()) / (name + ".service"), ignored);
}

int Install()
{
    int code = platform::kErrorFileNotFound;
    std::string module = ModulePath();
    if (!module.empty())
        code = platform::ServiceDatabase::Create(kServiceName, DisplayName(), platform::JoinCommandLine({module}),
                                                 platform::kServiceAutoStart, {"Mup", "Tcpip", "Afd"});
    if (code != platform::kServiceOk) {
        std::printf("Error: Cannot install service (error 0x%02x)\n", static_cast<unsigned>(code));
        return 0;
    }
    InstallUnit();
    std::printf("Service successfully installed!\n");
    return 0;
}

int Remove()
{
    int code = platform::ServiceDatabase::Delete(kServiceName);
    if (code != platform::kServiceOk) {
        std::printf("Error: Cannot remove service (error 0x%02x)\n", static_cast<unsigned>(code));
        return 0;
    }
    RemoveUnit();
    std::printf("Service successfully removed!\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc <= 1) {
        // The service reports to the event log from its first event on.
        UseEventLog(true);
        const char* foreground = std::getenv(platform::kServiceForegroundVariable);
        g_foreground = (foreground != nullptr && *foreground != '\0') || ::isatty(STDERR_FILENO) == 1;
        if (g_foreground) {
            // A person watches: every event shows at once, and the file log
            // keeps them as the application's does.
            EchoServerLogToStandardError(true);
            KeepServerLogFile(true);
        }
        platform::RunServiceDispatcher(kServiceName, ServiceMain);
        return g_exitCode.load();
    }
    std::string_view command = argv[1];
    if (platform::EqualsIgnoringCase(command, "-install"))
        return Install();
    if (platform::EqualsIgnoringCase(command, "-remove"))
        return Remove();
    std::printf("%s", kUsage);
    return 0;
}
