#pragma once
// What the tests of the real velmorad share: where the built programs are,
// and the clean-up of a service a failed test left running.

#include "config/http_server_config.h"
#include "platform/registry.h"
#include "platform/service.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

inline std::string BinDir()
{
    const char* dir = std::getenv("VELMORA_TEST_BIN_DIR");
    return dir ? dir : ".";
}

// Stops the service when it still runs, killing it when it will not stop.
inline void StopLeftoverService(const char* name)
{
    platform::ServiceStatus status;
    platform::ServiceController controller(name);
    if (controller.QueryStatus(status) == platform::kServiceOk && status.processId > 0) {
        pid_t process = status.processId;
        if (controller.Stop(status, 10000) != platform::kServiceOk ||
            controller.WaitForState(platform::kServiceStopped, 10000) != platform::kServiceOk)
            ::kill(process, SIGKILL);
    }
}

// Why a test of a real service with curl as its client cannot run here;
// empty when it can.
inline std::string ServiceTestObstacle()
{
    if (platform::SystemdIsRunning())
        return "systemd manages this host: -install would write a unit into the system";
    if (::access("/usr/bin/curl", X_OK) != 0)
        return "curl is not installed";
    return {};
}

// Where a service of the test's own keeps its state, control sockets and
// shared memory: all inside dir (shared memory under prefix).
inline void UseServiceFolders(const std::string& dir, const std::string& shmPrefix)
{
    ::setenv("VELMORA_HOME", (dir + "/home").c_str(), 1);
    ::setenv("VELMORA_RUN_DIR", (dir + "/run").c_str(), 1);
    ::setenv("VELMORA_SHM_PREFIX", shmPrefix.c_str(), 1);
}

// An HTTP server on 127.0.0.1 at port serving root with index.htm, added
// below product (the hive's product key); its key stays open.
inline platform::RegistryKey AddLoopbackServer(const platform::RegistryKey& product, std::uint16_t port,
                                               const std::string& root)
{
    platform::RegistryKey server;
    product.Create("HTTP\\Servers\\" + HTTPServerKeyName(port, htonl(INADDR_LOOPBACK)), server);
    server.SetDword("Port", port);
    server.SetDword("Address", htonl(INADDR_LOOPBACK));
    server.SetDword("ConnTimeout", 5);
    server.SetDword("URLCacheFlushInterval", 0);
    server.SetString("RootDir", root);
    server.SetString("DefaultFile", "index.htm");
    return server;
}
