// The Remote and Web Remote pages worked through their widgets, and the
// restart they end with: the designed messages word for word; the remote
// sheet run on a far hive (velmora-reg serve started directly, without
// ssh) with its caption and without the local-only pages; the restart's
// wait for "stopped" bounded while the window keeps painting.

#include "app/restart_service.h"
#include "app/settings_sheet.h"
#include "app/shared/remote_page.h"
#include "app/shared/web_remote_page.h"
#include "config/config_fixture.h"
#include "framework/loopback.h"
#include "macro/named_strings.h"
#include "page_harness.h"
#include "platform/clock.h"
#include "platform/remote_registry.h"
#include "screenshot.h"

#include <QTabBar>
#include <QTimer>

#include <unistd.h>

#include <atomic>

namespace {

const char* const kConnectFailed =
    "Cannot connect to the remote host.  You may not have access rights to the remote system's registry, or it may "
    "not be configured to allow remote administration.";
const char* const kRestartPrompt =
    "For changes you have made to take effect, the remote server will have to be restarted.  If the server you are "
    "configuring is running the Velmora service, this can be done automatically.  Do you want to restart the remote "
    "server?";
const char* const kRestartFailed = "Could not restart the Windows NT service.";
const char* const kRange = "Please enter an integer between 0 and 65535.";

// A service that answers from a script, on whatever thread asks.
class ScriptedService : public platform::ServiceControl {
public:
    int interrogate = platform::kServiceOk;
    std::uint32_t state = platform::kServiceRunning;
    int stop = platform::kServiceOk;
    int pollsUntilStopped = 0; // -1: never
    int start = platform::kServiceOk;
    std::atomic<int> starts{0};
    std::atomic<int> polls{0};

    int QueryStatus(platform::ServiceStatus& status) override
    {
        status.currentState = pollsUntilStopped >= 0 && ++polls >= pollsUntilStopped ? platform::kServiceStopped
                                                                                      : platform::kServiceStopPending;
        return platform::kServiceOk;
    }
    int Start() override
    {
        ++starts;
        return start;
    }
    int Control(std::uint32_t control, platform::ServiceStatus& status) override
    {
        if (control == platform::kServiceControlInterrogate) {
            status.currentState = state;
            return interrogate;
        }
        status.currentState = platform::kServiceStopPending;
        return stop;
    }
};

TEST(RestartService, WaitsForStoppedWithABoundWhileTheWindowPaints)
{
    struct Case {
        const char* what;
        int interrogate;
        std::uint32_t state;
        int stop;
        int pollsUntilStopped;
        int start;
        int result;
        int starts;
    };
    const Case cases[] = {
        {"stops after two looks, then starts", platform::kServiceOk, platform::kServiceRunning, 0, 2, 0, 1, 1},
        {"never stops: the bound answers", platform::kServiceOk, platform::kServiceRunning, 0, -1, 0, 0, 0},
        {"not running", platform::kErrorServiceNotActive, platform::kServiceStopped, 0, 0, 0, 0, 0},
        {"paused: nothing to do", platform::kServiceOk, platform::kServicePaused, 0, 0, 0, 1, 0},
        {"the stop is refused", platform::kServiceOk, platform::kServiceRunning,
         platform::kErrorServiceCannotAcceptControl, 0, 0, 0, 0},
        {"the start fails", platform::kServiceOk, platform::kServiceRunning, 0, 1, platform::kErrorServiceDisabled, 0,
         1},
    };
    constexpr std::uint32_t kBoundMs = 600;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedService service;
        service.interrogate = c.interrogate;
        service.state = c.state;
        service.stop = c.stop;
        service.pollsUntilStopped = c.pollsUntilStopped;
        service.start = c.start;
        QWidget window;
        window.show();
        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
        timer.start(20);
        std::uint64_t begun = platform::MonotonicMs();
        EXPECT_EQ(RestartService(service, kBoundMs), c.result);
        std::uint64_t took = platform::MonotonicMs() - begun;
        EXPECT_EQ(service.starts, c.starts);
        EXPECT_LT(took, kBoundMs + 2000);
        if (c.pollsUntilStopped < 0) {
            EXPECT_GE(took, kBoundMs);
            EXPECT_GE(ticks, 5) << "the window's own events ran during the wait";
        }
    }
}

class RemotePageTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        m_far = m_dir / "far.db";
        const char* bin = std::getenv("VELMORA_TEST_BIN_DIR");
        m_serve = "env VELMORA_REGISTRY=" + m_far + " VELMORA_HOME=" + std::string(m_dir / "far-home") + " " +
                  (bin ? bin : ".") + "/tools/velmora-reg serve";
        ::setenv("VELMORA_REMOTE_SHELL", m_serve.c_str(), 1);
        // The far machine has a web remote server too; its sheet must not show it.
        std::unique_ptr<platform::RemoteRegistry> remote;
        ASSERT_EQ(platform::RemoteRegistry::Connect("far", remote), platform::kErrorSuccess);
        platform::RegistryKey key;
        ASSERT_EQ(remote->LocalMachine().Create(std::string(kProductKeyPath) + "\\HTTPConf", key), 0);
        ASSERT_EQ(key.SetDword("Port", 8099), 0);
    }
    void TearDown() override
    {
        ::unsetenv("VELMORA_REMOTE_SHELL");
        ConfigTest::TearDown();
    }
    std::uint32_t FarWorkers()
    {
        std::unique_ptr<platform::RemoteRegistry> remote;
        EXPECT_EQ(platform::RemoteRegistry::Connect("far", remote), platform::kErrorSuccess);
        platform::RegistryKey product;
        std::uint32_t workers = 0;
        if (remote && remote->LocalMachine().Open(kProductKeyPath, product) == 0)
            product.QueryDword("Workers", workers);
        return workers;
    }

    std::string m_far;
    std::string m_serve;
};

TEST_F(RemotePageTest, ConnectRunsTheFarSheetAndAsksForTheRestartItNeeds)
{
    InitMacroLibrary();
    struct Case {
        const char* what;
        const char* shell; // null: the far hive's serve
        const char* workers; // typed on the far sheet's Performance page; null: Cancel
        int answer;          // to the restart question
        std::vector<std::string> messages;
    };
    const std::vector<Case> cases = {
        {"nobody answers", "true", nullptr, 0,
         {std::string(kConnectFailed) + "\n\nReason: the remote shell true gave no answer"}},
        {"cancelled", nullptr, nullptr, 0, {}},
        {"no restart wanted", nullptr, "7", kIdNo, {kRestartPrompt}},
        {"no service to restart there", nullptr, "9", kIdYes, {kRestartPrompt, kRestartFailed}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::setenv("VELMORA_REMOTE_SHELL", c.shell ? c.shell : m_serve.c_str(), 1);
        PageHarness<CRemotePage> shown(std::make_unique<CRemotePage>());
        auto* host = Control<QLineEdit>(*shown.page, 1047);
        auto* connect = Control<QPushButton>(*shown.page, 1048);
        ASSERT_TRUE(host && connect);
        EXPECT_FALSE(connect->isEnabled()) << "no host, no Connect";
        Retype(host, "far");
        EXPECT_TRUE(connect->isEnabled());
        QString caption;
        std::vector<std::string> titles;
        shown.runner.steps.push_back([&](QDialog& dialog) {
            auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
            caption = sheet.windowTitle();
            titles = TabTitles(sheet);
            if (!c.workers) {
                sheet.CancelButton()->click();
                return;
            }
            ClickTab(sheet, "Performance");
            Retype(Control<QLineEdit>(dialog, 1126), QString::fromLatin1(c.workers));
            QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        });
        if (c.answer)
            shown.boxes.answers.push_back(c.answer);
        QTest::mouseClick(connect, Qt::LeftButton);
        std::vector<std::string> messages;
        for (const ShownMessage& box : shown.boxes.shown)
            messages.push_back(box.text);
        EXPECT_EQ(messages, c.messages);
        EXPECT_EQ(shown.runner.runs, c.shell ? 0 : 1);
        EXPECT_EQ(shown.sheet.m_bRestart, 0) << "the far sheet's mark stays with it";
        if (c.shell)
            continue;
        EXPECT_EQ(caption, "Server Settings on far");
        EXPECT_EQ(std::count(titles.begin(), titles.end(), "Remote"), 0) << "only the local sheet has Remote";
        EXPECT_EQ(std::count(titles.begin(), titles.end(), "Web Remote"), 0);
        if (c.workers) {
            EXPECT_EQ(FarWorkers(), std::stoul(c.workers)) << "saved on the far hive";
        }
    }
    platform::RegistryKey product;
    std::uint32_t workers = 0;
    ASSERT_EQ(platform::RegistryKey::LocalMachine().Open(kProductKeyPath, product), 0);
    EXPECT_NE(product.QueryDword("Workers", workers), 0) << "nothing was written here";
}

// A connection that fails says why in the shell's own words (ssh's last
// line of errors) after the designed text; what was typed stays.
TEST_F(RemotePageTest, AFailedConnectionShowsTheRemoteShellsOwnReason)
{
    if (::access("/usr/bin/ssh", X_OK) != 0)
        GTEST_SKIP() << "openssh-client is not installed";
    RefusingPort refusing;
    const std::string port = std::to_string(refusing.port);
    const struct {
        std::string shell;
        std::string reason;
    } cases[] = {
        {"ssh -p " + port + " -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
                            "-o ConnectTimeout=60 %h velmora-reg serve",
         "ssh: connect to host 127.0.0.1 port " + port + ": Connection refused"},
        {"velmora-no-such-shell %h", "the remote shell velmora-no-such-shell is not installed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shell);
        ::setenv("VELMORA_REMOTE_SHELL", c.shell.c_str(), 1);
        PageHarness<CRemotePage> shown(std::make_unique<CRemotePage>());
        Retype(Control<QLineEdit>(*shown.page, 1047), "127.0.0.1");
        Click(*shown.page, 1048);
        ASSERT_EQ(shown.boxes.shown.size(), 1u);
        EXPECT_EQ(shown.boxes.shown[0].text, std::string(kConnectFailed) + "\n\nReason: " + c.reason);
        EXPECT_EQ(shown.runner.runs, 0);
        EXPECT_EQ(Control<QLineEdit>(*shown.page, 1047)->text(), "127.0.0.1") << "the host typed stays";
    }
}

} // namespace
