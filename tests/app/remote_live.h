#pragma once
// A far machine on this one, reached as another machine is: a real sshd on
// a loopback port with keys generated here, logging root in to run
// `velmora-reg serve` on a hive of the far machine's own (its registry, home,
// run folder and shared memory names under the test's folder), seeded with
// this machine's configuration. The far service is a second velmorad
// installed there. sshd must log root in, so without root the test is
// skipped, and a host that systemd manages is left alone.

#include "app/shared/remote_page.h"
#include "app/window_wait.h"
#include "app_hive.h"
#include "eventually.h"
#include "page_harness.h"
#include "platform/remote_registry.h"
#include "platform/remote_service.h"
#include "platform/service_database.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QProgressDialog>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <deque>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <functional>
#include <iterator>

// Works the windows a far call shows while the window's thread runs, as a
// person would, from a 20 ms timer of that thread: the longest gap between
// its ticks is how long the window did not answer. A wait box, while
// giveUp holds, is saved as the next artefact named in boxShots and given
// up (else left to end by itself); a message box is
// recorded, saved when its answer names an artefact, and answered.
class FarWatch {
public:
    struct Answer {
        QMessageBox::StandardButton button = QMessageBox::Ok;
        std::string artefact;
        std::function<void()> before;
    };

    FarWatch()
    {
        m_clock.start();
        QObject::connect(&m_tick, &QTimer::timeout, [this] { Tick(); });
        m_tick.start(20);
    }

    // From now: the gaps measured, and the time a box shows after (also
    // from each answered message box on).
    void Mark()
    {
        m_last = m_markedAt = m_clock.elapsed();
        m_longest = 0;
    }
    qint64 Longest() const { return std::max(m_longest, m_clock.elapsed() - m_last); }

    bool giveUp = false;
    std::deque<std::string> boxShots;
    std::vector<qint64> boxesAfter;
    // What each box given up said.
    std::vector<std::string> boxTexts;
    // Boxes seen while giveUp did not hold.
    int boxesLeft = 0;
    std::deque<Answer> answers;
    std::vector<std::string> messages;
    // When each message showed, counted as boxesAfter is.
    std::vector<qint64> messagesAfter;

private:
    static void SaveOver(QWidget* box, const std::string& name)
    {
        QWidget* window = box->parentWidget() ? box->parentWidget()->window() : box;
        QImage seen = window->grab().toImage();
        QPainter painter(&seen);
        painter.drawPixmap(box->geometry().topLeft() - window->geometry().topLeft(), box->grab());
        painter.end();
        EXPECT_TRUE(seen.save(QString::fromStdString(ArtefactPath(name + ".png").string())));
    }

    void Tick()
    {
        m_longest = std::max(m_longest, m_clock.elapsed() - m_last);
        m_last = m_clock.elapsed();
        for (QWidget* shown : QApplication::topLevelWidgets()) {
            if (!shown->isVisible())
                continue;
            if (auto* wait = qobject_cast<QProgressDialog*>(shown); wait && wait->objectName() == "waitBox") {
                // A healthy call on a loaded machine may show one too.
                if (!giveUp) {
                    if (m_left != wait)
                        ++boxesLeft;
                    m_left = wait;
                    continue;
                }
                boxesAfter.push_back(m_clock.elapsed() - m_markedAt);
                boxTexts.push_back(wait->labelText().toStdString());
                if (!boxShots.empty()) {
                    if (!boxShots.front().empty())
                        SaveOver(wait, boxShots.front());
                    boxShots.pop_front();
                }
                QTest::mouseClick(wait->findChild<QPushButton*>(), Qt::LeftButton);
                return;
            }
            if (auto* message = qobject_cast<QMessageBox*>(shown)) {
                messages.push_back(message->text().toStdString());
                messagesAfter.push_back(m_clock.elapsed() - m_markedAt);
                Answer answer;
                if (!answers.empty()) {
                    answer = std::move(answers.front());
                    answers.pop_front();
                }
                if (!answer.artefact.empty())
                    SaveOver(message, answer.artefact);
                if (answer.before && message->button(answer.button))
                    answer.before();
                m_markedAt = m_clock.elapsed();
                // A box other than the one expected (the test then fails on
                // its text) is closed by its own button.
                QAbstractButton* button = message->button(answer.button);
                QTest::mouseClick(button ? button : message->buttons().front(), Qt::LeftButton);
                return;
            }
        }
    }

    QPointer<QProgressDialog> m_left;
    QElapsedTimer m_clock;
    QTimer m_tick;
    qint64 m_last = 0;
    qint64 m_markedAt = 0;
    qint64 m_longest = 0;
};

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
        if (!m_far.empty()) {
            // A test that failed half-way leaves nothing stopped behind.
            SignalFarSide(SIGCONT);
            FarTool({"velmora-sc", "stop", kRemoteServiceName});
        }
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
                            " -o BatchMode=yes -o LogLevel=ERROR %h echo $$ >> " + m_far + "/serve.pids ; exec env";
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
    // channel has one, and writes its pid to the far side's pid list before
    // it starts); how many there were. A pid whose process has ended, or
    // is another program by now, is passed over: the pidfd holds the one
    // that was looked at.
    int SignalFarSide(int signal)
    {
        std::ifstream pids(m_far + "/serve.pids");
        const std::string serve = std::string("velmora-reg") + '\0' + "serve" + '\0';
        int signalled = 0;
        for (long pid = 0; pids >> pid;) {
            const int handle = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
            if (handle < 0)
                continue;
            const std::string line = ProcFile(pid, "cmdline");
            if (line.find(serve) != std::string::npos &&
                ::syscall(SYS_pidfd_send_signal, handle, signal, nullptr, 0) == 0)
                ++signalled;
            ::close(handle);
        }
        return signalled;
    }

    // A file of /proc/pid, empty once the process is gone (a stream would
    // throw when it goes between the open and the read).
    static std::string ProcFile(long pid, const char* name)
    {
        const int file = ::open(("/proc/" + std::to_string(pid) + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (file < 0)
            return {};
        std::string text;
        char buffer[4096];
        for (int reads = 0; reads < 64; ++reads) {
            const ssize_t got = ::read(file, buffer, sizeof buffer);
            if (got <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(file);
        return text;
    }

    // How many far `velmora-reg serve` have lost their sshd (their parent is
    // no sshd any more): the channel that asked them is gone.
    int OrphanedFarSides()
    {
        std::ifstream pids(m_far + "/serve.pids");
        int orphaned = 0;
        for (long pid = 0; pids >> pid;) {
            const std::string line = ProcFile(pid, "stat");
            const std::size_t end = line.rfind(')');
            if (end == std::string::npos)
                continue;
            char state = 0;
            long parent = 0;
            if (std::sscanf(line.c_str() + end + 1, " %c %ld", &state, &parent) != 2 || state == 'Z')
                continue;
            if (ProcFile(parent, "comm").rfind("sshd", 0) != 0)
                ++orphaned;
        }
        return orphaned;
    }

    // The far side goes on once the channel of the call given up is gone
    // (its request is then still queued there), and watch stops giving up.
    void ContinueAfterGiveUp(FarWatch& watch, int orphanedBefore)
    {
        watch.giveUp = false;
        ASSERT_TRUE(Eventually([&] { return OrphanedFarSides() > orphanedBefore; }, 30000))
            << "the connection given up ends";
        ASSERT_GE(SignalFarSide(SIGCONT), 1);
    }

    // The far side stops answering; watch gives up the waits from now on,
    // and measures from now.
    void Stall(FarWatch& watch)
    {
        ASSERT_GE(SignalFarSide(SIGSTOP), 1);
        watch.giveUp = true;
        watch.Mark();
    }

    // On a far Service page just shown on a new channel: Stop with the far
    // service running (stop), else Start with it stopped, pressed while the
    // far side does not answer and given up. It shows the box and, after
    // Give Up, a message with its reason, gives the focus back to the
    // button, and is never carried out once the far side goes on. prefix
    // names the screenshots.
    void GiveUpFarServiceCommand(QWidget& page, bool stop, const std::string& prefix)
    {
        struct Row {
            int press;
            const char* verb;
            std::uint32_t stays;
        };
        const Row rows[] = {{1164, "stopped", platform::kServiceRunning}, {1163, "started", platform::kServiceStopped}};
        const Row& row = rows[stop ? 0 : 1];
        SCOPED_TRACE(row.verb);
        auto* button = Control<QPushButton>(page, row.press);
        ASSERT_TRUE(button);
        if (row.stays == platform::kServiceStopped) {
            ASSERT_EQ(FarTool({"velmora-sc", "stop", kRemoteServiceName}), 0);
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return button->isEnabled(); }, 30000)) << "the page shows the state";
        FarWatch watch;
        const std::string shot = prefix + "_far_service_" + row.verb;
        watch.boxShots = {shot + "_waiting"};
        watch.answers = {{QMessageBox::Ok, shot + "_given_up", {}}};
        const int orphaned = OrphanedFarSides();
        Stall(watch);
        Click(page, row.press);
        ASSERT_EQ(watch.boxesAfter.size(), 1u) << "a box offers to give up";
        EXPECT_GE(watch.boxesAfter[0], kWaitBoxDelayMs);
        EXPECT_EQ(watch.boxTexts[0], std::string("Waiting for 127.0.0.1 to answer...\n") +
                                         (stop ? "Stopping" : "Starting") +
                                         " the Velmora service: each answer is awaited at most 45 seconds.");
        EXPECT_EQ(watch.messages,
                  std::vector<std::string>{std::string("The Velmora service of 127.0.0.1 may not have been ") +
                                           row.verb +
                                           ".\n\nReason: you gave up waiting for 127.0.0.1 to answer. 127.0.0.1 "
                                           "may have carried it out before the wait ended; it will not carry it "
                                           "out later."});
        ContinueAfterGiveUp(watch, orphaned);
        // The page's own questions are answered again: the far side runs.
        EXPECT_TRUE(QTest::qWaitFor([&] { return button->isEnabled(); }, 30000));
        EXPECT_EQ(page.window()->focusWidget(), button) << "the focus is back on the button pressed";
        // The command the far side dropped would have acted at once.
        QElapsedTimer held;
        held.start();
        for (int check = 0; check < 20 && held.elapsed() < 3000; ++check) {
            EXPECT_EQ(FarService().currentState, row.stays) << "checked " << held.elapsed() << " ms after going on";
            QTest::qWait(150);
        }
        std::cout << prefix << " " << row.verb << ": box " << watch.boxesAfter[0] << " ms and message (Give Up) "
                  << (watch.messagesAfter.empty() ? -1 : watch.messagesAfter[0])
                  << " ms after the press; far service checked for " << held.elapsed() << " ms after going on\n";
    }

    // Stops or continues the sshd listener: a connect is then taken by the
    // kernel but no greeting comes.
    void SignalSshd(int signal) { ASSERT_EQ(::kill(m_sshd.Pid(), signal), 0); }

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
