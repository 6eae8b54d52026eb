#pragma once
// Service control on this machine or another one, behind one interface: the
// settings pages restart, start, stop, pause and continue a service without
// knowing where it runs. RemoteServiceControl sends each call through a
// RemoteRegistry connection to `velmora-reg serve`, which runs it there with
// the service controller (as velmora-sc does). Results are the service
// controller's numbers (service_status.h), or kErrorRemoteUnavailable when
// the channel failed.

#include "platform/service_controller.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

class RemoteRegistry;

class ServiceControl {
public:
    virtual ~ServiceControl() = default;
    virtual int QueryStatus(ServiceStatus& status) = 0;
    // Starts the service and waits (bounded, on the side it runs on) for it to run.
    virtual int Start() = 0;
    virtual int Control(std::uint32_t control, ServiceStatus& status) = 0;

    int Stop(ServiceStatus& status) { return Control(kServiceControlStop, status); }
    int Pause(ServiceStatus& status) { return Control(kServiceControlPause, status); }
    int Continue(ServiceStatus& status) { return Control(kServiceControlContinue, status); }
    int Interrogate(ServiceStatus& status) { return Control(kServiceControlInterrogate, status); }
};

// This machine's service.
class LocalServiceControl : public ServiceControl {
public:
    explicit LocalServiceControl(std::string name) : m_controller(std::move(name)) {}
    int QueryStatus(ServiceStatus& status) override { return m_controller.QueryStatus(status); }
    int Start() override { return m_controller.Start(); }
    int Control(std::uint32_t control, ServiceStatus& status) override
    {
        return m_controller.Control(control, status);
    }

private:
    ServiceController m_controller;
};

// A service on the machine at the other end of channel, which must outlive this.
class RemoteServiceControl : public ServiceControl {
public:
    RemoteServiceControl(RemoteRegistry& channel, std::string name) : m_channel(channel), m_name(std::move(name)) {}
    int QueryStatus(ServiceStatus& status) override;
    int Start() override;
    int Control(std::uint32_t control, ServiceStatus& status) override;

private:
    RemoteRegistry& m_channel;
    std::string m_name;
};

// A service status as the eight 4-byte fields a reply carries, and back.
std::vector<std::uint8_t> EncodeServiceStatus(const ServiceStatus& status);
bool DecodeServiceStatus(const std::vector<std::uint8_t>& bytes, ServiceStatus& status);

} // namespace platform
