// The real velmorad driven by the real velmora-sc: its command line, the
// service's life through start, pause, continue and stop with curl as the
// client, the events it sends to a syslog socket of the test's own, and a
// stop that hangs ended by the watchdog.

#include "e2e/e2e_server.h"
#include "eventually.h"
#include "framework/loopback.h"
#include "framework/server_stats.h"
#include "other_user.h"
#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/service.h"
#include "service_process.h"
#include "service_site_test.h"
#include "shared_memory_scope.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace {

constexpr const char* kName = "Velmora";

// A syslog receiver: a datagram socket the service's events are sent to.
class SyslogSink {
public:
    explicit SyslogSink(const std::string& path) : m_path(path)
    {
        m_handle = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        m_bound = m_handle >= 0 && ::bind(m_handle, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~SyslogSink()
    {
        if (m_handle >= 0)
            ::close(m_handle);
        ::unlink(m_path.c_str());
    }
    bool IsBound() const { return m_bound; }

    // Every line received until one ends with last, or the time runs out.
    std::vector<std::string> ReadUntil(const std::string& last, std::uint32_t timeoutMs)
    {
        std::uint64_t deadline = platform::MonotonicMs() + timeoutMs;
        for (std::uint64_t now; (now = platform::MonotonicMs()) < deadline;) {
            pollfd wait{m_handle, POLLIN, 0};
            if (::poll(&wait, 1, static_cast<int>(deadline - now)) <= 0)
                continue;
            char buffer[2048];
            ssize_t n = ::recv(m_handle, buffer, sizeof buffer, 0);
            if (n <= 0)
                continue;
            m_lines.emplace_back(buffer, static_cast<std::size_t>(n));
            if (m_lines.back().ends_with(last))
                break;
        }
        return m_lines;
    }

private:
    std::string m_path;
    int m_handle = -1;
    bool m_bound = false;
    std::vector<std::string> m_lines;
};

class ForegroundRun;

class VelmoradTest : public ServiceSiteTest {
protected:
    VelmoradTest() : ServiceSiteTest("vsvc") {}

    // Installs the service and runs it in the foreground, expecting the run
    // to end by itself, non-zero; what it wrote to standard error.
    std::string FailingForegroundRun();
    // Installs the service and starts a foreground run of it in run,
    // returning once the service runs; its status (its process) in status.
    void RunningForegroundRun(std::unique_ptr<ForegroundRun>& run, platform::ServiceStatus* status = nullptr);

    e2e::RunResult Velmorad(const std::string& argument)
    {
        std::vector<std::string> args = {"timeout", "60", BinDir() + "/service/velmorad"};
        if (!argument.empty())
            args.push_back(argument);
        return e2e::RunProgram(args, m_dir / "velmorad.out");
    }
    e2e::RunResult Control(const std::string& command)
    {
        return e2e::RunProgram({"timeout", "90", BinDir() + "/tools/velmora-sc", command, kName}, m_dir / "sc.out");
    }
    e2e::RunResult Get()
    {
        return e2e::RunProgram({"curl", "-s", "--max-time", "10", "http://127.0.0.1:" + std::to_string(m_port) + "/"},
                               m_dir / "curl.out");
    }
    std::uint32_t State()
    {
        platform::ServiceStatus status;
        platform::ServiceController(kName).QueryStatus(status);
        return status.currentState;
    }

};

TEST_F(VelmoradTest, InstallRemoveAndUsageTexts)
{
    const std::string usage = "Usage:\nVelmorad -install\tInstall service\n\t(note: -install should be run with "
                              "executable in correct place.)\nVelmorad -remove\tRemove service\n";
    struct Case {
        const char* argument;
        const char* output;
    };
    const Case cases[] = {
        {"bogus", usage.c_str()},
        {"-installed", usage.c_str()},
        {"-INSTALL", "Service successfully installed!\n"},
        {"-install", "Error: Cannot install service (error 0x431)\n"},
        {"-Remove", "Service successfully removed!\n"},
        {"-remove", "Error: Cannot remove service (error 0x424)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        e2e::RunResult run = Velmorad(c.argument);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.output, c.output);
        if (std::string_view(c.argument) == "-INSTALL") {
            platform::ServiceConfig config;
            ASSERT_EQ(platform::ServiceDatabase::QueryConfig(kName, config), platform::kServiceOk);
            EXPECT_EQ(platform::SplitCommandLine(config.imagePath),
                      std::vector<std::string>{std::filesystem::canonical(BinDir() + "/service/velmorad").string()});
            EXPECT_EQ(config.startType, platform::kServiceAutoStart);
            EXPECT_EQ(config.displayName, "Velmora");
            EXPECT_EQ(config.dependencies, (std::vector<std::string>{"Mup", "Tcpip", "Afd"}));
        }
    }
    EXPECT_FALSE(platform::ServiceDatabase::Exists(kName));
}

TEST_F(VelmoradTest, StartPauseContinueStopWithTheirEvents)
{
    SyslogSink syslog(m_dir / "log.sock");
    ASSERT_TRUE(syslog.IsBound());
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");

    ASSERT_EQ(Control("start").exitCode, 0);
    EXPECT_EQ(State(), platform::kServiceRunning);
    EXPECT_EQ(Get().output, "service page\n");

    ASSERT_EQ(Control("pause").exitCode, 0);
    EXPECT_EQ(State(), platform::kServicePaused);
    EXPECT_NE(Get().exitCode, 0) << "a paused service must refuse connections";
    platform::ServiceController controller(kName);
    platform::ServiceStatus status;
    for (std::uint32_t control : {platform::kServiceControlInterrogate, platform::kServiceControlPause}) {
        SCOPED_TRACE(control);
        ASSERT_EQ(controller.Control(control, status), platform::kServiceOk);
        EXPECT_EQ(status.currentState, platform::kServicePaused);
        EXPECT_EQ(status.controlsAccepted, platform::kServiceAcceptStop | platform::kServiceAcceptPauseContinue);
    }
    EXPECT_NE(Get().exitCode, 0);

    ASSERT_EQ(Control("continue").exitCode, 0);
    EXPECT_EQ(State(), platform::kServiceRunning);
    ASSERT_EQ(controller.Continue(status), platform::kServiceOk);
    EXPECT_EQ(status.currentState, platform::kServiceRunning) << "continue while running changes nothing";
    EXPECT_EQ(Get().output, "service page\n");

    ASSERT_EQ(Control("stop").exitCode, 0);
    ASSERT_EQ(controller.WaitForState(platform::kServiceStopped, 20000), platform::kServiceOk);
    ASSERT_EQ(controller.QueryStatus(status), platform::kServiceOk);
    EXPECT_EQ(status.win32ExitCode, 0u) << "an orderly stop reports stopped itself";
    EXPECT_FALSE(platform::IsServiceProcessRunning(kName));

    std::vector<std::string> lines = syslog.ReadUntil("Velmora service shut down.", 10000);
    const std::vector<std::string> expected = {"Starting up Velmora service.", "HTTP server started.",
                                               "Pausing Velmora service.",     "HTTP server shut down.",
                                               "Continuing Velmora service.",  "HTTP server started.",
                                               "Commencing Velmora shutdown",  "HTTP server shut down.",
                                               "Velmora service shut down."};
    std::vector<std::string> seen;
    for (const std::string& line : lines) {
        EXPECT_TRUE(line.starts_with("<30>Velmora[")) << "not an information event of the service: " << line;
        seen.push_back(line.substr(line.find("]: ") + 3));
    }
    EXPECT_EQ(seen, expected);

    EXPECT_EQ(Velmorad("-remove").output, "Service successfully removed!\n");
}

// A hit whose access log is a named pipe nobody reads blocks in the open, so
// the servers cannot stop; the watchdog must end the process, whether the
// stop was asked for or came with a pause.
TEST_F(VelmoradTest, AHungStopIsEndedByTheWatchdog)
{
    std::string fifo = m_dir / "access.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    m_server.SetString("LogFile", fifo);
    ::setenv("VELMORA_STOP_WATCHDOG_MS", "1500", 1);
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");

    for (std::uint32_t control : {platform::kServiceControlStop, platform::kServiceControlPause}) {
        SCOPED_TRACE(control);
        // Run in the foreground, so the service's own exit status is seen.
        std::vector<std::string> args = {BinDir() + "/tools/velmora-sc", "run", kName};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t runner = -1;
        ASSERT_EQ(posix_spawn(&runner, argv[0], nullptr, nullptr, argv.data(), environ), 0);

        platform::ServiceController controller(kName);
        EXPECT_EQ(controller.WaitForState(platform::kServiceRunning, 30000), platform::kServiceOk);
        EXPECT_EQ(Get().output, "service page\n");
        platform::ServiceStatus status;
        controller.Control(control, status, 500);

        int exitStatus = -1;
        std::uint64_t deadline = platform::MonotonicMs() + 20000;
        while (platform::MonotonicMs() < deadline) {
            int wstatus = 0;
            if (::waitpid(runner, &wstatus, WNOHANG) == runner) {
                exitStatus = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
                break;
            }
            platform::SleepMs(20);
        }
        if (exitStatus == -1) {
            if (controller.QueryStatus(status) == platform::kServiceOk && status.processId > 0)
                ::kill(status.processId, SIGKILL);
            ::kill(runner, SIGKILL);
            ::waitpid(runner, nullptr, 0);
        }
        EXPECT_EQ(exitStatus, 666 & 0xFF) << "the watchdog's exit code as Linux keeps it";
    }
}

// While a pause waits for a busy server the service still reports running
// (there is no pending state), and the pause completes once the server is
// free.
TEST_F(VelmoradTest, ASlowPauseReportsRunningUntilPaused)
{
    std::string fifo = m_dir / "access.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    m_server.SetString("LogFile", fifo);
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    ASSERT_EQ(Control("start").exitCode, 0);
    EXPECT_EQ(Get().output, "service page\n");

    platform::ServiceController controller(kName);
    platform::ServiceStatus status;
    EXPECT_EQ(controller.Pause(status, 500), platform::kErrorServiceRequestTimeout);
    ASSERT_EQ(controller.QueryStatus(status), platform::kServiceOk);
    EXPECT_EQ(status.currentState, platform::kServiceRunning);
    EXPECT_EQ(status.waitHint, 0u);

    // A reader lets the hit's log open finish, and with it the pause.
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(controller.WaitForState(platform::kServicePaused, 20000), platform::kServiceOk);
    EXPECT_NE(Get().exitCode, 0);
    ::close(reader);
    ASSERT_EQ(Control("stop").exitCode, 0);
    EXPECT_EQ(controller.WaitForState(platform::kServiceStopped, 20000), platform::kServiceOk);
}



// The verify, environment, exec and mutex families on a page served by the
// real service; the QNS table names the client in the access log and in an
// access line's host pattern.
class VelmoradPagesTest : public VelmoradTest {
protected:
    void SetUp() override
    {
        VelmoradTest::SetUp();
        if (IsSkipped())
            return;
        Key("HTTP\\Mappings").SetString("kav", "text/x-kav");
        Key("HTTP\\Mappings").SetString("txt", "text/plain");
        m_server.SetString("LogFile", m_dir / "access.log");
        Script("argv", "for a in \"$@\"; do printf '<%s>' \"$a\"; done\n");
        Script("bump", "n=$(cat \"$1\"); sleep 0.01; echo $((n+1)) > \"$1\"\n");
    }
    void Script(const std::string& name, const std::string& body)
    {
        e2e::WriteFile(m_root + "/" + name, "#!/bin/sh\n" + body);
        ::chmod((m_root + "/" + name).c_str(), 0755);
    }
    e2e::RunResult Fetch(const std::string& path)
    {
        return e2e::RunProgram({"curl", "-s", "--max-time", "30", "http://127.0.0.1:" + std::to_string(m_port) + path},
                               m_dir / "curl.out");
    }
    // count requests at once, each bumping the number in a file under one
    // mutex; the number must come out exact.
    void CountUnderTheMutex(int count)
    {
        e2e::WriteFile(m_root + "/n", "0\n");
        e2e::WriteFile(m_root + "/count.kav", "%mutex(Counter,%exec(" + m_root + "/bump " + m_root + "/n))done");
        ASSERT_EQ(Velmorad("-install").exitCode, 0);
        ASSERT_EQ(Control("start").exitCode, 0);
        std::vector<std::string> args = {"curl", "-s", "--parallel", "--parallel-immediate", "--parallel-max",
                                         std::to_string(count), "--max-time", "60", "-w", "%{http_code}\\n"};
        for (int i = 0; i < count; ++i) {
            args.insert(args.end(), {"-o", "/dev/null"});
            args.push_back("http://127.0.0.1:" + std::to_string(m_port) + "/count.kav?" + std::to_string(i));
        }
        e2e::RunResult result = e2e::RunProgram(args, m_dir / "parallel.out");
        std::size_t ok = 0;
        for (std::size_t at = result.output.find("200"); at != std::string::npos; at = result.output.find("200", at + 3))
            ++ok;
        EXPECT_EQ(ok, static_cast<std::size_t>(count)) << result.output;
        std::ifstream file(m_root + "/n");
        int value = -1;
        file >> value;
        EXPECT_EQ(value, count);
        ASSERT_EQ(Control("stop").exitCode, 0);
        EXPECT_EQ(Velmorad("-remove").exitCode, 0);
    }
};

TEST_F(VelmoradPagesTest, EveryMacroOfTheFamiliesOnOnePage)
{
    Key("QNS").SetString("127.0.0.1", "qns-loopback.test");
    m_server.SetDword("UseDNS", 1);
    e2e::WriteFile(m_root + "/families.kav",
                   "int:%verify-int(42,1,100)|%verify-int(4294967338)\n"
                   "num:%verify-num(-.5E-3)|%verify-num(1e)\n"
                   "money:%verify-money(12)|%verify-money(12.5)\n"
                   "len:%verify-len(abc,3,3)|%verify-len(abcd,,3)\n"
                   "pict:%verify-pict(12-AB,99-AA)|%verify-pict(1A,9a)\n"
                   "card:%verify-card(4111 1111 1111 1111)|%verify-card(378282246310005)|"
                   "%verify-card(4111 1111 1111 1112)\n"
                   "prefix:%card-prefix(4111-2222,6)\n"
                   "env:%getenv(TEMP)\n"
                   "exec:%exec(" + m_root + "/argv one two)\n"
                   "missing:%exec(/no/such/program)\n"
                   "caught:%try(%exec(/no/such/program),%exception-type% %exception-number%)\n"
                   "mutex:%mutex(Page,%mutex(PAGE,nested))\n");
    e2e::WriteFile(m_root + "/named/page.txt", "named\n");
    e2e::WriteFile(m_root + "/named/page.txt.~ACL~", "Allow-user: *,*,qns-loopback.*\r\n");
    e2e::WriteFile(m_root + "/other/page.txt", "other\n");
    e2e::WriteFile(m_root + "/other/page.txt.~ACL~", "Allow-user: *,*,localhost*\r\n");

    ASSERT_EQ(Velmorad("-install").exitCode, 0);
    ASSERT_EQ(Control("start").exitCode, 0);
    EXPECT_EQ(Fetch("/families.kav").output, "int:T|\n"
                                             "num:T|\n"
                                             "money:T|\n"
                                             "len:T|\n"
                                             "pict:T|\n"
                                             "card:visa|amex|\n"
                                             "prefix:411122\n"
                                             "env:" + m_dir.Path() + "\n"
                                             "exec:<one><two>\n"
                                             "missing:[EXEC error 2: Error in exec() expansion]\n"
                                             "caught:EXEC 2\n"
                                             "mutex:nested\n");
    EXPECT_EQ(Fetch("/named/page.txt").output, "named\n");
    EXPECT_NE(Fetch("/other/page.txt").output, "other\n");
    ASSERT_EQ(Control("stop").exitCode, 0);
    EXPECT_EQ(Velmorad("-remove").exitCode, 0);

    std::ifstream log(m_dir / "access.log");
    std::string first;
    std::getline(log, first);
    EXPECT_TRUE(first.starts_with("qns-loopback.test - ")) << first;
}

// Another local user takes the global statistics block's name before the
// start (a link, a folder): the global counters count all the same, and the
// log says once why nobody else can read them.
TEST_F(VelmoradPagesTest, AGlobalStatisticsNameTakenByAnotherKeepsTheCountersCounting)
{
    const std::filesystem::path name = SharedMemoryTest::DevShmPath(StatsBlockName());
    const std::vector<std::pair<const char*, std::function<bool()>>> squats = {
        {"a link", [&] { return ::symlink((m_dir / "elsewhere").c_str(), name.c_str()) == 0; }},
        {"a folder", [&] { return ::mkdir(name.c_str(), 0777) == 0; }},
    };
    e2e::WriteFile(m_root + "/hits.kav", "%global-numhits%");
    ASSERT_EQ(Velmorad("-install").exitCode, 0);
    for (const auto& [what, squat] : squats) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(squat());
        ASSERT_EQ(Control("start").exitCode, 0);
        EXPECT_EQ(Fetch("/hits.kav").output, "0");
        EXPECT_EQ(Fetch("/hits.kav").output, "1") << "the global counters are gone";
        ASSERT_EQ(Control("stop").exitCode, 0);
        std::error_code error;
        std::filesystem::remove(name, error);
        const std::string log = e2e::ReadFile(m_dir / "home/log/Velmora.log");
        const std::string said = "Statistics kept private: block ";
        std::size_t times = 0;
        for (std::size_t at = log.find(said); at != std::string::npos; at = log.find(said, at + 1))
            ++times;
        EXPECT_EQ(times, 1u) << log;
        std::filesystem::remove(m_dir / "home/log/Velmora.log", error);
    }
    EXPECT_EQ(Velmorad("-remove").exitCode, 0);
}

TEST_F(VelmoradPagesTest, FiftyRequestsInThreadsLoseNoUpdate) { CountUnderTheMutex(50); }

TEST_F(VelmoradPagesTest, FiftyRequestsInFibersLoseNoUpdate)
{
    m_server.SetDword("UseFibers", 1);
    CountUnderTheMutex(50);
}

} // namespace

TEST_F(VelmoradTest, CountersAndPersistentValuesSurviveARestart)
{
    e2e::WriteFile(m_root + "/hit.htm", "%expand%%counter(hits)");
    e2e::WriteFile(m_root + "/set.htm", "%expand%%pset(Color,%form(c))");
    e2e::WriteFile(m_root + "/get.htm", "%expand%%counter(hits,-1)/%pget(color)");
    auto get = [this](const std::string& path) {
        return e2e::RunProgram({"curl", "-s", "--max-time", "10", "http://127.0.0.1:" + std::to_string(m_port) + path},
                               m_dir / "curl.out")
            .output;
    };
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    ASSERT_EQ(Control("start").exitCode, 0);
    for (const char* expected : {"1", "2", "3"})
        EXPECT_EQ(get("/hit.htm"), expected);
    get("/set.htm?c=blue");
    // A pause and continue stops and starts the engine inside the process.
    ASSERT_EQ(Control("pause").exitCode, 0);
    ASSERT_EQ(Control("continue").exitCode, 0);
    EXPECT_EQ(get("/get.htm"), "3/blue");
    ASSERT_EQ(Control("stop").exitCode, 0);
    platform::ServiceController controller(kName);
    ASSERT_EQ(controller.WaitForState(platform::kServiceStopped, 20000), platform::kServiceOk);
    ASSERT_EQ(Control("start").exitCode, 0);
    EXPECT_EQ(get("/get.htm"), "3/blue");
    EXPECT_EQ(get("/hit.htm"), "4");
    ASSERT_EQ(Control("stop").exitCode, 0);
    ASSERT_EQ(controller.WaitForState(platform::kServiceStopped, 20000), platform::kServiceOk);
    EXPECT_EQ(Velmorad("-remove").output, "Service successfully removed!\n");
}

namespace {

// A foreground run (velmora-sc run) as make run starts it, with its standard
// output and error in files.
class ForegroundRun {
public:
    ForegroundRun(const std::string& out, const std::string& err)
    {
        std::vector<std::string> args = {"timeout", "60", BinDir() + "/tools/velmora-sc", "run", kName};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // The hang-up as a shell in a terminal has it, even when the tests
        // run under nohup (a run that inherits it ignored outlives its terminal).
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t hangUp;
        sigemptyset(&hangUp);
        sigaddset(&hangUp, SIGHUP);
        posix_spawnattr_setsigdefault(&attributes, &hangUp);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        if (posix_spawnp(&m_pid, argv[0], &actions, &attributes, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ForegroundRun()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    bool Started() const { return m_pid > 0; }
    // True once velmora-sc (timeout's child) has forked the service's
    // process: from then on a Ctrl-C is velmora-sc's to hand on.
    bool ServiceForked() const
    {
        const std::string sc = Children(m_pid);
        return !sc.empty() && !Children(std::stoi(sc)).empty();
    }
    // Ctrl-C reaches velmora-sc (timeout passes it on).
    void Interrupt() { ::kill(m_pid, SIGINT); }
    // A signal to velmora-sc itself, as a closed terminal or kill sends it.
    void SignalRun(int signalNumber)
    {
        if (const std::string sc = Children(m_pid); !sc.empty())
            ::kill(std::stoi(sc), signalNumber);
    }
    // The exit status, or -1 when it has not ended within the time.
    int Wait(std::uint32_t timeoutMs)
    {
        // Looked at once at least: 0 asks whether it has ended now.
        for (std::uint64_t end = platform::MonotonicMs() + timeoutMs;; platform::SleepMs(50)) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (platform::MonotonicMs() >= end)
                return -1;
        }
    }

private:
    // The first child of pid, or "" (Linux lists them per thread).
    static std::string Children(pid_t pid)
    {
        std::string list = e2e::ReadFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
        return list.substr(0, list.find(' '));
    }

    pid_t m_pid = -1;
};

} // namespace

void VelmoradTest::RunningForegroundRun(std::unique_ptr<ForegroundRun>& run, platform::ServiceStatus* status)
{
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    run = std::make_unique<ForegroundRun>(m_dir / "run.out", m_dir / "run.err");
    ASSERT_TRUE(run->Started());
    ASSERT_TRUE(Eventually([this] { return State() == platform::kServiceRunning; }, 30000));
    if (status) {
        ASSERT_EQ(platform::ServiceController(kName).QueryStatus(*status), platform::kServiceOk);
    }
}

std::string VelmoradTest::FailingForegroundRun()
{
    EXPECT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    ForegroundRun run(m_dir / "run.out", m_dir / "run.err");
    EXPECT_TRUE(run.Started());
    int status = run.Wait(30000);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "the run must end by itself when nothing listens";
    EXPECT_NE(status, 124) << "ended by the test's time-out, not by itself";
    return e2e::ReadFile(m_dir / "run.err");
}

// With its port held by another program and no syslog socket, a foreground
// run shows the designed event and the reason at once on standard error,
// keeps them in Velmora.log, and ends non-zero instead of looking alive.
TEST_F(VelmoradTest, AForegroundRunWhosePortIsTakenSaysWhyAndEndsNonZero)
{
    LoopbackListener squatter;
    m_server.SetDword("Port", squatter.port);
    std::string err = FailingForegroundRun();

    const std::string why = "Port " + std::to_string(squatter.port) + " at 127.0.0.1 cannot be used: Address already in use.";
    std::size_t designed = err.find("GMT] Socket error 10048 starting server.\n");
    EXPECT_NE(designed, std::string::npos) << err;
    EXPECT_GT(err.find("GMT] " + why + "\n"), designed) << "the reason follows the designed line\n" << err;
    EXPECT_NE(err.find("Not one configured server could start"), std::string::npos) << err;
    EXPECT_EQ(e2e::ReadFile(m_dir / "run.out").find("Velmora serves"), std::string::npos)
        << "nothing listens, so nothing is announced";
    std::string log = e2e::ReadFile(m_dir / "home/log/Velmora.log");
    EXPECT_NE(log.find("] Socket error 10048 starting server.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] " + why + "\n"), std::string::npos) << log;
    EXPECT_NE(State(), platform::kServiceRunning);
}

// A foreground run that can listen says so once it does, serves, and ends
// with 0 on Ctrl-C; the background service, with no syslog socket, keeps its
// events in Velmora.log instead of losing them.
TEST_F(VelmoradTest, AForegroundRunAnnouncesItsListenersAndNoEventIsLostWithoutSyslog)
{
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    {
        ForegroundRun run(m_dir / "run.out", m_dir / "run.err");
        ASSERT_TRUE(run.Started());
        const std::string announced = "Velmora serves http://127.0.0.1:" + std::to_string(m_port) + "/ (HTTP server)\n";
        bool seen = false;
        for (int i = 0; i < 300 && !(seen = e2e::ReadFile(m_dir / "run.out").find(announced) != std::string::npos); ++i)
            platform::SleepMs(50);
        ASSERT_TRUE(seen) << e2e::ReadFile(m_dir / "run.out") << e2e::ReadFile(m_dir / "run.err");
        EXPECT_EQ(Get().output, "service page\n") << "announced only once it listens";
        run.Interrupt();
        EXPECT_EQ(run.Wait(30000), 0);
        EXPECT_NE(e2e::ReadFile(m_dir / "run.err").find("GMT] HTTP server started.\n"), std::string::npos);
    }
    std::filesystem::remove(m_dir / "home/log/Velmora.log");
    ASSERT_EQ(Control("start").exitCode, 0);
    EXPECT_EQ(Get().output, "service page\n");
    ASSERT_EQ(Control("stop").exitCode, 0);
    std::string log = e2e::ReadFile(m_dir / "home/log/Velmora.log");
    for (const char* event : {"Starting up Velmora service.", "HTTP server started.", "Commencing Velmora shutdown"})
        EXPECT_NE(log.find(std::string("GMT] ") + event + "\n"), std::string::npos) << event << "\n" << log;
    // Still serves when started again.
    ASSERT_EQ(Control("start").exitCode, 0);
    EXPECT_EQ(Get().output, "service page\n");
    ASSERT_EQ(Control("stop").exitCode, 0);
}

// Ctrl-C at any moment of the start of a foreground run is honoured once the
// start ends, and the run ends with 0: the moments are right after the
// service's process is forked, once it holds its lock, and once it reports
// start-pending.
TEST_F(VelmoradTest, ACtrlCDuringTheStartStopsTheRunEveryTime)
{
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    constexpr int kTries = 9;
    for (int i = 0; i < kTries; ++i) {
        SCOPED_TRACE("try " + std::to_string(i));
        ForegroundRun run(m_dir / "run.out", m_dir / "run.err");
        ASSERT_TRUE(run.Started());
        ASSERT_TRUE(Eventually([&] { return run.ServiceForked(); }, 20000));
        if (i % 3 == 1)
            Eventually([] { return platform::IsServiceProcessRunning(kName); }, 20000);
        if (i % 3 == 2)
            Eventually([this] { return State() != platform::kServiceStopped; }, 20000);
        run.Interrupt();
        EXPECT_EQ(run.Wait(60000), 0) << e2e::ReadFile(m_dir / "run.err");
        EXPECT_NE(Get().exitCode, 0) << "still serving after the Ctrl-C";
        EXPECT_FALSE(platform::IsServiceProcessRunning(kName));
    }
}

// A relative hive path, as a user exports it in the source folder: velmora-sc
// makes it absolute before the service (which runs in "/") starts, so the
// service serves that hive. A service started with the relative path by
// anyone else refuses it, says why, and makes no hive.
TEST_F(VelmoradTest, ARelativeHivePathIsMadeAbsoluteOrRefused)
{
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    const std::string quoted = "'" + m_dir.Path() + "'";
    e2e::RunResult start = e2e::RunProgram(
        {"sh", "-c", "cd " + quoted + " && VELMORA_REGISTRY=registry.db exec timeout 90 '" + BinDir() +
                         "/tools/velmora-sc' start Velmora"},
        m_dir / "sc.out");
    ASSERT_EQ(start.exitCode, 0) << start.output;
    EXPECT_EQ(Get().output, "service page\n") << "the service serves the hive the user named";
    ASSERT_EQ(Control("stop").exitCode, 0);

    // Started as a service is (in "/", no terminal) with the relative path.
    const std::string relative = "velmora-relative-" + std::to_string(::getpid()) + "/registry.db";
    e2e::RunResult detached = e2e::RunProgram(
        {"sh", "-c", "cd / && VELMORA_REGISTRY=" + relative + " exec timeout 60 '" + BinDir() + "/service/velmorad'"},
        m_dir / "velmorad.out");
    EXPECT_EQ(detached.exitCode, platform::kErrorBadPathname) << detached.output;
    EXPECT_FALSE(std::filesystem::exists("/" + relative)) << "a hive made where nobody meant it";
    std::string log = e2e::ReadFile(m_dir / "home/log/Velmora.log");
    EXPECT_NE(log.find("VELMORA_REGISTRY=" + relative + " is relative, and a service runs in /: it does not start."),
              std::string::npos)
        << log;
}

// Port stored as text is said, naming the key and the value, and that
// server does not start: it never falls back to a port nobody chose.
TEST_F(VelmoradTest, APortThatIsNotANumberIsSaidAndItsServerDoesNotStart)
{
    m_server.SetString("Port", "eighty");
    std::string err = FailingForegroundRun();
    const std::string key = "HTTP\\Servers\\" + HTTPServerKeyName(m_port, htonl(INADDR_LOOPBACK));
    EXPECT_NE(err.find("GMT] The value Port of " + key + " is not a REG_DWORD number"), std::string::npos) << err;
    EXPECT_NE(err.find("GMT] A server does not start: its Port value cannot be read.\n"), std::string::npos) << err;
    EXPECT_EQ(e2e::ReadFile(m_dir / "run.out").find("Velmora serves"), std::string::npos)
        << e2e::ReadFile(m_dir / "run.out");
}

// Port 0 would be announced as port 0 while the kernel picked another.
TEST_F(VelmoradTest, PortZeroIsRefusedNamingTheKeyAndNothingIsAnnounced)
{
    m_server.SetDword("Port", 0);
    std::string err = FailingForegroundRun();
    const std::string key = "HTTP\\Servers\\" + HTTPServerKeyName(m_port, htonl(INADDR_LOOPBACK));
    EXPECT_NE(err.find("GMT] A server does not start: the value Port of " + key + " is 0, not a port from 1 to 65535.\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(e2e::ReadFile(m_dir / "run.out").find("Velmora serves"), std::string::npos)
        << e2e::ReadFile(m_dir / "run.out");
}

// A service killed with -9 leaves its copies of cached documents in its own
// folder under the state directory (never in TEMP), and the next start
// removes that folder.
TEST_F(VelmoradTest, CopiesAKilledServiceLeftAreRemovedByTheNextStart)
{
    // Entries (and their copies) stay cached between requests.
    m_server.SetDword("URLCacheFlushInterval", 3600);
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    ASSERT_EQ(Control("start").exitCode, 0);
    ASSERT_EQ(Get().output, "service page\n");
    platform::ServiceStatus status;
    ASSERT_EQ(platform::ServiceController(kName).QueryStatus(status), platform::kServiceOk);
    ASSERT_GT(status.processId, 0);
    const std::string folder = m_dir / ("home/tmp/" + std::to_string(status.processId));
    auto copies = [](const std::string& dir) {
        int count = 0;
        std::error_code error;
        for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
            count += it->path().filename().string().starts_with("URL");
        return count;
    };
    ASSERT_EQ(copies(folder), 1) << folder;
    EXPECT_EQ(copies(m_dir.Path()), 0) << "a copy in TEMP";

    ASSERT_EQ(::kill(static_cast<pid_t>(status.processId), SIGKILL), 0);
    ASSERT_TRUE(Eventually([] { return !platform::IsServiceProcessRunning(kName); }, 20000));
    ASSERT_EQ(copies(folder), 1) << "the crash leaves the copy where the next start looks";

    ASSERT_EQ(Control("start").exitCode, 0);
    EXPECT_EQ(Get().output, "service page\n");
    EXPECT_FALSE(std::filesystem::exists(folder));
    ASSERT_EQ(Control("stop").exitCode, 0);
    // Nor do the statistics blocks of the killed run stay in shared memory.
    const std::string prefix = platform::SharedMemoryName("").substr(1);
    for (const auto& entry : std::filesystem::directory_iterator(platform::kSharedMemoryFolder))
        EXPECT_FALSE(entry.path().filename().string().starts_with(prefix)) << entry.path();
}

// Another local user makes the first server's block (open to all) and its
// mutex (held) before the service starts: the service starts and serves all
// the same, makes both afresh, says so, and the user reaches neither.
TEST_F(VelmoradTest, StatisticsNamesAnotherUserMadeFirstAreMadeAfresh)
{
    if (std::string why = OtherUserProcess::Obstacle(); !why.empty())
        GTEST_SKIP() << why;
    const std::string block = StatsBlockName() + "0";
    const std::string blockFile = SharedMemoryTest::DevShmPath(block);
    platform::SharedMemory squatted;
    platform::NamedMutex held;
    OtherUserProcess nobody({
        [&] {
            return squatted.Create(block, kStatsBlockBytes) && ::chmod(blockFile.c_str(), 0666) == 0
                   && held.Create(StatsMutexName() + "0") && held.Wait(0) == platform::NamedMutex::WaitResult::acquired;
        },
        [&] { return ::truncate(blockFile.c_str(), 0) == 0; },
    });
    ASSERT_TRUE(nobody.Run(0));
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    ASSERT_EQ(Control("start").exitCode, 0);
    EXPECT_EQ(Get().output, "service page\n");
    EXPECT_FALSE(nobody.Run(1)) << "the other user cut the service's block short";
    EXPECT_EQ(Get().output, "service page\n");
    ASSERT_EQ(Control("stop").exitCode, 0);
    std::string log = e2e::ReadFile(m_dir / "home/log/Velmora.log");
    for (const char* found : {"VLInfo0 afresh: the one found was user 65534's, mode 0666.",
                              "VLInfoMutex0 afresh: the one found was user 65534's, mode 0600."})
        EXPECT_NE(log.find(found), std::string::npos) << found << "\n" << log;
}

// A foreground run ends with its terminal (a hang-up stops it as Ctrl-C
// does), and its service ends with velmora-sc however that ends.
TEST_F(VelmoradTest, AForegroundRunsServiceEndsWithItsTerminalOrItsRun)
{
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    for (int signalNumber : {SIGHUP, SIGKILL}) {
        SCOPED_TRACE(strsignal(signalNumber));
        ForegroundRun run(m_dir / "run.out", m_dir / "run.err");
        ASSERT_TRUE(run.Started());
        ASSERT_TRUE(Eventually([this] { return State() == platform::kServiceRunning; }, 30000));
        run.SignalRun(signalNumber);
        if (signalNumber == SIGHUP) {
            EXPECT_EQ(run.Wait(30000), 0) << e2e::ReadFile(m_dir / "run.err");
        }
        EXPECT_TRUE(Eventually([] { return !platform::IsServiceProcessRunning(kName); }, 30000));
        EXPECT_NE(Get().exitCode, 0) << "still serving";
    }
}

namespace {

// A terminal (a pseudo-terminal of the test's own) whose program is args;
// closing it is a terminal window closed.
class Terminal {
public:
    explicit Terminal(std::vector<std::string> args)
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        std::string slave = ::ptsname(m_master);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            // A session of its own, the terminal its controlling one, and
            // the hang-up as a terminal's program has it.
            ::setsid();
            ::signal(SIGHUP, SIG_DFL);
            int fd = ::open(slave.c_str(), O_RDWR);
            if (fd < 0)
                ::_exit(127);
            for (int target : {0, 1, 2})
                ::dup2(fd, target);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::fcntl(m_master, F_SETFL, O_NONBLOCK);
    }
    ~Terminal()
    {
        Close();
        if (m_pid > 0) {
            ::kill(-m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    bool Started() const { return m_master >= 0 && m_pid > 0; }
    // Waits up to ms for done(), reading what the program writes meanwhile.
    bool Until(const std::function<bool()>& done, std::uint64_t ms)
    {
        return Eventually(
            [&] {
                Output();
                return done();
            },
            ms);
    }
    // What the program wrote; read as it comes, so that it never blocks.
    const std::string& Output()
    {
        char buffer[4096];
        ssize_t got;
        while (m_master >= 0 && (got = ::read(m_master, buffer, sizeof buffer)) > 0)
            m_output.append(buffer, static_cast<std::size_t>(got));
        return m_output;
    }
    void Close()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }
    // True once the terminal's own program has ended.
    bool Ended()
    {
        if (m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == m_pid)
            m_pid = -1;
        return m_pid <= 0;
    }

private:
    int m_master = -1;
    pid_t m_pid = -1;
    std::string m_output;
};

} // namespace

// A terminal whose own program is make, which runs velmora-sc and waits for
// it: closing it hangs up make alone, and the service must still end.
TEST_F(VelmoradTest, AForegroundRunEndsWhenATerminalWhoseProgramIsMakeCloses)
{
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    e2e::WriteFile(m_dir / "Makefile", "run:\n\t@exec '" + BinDir() + "/tools/velmora-sc' run Velmora\n");
    Terminal terminal({"make", "-s", "-f", m_dir / "Makefile", "run"});
    ASSERT_TRUE(terminal.Started());
    ASSERT_TRUE(terminal.Until([&] { return State() == platform::kServiceRunning; }, 30000))
        << terminal.Output();
    ASSERT_EQ(Get().output, "service page\n");
    terminal.Close();
    EXPECT_TRUE(Eventually([] { return !platform::IsServiceProcessRunning(kName); }, 30000))
        << "the service outlived its terminal";
    EXPECT_NE(Get().exitCode, 0) << "still serving";
}

// A run that starts with the hang-up ignored (nohup) outlives its terminal;
// one that does not ends with it. The plain run's end gives the time the
// nohup run must outlast.
TEST_F(VelmoradTest, ANohupRunOutlivesItsTerminalAndAPlainOneEndsWithIt)
{
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    const std::string sc = "'" + BinDir() + "/tools/velmora-sc' run Velmora";
    struct Case {
        const char* name;
        std::string program;
        bool outlives;
    };
    const Case cases[] = {
        {"plain", "exec " + sc, false},
        {"nohup", "nohup " + sc + " > '" + (m_dir / "nohup.out") + "' 2>&1 & wait", true},
    };
    std::uint64_t plainEndMs = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Terminal terminal({"sh", "-c", c.program});
        ASSERT_TRUE(terminal.Started());
        ASSERT_TRUE(terminal.Until([&] { return State() == platform::kServiceRunning; }, 30000))
            << terminal.Output();
        ASSERT_EQ(Get().output, "service page\n");
        const std::uint64_t closed = platform::MonotonicMs();
        terminal.Close();
        if (!c.outlives) {
            ASSERT_TRUE(Eventually([] { return !platform::IsServiceProcessRunning(kName); }, 30000));
            plainEndMs = platform::MonotonicMs() - closed;
            continue;
        }
        ASSERT_TRUE(Eventually([&] { return terminal.Ended(); }, 30000)) << "the terminal's shell outlived it";
        // Three times what the plain run took to end, and a second at least.
        const std::uint64_t until = platform::MonotonicMs() + std::max<std::uint64_t>(3 * plainEndMs, 1000);
        bool serving = true;
        while (serving && platform::MonotonicMs() < until) {
            serving = platform::IsServiceProcessRunning(kName) && Get().output == "service page\n";
            platform::SleepMs(100);
        }
        EXPECT_TRUE(serving) << "the nohup run ended with its terminal: " << e2e::ReadFile(m_dir / "nohup.out");
        EXPECT_EQ(Control("stop").exitCode, 0) << e2e::ReadFile(m_dir / "sc.out");
        EXPECT_TRUE(Eventually([] { return !platform::IsServiceProcessRunning(kName); }, 30000));
    }
}

// A service killed under a foreground run (kill -9 under make run) is said,
// with the signal, where a bare status 137 said nothing.
TEST_F(VelmoradTest, AServiceKilledUnderAForegroundRunIsSaidWithItsSignal)
{
    std::unique_ptr<ForegroundRun> run;
    platform::ServiceStatus status;
    ASSERT_NO_FATAL_FAILURE(RunningForegroundRun(run, &status));
    ASSERT_GT(status.processId, 0);
    ASSERT_EQ(::kill(status.processId, SIGKILL), 0);
    EXPECT_EQ(run->Wait(30000), 128 + SIGKILL);
    const std::string err = e2e::ReadFile(m_dir / "run.err");
    EXPECT_NE(err.find("velmora-sc: the process of Velmora died of signal 9 (Killed).\n"), std::string::npos) << err;
}

// A control from a shell without the service's environment is told "does not
// exist" or "not running", as designed, and where it looked and why.
TEST_F(VelmoradTest, AControlFromAnotherEnvironmentSaysWhereItLooked)
{
    ASSERT_EQ(Velmorad("-install").output, "Service successfully installed!\n");
    ASSERT_EQ(Control("start").exitCode, 0) << e2e::ReadFile(m_dir / "sc.out");
    const std::string home = std::getenv("VELMORA_HOME");
    struct Case {
        const char* without;
        std::string error;
        std::string place; // a part of the line that says where it looked
    };
    const Case cases[] = {
        {"-u VELMORA_RUN_DIR -u VELMORA_REGISTRY", "error 1060: the service does not exist.",
         "looked in the hive " + home + "/registry.db "},
        {"-u VELMORA_RUN_DIR", "error 1062: the service is not running.",
         ::geteuid() == 0 ? "the run folder /run/velmora " : "the run folder "},
    };
    for (const Case& c : cases) {
        e2e::RunResult stop = e2e::RunProgram({"sh", "-c",
                                               std::string("exec env ") + c.without + " timeout 90 '" + BinDir() +
                                                   "/tools/velmora-sc' stop Velmora 2>&1"},
                                              m_dir / "sc.out");
        EXPECT_EQ(stop.exitCode, 1) << c.without;
        const std::string& err = stop.output;
        EXPECT_NE(err.find(c.error), std::string::npos) << c.without << ": " << err;
        EXPECT_NE(err.find(c.place), std::string::npos) << c.without << ": " << err;
        for (const char* variable : {"VELMORA_REGISTRY", "VELMORA_RUN_DIR"})
            EXPECT_NE(err.find(std::string("(") + variable), std::string::npos) << c.without << ": " << err;
    }
    EXPECT_EQ(State(), platform::kServiceRunning);
    EXPECT_EQ(Control("stop").exitCode, 0);
}

// Two runs started at once: both pass the check before the spawn, and the one
// whose service finds the other holding the service says so and ends.
TEST_F(VelmoradTest, OfTwoRunsStartedAtOnceTheOneThatDoesNotServeSaysWhy)
{
    // The service's program waits for the test's word, so that both runs
    // have spawned before either service takes the lock.
    const std::string gate = m_dir / "gate";
    const std::string wrapper = m_dir / "velmorad-gated";
    e2e::WriteFile(wrapper, "#!/bin/sh\nfor i in $(seq 600); do [ -e '" + gate +
                                "' ] && break; sleep 0.1; done\nexec '" + BinDir() + "/service/velmorad'\n");
    ::chmod(wrapper.c_str(), 0755);
    ASSERT_EQ(platform::ServiceDatabase::Create(kName, kName, wrapper, platform::kServiceDemandStart), platform::kServiceOk);
    ForegroundRun first(m_dir / "first.out", m_dir / "first.err");
    ForegroundRun second(m_dir / "second.out", m_dir / "second.err");
    ASSERT_TRUE(first.Started() && second.Started());
    ASSERT_TRUE(Eventually([&] { return first.ServiceForked() && second.ServiceForked(); }, 30000));
    e2e::WriteFile(gate, "");

    ASSERT_TRUE(Eventually([this] { return State() == platform::kServiceRunning; }, 30000));
    int firstStatus = -1, secondStatus = -1;
    ASSERT_TRUE(Eventually([&] { return (firstStatus = first.Wait(0)) != -1 || (secondStatus = second.Wait(0)) != -1; },
                           30000))
        << "the run that does not serve must end";
    const std::string err = e2e::ReadFile(m_dir / (firstStatus != -1 ? "first.err" : "second.err"));
    EXPECT_EQ(firstStatus != -1 ? firstStatus : secondStatus, 1);
    EXPECT_NE(err.find("velmora-sc: run Velmora failed: error 1056: the service is already running.\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("stop it with: "), std::string::npos) << err;
}

// A start that finds the service running says which process it is and the
// command that stops it; that command, pasted, stops it.
TEST_F(VelmoradTest, AStartOfARunningServiceNamesItsProcessAndTheStopCommand)
{
    std::unique_ptr<ForegroundRun> run;
    platform::ServiceStatus status;
    ASSERT_NO_FATAL_FAILURE(RunningForegroundRun(run, &status));

    e2e::RunResult again = e2e::RunProgram(
        {"sh", "-c", "exec timeout 90 '" + BinDir() + "/tools/velmora-sc' start Velmora 2>&1"}, m_dir / "sc.out");
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.output.find("error 1056: the service is already running.\n"), std::string::npos) << again.output;
    const std::string says = "velmora-sc: Velmora runs as process " + std::to_string(status.processId) + "; stop it with: ";
    std::size_t at = again.output.find(says);
    ASSERT_NE(at, std::string::npos) << again.output;
    std::string command = again.output.substr(at + says.size());
    command = command.substr(0, command.find('\n'));
    // Pasted in another shell, without this test's environment.
    e2e::RunResult stop = e2e::RunProgram({"env", "-i", "sh", "-c", command}, m_dir / "stop.out");
    EXPECT_EQ(stop.exitCode, 0) << command << "\n" << stop.output;
    EXPECT_EQ(run->Wait(30000), 0);
}

// The state and run folders deleted under a foreground run (to start again):
// Ctrl-C still stops it promptly, the access log whose hits were lost is
// said once, and the server log goes to its name again.
TEST_F(VelmoradTest, AStopAfterTheRunFoldersAreDeletedIsPromptAndSaysTheLogWasLost)
{
    const std::string log = m_dir / "home/log/access.log";
    m_server.SetString("LogFile", log);
    std::unique_ptr<ForegroundRun> run;
    ASSERT_NO_FATAL_FAILURE(RunningForegroundRun(run));
    ASSERT_EQ(Get().output, "service page\n");
    std::filesystem::remove_all(m_dir / "home");
    std::filesystem::remove_all(m_dir / "run");
    ASSERT_EQ(Get().output, "service page\n");

    const std::uint64_t asked = platform::MonotonicMs();
    run->Interrupt();
    // The fault waited 90 s for a control channel that was gone.
    EXPECT_EQ(run->Wait(45000), 0);
    EXPECT_LT(platform::MonotonicMs() - asked, 30000u);
    const std::string err = e2e::ReadFile(m_dir / "run.err");
    const std::string said = "The access log " + log + " was deleted while in use";
    std::size_t first = err.find(said);
    EXPECT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find(said, first + 1), std::string::npos) << "said more than once\n" << err;
    EXPECT_NE(e2e::ReadFile(m_dir / "home/log/Velmora.log").find(said), std::string::npos)
        << "the server log is not written anew";
}
