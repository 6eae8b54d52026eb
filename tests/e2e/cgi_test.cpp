// CGI programs through a real server: shell, Python, Perl (CGI.pm) and PHP
// programs, the reply forms a program may write, a large body, the time-out
// kill, and many programs at once in fiber mode.

#include "e2e_server.h"
#include "raw_client.h"

#include "eventually.h"

#include <sys/stat.h>

#include <chrono>
#include <thread>

using namespace e2e;

namespace {

class CGITest : public E2ETest {
protected:
    void Map(const std::string& extension, const std::string& commandLine, std::uint32_t execCGI = 1)
    {
        platform::RegistryKey key = Key("HTTP\\CGIExt\\" + extension);
        key.SetString("CommandLine", commandLine);
        key.SetString("WorkingDir", "");
        key.SetDword("ExecCGI", execCGI);
        key.SetDword("CGIProtocol", 0);
    }
    void Script(const std::string& name, const std::string& text)
    {
        WriteFile(m_root + "/" + name, text);
        ::chmod((m_root + "/" + name).c_str(), 0755);
    }
    // Status line, headers and body as curl -i shows them.
    std::string Get(std::uint16_t port, const std::string& path, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"-i", "--path-as-is"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(URL(port, path));
        return Curl(args).output;
    }
};

bool ProcessExists(const std::string& pid) { return ::access(("/proc/" + pid).c_str(), F_OK) == 0; }

// Any process whose command line holds marker.
bool CommandLineRuns(const std::string& marker)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string cmdline = ReadFile(entry.path() / "cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find(marker) != std::string::npos && cmdline.find("cgi_test") == std::string::npos)
            return true;
    }
    return false;
}

const char* kShellEnv = "#!/bin/sh\nprintf 'Content-type: text/plain\\n\\n'\nenv | sort\n";
const char* kPythonEnv = "import os\nprint('Content-type: text/plain')\nprint()\n"
                         "for k in sorted(os.environ): print(k + '=' + os.environ[k])\n";
const char* kPerlEnv = "use CGI;\nmy $q = CGI->new;\nprint $q->header('text/plain');\n"
                       "print \"$_=$ENV{$_}\\n\" for sort keys %ENV;\nprint 'param=', $q->param('w') // '', \"\\n\";\n";

TEST_F(CGITest, ShellPythonAndPerlProgramsSeeTheDesignedEnvironment)
{
    if (!HaveTool("/usr/bin/perl") || !HaveTool("/usr/bin/python3"))
        GTEST_SKIP() << "perl or python3 is not installed";
    std::uint16_t port = FreePort();
    AddServer(port);
    Map("sh", "");
    Map("py", "/usr/bin/python3 %cgi-script%");
    Map("pl", "/usr/bin/perl %cgi-script%");
    Script("env.sh", kShellEnv);
    Script("env.py", kPythonEnv);
    Script("env.pl", kPerlEnv);
    StartServers();

    for (const char* name : {"/env.sh", "/env.py", "/env.pl"}) {
        SCOPED_TRACE(name);
        std::string reply = Get(port, std::string(name) + "/extra/path?w=1+2",
                                {"-H", "User-Agent: probe/1", "-H", "User: forged", "-H", "Proxy: http://evil:1",
                                 "-H", "Content-length-x: 7", "-H", "Accept: text/x-probe"});
        struct Row {
            std::string line;
            bool present;
        };
        const Row rows[] = {
            {"HTTP/1.0 200 OK\r\n", true},
            {"Server: Velmora/1.51 (Linux; x86_64; A)\r\n", true},
            {"GATEWAY_INTERFACE=CGI/1.2\n", true},
            {"SERVER_PROTOCOL=HTTP/1.1\n", true},
            {"SERVER_PORT=" + std::to_string(port) + "\n", true},
            {"REQUEST_METHOD=GET\n", true},
            {"QUERY_STRING=w=1+2\n", true},
            {"PATH_INFO=/extra/path\n", true},
            {"PATH_TRANSLATED=" + m_root + "/extra/path\n", true},
            {"SCRIPT_NAME=" + std::string(name) + "/extra/path\n", true},
            {"SCRIPT_FILENAME=" + m_root + name + "\n", true},
            {"REMOTE_ADDR=127.0.0.1\n", true},
            {"CONTENT_LENGTH=0\n", true},
            {"CONTENT_TYPE=\n", true},
            {"HTTP_USER_AGENT=probe/1\n", true},
            {"HTTP_CONTENT_LENGTH_X=7\n", true},
            {"HTTP_SECURITY=None\n", true},
            // A client header never replaces a server variable.
            {"HTTP_USER=\n", true},
            {"HTTP_USER=forged", false},
            {"HTTP_PROXY=", false},
            {"HTTP_ACCEPT=text/plain,text/html,text/x-probe\n", true},
        };
        for (const Row& row : rows)
            EXPECT_EQ(reply.find(row.line) != std::string::npos, row.present) << row.line << "\n" << reply;
    }
    EXPECT_NE(Get(port, "/env.pl?w=a+b").find("param=a b\n"), std::string::npos) << "CGI.pm reads the query";
}

TEST_F(CGITest, ThePathInfoNeverTranslatesOutsideTheRoot)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    Map("sh", "");
    Script("env.sh", kShellEnv);
    StartServers();
    for (const char* path : {"/env.sh/a/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "/env.sh/..%2f..%2f..%2fetc"}) {
        std::string reply = Get(port, path);
        std::size_t at = reply.find("PATH_TRANSLATED=");
        if (at == std::string::npos)
            continue; // refused outright is as good
        std::string value = reply.substr(at + 16, reply.find('\n', at) - at - 16);
        EXPECT_TRUE(value.empty() || value.rfind(m_root, 0) == 0) << path << " -> " << value;
        EXPECT_EQ(value.find(".."), std::string::npos) << value;
    }
}

TEST_F(CGITest, TheReplyFormsAProgramMayWrite)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    Map("sh", "");
    struct Row {
        const char* name;
        const char* output; // printf format
        std::vector<std::string> expected;
        std::vector<std::string> absent;
    };
    const Row rows[] = {
        {"status.sh", "Status: 404 Not found\\nX-Probe: 1\\n\\nbody",
         {"HTTP/1.0 404 Not found\r\nX-Probe: 1\r\nServer: Velmora/1.51 (Linux; x86_64; A)\r\n\r\nbody"},
         {}},
        {"location.sh", "Location: http://example.invalid/next\\n\\nignored",
         {"302", "Location: http://example.invalid/next\r\n"},
         {"ignored"}},
        {"uri.sh", "URI: <http://example.invalid/u> more\\n\\n", {"302", "Location: http://example.invalid/u\r\n"}, {}},
        {"raw.sh", "HTTP/1.0 203 Mine\\nX-Own: 1\\n\\nraw body",
         {"HTTP/1.0 203 Mine\r\n", "X-Own: 1", "raw body"},
         {"Server:"}},
        {"nph-raw.sh", "HTTP/1.0 200 OK\\r\\nContent-type: text/plain\\r\\n\\r\\nexact", {"HTTP/1.0 200 OK\r\nContent-type: text/plain\r\n\r\nexact"}, {"Server:"}},
        {"NPH-parsed.sh", "Content-type: text/plain\\n\\nparsed", {"HTTP/1.0 200 OK\r\n", "Server: Velmora", "\r\n\r\nparsed"}, {}},
        // No valid header: the error page with 500.
        {"empty.sh", "", {"HTTP/1.0 500"}, {}},
        {"garbage.sh", "this is no header\\n\\nbody", {"HTTP/1.0 500"}, {"body"}},
        {"badstatus.sh", "Status: soon\\n\\nbody", {"HTTP/1.0 500"}, {"body"}},
        {"cut.sh", "X-Long: %0600d\\nContent-type: text/plain\\n\\nafter", {"HTTP/1.0 200 OK", "Content-type: text/plain\r\n", "after"}, {}},
    };
    for (const Row& row : rows)
        Script(row.name, std::string("#!/bin/sh\nprintf '") + row.output + "'" +
                             (std::string(row.name) == "cut.sh" ? " 0" : "") + "\n");
    Script("noexec.sh", "#!/no/such/interpreter\n");
    StartServers();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string reply = Get(port, std::string("/") + row.name);
        for (const std::string& text : row.expected)
            EXPECT_NE(reply.find(text), std::string::npos) << text << "\n" << reply;
        for (const std::string& text : row.absent)
            EXPECT_EQ(reply.find(text), std::string::npos) << text << "\n" << reply;
    }
    EXPECT_NE(Get(port, "/noexec.sh").find("HTTP/1.0 500"), std::string::npos) << "a program that cannot start";
    EXPECT_EQ(Get(port, "/none.sh").find("HTTP/1.0 500"), std::string::npos);
}

TEST_F(CGITest, AProgramWithoutExecCGIIsNotThereUnlessAsked)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    Map("sh", "", 0);
    Script("hidden.sh", "#!/bin/sh\nprintf 'Content-type: text/plain\\n\\nran'\n");
    StartServers();
    RunResult plain = Curl({"-w", "%{http_code}", "-o", m_dir / "plain.out", URL(port, "/hidden.sh")});
    EXPECT_EQ(plain.output, "404");
    EXPECT_EQ(ReadFile(m_dir / "plain.out").find("printf"), std::string::npos) << "the source is never served";
    EXPECT_EQ(Curl({URL(port, "/hidden.sh?x")}).output, "ran");
}

TEST_F(CGITest, ATenMegabyteBodyArrivesWhole)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    Map("sh", "");
    // Echoes the body while it is still arriving: the output pipe fills
    // long before the input is done.
    Script("echo.sh", "#!/bin/sh\nprintf 'Content-type: application/octet-stream\\n\\n'\nexec head -c \"$CONTENT_LENGTH\"\n");
    std::string body;
    body.reserve(10 << 20);
    for (std::uint64_t i = 0; body.size() < (10u << 20); ++i)
        body += std::to_string(i * 7919) + ",";
    body.resize(10 << 20);
    WriteFile(m_dir / "body.bin", body);
    StartServers();
    RunResult reply = Curl({"--data-binary", "@" + std::string(m_dir / "body.bin"), "-o", m_dir / "back.bin", "-w",
                            "%{http_code}", URL(port, "/echo.sh")});
    EXPECT_EQ(reply.output, "200");
    EXPECT_EQ(Sha256(m_dir / "back.bin"), Sha256(m_dir / "body.bin"));
}

TEST_F(CGITest, ASilentProgramIsKilledAtItsTimeOutWithWhatItStarted)
{
    std::uint16_t port = FreePort();
    platform::RegistryKey server = Key(AddServer(port));
    server.SetDword("CGITimeout", 1);
    Map("sh", "");
    std::string pidFile = m_dir / "sleeper.pid";
    // Sleeps no other test process runs (the same test runs in both modes at once).
    const std::string silentSleep = "sleep 31." + std::to_string(::getpid());
    const std::string lateSleep = "sleep 32." + std::to_string(::getpid());
    Script("sleep.sh", "#!/bin/sh\necho $$ > " + pidFile + "\n" + silentSleep + "\n");
    Script("late.sh", "#!/bin/sh\nprintf 'Content-type: text/plain\\n\\nfirst'\n" + lateSleep + "\n");
    StartServers();

    auto started = std::chrono::steady_clock::now();
    RunResult silent = Curl({"-w", "%{http_code}", "-o", "/dev/null", URL(port, "/sleep.sh")});
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(silent.output, "500");
    EXPECT_LT(took, std::chrono::seconds(8));
    std::string pid = ReadFile(pidFile);
    pid.erase(pid.find_last_not_of("\n") + 1);
    ASSERT_FALSE(pid.empty());
    EXPECT_FALSE(ProcessExists(pid)) << "killed and reaped";
    // The group's kill is sent before the reply; its last member may still be dying.
    EXPECT_TRUE(Eventually([&] { return !CommandLineRuns(silentSleep); }, 5000))
        << "what the script started is gone too";

    RunResult late = Curl({URL(port, "/late.sh")});
    EXPECT_EQ(late.output, "first") << "what came before the silence is delivered";
    EXPECT_TRUE(Eventually([&] { return !CommandLineRuns(lateSleep); }, 5000));
}

TEST_F(CGITest, PHPRunsThroughACGIMapping)
{
    if (!HaveTool("/usr/bin/php-cgi"))
        GTEST_SKIP() << "php-cgi is not installed";
    std::uint16_t port = FreePort();
    AddServer(port);
    Map("php", "/usr/bin/php-cgi -d cgi.force_redirect=0");
    WriteFile(m_root + "/sum.php", "<?php header('X-Sum: yes'); echo 'sum=' . (2 + 3) . ' a=' . $_GET['a'] . ' p=' . "
                                   "($_POST['p'] ?? ''); ?>");
    StartServers();
    std::string reply = Get(port, "/sum.php?a=b", {"-d", "p=q"});
    EXPECT_NE(reply.find("HTTP/1.0 200"), std::string::npos) << reply;
    EXPECT_NE(reply.find("X-Sum: yes\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("sum=5 a=b p=q"), std::string::npos) << reply;
}

// A program whose client left is ended at once, not at its time-out: one
// streaming its body, one inside its header lines, and a WinCGI program,
// which the server waits for as a whole.
TEST_F(CGITest, AProgramWhoseClientLeftIsEndedAtOnce)
{
    struct Case {
        const char* script;
        std::uint32_t protocol;
        const char* output;
    };
    const Case cases[] = {
        {"stream.sh", 0, "printf 'Content-type: text/plain\\n\\nfirst\\n'\n"},
        {"header.sh", 0, "printf 'Content-type: text/plain\\n'\n"},
        {"whole.wsh", 1, ""},
    };
    std::uint16_t port = FreePort();
    Key(AddServer(port)).SetDword("CGITimeout", 60);
    Map("sh", "");
    Map("wsh", "");
    Key("HTTP\\CGIExt\\wsh").SetDword("CGIProtocol", 1);
    WriteFile(m_root + "/plain.txt", "plain");
    for (const Case& c : cases)
        Script(c.script, std::string("#!/bin/sh\necho $$ > ") + (m_dir / c.script).c_str() + ".pid\n" + c.output +
                             "exec sleep 30\n");
    StartServers();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        const std::string pidFile = m_dir / (std::string(c.script) + ".pid");
        int fd = ConnectLoopback(port, false);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendAll(fd, std::string("GET /") + c.script + " HTTP/1.0\r\n\r\n"));
        std::string pid;
        EXPECT_TRUE(Eventually(
            [&] {
                pid = ReadFile(pidFile);
                return !pid.empty() && pid.back() == '\n';
            },
            5000));
        pid.erase(pid.find_last_not_of('\n') + 1);
        ::close(fd);
        ASSERT_FALSE(pid.empty());
        EXPECT_TRUE(Eventually([&] { return !ProcessExists(pid); }, 2000)) << "still running or unreaped: " << pid;
    }
    EXPECT_EQ(Curl({URL(port, "/plain.txt")}).output, "plain") << "the server stopped serving";
}

class CGIFiberTest : public CGITest {
protected:
    CGIFiberTest() { m_fibers = true; }
};

TEST_F(CGIFiberTest, FiftyConcurrentProgramsParkOnlyTheirFibers)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    Map("sh", "");
    Script("slow.sh", "#!/bin/sh\nsleep 1\nprintf 'Content-type: text/plain\\n\\nok %s\\n' \"$QUERY_STRING\"\n");
    StartServers();
    std::vector<std::string> args = {"--parallel", "--parallel-immediate", "--parallel-max", "50", "-w", "%{http_code} %{errormsg}\\n"};
    for (int i = 0; i < 50; ++i)
        args.push_back(URL(port, "/slow.sh?" + std::to_string(i)));
    auto started = std::chrono::steady_clock::now();
    // curl's own --max-time misfires in parallel mode; timeout bounds it.
    args.insert(args.begin(), {"/usr/bin/timeout", "60", "curl", "-s"});
    RunResult all = RunProgram(args, m_dir / "parallel.out");
    auto took = std::chrono::steady_clock::now() - started;
    int ok = 0;
    for (std::size_t at = 0; (at = all.output.find("200 \n", at)) != std::string::npos; at += 4)
        ++ok;
    EXPECT_EQ(ok, 50) << all.output;
    for (int i = 0; i < 50; ++i)
        EXPECT_NE(all.output.find("ok " + std::to_string(i) + "\n"), std::string::npos) << i;
    // Four workers blocked on pipes would need over 12 s.
    EXPECT_LT(took, std::chrono::seconds(8));
}

} // namespace
