// The settings sheet's Users and Strings pages against running servers,
// worked through their widgets: a user added in the Users page logs in to a
// folder whose access line names the user, served by the real velmora
// program that keeps running; a string changed in a Strings page changes
// the error page the servers send once the main window has restarted them
// as the sheet asked. Each change must be served within the change stamp's
// hold-off.

#include "app/main_dialog.h"
#include "app/settings_sheet.h"
#include "app_hive.h"
#include "eventually.h"
#include "page_harness.h"
#include "platform/clock.h"
#include "platform/process.h"

#include <QComboBox>
#include <QPlainTextEdit>

namespace {

// A reload through the stamp may land just after the hold-off; curl and
// the poll add their own share.

// curl's status code for path, with user:password when given.
std::string Status(std::uint16_t port, const std::string& path, const std::string& credentials,
                   const std::string& folder)
{
    std::vector<std::string> args = {"curl", "-s", "--max-time", "10", "-o", "/dev/null", "-w", "%{http_code}"};
    if (!credentials.empty())
        args.insert(args.end(), {"-u", credentials});
    args.push_back("http://127.0.0.1:" + std::to_string(port) + path);
    return e2e::RunProgram(args, folder + "/status.out").output;
}

class LiveUsersTest : public AppHiveTest {
protected:
    void SetUp() override
    {
        AppHiveTest::SetUp();
        SeedForCurl();
    }
    std::string Status(const std::string& path, const std::string& credentials = {})
    {
        return ::Status(m_port, path, credentials, m_dir.Path());
    }
};

TEST_F(LiveUsersTest, AUserAddedInTheUsersPageLogsInWithoutARestart)
{
    if (IsSkipped())
        return;
    // The private folder's access list names the user to come.
    Key("HTTP\\Paths\\private\\ACL").SetString("1", "Allow-user: GET,carol,*");

    platform::ChildProcess server;
    StartApplication(server);
    ASSERT_TRUE(Eventually([&] { return Curl() == 0 || server.TryReap(); }, 20000) && server.IsRunning());
    ASSERT_EQ(Status("/private/", "carol:Tulip7"), "401");

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    settings.AddStandardPages();
    runner.steps.push_back([&](QDialog&) {
        ClickTab(settings.Sheet(), "Users");
        Click(*settings.Sheet().GetActivePage(), 1181);
        QTest::mouseClick(settings.Sheet().OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back([](QDialog& dialog) {
        Retype(Control<QLineEdit>(dialog, 1033), "Carol");
        Retype(Control<QLineEdit>(dialog, 1032), "Tulip7");
        Retype(Control<QLineEdit>(dialog, 1034), "Tulip7");
        QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
    });
    EXPECT_EQ(settings.Run(), 0) << "a new user needs no restart";
    const std::uint64_t saved = platform::MonotonicMs();
    EXPECT_EQ(runner.runs, 2);
    EXPECT_TRUE(boxes.shown.empty());

    EXPECT_TRUE(Eventually([&] { return Status("/private/", "carol:Tulip7") == "200"; },
                           kLastModHoldOffMs + kLiveSlackMs));
    const std::uint64_t served = platform::MonotonicMs() - saved;
    std::printf("the new user was served %llu ms after OK\n", static_cast<unsigned long long>(served));
    EXPECT_LE(served, kLastModHoldOffMs + kLiveSlackMs);
    EXPECT_EQ(Status("/private/", "carol:wrong"), "401");
    EXPECT_EQ(Status("/private/", "demo:velmora"), "200");
    EXPECT_TRUE(server.IsRunning() && !server.TryReap()) << "the server was not restarted";
    EXPECT_EQ(Curl(), 0) << "the server still serves";
}

class LiveStringsTest : public AppEngineTest {};

TEST_F(LiveStringsTest, AStringChangedInTheStringsPageChangesTheServedErrorPage)
{
    if (IsSkipped())
        return;
    auto body = [this](const std::string& path) {
        return e2e::RunProgram({"curl", "-s", "--max-time", "10", "http://127.0.0.1:" + std::to_string(m_port) + path},
                               m_dir / "body.out")
            .output;
    };
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CMainDialog window(false);
    window.show();
    window.Start();
    ASSERT_TRUE(Eventually([&] { return Curl() == 0; }, 10000));
    ASSERT_NE(body("/no-such-page").find("<H1>404 URL Not Found</H1>"), std::string::npos);

    const QString page = QStringLiteral("<html><body>Nothing lives at this address.</body></html>");
    runner.steps.push_back([](QDialog& sheet) {
        QPushButton* http = Control<QPushButton>(sheet, 1062);
        ASSERT_NE(http, nullptr);
        QTest::mouseClick(http, Qt::LeftButton);
        QTest::mouseClick(static_cast<CPropertySheetPlus&>(sheet).OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back([](QDialog& dialog) {
        auto& nested = static_cast<CPropertySheetPlus&>(dialog);
        EXPECT_EQ(nested.windowTitle(), "Global HTTP Settings");
        ClickTab(nested, "Strings");
        Click(*nested.GetActivePage(), 1177);
        QTest::mouseClick(nested.OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back([&](QDialog& dialog) {
        auto* combo = Control<QComboBox>(dialog, 1057);
        combo->setCurrentIndex(combo->findText("http-badurl"));
        auto* text = Control<QPlainTextEdit>(dialog, 1053);
        text->setFocus();
        QTest::keyClicks(text, page);
        QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
    });
    boxes.answers.push_back(kIdYes);
    QTest::mouseClick(window.SettingsButton(), Qt::LeftButton);
    const std::uint64_t saved = platform::MonotonicMs();
    EXPECT_EQ(runner.runs, 3);
    EXPECT_EQ(runner.unscripted, 0);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              "For the changes you have made to take effect, all services will have to be restarted.  Existing "
              "connections will be terminated.  Do you want to restart the server now?");

    EXPECT_TRUE(Eventually([&] { return body("/no-such-page") == page.toStdString(); },
                           kLastModHoldOffMs + kLiveSlackMs))
        << body("/no-such-page");
    const std::uint64_t served = platform::MonotonicMs() - saved;
    std::printf("the changed page was served %llu ms after OK\n", static_cast<unsigned long long>(served));
    EXPECT_LE(served, kLastModHoldOffMs + kLiveSlackMs);
    EXPECT_EQ(Curl(), 0) << "the servers still serve";
    window.accept();
}

} // namespace
