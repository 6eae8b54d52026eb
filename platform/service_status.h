#pragma once
// The status record of a service and where a running service keeps its
// run-time files.
//
// A service's run-time files live in the run directory: $VELMORA_RUN_DIR,
// else /run/velmora for root, else $XDG_RUNTIME_DIR/velmora, else
// <state directory>/run. For a service named N (folded to lower case, as
// service names compare without case) they are:
//   N.lock    held (an open-file-description write lock) while the service runs
//   N.status  its last status record, readable by any process
//   N.ctl     its control socket (UNIX stream socket, owner only)
// Whether a service runs is decided by the lock alone, so a process that died
// without reporting stopped is never mistaken for a running one.

#include "platform/registry.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Service types.
inline constexpr std::uint32_t kServiceWin32OwnProcess = 16;

// Current states.
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceContinuePending = 5;
inline constexpr std::uint32_t kServicePausePending = 6;
inline constexpr std::uint32_t kServicePaused = 7;

// Controls.
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlPause = 2;
inline constexpr std::uint32_t kServiceControlContinue = 3;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;

// Controls accepted (bits).
inline constexpr std::uint32_t kServiceAcceptStop = 1;
inline constexpr std::uint32_t kServiceAcceptPauseContinue = 2;

// Start types and error control of a service entry.
inline constexpr std::uint32_t kServiceAutoStart = 2;
inline constexpr std::uint32_t kServiceDemandStart = 3;
inline constexpr std::uint32_t kServiceDisabled = 4;
inline constexpr std::uint32_t kServiceErrorNormal = 1;

// Results (Win32 numbers; the callers print them). The numbers shared with
// the registry come from registry.h: kErrorFileNotFound (2), kErrorAccessDenied
// (5), kErrorInvalidParameter (87); registry failures pass through as they are.
inline constexpr int kServiceOk = 0;
inline constexpr int kErrorPathNotFound = 3;
inline constexpr int kErrorTooManyOpenFiles = 4;
inline constexpr int kErrorNotEnoughMemory = 8;
inline constexpr int kErrorInvalidData = 13;             // a status with an unknown state
inline constexpr int kErrorGenFailure = 31;              // a system failure with no closer number
inline constexpr int kErrorBadPathname = 161;            // a relative path where only an absolute one can mean anything
inline constexpr int kErrorDiskFull = 112;
inline constexpr int kErrorInvalidName = 123;            // empty, too long, or holds '/', '\' or a control character
inline constexpr int kErrorBadExeFormat = 193;           // the image could not be executed
inline constexpr int kErrorFilenameTooLong = 206;        // the control socket's path would not fit
inline constexpr int kErrorInvalidServiceControl = 1052;
inline constexpr int kErrorServiceRequestTimeout = 1053; // did not respond in time
inline constexpr int kErrorServiceNoThread = 1054;       // the service's thread could not be created
inline constexpr int kErrorServiceAlreadyRunning = 1056;
inline constexpr int kErrorServiceDisabled = 1058;
inline constexpr int kErrorServiceDoesNotExist = 1060;
inline constexpr int kErrorServiceCannotAcceptControl = 1061;
inline constexpr int kErrorServiceNotActive = 1062;
inline constexpr int kErrorProcessAborted = 1067;        // ended without reporting stopped
inline constexpr int kErrorServiceExists = 1073;

// What a service last reported, with the process it runs in.
struct ServiceStatus {
    std::uint32_t serviceType = kServiceWin32OwnProcess;
    std::uint32_t currentState = kServiceStopped;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
    // The service's process; 0 when it does not run.
    std::int32_t processId = 0;

    bool operator==(const ServiceStatus&) const = default;
};

// "STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING", "CONTINUE_PENDING",
// "PAUSE_PENDING", "PAUSED"; "UNKNOWN" for anything else.
const char* ServiceStateName(std::uint32_t state);

// Service names: 1 to kMaxServiceNameLength bytes, none of them '/', '\' or
// a control character, and neither "." nor "..". kServiceOk or kErrorInvalidName.
inline constexpr std::size_t kMaxServiceNameLength = 256; // the classic limit of a service name
int ValidateServiceName(std::string_view name);

// The run directory (see above), not created.
std::string ServiceRunDirectory();

// The run-time file paths of one service; an invalid name gives "".
std::string ServiceLockPath(std::string_view name);
std::string ServiceStatusPath(std::string_view name);
std::string ServiceSocketPath(std::string_view name);

// Reads the last status record the service wrote. kServiceOk,
// kErrorFileNotFound when there is none, kErrorInvalidData when it is damaged.
int ReadServiceStatusRecord(std::string_view name, ServiceStatus& status);
// Replaces the record whole (a reader sees the old or the new one, never a mix).
int WriteServiceStatusRecord(std::string_view name, const ServiceStatus& status);
// True while some process holds the service's run-time lock.
bool IsServiceProcessRunning(std::string_view name);

// errno -> the Win32 number this layer reports.
int ServiceErrorFromErrno(int error);

} // namespace platform
