#pragma once
// RestartService: stops a running service, waits for it to report stopped
// and starts it again; a service that is not running (paused, say) is left
// alone and counts as done, since continuing it reloads the configuration.
// The waiting happens on a worker thread while the calling window keeps
// painting (user input is held back, so nothing can close the channel the
// worker uses); the wait for "stopped" is bounded.

#include "platform/remote_service.h"

#include <cstdint>

inline constexpr unsigned kRestartFailedStringId = 2054; // "Could not restart the Windows NT service."
// Above the service's own 60 s stop watchdog: a stop that ends by the
// watchdog still counts, one that outlives it is a failure.
inline constexpr std::uint32_t kRestartStopWaitMs = 90000;
// How often the wait looks at the service's status.
inline constexpr std::uint32_t kRestartPollMs = 200;

// Nonzero when the service was restarted (or needed no restart).
int RestartService(platform::ServiceControl& service, std::uint32_t stopWaitMs = kRestartStopWaitMs);
// Stops the service and waits, at most stopWaitMs, for it to report
// stopped; nonzero when it did.
int StopServiceAndWait(platform::ServiceControl& service, std::uint32_t stopWaitMs = kRestartStopWaitMs);
// The service on machine (null: this machine; else through a remote shell).
int RestartService(const char* serviceName, const char* machine);
