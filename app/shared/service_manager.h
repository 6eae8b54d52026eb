#pragma once
// IServiceManager: what a Service page asks of one machine's service manager,
// the local one through our service layer, another machine's through the
// remote shell channel. Tests may register a factory of their own for
// remote machines; one that gives none makes the machine unreachable
// (every state kServiceNoAnswer, every command refused).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

inline constexpr const char* kVelmoraServiceName = "Velmora";

enum class ServiceCommand { Start, Stop, Pause, Continue };

// The state of a service whose machine did not answer (the state -1 is one
// the machine gave: the service is missing or cannot be asked there).
inline constexpr int kServiceNoAnswer = -2;

class IServiceManager {
public:
    virtual ~IServiceManager() = default;
    // The service's current state (stopped 1 ... paused 7), -1 when it is
    // missing or the manager refuses, kServiceNoAnswer when the machine
    // could not be reached or did not answer. May block on a slow machine:
    // callers on a window's thread use CServiceWatcher.
    virtual int QueryState(const std::string& service) = 0;
    // Sends a command; false when it was refused or could not be sent.
    virtual bool Command(const std::string& service, ServiceCommand command) = 0;
    // Stops a running service and starts it again; a service in any other
    // state is left as it is (a paused one reads the new configuration when
    // it is continued). False when it could not be interrogated or the stop
    // or the start was refused.
    virtual bool Restart(const std::string& service) = 0;
};

// The manager of machine: the local one when machine is empty.
std::shared_ptr<IServiceManager> OpenServiceManager(const std::string& machine);

// How a remote channel supplies the manager of a named machine.
using RemoteServiceManagerFactory = std::function<std::shared_ptr<IServiceManager>(const std::string& machine)>;
void SetRemoteServiceManagerFactory(RemoteServiceManagerFactory factory);
