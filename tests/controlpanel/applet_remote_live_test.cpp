// The applet's Remote page against a real sshd and a far velmorad (the
// fixture of the application's remote test): the far sheet is the applet's
// variant, and its Service page stops and starts the far service while this
// machine's service, installed and stopped, and this process stay as they
// were.

#include "app/remote_live.h"

#include "applet_live.h"
#include "controlpanel/applet_sheet.h"
#include "controlpanel/service_page.h"
#include "platform/service_controller.h"

namespace {

using AppletRemoteLiveTest = RemoteLiveTest;

// On the applet's own sheet: Connect to this machine from the Remote page,
// once for each far sheet to open, and close.
void ConnectFromRemotePage(QDialog& dialog, int farSheets)
{
    auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
    ClickTab(sheet, "Remote");
    Retype(Control<QLineEdit>(*sheet.GetActivePage(), 1047), "127.0.0.1");
    for (int opened = 0; opened < farSheets; ++opened)
        Click(*sheet.GetActivePage(), 1048);
    sheet.CancelButton()->click();
}

TEST_F(AppletRemoteLiveTest, TheFarSheetsServicePageDrivesTheFarServiceAlone)
{
    if (IsSkipped())
        return;
    StartFarService();
    ASSERT_EQ(Tool({"velmorad", "-install"}), 0) << "this machine's service, stopped";
    auto localState = [] {
        platform::ServiceStatus status;
        EXPECT_EQ(platform::ServiceController(kRemoteServiceName).QueryStatus(status), platform::kServiceOk);
        return status.currentState;
    };
    ASSERT_EQ(localState(), platform::kServiceStopped);

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    runner.steps.push_back([](QDialog& dialog) { ConnectFromRemotePage(dialog, 1); });
    runner.steps.push_back([&](QDialog& dialog) {
        auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
        EXPECT_EQ(sheet.windowTitle(), "Server Settings on 127.0.0.1");
        std::vector<std::string> titles = TabTitles(sheet);
        auto macros = std::find(titles.begin(), titles.end(), "Macros");
        ASSERT_NE(macros, titles.end());
        EXPECT_EQ(std::vector<std::string>(macros, titles.end()),
                  (std::vector<std::string>{"Macros", "Service", "About"}));
        ClickTab(sheet, "Service");
        ASSERT_NE(dynamic_cast<CServicePage*>(sheet.GetActivePage()), nullptr) << "the applet's own Service page";
        QWidget& page = *sheet.GetActivePage();
        ASSERT_TRUE(QTest::qWaitFor([&] { return EnabledButtons(page) == "stop pause"; }, 30000))
            << EnabledButtons(page);
        SaveScreenshot(sheet, "controlpanel_far_sheet_service_page");

        const struct {
            int press;
            const char* buttons;
            std::uint32_t far;
            bool serves;
        } steps[] = {{1164, "start", platform::kServiceStopped, false},
                     {1163, "stop pause", platform::kServiceRunning, true}};
        for (const auto& step : steps) {
            SCOPED_TRACE(step.press);
            Click(page, step.press);
            ASSERT_TRUE(QTest::qWaitFor([&] { return EnabledButtons(page) == step.buttons; }, 30000))
                << EnabledButtons(page);
            EXPECT_EQ(FarService().currentState, step.far);
            EXPECT_EQ(Eventually([&] { return (Curl() == 0) == step.serves; }, 20000), true);
            EXPECT_EQ(localState(), platform::kServiceStopped) << "this machine's service stays stopped";
            EXPECT_EQ(ServicesRunning(), 0) << "no server started in this process";
        }
        sheet.CancelButton()->click();
    });
    RunAppletSettings(nullptr);
    EXPECT_EQ(runner.runs, 2);
    EXPECT_EQ(runner.unscripted, 0);
    EXPECT_TRUE(boxes.shown.empty());
}

// The applet's far Service page, its far machine silent: Stop and Start
// wait as every far call does, are given up, and are never carried out
// once the far side goes on.
TEST_F(AppletRemoteLiveTest, AFarServiceCommandGivenUpIsNeverCarriedOutLater)
{
    if (IsSkipped())
        return;
    StartFarService();
    ScriptedRunner runner;
    // Each on a far sheet of its own: a channel given up on is opened again by the next far call.
    runner.steps.push_back([](QDialog& dialog) { ConnectFromRemotePage(dialog, 2); });
    for (bool stop : {true, false})
        runner.steps.push_back([this, stop](QDialog& dialog) {
            auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
            ClickTab(sheet, "Service");
            GiveUpFarServiceCommand(*sheet.GetActivePage(), stop, "controlpanel");
            sheet.CancelButton()->click();
        });
    RunAppletSettings(nullptr);
    EXPECT_EQ(runner.runs, 3);
    EXPECT_EQ(runner.unscripted, 0);
}

} // namespace
