#include "app/restart_service.h"

#include "app/far_call.h"
#include "app/window_wait.h"
#include "platform/remote_registry.h"

#include <chrono>
#include <memory>
#include <thread>

namespace {

bool WaitUntilStopped(platform::ServiceControl& service, platform::ServiceStatus& status, std::uint32_t stopWaitMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(stopWaitMs);
    while (status.currentState != platform::kServiceStopped) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kRestartPollMs));
        if (service.QueryStatus(status) != platform::kServiceOk)
            return false;
    }
    return true;
}

int RestartNow(platform::ServiceControl& service, std::uint32_t stopWaitMs)
{
    platform::ServiceStatus status;
    if (service.Interrogate(status) != platform::kServiceOk)
        return 0;
    if (status.currentState != platform::kServiceRunning)
        return 1;
    if (service.Stop(status) != platform::kServiceOk || !WaitUntilStopped(service, status, stopWaitMs))
        return 0;
    return service.Start() == platform::kServiceOk ? 1 : 0;
}

} // namespace

int StopServiceAndWait(platform::ServiceControl& service, std::uint32_t stopWaitMs)
{
    platform::ServiceStatus status;
    if (service.Stop(status) != platform::kServiceOk)
        return 0;
    return WaitUntilStopped(service, status, stopWaitMs) ? 1 : 0;
}

int RestartService(platform::ServiceControl& service, std::uint32_t stopWaitMs)
{
    return RunWhileWindowPaints([&] { return RestartNow(service, stopWaitMs); });
}

int RestartService(const char* serviceName, const char* machine)
{
    if (!machine) {
        platform::LocalServiceControl service(serviceName);
        return RestartService(service);
    }
    std::unique_ptr<platform::RemoteRegistry> remote;
    if (platform::RemoteRegistry::Make(machine, remote) != platform::kErrorSuccess)
        return 0;
    platform::RemoteServiceControl service(*remote, serviceName);
    return CallFarMachine(nullptr, *remote, QStringLiteral("Restarting the Velmora service"), [&] {
        return remote->Reconnect() == platform::kErrorSuccess ? RestartService(service) : 0;
    });
}
