// A tiny service for the service tests: service_probe NAME LOG [MODE] [EXIT]
// Reports start-pending twice and then running, writes each control it takes
// to LOG (one word a line), stops on the stop control and exits with EXIT.
// Modes: normal; slow-start (pending for 600 ms first); hang-stop (the stop
// handler never returns within a test); fail-start (reports stopped with
// exit code 1064 while starting); exit-early (exits 3 before the dispatcher).

#include "platform/service.h"
#include "platform/sync.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using namespace platform;

namespace {

std::string g_log;
std::string g_mode = "normal";
ServiceStatusHandle* g_handle = nullptr;
Event g_stop(true);

void Log(const char* word)
{
    int fd = ::open(g_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string line = std::string(word) + "\n";
    [[maybe_unused]] ssize_t ignored = ::write(fd, line.data(), line.size());
    ::close(fd);
}

void Report(std::uint32_t state, std::uint32_t checkPoint = 0, std::uint32_t waitHint = 0, std::uint32_t exitCode = 0)
{
    ServiceStatus status;
    status.currentState = state;
    status.controlsAccepted = state == kServiceStartPending || state == kServiceStopped
                                  ? 0
                                  : kServiceAcceptStop | kServiceAcceptPauseContinue;
    status.checkPoint = checkPoint;
    status.waitHint = waitHint;
    status.win32ExitCode = exitCode;
    g_handle->Report(status);
}

void OnControl(std::uint32_t control)
{
    switch (control) {
    case kServiceControlStop:
        Log("stop");
        Report(kServiceStopPending, 1, 5000);
        if (g_mode == "hang-stop")
            SleepMs(60000);
        g_stop.Set();
        break;
    case kServiceControlPause:
        Log("pause");
        Report(kServicePaused);
        break;
    case kServiceControlContinue:
        Log("continue");
        Report(kServiceRunning);
        break;
    default:
        Log("interrogate");
        Report(g_handle->Current().currentState);
        break;
    }
}

void ServiceMain(const std::vector<std::string>& arguments)
{
    g_handle = RegisterServiceControlHandler(arguments[0], OnControl);
    if (!g_handle)
        return;
    Report(kServiceStartPending, 1, 3000);
    if (g_mode == "fail-start") {
        Report(kServiceStopped, 0, 0, 1064);
        return;
    }
    if (g_mode == "slow-start")
        SleepMs(600);
    Report(kServiceStartPending, 2, 3000);
    Report(kServiceRunning);
    g_stop.Wait();
    Report(kServiceStopped);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    g_log = argv[2];
    if (argc > 3)
        g_mode = argv[3];
    if (g_mode == "exit-early")
        return 3;
    int code = RunServiceDispatcher(argv[1], ServiceMain);
    if (code != kServiceOk) {
        std::fprintf(stderr, "service_probe: dispatcher failed with %d\n", code);
        return 4;
    }
    return argc > 4 ? std::atoi(argv[4]) : 0;
}
