// The Remote page against a real sshd and a second velmorad on a hive of
// its own, both started here on loopback: a user added in the remote sheet
// reaches the far hive and its running server (curl logs in with it, no
// restart asked), and a change that needs a restart asks and restarts the
// far service through the same channel (a new process that still serves).
// sshd must log root in, so without root the test is skipped.

#include "remote_live.h"

namespace {

TEST_F(RemoteLiveTest, TheFarSheetChangesTheFarServerAndItsRestartRestartsIt)
{
    if (IsSkipped())
        return;
    InitMacroLibrary();
    StartFarService();
    ASSERT_EQ(Status("/private/", "carol:Tulip7"), "401");
    const platform::ServiceStatus before = FarService();
    ASSERT_EQ(before.currentState, platform::kServiceRunning);

    // A new user needs no restart: nothing is asked, the far server takes it.
    std::vector<std::string> asked = Connect(
        [](CPropertySheetPlus& sheet) {
            ClickTab(sheet, "Users");
            Click(*sheet.GetActivePage(), 1181);
        },
        {[](QDialog& dialog) {
            Retype(Control<QLineEdit>(dialog, 1033), "Carol");
            Retype(Control<QLineEdit>(dialog, 1032), "Tulip7");
            Retype(Control<QLineEdit>(dialog, 1034), "Tulip7");
            QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
        }},
        {});
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(Eventually([&] { return Status("/private/", "carol:Tulip7") == "200"; },
                           kLastModHoldOffMs + kLiveSlackMs));
    EXPECT_EQ(FarService().processId, before.processId) << "the far server was not restarted";

    // New worker counts need a restart: asked, and done through the channel.
    asked = Connect(
        [](CPropertySheetPlus& sheet) {
            ClickTab(sheet, "Performance");
            Retype(Control<QLineEdit>(*sheet.GetActivePage(), 1126), "6");
        },
        {}, {kIdYes});
    EXPECT_EQ(asked, std::vector<std::string>{kRestartPrompt});
    const platform::ServiceStatus after = FarService();
    EXPECT_EQ(after.currentState, platform::kServiceRunning);
    EXPECT_NE(after.processId, before.processId) << "a new far process";
    EXPECT_TRUE(Eventually([&] { return Curl() == 0; }, 20000)) << "the restarted far server serves";
    EXPECT_EQ(Status("/private/", "carol:Tulip7"), "200");
}

} // namespace

namespace {

// The far sheet's Service page drives the far service, through the sheet's
// channel; the servers of this process, running beside it, are not touched.
TEST_F(RemoteLiveTest, TheFarSheetsServicePageStopsAndStartsTheFarServiceAlone)
{
    if (IsSkipped())
        return;
    InitMacroLibrary();
    StartFarService();
    // This process's servers listen nowhere the far ones do.
    Key("HTTP\\Servers\\" + HTTPServerKeyName(m_port, kSeededServerAddress)).SetDword("Enabled", 0);
    Key("ChatRoom\\Rooms\\Lobby").SetDword("Enabled", 0);
    ASSERT_EQ(StartServices(), 0);
    struct StopAtEnd {
        ~StopAtEnd() { StopServices(); }
    } stopAtEnd;

    std::vector<std::string> asked = Connect(
        [&](CPropertySheetPlus& sheet) {
            ClickTab(sheet, "Service");
            QWidget& page = *sheet.GetActivePage();
            auto* start = Control<QPushButton>(page, 1163);
            auto* stop = Control<QPushButton>(page, 1164);
            ASSERT_TRUE(start && stop);
            EXPECT_FALSE(start->isEnabled());
            EXPECT_TRUE(stop->isEnabled()) << "the far service runs";

            Click(page, 1164);
            EXPECT_EQ(FarService().currentState, platform::kServiceStopped);
            EXPECT_NE(Curl(), 0) << "the far server no longer serves";
            EXPECT_NE(ServicesRunning(), 0) << "this process's servers still run";
            EXPECT_TRUE(start->isEnabled());
            EXPECT_FALSE(stop->isEnabled());

            Click(page, 1163);
            EXPECT_EQ(FarService().currentState, platform::kServiceRunning);
            EXPECT_TRUE(Eventually([&] { return Curl() == 0; }, 20000)) << "the far server serves again";
            EXPECT_NE(ServicesRunning(), 0);
            EXPECT_FALSE(start->isEnabled());
            EXPECT_TRUE(stop->isEnabled());
        },
        {}, {});
    EXPECT_TRUE(asked.empty());
    EXPECT_NE(ServicesRunning(), 0);
}

} // namespace
