#include "app/shared/service_manager.h"

#include "app/restart_service.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/remote_registry.h"
#include "platform/remote_service.h"
#include "platform/service_controller.h"

#include <mutex>

namespace {

// How long a control of the local service may take: a stop runs every
// server's shutdown on the service's dispatcher thread.
constexpr std::uint32_t kLocalControlTimeoutMs = 30000;

class CLocalServiceManager : public IServiceManager {
public:
    int QueryState(const std::string& service) override
    {
        platform::ServiceStatus status;
        if (platform::ServiceController(service).QueryStatus(status) != platform::kServiceOk)
            return -1;
        return static_cast<int>(status.currentState);
    }

    bool Command(const std::string& service, ServiceCommand command) override
    {
        platform::ServiceController controller(service);
        platform::ServiceStatus status;
        switch (command) {
        case ServiceCommand::Start:
            // Returns once the service is up and start-pending, as a start does.
            return controller.Start(false) == platform::kServiceOk;
        case ServiceCommand::Stop:
            return controller.Stop(status, kLocalControlTimeoutMs) == platform::kServiceOk;
        case ServiceCommand::Pause:
            return controller.Pause(status, kLocalControlTimeoutMs) == platform::kServiceOk;
        case ServiceCommand::Continue:
            return controller.Continue(status, kLocalControlTimeoutMs) == platform::kServiceOk;
        }
        return false;
    }

    bool Restart(const std::string& service) override
    {
        platform::LocalServiceControl control(service);
        return RestartService(control) != 0;
    }
};

// Another machine's service, through the remote shell channel. Connecting
// runs ssh, so it happens on the first call (the watcher's thread), never
// when the page is made; a channel that failed is tried again, at most
// every few seconds, so a machine that comes back is seen again.
class CRemoteServiceManager : public IServiceManager {
public:
    explicit CRemoteServiceManager(std::string machine) : m_machine(std::move(machine)) {}

    int QueryState(const std::string& service) override
    {
        std::lock_guard<std::mutex> hold(m_lock);
        platform::ServiceStatus status;
        if (!Connected())
            return kServiceNoAnswer;
        const int result = platform::RemoteServiceControl(*m_channel, service).QueryStatus(status);
        if (result == platform::kErrorRemoteUnavailable)
            return kServiceNoAnswer;
        return result == platform::kServiceOk ? static_cast<int>(status.currentState) : -1;
    }

    bool Command(const std::string& service, ServiceCommand command) override
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!Connected())
            return false;
        platform::RemoteServiceControl control(*m_channel, service);
        platform::ServiceStatus status;
        switch (command) {
        case ServiceCommand::Start:
            return control.Start() == platform::kServiceOk;
        case ServiceCommand::Stop:
            return control.Stop(status) == platform::kServiceOk;
        case ServiceCommand::Pause:
            return control.Pause(status) == platform::kServiceOk;
        case ServiceCommand::Continue:
            return control.Continue(status) == platform::kServiceOk;
        }
        return false;
    }

    bool Restart(const std::string& service) override
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!Connected())
            return false;
        platform::RemoteServiceControl control(*m_channel, service);
        return RestartService(control) != 0;
    }

private:
    static constexpr std::uint64_t kReconnectPauseMs = 5000;

    bool Connected()
    {
        if (m_channel && !m_channel->Broken())
            return true;
        const std::uint64_t now = platform::MonotonicMs();
        if (m_triedAt && now - m_triedAt < kReconnectPauseMs)
            return false;
        m_triedAt = now;
        m_channel.reset();
        return platform::RemoteRegistry::Connect(m_machine, m_channel) == platform::kErrorSuccess && m_channel;
    }

    std::string m_machine;
    std::mutex m_lock;
    std::unique_ptr<platform::RemoteRegistry> m_channel;
    std::uint64_t m_triedAt = 0;
};

class CUnreachableServiceManager : public IServiceManager {
public:
    int QueryState(const std::string&) override { return kServiceNoAnswer; }
    bool Command(const std::string&, ServiceCommand) override { return false; }
    bool Restart(const std::string&) override { return false; }
};

std::mutex g_factoryLock;
RemoteServiceManagerFactory g_remoteFactory;

} // namespace

std::shared_ptr<IServiceManager> OpenServiceManager(const std::string& machine)
{
    if (machine.empty())
        return std::make_shared<CLocalServiceManager>();
    RemoteServiceManagerFactory factory;
    {
        std::lock_guard<std::mutex> hold(g_factoryLock);
        factory = g_remoteFactory;
    }
    if (!factory)
        return std::make_shared<CRemoteServiceManager>(machine);
    std::shared_ptr<IServiceManager> manager = factory(machine);
    return manager ? manager : std::make_shared<CUnreachableServiceManager>();
}

void SetRemoteServiceManagerFactory(RemoteServiceManagerFactory factory)
{
    std::lock_guard<std::mutex> hold(g_factoryLock);
    g_remoteFactory = std::move(factory);
}
