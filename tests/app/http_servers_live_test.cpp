// A port changed in a server's own sheet, worked through the widgets
// against the servers running in this process: the settings sheet's OK
// asks for the restart, and after Yes the server listens on the new port
// and no longer on the old one.

#include "app/main_dialog.h"
#include "app_hive.h"
#include "eventually.h"
#include "page_harness.h"

namespace {

class LiveServerPortTest : public AppEngineTest {};

TEST_F(LiveServerPortTest, APortChangedInTheGeneralPageIsServedAfterTheRestart)
{
    if (IsSkipped())
        return;
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CMainDialog window(false);
    window.show();
    window.Start();
    ASSERT_TRUE(Eventually([&] { return Curl() == 0; }, 10000));

    const std::uint16_t oldPort = m_port;
    const std::uint16_t newPort = e2e::FreePort();
    runner.steps.push_back([](QDialog& sheet) {
        QTest::mouseClick(Control<QPushButton>(sheet, 1062), Qt::LeftButton);
        QTest::mouseClick(static_cast<CPropertySheetPlus&>(sheet).OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back(
        [&](QDialog& dialog) { EditLoopbackServer(static_cast<CPropertySheetPlus&>(dialog), oldPort); });
    runner.steps.push_back([&](QDialog& dialog) {
        auto& server = static_cast<CPropertySheetPlus&>(dialog);
        EXPECT_EQ(server.windowTitle(), "HTTP Settings");
        Retype(Control<QLineEdit>(dialog, 1000), QString::number(newPort));
        QTest::mouseClick(server.OkButton(), Qt::LeftButton);
    });
    boxes.answers.push_back(kIdYes);
    QTest::mouseClick(window.SettingsButton(), Qt::LeftButton);
    EXPECT_EQ(runner.runs, 3);
    EXPECT_EQ(runner.unscripted, 0);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              "For the changes you have made to take effect, all services will have to be restarted.  Existing "
              "connections will be terminated.  Do you want to restart the server now?");

    m_port = newPort;
    EXPECT_TRUE(Eventually([&] { return Curl() == 0; }, 20000)) << "the server listens on " << newPort;
    m_port = oldPort;
    EXPECT_NE(Curl(), 0) << "the old port is closed";
    m_port = newPort;
    EXPECT_EQ(Curl(), 0) << "the server still serves";
    window.accept();
}

} // namespace
