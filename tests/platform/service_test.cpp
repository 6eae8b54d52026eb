// The service layer on real processes: the probe service (service_probe.cpp)
// is started detached, controlled over its socket and by signals, and driven
// through velmora-sc, with its own hive and run directory in a temporary folder.

#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/service.h"
#include "registry_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace platform;

namespace {

constexpr std::uint32_t kBoundMs = 10000;

std::string BinPath(const std::string& relative)
{
    const char* bin = std::getenv("VELMORA_TEST_BIN_DIR");
    std::filesystem::path dir = bin ? std::filesystem::path(bin)
                                    : std::filesystem::canonical("/proc/self/exe").parent_path().parent_path().parent_path();
    return (dir / relative).string();
}

std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Reaps pid, waiting at most limitMs; true when it ended (or was reaped before).
bool ReapWithin(pid_t pid, int limitMs, int* status = nullptr)
{
    for (int waited = 0; waited <= limitMs; waited += 10) {
        int local;
        pid_t done = ::waitpid(pid, &local, WNOHANG);
        if (done == pid) {
            if (status)
                *status = local;
            return true;
        }
        // Reaped already: it ended.
        if (done < 0 && errno == ECHILD)
            return true;
        SleepMs(10);
    }
    return false;
}

struct ToolRun {
    int exitCode = -1;
    std::string out;
};

// Runs velmora-sc with its output in a file; killed after kBoundMs * 4.
ToolRun RunSc(const std::vector<std::string>& args, const std::filesystem::path& outFile)
{
    ToolRun run;
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        std::string program = BinPath("tools/velmora-sc");
        std::vector<char*> argv{program.data()};
        std::vector<std::string> copies(args);
        for (std::string& arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (!ReapWithin(pid, kBoundMs * 4, &status)) {
        ::kill(pid, SIGKILL);
        ReapWithin(pid, kBoundMs);
        return run;
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadText(outFile);
    return run;
}

class ServiceTest : public RegistryFixture {
protected:
    void SetUp() override
    {
        RegistryFixture::SetUp();
        // Detached services are re-parented to us, so the test reaps them.
        ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        m_runDir = m_directory / "run";
        ::setenv("VELMORA_RUN_DIR", m_runDir.c_str(), 1);
        m_log = m_directory / "probe.log";
    }

    void TearDown() override
    {
        for (pid_t pid : m_pids) {
            if (!ReapWithin(pid, 0)) {
                ::kill(pid, SIGKILL);
                ReapWithin(pid, kBoundMs);
            }
        }
        ::unsetenv("VELMORA_RUN_DIR");
        ::unsetenv("NOTIFY_SOCKET");
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        RegistryFixture::TearDown();
    }

    std::string ProbeCommand(const std::string& name, const std::string& mode = "normal", int exitCode = 0)
    {
        return JoinCommandLine({BinPath("tests/platform/service_probe"), name, m_log.string(), mode,
                                std::to_string(exitCode)});
    }

    // Starts the probe and remembers its process for the tear-down.
    int StartProbe(ServiceController& controller, bool waitForRunning = true)
    {
        int code = controller.Start(waitForRunning, kBoundMs);
        ServiceStatus status;
        if (controller.QueryStatus(status) == kServiceOk && status.processId > 0)
            m_pids.push_back(status.processId);
        return code;
    }

    std::filesystem::path m_runDir;
    std::filesystem::path m_log;
    std::vector<pid_t> m_pids;
};

TEST_F(ServiceTest, DatabaseEntriesAreCreatedQueriedAndDeleted)
{
    ASSERT_EQ(ServiceDatabase::Create("Velmora", "Velmora Web Server", "/usr/sbin/velmorad", kServiceAutoStart,
                                      {"Mup", "Tcpip", "Afd"}),
              kServiceOk);
    EXPECT_EQ(ServiceDatabase::Create("VELMORA", "", "/bin/true"), kErrorServiceExists);

    ServiceConfig config;
    ASSERT_EQ(ServiceDatabase::QueryConfig("velmora", config), kServiceOk);
    EXPECT_EQ(config.name, "Velmora");
    EXPECT_EQ(config.displayName, "Velmora Web Server");
    EXPECT_EQ(config.imagePath, "/usr/sbin/velmorad");
    EXPECT_EQ(config.startType, kServiceAutoStart);
    EXPECT_EQ(config.serviceType, kServiceWin32OwnProcess);
    EXPECT_EQ(config.dependencies, (std::vector<std::string>{"Mup", "Tcpip", "Afd"}));
    EXPECT_EQ(ServiceDatabase::List(), std::vector<std::string>{"Velmora"});

    EXPECT_EQ(ServiceDatabase::Delete("Velmora"), kServiceOk);
    EXPECT_EQ(ServiceDatabase::Delete("Velmora"), kErrorServiceDoesNotExist);
    EXPECT_EQ(ServiceDatabase::QueryConfig("Velmora", config), kErrorServiceDoesNotExist);
    ServiceStatus status;
    EXPECT_EQ(ServiceController("Velmora").QueryStatus(status), kErrorServiceDoesNotExist);
}

TEST_F(ServiceTest, BadNamesAndParametersAreRefused)
{
    struct Case {
        std::string name, image;
        std::uint32_t startType;
        int expected;
    } cases[] = {
        {"", "/bin/true", kServiceDemandStart, kErrorInvalidName},
        {"a/b", "/bin/true", kServiceDemandStart, kErrorInvalidName},
        {"..", "/bin/true", kServiceDemandStart, kErrorInvalidName},
        {"a\\b", "/bin/true", kServiceDemandStart, kErrorInvalidName},
        {"tab\there", "/bin/true", kServiceDemandStart, kErrorInvalidName},
        {std::string(kMaxServiceNameLength + 1, 'n'), "/bin/true", kServiceDemandStart, kErrorInvalidName},
        {"ok", "", kServiceDemandStart, kErrorInvalidParameter},
        {"ok", "/bin/true\n-evil", kServiceDemandStart, kErrorInvalidParameter},
        {"ok", "/bin/true", 1, kErrorInvalidParameter},
        {std::string(kMaxServiceNameLength, 'n'), "/bin/true", kServiceDemandStart, kServiceOk},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ServiceDatabase::Create(c.name, "", c.image, c.startType), c.expected) << c.name;
    // A refused "a\b" must not have made a key a with a subkey b.
    EXPECT_FALSE(ServiceDatabase::Exists("a"));
    EXPECT_EQ(ServiceSocketPath("../escape"), "");
}

TEST_F(ServiceTest, CommandLinesSplitAndJoinWithTheWindowsRules)
{
    struct Case {
        std::string line;
        std::vector<std::string> arguments;
    } cases[] = {
        {"/bin/x a  b\tc", {"/bin/x", "a", "b", "c"}},
        {"\"/opt/my app/x\" -run", {"/opt/my app/x", "-run"}},
        {"x \"a \\\"q\\\" b\"", {"x", "a \"q\" b"}},
        {"x a\\\\\\\\\"b c\"", {"x", "a\\\\b c"}},
        {"x a\\\\b", {"x", "a\\\\b"}},
        {"x \"\" y", {"x", "", "y"}},
        {"x \"in\"\"side\"", {"x", "in\"side"}},
        {"   ", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitCommandLine(c.line), c.arguments) << c.line;
        EXPECT_EQ(SplitCommandLine(JoinCommandLine(c.arguments)), c.arguments) << c.line;
    }
}

TEST_F(ServiceTest, StatusRecordsRoundTripAndDamagedOnesAreRefused)
{
    ASSERT_EQ(CreateDirectories(m_runDir.string()), 0);
    ServiceStatus written;
    EXPECT_EQ(ReadServiceStatusRecord("svc", written), kErrorFileNotFound);
    written.currentState = kServicePaused;
    written.controlsAccepted = 3;
    written.win32ExitCode = 1064;
    written.checkPoint = 9;
    written.waitHint = 15000;
    written.processId = 4242;
    ASSERT_EQ(WriteServiceStatusRecord("SVC", written), kServiceOk);
    ServiceStatus read;
    ASSERT_EQ(ReadServiceStatusRecord("svc", read), kServiceOk);
    EXPECT_EQ(read, written);

    const std::string good = ReadText(ServiceStatusPath("svc"));
    const std::string damaged[] = {
        good.substr(0, good.size() - 3),
        good + "extra 1\n",
        std::string(good).replace(good.find("state 7"), 7, "state 9"),
        std::string(good).replace(good.find("pid 4242"), 8, "pid 42x2"),
        good + std::string(2000, '#'),
    };
    for (const std::string& text : damaged) {
        std::ofstream(ServiceStatusPath("svc"), std::ios::trunc) << text;
        EXPECT_EQ(ReadServiceStatusRecord("svc", read), kErrorInvalidData) << text;
    }
}

TEST_F(ServiceTest, ThreadsReportingAtOnceNeverLeaveATornRecord)
{
    constexpr int kThreads = 3;
    constexpr int kReports = 300;
    std::atomic<bool> done{false};
    ServiceStatus lastReported;
    std::thread dispatcher([&] {
        RunServiceDispatcher("busy", [&](const std::vector<std::string>& arguments) {
            ServiceStatusHandle* handle = RegisterServiceControlHandler(arguments[0], [](std::uint32_t) {});
            ASSERT_NE(handle, nullptr);
            std::vector<std::thread> reporters;
            for (int t = 0; t < kThreads; ++t)
                reporters.emplace_back([handle, t] {
                    for (int i = 0; i < kReports; ++i) {
                        ServiceStatus status;
                        status.currentState = i % 2 ? kServiceRunning : kServicePaused;
                        status.checkPoint = static_cast<std::uint32_t>(t * kReports + i);
                        status.waitHint = status.checkPoint * 3;
                        EXPECT_EQ(handle->Report(status), kServiceOk);
                    }
                });
            for (std::thread& reporter : reporters)
                reporter.join();
            lastReported = handle->Current();
            done = true;
            ServiceStatus stopped;
            handle->Report(stopped);
        });
    });
    int reads = 0;
    const std::uint64_t end = MonotonicMs() + 4 * kBoundMs;
    while (!done && MonotonicMs() < end) {
        ServiceStatus seen;
        int code = ReadServiceStatusRecord("busy", seen);
        if (code == kErrorFileNotFound)
            continue;
        ASSERT_EQ(code, kServiceOk);
        // Each record is one report whole: its wait hint belongs to its checkpoint.
        ASSERT_EQ(seen.waitHint, seen.checkPoint * 3);
        ++reads;
    }
    dispatcher.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(lastReported.checkPoint * 3, lastReported.waitHint);
    ServiceStatus after;
    ASSERT_EQ(ReadServiceStatusRecord("busy", after), kServiceOk);
    EXPECT_EQ(after.currentState, kServiceStopped);
    EXPECT_FALSE(IsServiceProcessRunning("busy"));
}

TEST_F(ServiceTest, ControllerDrivesTheProbeThroughItsLife)
{
    ASSERT_EQ(ServiceDatabase::Create("Probe", "Probe", ProbeCommand("Probe")), kServiceOk);
    ServiceController controller("probe");
    ASSERT_EQ(StartProbe(controller), kServiceOk);
    ServiceStatus status;
    ASSERT_EQ(controller.QueryStatus(status), kServiceOk);
    EXPECT_EQ(status.currentState, kServiceRunning);
    EXPECT_EQ(status.controlsAccepted, kServiceAcceptStop | kServiceAcceptPauseContinue);
    const pid_t pid = status.processId;
    ASSERT_GT(pid, 0);
    EXPECT_EQ(controller.Start(true, kBoundMs), kErrorServiceAlreadyRunning);
    // A second dispatcher for the same service, in another process, is refused.
    EXPECT_EQ(RunServiceDispatcher("PROBE", [](const std::vector<std::string>&) {}), kErrorServiceAlreadyRunning);

    EXPECT_EQ(controller.Pause(status), kServiceOk);
    EXPECT_EQ(status.currentState, kServicePaused);
    EXPECT_EQ(controller.Interrogate(status), kServiceOk);
    EXPECT_EQ(status.currentState, kServicePaused);
    EXPECT_EQ(controller.Continue(status), kServiceOk);
    EXPECT_EQ(status.currentState, kServiceRunning);
    EXPECT_EQ(controller.Control(77, status), kErrorInvalidServiceControl);
    EXPECT_EQ(controller.Stop(status), kServiceOk);
    // The service main may report stopped before the reply is made.
    EXPECT_TRUE(status.currentState == kServiceStopPending || status.currentState == kServiceStopped);
    EXPECT_EQ(controller.WaitForState(kServiceStopped, kBoundMs), kServiceOk);
    EXPECT_TRUE(ReapWithin(pid, kBoundMs));
    EXPECT_EQ(ReadText(m_log), "pause\ninterrogate\ncontinue\nstop\n");
    EXPECT_EQ(controller.Stop(status), kErrorServiceNotActive);
    ASSERT_EQ(controller.QueryStatus(status), kServiceOk);
    EXPECT_EQ(status.win32ExitCode, 0u);
    EXPECT_EQ(status.processId, 0);
}

TEST_F(ServiceTest, StartReportsWhyAServiceDidNotCome)
{
    struct Case {
        const char* mode;
        std::uint32_t startType;
        bool missingImage;
        int expected;
    } cases[] = {
        {"exit-early", kServiceDemandStart, false, kErrorProcessAborted},
        {"fail-start", kServiceDemandStart, false, 1064},
        {"normal", kServiceDisabled, false, kErrorServiceDisabled},
        {"normal", kServiceDemandStart, true, kErrorFileNotFound},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string name = "probe" + std::to_string(n++);
        std::string image = c.missingImage ? (m_directory / "no-such-program").string() : ProbeCommand(name, c.mode);
        ASSERT_EQ(ServiceDatabase::Create(name, "", image, c.startType), kServiceOk);
        ServiceController controller(name);
        EXPECT_EQ(StartProbe(controller), c.expected) << c.mode;
        ServiceStatus status;
        EXPECT_EQ(controller.WaitForState(kServiceStopped, kBoundMs, &status), kServiceOk) << c.mode;
    }
    // Whatever was started ends by itself; reap it all.
    for (int waited = 0; waited < static_cast<int>(kBoundMs); waited += 10) {
        if (::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD)
            break;
        SleepMs(10);
    }
}

TEST_F(ServiceTest, SignalsAreControlsAndSystemdHearsOfThem)
{
    // A datagram socket stands in for systemd's notification socket.
    std::string notifyPath = (m_directory / "notify").string();
    int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(notify, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, notifyPath.c_str());
    ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);

    ASSERT_EQ(ServiceDatabase::Create("sig", "", ProbeCommand("sig")), kServiceOk);
    ServiceController controller("sig");
    ASSERT_EQ(StartProbe(controller), kServiceOk);
    ServiceStatus status;
    ASSERT_EQ(controller.QueryStatus(status), kServiceOk);
    const pid_t pid = status.processId;

    ::kill(pid, SIGUSR1);
    EXPECT_EQ(controller.WaitForState(kServicePaused, kBoundMs), kServiceOk);
    ::kill(pid, SIGUSR2);
    EXPECT_EQ(controller.WaitForState(kServiceRunning, kBoundMs), kServiceOk);
    ::kill(pid, SIGTERM);
    EXPECT_EQ(controller.WaitForState(kServiceStopped, kBoundMs), kServiceOk);
    EXPECT_TRUE(ReapWithin(pid, kBoundMs));
    EXPECT_EQ(ReadText(m_log), "pause\ncontinue\nstop\n");

    std::string messages;
    char buffer[512];
    ssize_t n;
    while ((n = ::recv(notify, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        messages.append(buffer, static_cast<std::size_t>(n)).push_back('|');
    ::close(notify);
    EXPECT_NE(messages.find("READY=1\nSTATUS=Running\nMAINPID=" + std::to_string(pid)), std::string::npos) << messages;
    EXPECT_NE(messages.find("STATUS=Paused"), std::string::npos) << messages;
    EXPECT_NE(messages.find("STOPPING=1"), std::string::npos) << messages;
    EXPECT_NE(messages.find("EXTEND_TIMEOUT_USEC=3000000"), std::string::npos) << messages;
}

TEST_F(ServiceTest, AStopSignalDuringStartIsKeptUntilStopsAreAccepted)
{
    ASSERT_EQ(ServiceDatabase::Create("slow", "", ProbeCommand("slow", "slow-start")), kServiceOk);
    ServiceController controller("slow");
    ASSERT_EQ(StartProbe(controller, false), kServiceOk);
    ServiceStatus status;
    ASSERT_EQ(controller.QueryStatus(status), kServiceOk);
    EXPECT_EQ(status.currentState, kServiceStartPending);
    EXPECT_EQ(controller.Stop(status), kErrorServiceCannotAcceptControl);
    ::kill(status.processId, SIGTERM);
    EXPECT_EQ(controller.WaitForState(kServiceStopped, kBoundMs), kServiceOk);
    EXPECT_TRUE(ReapWithin(status.processId, kBoundMs));
    EXPECT_EQ(ReadText(m_log), "stop\n");
}

TEST_F(ServiceTest, AHangingStopIsReportedWithinTheBoundAndAKilledServiceReadsAsAborted)
{
    ASSERT_EQ(ServiceDatabase::Create("hang", "", ProbeCommand("hang", "hang-stop")), kServiceOk);
    ServiceController controller("hang");
    ASSERT_EQ(StartProbe(controller), kServiceOk);
    ServiceStatus status;
    ASSERT_EQ(controller.QueryStatus(status), kServiceOk);
    const pid_t pid = status.processId;

    constexpr std::uint32_t kShortMs = 500;
    std::uint64_t began = MonotonicMs();
    EXPECT_EQ(controller.Stop(status, kShortMs), kErrorServiceRequestTimeout);
    std::uint64_t took = MonotonicMs() - began;
    EXPECT_GE(took, kShortMs);
    EXPECT_LT(took, kShortMs + 2000);
    // The record is still readable while the handler hangs.
    ASSERT_EQ(controller.QueryStatus(status), kServiceOk);
    EXPECT_EQ(status.currentState, kServiceStopPending);

    ::kill(pid, SIGKILL);
    ASSERT_TRUE(ReapWithin(pid, kBoundMs));
    ASSERT_EQ(controller.QueryStatus(status), kServiceOk);
    EXPECT_EQ(status.currentState, kServiceStopped);
    EXPECT_EQ(status.win32ExitCode, static_cast<std::uint32_t>(kErrorProcessAborted));
    EXPECT_EQ(controller.Interrogate(status), kErrorServiceNotActive);
}

TEST_F(ServiceTest, TheControlChannelSurvivesSilentAndMalformedClients)
{
    ASSERT_EQ(ServiceDatabase::Create("chan", "", ProbeCommand("chan")), kServiceOk);
    ServiceController controller("chan");
    ASSERT_EQ(StartProbe(controller), kServiceOk);

    auto connectRaw = [this] {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, ServiceSocketPath("chan").c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    int garbage = connectRaw();
    const std::string request = "hello there\n";
    ::send(garbage, request.data(), request.size(), MSG_NOSIGNAL);
    char reply[128] = {};
    pollfd wait{garbage, POLLIN, 0};
    ASSERT_EQ(::poll(&wait, 1, static_cast<int>(kBoundMs)), 1);
    ASSERT_GT(::recv(garbage, reply, sizeof reply - 1, 0), 0);
    EXPECT_EQ(std::atoi(reply), kErrorInvalidServiceControl);
    ::close(garbage);

    // A client that connects and says nothing holds the channel only briefly.
    int silent = connectRaw();
    ServiceStatus status;
    EXPECT_EQ(controller.Interrogate(status, kServiceRequestReadTimeoutMs + 3000), kServiceOk);
    EXPECT_EQ(status.currentState, kServiceRunning);
    ::close(silent);
    EXPECT_EQ(ReadText(m_log), "interrogate\n");
    EXPECT_EQ(controller.Stop(status), kServiceOk);
    EXPECT_EQ(controller.WaitForState(kServiceStopped, kBoundMs), kServiceOk);
}

TEST_F(ServiceTest, TheToolCreatesStartsControlsStopsAndDeletes)
{
    auto out = m_directory / "sc.out";
    std::string probe = BinPath("tests/platform/service_probe");
    std::string bin = JoinCommandLine({probe, "Web", m_log.string()});
    ToolRun run = RunSc({"create", "Web", "binPath=", bin, "DisplayName=", "Web probe"}, out);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    run = RunSc({"create", "web", "binPath=", bin}, out);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("error 1073"), std::string::npos) << run.out;

    run = RunSc({"start", "Web"}, out);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("STATE       : 4 RUNNING"), std::string::npos) << run.out;
    ServiceStatus status;
    ASSERT_EQ(ServiceController("Web").QueryStatus(status), kServiceOk);
    const pid_t pid = status.processId;
    m_pids.push_back(pid);
    EXPECT_NE(RunSc({"query", "web"}, out).out.find("4 RUNNING"), std::string::npos);
    EXPECT_NE(RunSc({"pause", "Web"}, out).out.find("STATE       : 7 PAUSED"), std::string::npos);
    EXPECT_NE(RunSc({"continue", "Web"}, out).out.find("STATE       : 4 RUNNING"), std::string::npos);
    run = RunSc({"stop", "Web"}, out);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("STATE       : 1 STOPPED"), std::string::npos) << run.out;
    EXPECT_TRUE(ReapWithin(pid, kBoundMs));
    EXPECT_EQ(::kill(pid, 0), -1);

    EXPECT_EQ(RunSc({"delete", "Web"}, out).exitCode, 0);
    run = RunSc({"query", "Web"}, out);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("error 1060"), std::string::npos) << run.out;
    EXPECT_EQ(RunSc({"frobnicate", "Web"}, out).exitCode, 2);
}

TEST_F(ServiceTest, RunTurnsAnInterruptIntoTheStopControl)
{
    ASSERT_EQ(ServiceDatabase::Create("fg", "", ProbeCommand("fg", "normal", 7)), kServiceOk);
    std::string program = BinPath("tools/velmora-sc");
    pid_t tool = ::fork();
    if (tool == 0) {
        ::execl(program.c_str(), program.c_str(), "run", "fg", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ServiceController controller("fg");
    ServiceStatus status;
    ASSERT_EQ(controller.WaitForState(kServiceRunning, kBoundMs, &status), kServiceOk);
    m_pids.push_back(tool);
    ::kill(tool, SIGINT);
    int exitStatus = 0;
    ASSERT_TRUE(ReapWithin(tool, kBoundMs, &exitStatus));
    ASSERT_TRUE(WIFEXITED(exitStatus));
    // The tool ends with the service's own exit status.
    EXPECT_EQ(WEXITSTATUS(exitStatus), 7);
    EXPECT_EQ(ReadText(m_log), "stop\n");
    ASSERT_EQ(controller.QueryStatus(status), kServiceOk);
    EXPECT_EQ(status.currentState, kServiceStopped);
}

TEST_F(ServiceTest, SystemdUnitsRunTheImageAndCannotBeInjected)
{
    ServiceConfig config;
    config.name = "My Velmora";
    config.displayName = "Velmora 100%\nExecStartPre=/bin/evil";
    config.imagePath = "\"/opt/velmora/bin/velmorad\" -x $HOME";
    config.startType = kServiceAutoStart;
    std::string path;
    ASSERT_EQ(WriteSystemdUnit(config, (m_directory / "units").string(), &path), kServiceOk);
    EXPECT_EQ(path, (m_directory / "units" / "my\\x20velmora.service").string());
    std::string text = ReadText(path);
    EXPECT_NE(text.find("\nDescription=Velmora 100%% ExecStartPre=/bin/evil\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\nExecStartPre"), std::string::npos) << text;
    EXPECT_NE(text.find("\nExecStart=\"/opt/velmora/bin/velmorad\" \"-x\" \"$$HOME\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nType=notify\n"), std::string::npos);
    EXPECT_NE(text.find("\n[Install]\nWantedBy="), std::string::npos);

    config.startType = kServiceDemandStart;
    EXPECT_EQ(SystemdUnitText(config).find("[Install]"), std::string::npos);
    config.imagePath = "/bin/x\n[Service]";
    EXPECT_EQ(WriteSystemdUnit(config, (m_directory / "units").string()), kErrorInvalidParameter);
}

TEST_F(ServiceTest, ADispatcherWhoseSocketPathCannotFitRefusesToRun)
{
    std::string deep = (m_directory / std::string(100, 'd')).string();
    ::setenv("VELMORA_RUN_DIR", deep.c_str(), 1);
    bool ran = false;
    EXPECT_EQ(RunServiceDispatcher("svc", [&](const std::vector<std::string>&) { ran = true; }),
              kErrorFilenameTooLong);
    EXPECT_FALSE(ran);
    EXPECT_EQ(RegisterServiceControlHandler("svc", [](std::uint32_t) {}), nullptr);
}

} // namespace
