#pragma once
// What the tests of the real velmorad share: where the built programs are,
// and the clean-up of a service a failed test left running.

#include "platform/service.h"

#include <csignal>
#include <cstdlib>
#include <string>

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
