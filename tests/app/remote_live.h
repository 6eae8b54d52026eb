#pragma once
// A far machine on this one, reached as another machine is: a real sshd on
// a loopback port with keys generated here, logging root in to run
// `velmora-reg serve` on a hive of the far machine's own (its registry, home,
// run folder and shared memory names under the test's folder), seeded with
// this machine's configuration. The far service is a second velmorad
// installed there. sshd must log root in, so without root the test is
// skipped, and a host that systemd manages is left alone.

#include "app/shared/remote_page.h"
#include "app_hive.h"
#include "eventually.h"
#include "page_harness.h"
#include "platform/remote_registry.h"
#include "platform/remote_service.h"
#include "platform/service_database.h"

#include <signal.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <functional>
#include <iterator>

inline const char* const kRestartPrompt =
    "For changes you have made to take effect, the remote server will have to be restarted.  If the server you are "
    "configuring is running the Velmora service, this can be done automatically.  Do you want to restart the remote "
    "server?";

class RemoteLiveTest : public AppHiveTest {
protected:
    void SetUp() override
    {
        AppHiveTest::SetUp();
        if (::getuid() != 0)
            GTEST_SKIP() << "sshd logs a user in only when it runs as root, and this test runs as uid " << ::getuid();
        if (!e2e::HaveTool("/usr/sbin/sshd") || !e2e::HaveTool("/usr/bin/ssh"))
            GTEST_SKIP() << "openssh-server and openssh-client are not installed";
        if (platform::SystemdIsRunning())
            GTEST_SKIP() << "systemd manages this host: velmorad -install would write a unit into the system";
        SeedForCurl();
        if (IsSkipped())
            return;
        // The private folder's access list names the user the far sheet adds.
        Key("HTTP\\Paths\\private\\ACL").SetString("1", "Allow-user: GET,carol,*");
        m_far = m_dir / "far";
        std::filesystem::create_directories(m_far + "/home");
        m_farEnvironment = {"VELMORA_REGISTRY=" + m_far + "/registry.db", "VELMORA_HOME=" + m_far + "/home",
                            "VELMORA_RUN_DIR=" + m_far + "/rt",
                            "VELMORA_SHM_PREFIX=vfar" + std::to_string(::getpid()), "TEMP=" + m_far,
                            std::string(platform::kSyslogSocketVariable) + "=" + m_far + "/no-syslog.sock"};
        // The far machine's configuration is this one's, in a hive of its own.
        ASSERT_EQ(Tool({"velmora-reg", "export", "HKLM\\Software\\Tessaline\\Velmora", m_dir / "seed.reg"}), 0);
        ASSERT_EQ(FarTool({"velmora-reg", "import", m_dir / "seed.reg"}), 0);
        StartSshd();
    }
    void TearDown() override
    {
        if (!m_far.empty())
            FarTool({"velmora-sc", "stop", kRemoteServiceName});
        m_sshd.KillAndReap();
        ::unsetenv("VELMORA_REMOTE_SHELL");
        AppHiveTest::TearDown();
    }

    int Tool(std::vector<std::string> args, std::vector<std::string> environment = {})
    {
        std::vector<std::string> line = {"timeout", "60", "env"};
        line.insert(line.end(), environment.begin(), environment.end());
        args[0] = BinDir() + (args[0] == "velmorad" ? "/service/" : "/tools/") + args[0];
        line.insert(line.end(), args.begin(), args.end());
        return e2e::RunProgram(line, m_dir / "tool.out").exitCode;
    }
    int FarTool(std::vector<std::string> args) { return Tool(std::move(args), m_farEnvironment); }

    void StartSshd()
    {
        const std::string d = m_dir.Path();
        for (const char* key : {"host_key", "client_key"})
            ASSERT_EQ(e2e::RunProgram({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", d + "/" + key},
                                      d + "/keygen.out")
                          .exitCode,
                      0);
        std::filesystem::copy_file(d + "/client_key.pub", d + "/authorized_keys");
        std::filesystem::create_directories("/run/sshd");
        const std::uint16_t port = e2e::FreePort();
        e2e::WriteFile(d + "/sshd_config", "Port " + std::to_string(port) +
                                               "\nListenAddress 127.0.0.1\nHostKey " + d +
                                               "/host_key\nAuthorizedKeysFile " + d +
                                               "/authorized_keys\nStrictModes no\nUsePAM no\nPidFile " + d +
                                               "/sshd.pid\nPermitRootLogin prohibit-password\n"
                                               "PasswordAuthentication no\nKbdInteractiveAuthentication no\n");
        platform::ChildStart start;
        start.arguments = {"/usr/sbin/sshd", "-D", "-e", "-f", d + "/sshd_config"};
        ASSERT_EQ(m_sshd.StartWithoutPipes(start), 0);
        std::string shell = "ssh -p " + std::to_string(port) + " -i " + d +
                            "/client_key -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null"
                            " -o BatchMode=yes -o LogLevel=ERROR %h env";
        for (const std::string& variable : m_farEnvironment)
            shell += " " + variable;
        shell += " " + BinDir() + "/tools/velmora-reg serve";
        ::setenv("VELMORA_REMOTE_SHELL", shell.c_str(), 1);
        ASSERT_TRUE(Eventually(
            [&] {
                std::unique_ptr<platform::RemoteRegistry> remote;
                return platform::RemoteRegistry::Connect("127.0.0.1", remote) == platform::kErrorSuccess ||
                       m_sshd.TryReap();
            },
            20000) &&
                    m_sshd.IsRunning())
            << "sshd did not take a login";
    }

    // The far service installed and started, its server answering curl.
    void StartFarService()
    {
        ASSERT_EQ(FarTool({"velmorad", "-install"}), 0);
        ASSERT_EQ(FarTool({"velmora-sc", "start", kRemoteServiceName}), 0);
        ASSERT_TRUE(Eventually([&] { return Curl() == 0; }, 20000)) << "the far server serves";
    }

    // The far service's status, asked through its own ssh channel.
    platform::ServiceStatus FarService()
    {
        platform::ServiceStatus status;
        std::unique_ptr<platform::RemoteRegistry> remote;
        EXPECT_EQ(platform::RemoteRegistry::Connect("127.0.0.1", remote), platform::kErrorSuccess);
        if (remote) {
            platform::RemoteServiceControl service(*remote, kRemoteServiceName);
            EXPECT_EQ(service.QueryStatus(status), platform::kServiceOk);
        }
        return status;
    }

    // Sends signal to every `velmora-reg serve` of the far machine (each
    // channel has one); how many there were.
    int SignalFarSide(int signal)
    {
        const std::string hive = "VELMORA_REGISTRY=" + m_far + "/registry.db";
        auto read = [](const std::filesystem::path& file) {
            std::ifstream in(file, std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            return '\0' + text;
        };
        const std::string serve = std::string("velmora-reg") + '\0' + "serve" + '\0';
        const std::string variable = '\0' + hive + '\0';
        int signalled = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            if (read(entry.path() / "cmdline").find(serve) == std::string::npos ||
                read(entry.path() / "environ").find(variable) == std::string::npos)
                continue;
            if (::kill(std::stoi(name), signal) == 0)
                ++signalled;
        }
        return signalled;
    }

    std::string Status(const std::string& path, const std::string& credentials)
    {
        return e2e::RunProgram({"curl", "-s", "--max-time", "10", "-o", "/dev/null", "-w", "%{http_code}", "-u",
                                credentials, "http://127.0.0.1:" + std::to_string(m_port) + path},
                               m_dir / "status.out")
            .output;
    }

    // Connects the Remote page to the far machine and works its sheet by step.
    std::vector<std::string> Connect(const std::function<void(CPropertySheetPlus&)>& work,
                                     std::deque<ScriptedRunner::Step> more, std::deque<int> answers)
    {
        PageHarness<CRemotePage> shown(std::make_unique<CRemotePage>());
        Retype(Control<QLineEdit>(*shown.page, 1047), "127.0.0.1");
        shown.runner.steps.push_back([&](QDialog& dialog) {
            auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
            EXPECT_EQ(sheet.windowTitle(), "Server Settings on 127.0.0.1");
            work(sheet);
            QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        });
        for (auto& step : more)
            shown.runner.steps.push_back(std::move(step));
        shown.boxes.answers = std::move(answers);
        Click(*shown.page, 1048);
        EXPECT_EQ(shown.runner.unscripted, 0);
        std::vector<std::string> texts;
        for (const ShownMessage& box : shown.boxes.shown)
            texts.push_back(box.text);
        return texts;
    }

    std::string m_far;
    std::vector<std::string> m_farEnvironment;
    platform::ChildProcess m_sshd;
};
