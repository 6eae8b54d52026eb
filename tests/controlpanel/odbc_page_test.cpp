// The ODBC page and its Import dialog on real odbc.ini files: a person's
// SQLite source imported for the service, which isql and a KAV page of the
// running service then use; Delete asking first; and the pictures of the
// applet's pages, dialog and sheet.

#include "applet_live.h"

#include "app/settings_sheet.h"
#include "controlpanel/applet_sheet.h"
#include "controlpanel/odbc_page.h"
#include "controlpanel/service_page.h"
#include "platform/profile.h"

#include <fstream>

namespace {

class ODBCPageTest : public AppletLiveTest {
protected:
    void SetUp() override
    {
        AppletLiveTest::SetUp();
        if (IsSkipped())
            return;
        if (::access(kSQLiteDriver, R_OK) != 0 || ::access("/usr/bin/isql", X_OK) != 0 ||
            ::access("/usr/bin/sqlite3", X_OK) != 0)
            GTEST_SKIP() << "unixODBC's isql, sqlite3 and the SQLite ODBC driver are needed";
        e2e::WriteFile(m_dir / "person/.odbc.ini", "[ODBC Data Sources]\nguests=SQLite3\n\n[guests]\nDriver=SQLite3\n"
                                                   "Database=" + (m_dir / "guests.db") + "\n");
        e2e::RunProgram({"sqlite3", m_dir / "guests.db",
                         "CREATE TABLE guests (id INTEGER, name TEXT); INSERT INTO guests VALUES (1, 'Ada'), (2, 'Grace');"},
                        m_dir / "sqlite.out");
    }
};

TEST_F(ODBCPageTest, AnImportedSourceServesIsqlAndTheServiceAndDeleteAsksFirst)
{
    PageHarness<CODBCSourcesPage> harness(std::make_unique<CODBCSourcesPage>());
    QWidget& page = *harness.page;
    auto* list = Control<QListWidget>(page, 1098);
    ASSERT_TRUE(list);
    EXPECT_EQ(Lines(list), std::vector<std::string>{"velmora\tSQLite3"});

    harness.runner.steps.push_back([](QDialog& dialog) {
        auto* offered = Control<QListWidget>(dialog, 1098);
        EXPECT_EQ(Lines(offered), std::vector<std::string>{"guests\tSQLite3"});
        // Its only line comes chosen: Return imports it without a click.
        QTest::keyClick(offered, Qt::Key_Return);
        EXPECT_FALSE(dialog.isVisible()) << "Return did not import the only line";
        if (dialog.isVisible())
            QTest::mouseClick(FindControl<QPushButton>(&dialog, 2), Qt::LeftButton);
    });
    Click(page, 1100);
    EXPECT_EQ(harness.runner.runs, 1);
    EXPECT_EQ(Lines(list), (std::vector<std::string>{"velmora\tSQLite3", "guests\tSQLite3"}));

    e2e::RunResult isql = e2e::RunProgram(
        {"/bin/sh", "-c", "echo 'SELECT name FROM guests ORDER BY id' | isql -v -b guests"}, m_dir / "isql.out");
    EXPECT_EQ(isql.exitCode, 0) << isql.output;
    EXPECT_NE(isql.output.find("Ada"), std::string::npos) << isql.output;
    EXPECT_NE(isql.output.find("Grace"), std::string::npos) << isql.output;

    e2e::WriteFile(m_root + "/guests.htm",
                   "%expand%%sql(guests,\"SELECT name FROM guests ORDER BY id\",'<%column(name)>)");
    Install();
    ASSERT_EQ(platform::ServiceController("Velmora").Start(), platform::kServiceOk);
    EXPECT_EQ(Get("/guests.htm").output, "<Ada><Grace>");

    struct DeleteStep {
        int answer;
        std::vector<std::string> left;
    };
    const DeleteStep deletes[] = {
        {kIdNo, {"velmora\tSQLite3", "guests\tSQLite3"}},
        {kIdYes, {"velmora\tSQLite3"}},
    };
    for (const DeleteStep& step : deletes) {
        SCOPED_TRACE(step.answer);
        SelectLine(list, QStringLiteral("guests\tSQLite3"));
        harness.boxes.shown.clear();
        harness.boxes.answers = {step.answer};
        Click(page, 1142);
        ASSERT_EQ(harness.boxes.shown.size(), 1u);
        EXPECT_EQ(harness.boxes.shown[0].helpId, kDeleteDataSourcePromptId);
        EXPECT_EQ(harness.boxes.shown[0].type, kMbYesNo | kMbDefButton2) << "No is the default answer";
        EXPECT_EQ(Lines(list), step.left);
    }
    EXPECT_EQ(platform::ReadProfileString(m_dir / "odbc.ini", "guests", "Driver", "gone"), "gone");
    EXPECT_EQ(Get().output, "service page\n");
}

TEST_F(ODBCPageTest, ImportingTheListsOwnNameIsRefusedWithAMessage)
{
    e2e::WriteFile(m_dir / "person/.odbc.ini", "[ODBC Data Sources]\nODBC Data Sources=Mine\nguests=SQLite3\n\n"
                                               "[ODBC Data Sources]\nmine=Mine\n");
    const std::string service = e2e::ReadFile(m_dir / "odbc.ini");
    PageHarness<CODBCSourcesPage> harness(std::make_unique<CODBCSourcesPage>());
    harness.runner.steps.push_back([&harness](QDialog& dialog) {
        SelectLine(Control<QListWidget>(dialog, 1098), QStringLiteral("ODBC Data Sources\tMine"));
        EXPECT_FALSE(OkOrElseCancel(dialog));
        ASSERT_EQ(harness.boxes.shown.size(), 1u);
        EXPECT_NE(harness.boxes.shown[0].text.find("\"ODBC Data Sources\""), std::string::npos)
            << harness.boxes.shown[0].text;
    });
    Click(*harness.page, 1100);
    EXPECT_EQ(harness.runner.runs, 1);
    EXPECT_EQ(Lines(Control<QListWidget>(*harness.page, 1098)), std::vector<std::string>{"velmora\tSQLite3"});
    EXPECT_EQ(e2e::ReadFile(m_dir / "odbc.ini"), service);
}

TEST_F(ODBCPageTest, ControlPanelScreenshots)
{
    std::vector<std::string> saved;
    {
        PageHarness<CServicePage> harness(std::make_unique<CServicePage>());
        // The note on the missing service comes with the watcher's first answer.
        EXPECT_TRUE(QTest::qWaitFor([&harness] { return ReadingFault(*harness.page).empty(); }, 10000))
            << ReadingFault(*harness.page);
        saved.push_back(SaveScreenshot(harness.sheet, "controlpanel_service_page"));
    }
    {
        PageHarness<CODBCSourcesPage> harness(std::make_unique<CODBCSourcesPage>());
        EXPECT_EQ(ReadingFault(*harness.page), "");
        saved.push_back(SaveScreenshot(harness.sheet, "controlpanel_odbc_page"));
        harness.runner.steps.push_back([&saved](QDialog& dialog) {
            EXPECT_EQ(ReadingFault(dialog), "");
            saved.push_back(SaveScreenshot(dialog, "controlpanel_import_odbc_dialog"));
            dialog.reject();
        });
        Click(*harness.page, 1100);
    }
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    AddAppletPages(settings);
    settings.Sheet().show();
    ClickTab(settings.Sheet(), "Service");
    saved.push_back(SaveScreenshot(settings.Sheet(), "controlpanel_applet_sheet"));
    settings.Sheet().hide();
    for (const std::string& file : saved)
        std::cout << "screenshot: " << file << "\n";
}

} // namespace
