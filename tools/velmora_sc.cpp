// velmora-sc: adds, removes, starts, controls and shows services of the
// service database, and runs one in the foreground.

#include "platform/registry.h"
#include "platform/service.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

using namespace platform;

namespace {

// How long stop waits for the process to report stopped after its handler took the control.
constexpr std::uint32_t kStopWaitMs = 30000;

const char kUsage[] =
    "usage: velmora-sc COMMAND NAME [OPTIONS]\n"
    "  create NAME binPath= PATH [DisplayName= TEXT]   add a service entry\n"
    "  delete NAME                                     remove a service entry\n"
    "  start NAME                                      start the service and wait until it runs\n"
    "  stop NAME                                       stop it and wait until it has stopped\n"
    "  pause NAME | continue NAME                      pause or resume it\n"
    "  query NAME                                      show its status\n"
    "  run NAME                                        run it in the foreground (Ctrl-C stops it)\n";

const char* ErrorText(int code)
{
    switch (code) {
    case kErrorFileNotFound: return "the service's program was not found";
    case kErrorAccessDenied: return "access is denied";
    case kErrorInvalidParameter: return "a parameter is not valid";
    case kErrorInvalidName: return "the service name is not valid";
    case kErrorBadExeFormat: return "the service's program cannot be executed";
    case kErrorFilenameTooLong: return "the service's control path is too long";
    case kErrorInvalidServiceControl: return "the control is not valid";
    case kErrorServiceRequestTimeout: return "the service did not respond in time";
    case kErrorServiceAlreadyRunning: return "the service is already running";
    case kErrorServiceDisabled: return "the service is disabled";
    case kErrorServiceDoesNotExist: return "the service does not exist";
    case kErrorServiceCannotAcceptControl: return "the service cannot accept this control now";
    case kErrorServiceNotActive: return "the service is not running";
    case kErrorProcessAborted: return "the service's process ended unexpectedly";
    case kErrorServiceExists: return "the service already exists";
    case kErrorBadPathname: return "a path in its environment is relative (see its log)";
    }
    return "system error";
}

// A service that runs but is looked for in another hive or run folder is
// "not there" or "not running": the places and the variables that choose
// them are said, so that the wrong environment shows.
void SayWhereItLooked()
{
    std::fprintf(stderr,
                 "velmora-sc: looked in the hive %s (VELMORA_REGISTRY, else VELMORA_HOME's registry.db) "
                 "and the run folder %s (VELMORA_RUN_DIR).\n",
                 platform::RegistryPath().c_str(), ServiceRunDirectory().c_str());
}

int Fail(const char* command, std::string_view name, int code)
{
    std::fprintf(stderr, "velmora-sc: %s %.*s failed: error %d: %s.\n", command, static_cast<int>(name.size()),
                 name.data(), code, ErrorText(code));
    if (code == kErrorServiceDoesNotExist || code == kErrorServiceNotActive)
        SayWhereItLooked();
    return 1;
}

// A word as a shell takes it back.
std::string ShellQuoted(const std::string& word)
{
    bool plain = !word.empty();
    for (char c : word)
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-=:,+@", c));
    if (plain)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A start that finds the service running names its process and the command
// that stops it, with the variables that say where this one looks (a stop
// run without them finds no running service).
void SayWhoRuns(const std::string& name)
{
    ServiceStatus status;
    ServiceController(name).QueryStatus(status);
    std::string command;
    for (const char* variable : {"VELMORA_REGISTRY", "VELMORA_HOME", "VELMORA_RUN_DIR"})
        if (const char* value = std::getenv(variable); value && *value)
            command += std::string(variable) + "=" + ShellQuoted(value) + " ";
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    command += ShellQuoted(error ? std::string("velmora-sc") : self.string()) + " stop " + ShellQuoted(name);
    if (status.processId > 0)
        std::fprintf(stderr, "velmora-sc: %s runs as process %d; stop it with: %s\n", name.c_str(),
                     static_cast<int>(status.processId), command.c_str());
    else
        std::fprintf(stderr, "velmora-sc: %s runs; stop it with: %s\n", name.c_str(), command.c_str());
}

int Usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

void PrintStatus(std::string_view name, const ServiceStatus& status)
{
    std::string accepts;
    if (status.controlsAccepted & kServiceAcceptStop)
        accepts = "stop";
    if (status.controlsAccepted & kServiceAcceptPauseContinue)
        accepts += accepts.empty() ? "pause/continue" : ", pause/continue";
    if (accepts.empty())
        accepts = "none";
    std::printf("Service     : %.*s\n", static_cast<int>(name.size()), name.data());
    std::printf("Type        : %u%s\n", status.serviceType,
                status.serviceType == kServiceWin32OwnProcess ? " (own process)" : "");
    std::printf("STATE       : %u %s\n", status.currentState, ServiceStateName(status.currentState));
    std::printf("Accepts     : %s\n", accepts.c_str());
    std::printf("Exit code   : %u (service-specific %u)\n", status.win32ExitCode, status.serviceSpecificExitCode);
    std::printf("Checkpoint  : %u\n", status.checkPoint);
    std::printf("Wait hint   : %u ms\n", status.waitHint);
    std::printf("Process id  : %d\n", status.processId);
}

// The program of a command line made absolute: a service starts in "/".
std::string AbsoluteImagePath(const std::string& commandLine)
{
    std::vector<std::string> arguments = SplitCommandLine(commandLine);
    if (arguments.empty() || arguments[0].empty() || arguments[0][0] == '/')
        return commandLine;
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(arguments[0], error);
    if (error)
        return commandLine;
    arguments[0] = absolute.lexically_normal().string();
    return JoinCommandLine(arguments);
}

bool OptionIs(std::string_view argument, std::string_view option)
{
    if (argument.size() != option.size())
        return false;
    for (std::size_t i = 0; i < option.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(argument[i])) != std::tolower(static_cast<unsigned char>(option[i])))
            return false;
    return true;
}

int Create(const std::string& name, int argc, char** argv)
{
    std::string binPath, displayName;
    bool haveBinPath = false;
    // Options are "key= value", the value a separate argument.
    for (int i = 0; i < argc; i += 2) {
        if (i + 1 >= argc)
            return Usage();
        if (OptionIs(argv[i], "binPath=")) {
            binPath = argv[i + 1];
            haveBinPath = true;
        } else if (OptionIs(argv[i], "DisplayName=")) {
            displayName = argv[i + 1];
        } else {
            return Usage();
        }
    }
    if (!haveBinPath)
        return Usage();
    int code = ServiceDatabase::Create(name, displayName, AbsoluteImagePath(binPath), kServiceDemandStart);
    if (code != kServiceOk)
        return Fail("create", name, code);
    std::printf("Created service %s.\n", name.c_str());
    return 0;
}

int Command(const std::string& command, const std::string& name)
{
    ServiceController controller(name);
    ServiceStatus status;
    int code = kServiceOk;
    if (command == "delete") {
        if ((code = ServiceDatabase::Delete(name)) != kServiceOk)
            return Fail("delete", name, code);
        std::printf("Deleted service %s.\n", name.c_str());
        return 0;
    }
    if (command == "start") {
        if ((code = controller.Start()) != kServiceOk) {
            Fail("start", name, code);
            if (code == kErrorServiceAlreadyRunning)
                SayWhoRuns(name);
            return 1;
        }
        code = controller.QueryStatus(status);
    } else if (command == "stop") {
        if ((code = controller.Stop(status)) != kServiceOk)
            return Fail("stop", name, code);
        code = controller.WaitForState(kServiceStopped, kStopWaitMs, &status);
    } else if (command == "pause") {
        code = controller.Pause(status);
    } else if (command == "continue") {
        code = controller.Continue(status);
    } else if (command == "query") {
        code = controller.QueryStatus(status);
    } else if (command == "run") {
        int exitStatus = 0, deathSignal = 0;
        ::setenv(kServiceForegroundVariable, "1", 1);
        if ((code = controller.RunInForeground(&exitStatus, &deathSignal)) != kServiceOk) {
            Fail("run", name, code);
            if (code == kErrorServiceAlreadyRunning)
                SayWhoRuns(name);
            return 1;
        }
        // A bare status 137 (make's "Error 137") says nothing of a kill.
        if (deathSignal != 0)
            std::fprintf(stderr, "velmora-sc: the process of %s died of signal %d (%s).\n", name.c_str(), deathSignal,
                         strsignal(deathSignal));
        return exitStatus;
    } else {
        return Usage();
    }
    if (code != kServiceOk)
        return Fail(command.c_str(), name, code);
    PrintStatus(name, status);
    return 0;
}

// The variables that name files: a service runs in "/", so a relative one
// given here would name another file there (an empty hive the service then
// serves). They are made absolute from this folder before anything starts.
void MakePathVariablesAbsolute()
{
    for (const char* name : {"VELMORA_REGISTRY", "VELMORA_HOME", "VELMORA_RUN_DIR", "ODBCINI", "ODBCSYSINI"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0' || *value == '/')
            continue;
        std::error_code error;
        std::filesystem::path absolute = std::filesystem::absolute(value, error);
        if (!error)
            ::setenv(name, absolute.lexically_normal().string().c_str(), 1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    MakePathVariablesAbsolute();
    if (argc < 3)
        return Usage();
    std::string command = argv[1];
    for (char& c : command)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string name = argv[2];
    if (command == "create")
        return Create(name, argc - 3, argv + 3);
    if (argc != 3)
        return Usage();
    return Command(command, name);
}
