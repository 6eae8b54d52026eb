#include "app/restart_service.h"

#include "platform/remote_registry.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QCursor>
#include <QGuiApplication>
#include <QThread>

#include <atomic>
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

int RunWhileWindowPaints(const std::function<int()>& work)
{
    // Off the window's thread (a page's watcher) there is no window to keep painting.
    if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread())
        return work();
    QEventLoop loop;
    std::atomic<int> result{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        result = work();
        done = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    if (qGuiApp)
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    // The quit may be posted before exec starts; exec only when still waiting.
    while (!done)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (qGuiApp)
        QGuiApplication::restoreOverrideCursor();
    worker.join();
    return result;
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
    if (platform::RemoteRegistry::Connect(machine, remote) != platform::kErrorSuccess)
        return 0;
    platform::RemoteServiceControl service(*remote, serviceName);
    return RestartService(service);
}
