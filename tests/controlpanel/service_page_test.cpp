// The Service page: a machine that stops answering never holds the window,
// and the page drives the real velmorad through start, stop, pause and
// resume, with curl as the client; the applet's restart offer restarts it.

#include "applet_live.h"

#include "controlpanel/applet_sheet.h"
#include "controlpanel/service_page.h"
#include "app/shared/service_watcher.h"
#include "eventually.h"
#include "platform/registry.h"

#include <QLabel>

#include <condition_variable>
#include <mutex>

namespace {

// A machine that answers its first question at once and then, while held,
// not at all (as a remote machine on a dead link).
class CHeldMachine : public IServiceManager {
public:
    // A question asked while held waits this long (or until released). A
    // window that waited for the machine would stand still as long; one
    // that is merely slow on a busy machine stays far below it.
    static constexpr std::uint64_t kHeldMs = 20000;

    int QueryState(const std::string&) override
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_wake.wait_for(lock, std::chrono::milliseconds(kHeldMs), [this] { return !m_held; });
        return static_cast<int>(platform::kServiceRunning);
    }
    bool Command(const std::string&, ServiceCommand) override { return true; }
    bool Restart(const std::string&) override { return true; }

    void Hold(bool held)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_held = held;
        m_wake.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_held = false;
};

TEST(ServicePage, AMachineThatStopsAnsweringNeverHoldsTheWindow)
{
    auto machine = std::make_shared<CHeldMachine>();
    SetRemoteServiceManagerFactory([machine](const std::string& name) -> std::shared_ptr<IServiceManager> {
        return name == "held" ? machine : nullptr;
    });
    auto harness = std::make_unique<PageHarness<CServicePage>>(std::make_unique<CServicePage>("held"));
    QWidget& page = *harness->page;
    ASSERT_TRUE(QTest::qWaitFor([&] { return EnabledButtons(page) == "stop pause"; }, 30000));

    machine->Hold(true);
    // The window keeps serving its events while the ticks find no answer,
    // and shows the state as unknown once the time-out has passed (later
    // on a busy machine, never before).
    std::uint64_t longest = 0;
    const std::uint64_t start = platform::MonotonicMs();
    const std::uint64_t earliest = start + kServiceQueryTimeoutMs + 2 * kServiceRefreshMs;
    while (platform::MonotonicMs() < earliest ||
           (EnabledButtons(page) != "" && platform::MonotonicMs() < start + CHeldMachine::kHeldMs / 2)) {
        std::uint64_t before = platform::MonotonicMs();
        QTest::qWait(20);
        longest = std::max(longest, platform::MonotonicMs() - before);
    }
    EXPECT_LT(longest, CHeldMachine::kHeldMs / 2) << "a tick waited for the machine on the window's thread";
    EXPECT_EQ(EnabledButtons(page), "");

    machine->Hold(false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return EnabledButtons(page) == "stop pause"; }, 30000));

    // Closing while a question is in flight does not wait for its answer.
    machine->Hold(true);
    QTest::qWait(2 * kServiceRefreshMs);
    std::uint64_t before = platform::MonotonicMs();
    harness.reset();
    EXPECT_LT(platform::MonotonicMs() - before, CHeldMachine::kHeldMs / 2) << "the close waited for the answer";
    machine->Hold(false);
    SetRemoteServiceManagerFactory(nullptr);
}

TEST_F(AppletLiveTest, TheServicePageStartsStopsPausesAndResumesTheRealService)
{
    PageHarness<CServicePage> harness(std::make_unique<CServicePage>());
    QWidget& page = *harness.page;
    QTest::qWait(2 * kServiceRefreshMs);
    EXPECT_EQ(EnabledButtons(page), "") << "no button for a service that is not installed";
    // The grey buttons come with the reason.
    auto* note = page.findChild<QLabel*>(QStringLiteral("serviceNote"));
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->isVisible());
    EXPECT_TRUE(note->text().startsWith("The Velmora service is not installed on this machine")) << note->text().toStdString();
    EXPECT_TRUE(note->text().contains(QString::fromStdString(platform::RegistryPath())));
    Install();
    ASSERT_TRUE(QTest::qWaitFor([&] { return EnabledButtons(page) == "start"; }, 30000)) << EnabledButtons(page);
    EXPECT_FALSE(note->isVisible());

    struct Step {
        int press;
        const char* buttons;
        bool serves;
    };
    const Step steps[] = {
        {1163, "stop pause", true}, {1164, "start", false},      {1163, "stop pause", true},
        {1048, "resume", false},    {1049, "stop pause", true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.press);
        Click(page, step.press);
        ASSERT_TRUE(QTest::qWaitFor([&] { return EnabledButtons(page) == step.buttons; }, 30000))
            << EnabledButtons(page);
        EXPECT_EQ(Get().exitCode, step.serves ? 0 : kRefused);
    }

    // The applet's restart offer, taken, restarts the running service.
    platform::ServiceStatus status;
    platform::ServiceController controller("Velmora");
    ASSERT_EQ(controller.QueryStatus(status), platform::kServiceOk);
    const std::uint32_t before = status.processId;
    ScriptedMessageBoxes boxes;
    boxes.answers = {kIdYes};
    ScriptedRunner runner;
    runner.steps.push_back([](QDialog& dialog) {
        auto& sheet = dynamic_cast<CPropertySheetPlus&>(dialog);
        sheet.m_bRestart = 1;
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        EXPECT_EQ(sheet.result(), QDialog::Accepted);
    });
    RunAppletSettings(nullptr);
    ASSERT_EQ(boxes.shown.size(), 1u) << "only the offer, no failure";
    EXPECT_EQ(controller.WaitForState(platform::kServiceRunning, 30000), platform::kServiceOk);
    ASSERT_EQ(controller.QueryStatus(status), platform::kServiceOk);
    EXPECT_NE(status.processId, before);
    EXPECT_EQ(Get().output, "service page\n");
}

// Another machine's service goes through the remote shell channel; here
// the shell runs the far end on this machine, so the service is the same.
TEST_F(AppletLiveTest, TheServicePageDrivesAnotherMachinesServiceThroughTheRemoteShell)
{
    ::setenv("VELMORA_REMOTE_SHELL", (BinDir() + "/tools/velmora-reg serve").c_str(), 1);
    Install();
    {
        PageHarness<CServicePage> harness(std::make_unique<CServicePage>("far"));
        QWidget& page = *harness.page;
        ASSERT_TRUE(QTest::qWaitFor([&] { return EnabledButtons(page) == "start"; }, 15000)) << EnabledButtons(page);
        const struct {
            int press;
            const char* buttons;
            bool serves;
        } steps[] = {{1163, "stop pause", true}, {1048, "resume", false}, {1049, "stop pause", true}, {1164, "start", false}};
        for (const auto& step : steps) {
            SCOPED_TRACE(step.press);
            Click(page, step.press);
            ASSERT_TRUE(QTest::qWaitFor([&] { return EnabledButtons(page) == step.buttons; }, 30000))
                << EnabledButtons(page);
            EXPECT_EQ(Get().exitCode, step.serves ? 0 : kRefused);
        }
    }
    ::unsetenv("VELMORA_REMOTE_SHELL");
}

} // namespace
