// The HTTP servers page, a server's own sheet and its General and Logging
// pages, worked through their widgets: the designed messages word for word,
// the restart mark exactly when a server could not take the change
// otherwise, and the server list left as the sheet's result says.

#include "app/http/http_general_page.h"
#include "app/http/http_servers_page.h"
#include "app/http/logging_page.h"
#include "app/kit/spin_button.h"
#include "config/config_fixture.h"
#include "config/config_lists.h"
#include "config/http_server_config.h"
#include "macro/named_strings.h"
#include "page_harness.h"

#include <QCheckBox>
#include <QPlainTextEdit>

#include <cstdlib>
#include <filesystem>

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F;   // 127.0.0.1
constexpr std::uint32_t kIntranet = 0x0201A8C0;   // 192.168.1.2
const char* const kRange = "Please enter an integer between 0 and 65535.";
const char* const kPortRange = "Please enter an integer between 1 and 65535.";
const char* const kNoFolder =
    "The root directory \"/no/such/folder\" does not exist.  Please enter an existing folder.";
const char* const kPortTaken = "Another service is assigned to this port and address.  Each service must have a unique "
                               "port and address.  Please choose a different port or address.";
const char* const kLogTaken =
    "Another service already has this log file.  Only one service can use a given log file.";

void SetServer(CHTTPServerConfig& config, std::uint32_t port, std::uint32_t address, const std::string& description,
               const std::string& logFile = {})
{
    auto service = std::make_shared<CServiceSettings>(*config.GetSettings());
    service->port = port;
    service->address = address;
    service->logFile = logFile;
    config.SetSettings(service);
    auto http = std::make_shared<CHTTPSettings>(*config.GetHTTPSettings());
    http->description = description;
    config.SetHTTPSettings(http);
}

// The test's own state folder: a new server's default document root is its
// www, made or left out by the test.
struct StateFolder {
    explicit StateFolder(bool withRoot)
    {
        if (withRoot)
            std::filesystem::create_directory(dir / "www");
        ::setenv("VELMORA_HOME", dir.Path().c_str(), 1);
    }
    ~StateFolder() { ::unsetenv("VELMORA_HOME"); }
    TempDirectory dir;
};

// Runs a sheet of the one page made by make; step works the shown page and
// presses OK; a refused OK is cancelled after the step.
struct Outcome {
    int result = 0;
    std::vector<ShownMessage> shown;
    int restart = 0;
    QWidget* focusAfterOk = nullptr;
    int focusId = 0;
};

template <class Make>
Outcome RunOnePage(Make make, const std::function<void(QDialog&)>& work)
{
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CPropertySheetPlus sheet(QStringLiteral("HTTP Settings"), nullptr);
    sheet.AddPage(make());
    Outcome outcome;
    runner.steps.push_back([&](QDialog& dialog) {
        work(dialog);
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        if (dialog.isVisible() && dialog.result() != QDialog::Accepted) {
            if (QWidget* focus = dialog.focusWidget())
                outcome.focusId = focus->property("controlId").toInt();
            sheet.CancelButton()->click();
        }
    });
    outcome.result = sheet.DoModal();
    outcome.shown = boxes.shown;
    outcome.restart = sheet.m_bRestart;
    return outcome;
}

TEST(HTTPGeneralPage, TypedValuesPortClashesAndTheRestartMark)
{
    struct Case {
        int field; // an edit to retype (0: none)
        const char* typed;
        const char* message; // null: accepted
        int focus;           // the control that keeps the focus after a refusal
        int restart;
    };
    const Case cases[] = {
        {0, nullptr, nullptr, 0, 0},
        {1055, "Intranet", nullptr, 0, 0},
        {1008, "/usr/share", nullptr, 0, 0},
        {1008, "/no/such/folder", kNoFolder, 1008, 0},
        {1010, "index.html", nullptr, 0, 0},
        {1003, "30", nullptr, 0, 0},
        {1000, "8081", nullptr, 0, 1},
        {1000, "65535", nullptr, 0, 1},
        {1001, "10", nullptr, 0, 1},
        {1000, "abc", "Please enter an integer.", 1000, 0},
        {1000, "70000", kPortRange, 1000, 0},
        {1000, "-1", kPortRange, 1000, 0},
        {1001, "many", "Please enter an integer.", 1001, 0},
        {1002, "abc", "Please enter a positive integer.", 1002, 0},
        {1002, "-5", kRange, 1002, 0},
        {1003, "65536", kRange, 1003, 0},
        // Another server listens on 9090 at this address; 8080 is taken only
        // at 192.168.1.2.
        {1000, "9090", kPortTaken, 1000, 0},
        {1000, "8080", nullptr, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.field) + " " + (c.typed ? c.typed : ""));
        CHTTPServerConfigList others;
        SetServer(others.AddTail(), 8080, kIntranet, "Intranet");
        SetServer(others.AddTail(), 9090, kLoopback, "Local");
        CHTTPServerConfig config;
        SetServer(config, 80, kLoopback, "Public");
        Outcome out = RunOnePage([&] { return std::make_unique<CHTTPGeneralPage>(config, &others); },
                                 [&](QDialog& dialog) {
                                     EXPECT_EQ(Control<QLineEdit>(dialog, 1000)->text(), "80");
                                     EXPECT_EQ(Control<QLineEdit>(dialog, 1055)->text(), "Public");
                                     if (c.field)
                                         Retype(Control<QLineEdit>(dialog, c.field), QString::fromLatin1(c.typed));
                                 });
        EXPECT_EQ(out.result, c.message ? kIdCancel : kIdOk);
        ASSERT_EQ(out.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(out.shown[0].text, c.message);
            EXPECT_EQ(out.focusId, c.focus);
        }
        EXPECT_EQ(out.restart, c.restart);
        if (!c.message && c.field == 1000) {
            EXPECT_EQ(config.GetSettings()->port, std::stoul(c.typed)) << "published to the working copy";
        }
    }
}

TEST(HTTPGeneralPage, ArrowsStopAtTheShortRangeWhileTypingReachesTheFullOne)
{
    CHTTPServerConfig config;
    Outcome out = RunOnePage([&] { return std::make_unique<CHTTPGeneralPage>(config, nullptr); },
                             [&](QDialog& dialog) {
                                 auto* port = Control<QLineEdit>(dialog, 1000);
                                 Retype(port, "32765");
                                 Control<CSpinButton>(dialog, 1006)->Step(5);
                                 EXPECT_EQ(port->text(), "32767");
                                 Retype(port, "40000");
                             });
    EXPECT_EQ(out.result, kIdOk);
    EXPECT_EQ(config.GetSettings()->port, 40000u);
}

TEST(LoggingPage, ALogFileAnotherServerWritesIsRefusedInAnyCase)
{
    struct Case {
        const char* logFile;
        const char* otherLogFile;
        bool withList;
        bool refused;
    };
    const Case cases[] = {
        {"", "", true, false}, // two servers without a log file
        {"/var/log/velmora/a.log", "/VAR/log/Velmora/A.LOG", true, true},
        {"/var/log/velmora/a.log", "/var/log/velmora/b.log", true, false},
        {"/var/log/velmora/a.log", "/var/log/velmora/a.log", false, false}, // a sheet of one server
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logFile);
        CHTTPServerConfigList others;
        SetServer(others.AddTail(), 8080, 0, "Other", c.otherLogFile);
        CHTTPServerConfig config;
        const QString macro = QStringLiteral("%remote_host%\n%status%");
        Outcome out = RunOnePage(
            [&] { return std::make_unique<CLoggingPage>(config, c.withList ? &others : nullptr); },
            [&](QDialog& dialog) {
                Retype(Control<QLineEdit>(dialog, 1007), QString::fromLatin1(c.logFile));
                Control<QPlainTextEdit>(dialog, 1008)->setPlainText(macro);
                QTest::mouseClick(Control<QCheckBox>(dialog, 1116), Qt::LeftButton);
            });
        EXPECT_EQ(out.result, c.refused ? kIdCancel : kIdOk);
        ASSERT_EQ(out.shown.size(), c.refused ? 1u : 0u);
        EXPECT_EQ(out.restart, 0);
        if (c.refused) {
            EXPECT_EQ(out.shown[0].text, kLogTaken);
            EXPECT_EQ(out.focusId, 1116);
        } else {
            EXPECT_EQ(config.GetSettings()->logFile, c.logFile);
            EXPECT_EQ(config.GetHTTPSettings()->logMacro, macro.toStdString()) << "line breaks kept";
            EXPECT_EQ(config.GetHTTPSettings()->cclf, 1u);
        }
    }
}

TEST(HTTPServerPages, GeneralAndLoggingAtTheirOpeningSize)
{
    CHTTPServerConfig config;
    PageHarness<CHTTPGeneralPage> general(std::make_unique<CHTTPGeneralPage>(config, nullptr));
    EXPECT_EQ(ReadingFault(*general.page), "");
    SaveScreenshot(general.sheet, "http_general_page");
    PageHarness<CLoggingPage> logging(std::make_unique<CLoggingPage>(config, nullptr));
    EXPECT_EQ(ReadingFault(*logging.page), "");
    SaveScreenshot(logging.sheet, "logging_page");
}

// The servers page in a sheet; every action opens the server's sheet,
// which the step works.
struct ServersCase {
    const char* name;
    int button;            // 1143 New, 1144 Edit, 1145 Delete
    int field;             // a General field to retype in the server's sheet (0: none)
    const char* typed;
    bool ok;               // the server's sheet ends with OK
    std::vector<std::string> lines;
    int restart;
};

TEST(HTTPServersPage, NewEditAndDeleteKeepTheListAndMarkRestartsAsDesigned)
{
    const std::string intranet = "8080\t192.168.1.2\tIntranet";
    const std::string publicLine = "81\t0.0.0.0\tPublic";
    StateFolder state(true);
    const ServersCase cases[] = {
        {"new, cancelled", 1143, 0, nullptr, false, {intranet, publicLine}, 0},
        {"new, unchanged", 1143, 0, nullptr, true, {"80\t0.0.0.0\t", intranet, publicLine}, 1},
        {"edit, cancelled", 1144, 1000, "8090", false, {intranet, publicLine}, 0},
        {"edit, same port", 1144, 0, nullptr, true, {intranet, publicLine}, 0},
        {"edit, description", 1144, 1055, "Staff", true, {"8080\t192.168.1.2\tStaff", publicLine}, 0},
        {"edit, port", 1144, 1000, "8090", true, {"8090\t192.168.1.2\tIntranet", publicLine}, 1},
        {"edit, client limit", 1144, 1001, "5", true, {intranet, publicLine}, 1},
        {"delete", 1145, 0, nullptr, false, {publicLine}, 1},
    };
    for (const ServersCase& c : cases) {
        SCOPED_TRACE(c.name);
        CHTTPServerConfigList servers;
        SetServer(servers.AddTail(), 81, 0, "Public");
        SetServer(servers.AddTail(), 8080, kIntranet, "Intranet");
        PageHarness<CHTTPServersPage> h(std::make_unique<CHTTPServersPage>(servers));
        auto* list = Control<QListWidget>(*h.page, 1049);
        ASSERT_EQ(Lines(list), (std::vector<std::string>{intranet, publicLine}));
        SelectLine(list, QString::fromStdString(intranet));
        if (&c == &cases[0])
            SaveScreenshot(h.sheet, "http_servers_page_listed");
        if (c.button != 1145) {
            h.runner.steps.push_back([&](QDialog& dialog) {
                auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
                EXPECT_EQ(sheet.windowTitle(), "HTTP Settings");
                if (c.field)
                    Retype(Control<QLineEdit>(dialog, c.field), QString::fromLatin1(c.typed));
                QTest::mouseClick(c.ok ? sheet.OkButton() : sheet.CancelButton(), Qt::LeftButton);
            });
        }
        Click(*h.page, c.button);
        EXPECT_EQ(h.runner.unscripted, 0);
        EXPECT_TRUE(h.boxes.shown.empty()) << "a server is never compared with itself";
        EXPECT_EQ(Lines(list), c.lines);
        EXPECT_EQ(h.sheet.m_bRestart, c.restart);
        EXPECT_EQ(servers.GetCount(), c.lines.size());
    }
}

// A new server's document root is checked on OK as a typed one is: left at
// a default that does not exist, every URL would answer 404.
TEST(HTTPServersPage, ANewServersMissingDefaultFolderIsRefused)
{
    StateFolder state(false);
    CHTTPServerConfigList servers;
    PageHarness<CHTTPServersPage> h(std::make_unique<CHTTPServersPage>(servers));
    h.runner.steps.push_back([&](QDialog& dialog) {
        auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
        auto* folder = Control<QLineEdit>(dialog, 1008);
        EXPECT_EQ(folder->text().toStdString(), DefaultRootDir());
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        EXPECT_TRUE(dialog.isVisible()) << "OK refused";
        EXPECT_EQ(dialog.focusWidget(), folder);
        Retype(folder, QString::fromStdString(state.dir.Path()));
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
    });
    Click(*h.page, 1143);
    ASSERT_EQ(h.boxes.shown.size(), 1u);
    EXPECT_EQ(h.boxes.shown[0].text,
              "The root directory \"" + DefaultRootDir() + "\" does not exist.  Please enter an existing folder.");
    ASSERT_EQ(servers.GetCount(), 1u);
    EXPECT_EQ(servers.begin()->GetHTTPSettings()->rootDir, state.dir.Path());
}

// The list's order is the servers' start order: an edit the person cancels
// leaves the server where it was.
TEST(HTTPServersPage, EditThenCancelKeepsTheServersPlace)
{
    CHTTPServerConfigList servers;
    SetServer(servers.AddTail(), 81, 0, "Public");
    SetServer(servers.AddTail(), 8080, kIntranet, "Intranet");
    SetServer(servers.AddTail(), 9090, kLoopback, "Local");
    PageHarness<CHTTPServersPage> h(std::make_unique<CHTTPServersPage>(servers));
    SelectLine(Control<QListWidget>(*h.page, 1049), QStringLiteral("81\t0.0.0.0\tPublic"));
    h.runner.steps.push_back([&](QDialog& dialog) {
        auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
        Retype(Control<QLineEdit>(dialog, 1055), QStringLiteral("Changed"));
        QTest::mouseClick(sheet.CancelButton(), Qt::LeftButton);
    });
    Click(*h.page, 1144);
    std::vector<std::uint32_t> order;
    for (const CHTTPServerConfig& server : servers)
        order.push_back(server.GetSettings()->port);
    EXPECT_EQ(order, (std::vector<std::uint32_t>{81, 8080, 9090}));
    EXPECT_EQ(servers.begin()->GetHTTPSettings()->description, "Public");
}

TEST(HTTPServersPage, AnEmptyListOffersNewOnlyAndTheServerSheetHoldsItsPagesInOrder)
{
    InitMacroLibrary(); // as the program's start does: a server gets its strings scope
    CHTTPServerConfigList servers;
    PageHarness<CHTTPServersPage> h(std::make_unique<CHTTPServersPage>(servers));
    EXPECT_TRUE(Lines(Control<QListWidget>(*h.page, 1049)).empty());
    EXPECT_TRUE(Control<QPushButton>(*h.page, 1143)->isEnabled());
    EXPECT_FALSE(Control<QPushButton>(*h.page, 1144)->isEnabled());
    EXPECT_FALSE(Control<QPushButton>(*h.page, 1145)->isEnabled());
    EXPECT_EQ(ReadingFault(*h.page), "");
    SaveScreenshot(h.sheet, "http_servers_page");

    std::vector<std::string> titles;
    h.runner.steps.push_back([&](QDialog& dialog) {
        auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
        for (int i = 0; i < sheet.Tabs()->count(); ++i)
            titles.push_back(sheet.Tabs()->tabText(i).toStdString());
        // A new server's designed defaults, this system's document root.
        EXPECT_EQ(Control<QLineEdit>(dialog, 1000)->text(), "80");
        EXPECT_EQ(Control<QLineEdit>(dialog, 1001)->text(), "50");
        EXPECT_EQ(Control<QLineEdit>(dialog, 1002)->text(), "0");
        EXPECT_EQ(Control<QLineEdit>(dialog, 1010)->text(), "default.html");
        EXPECT_EQ(Control<QLineEdit>(dialog, 1008)->text().toStdString(), DefaultRootDir());
        EXPECT_TRUE(Control<QCheckBox>(dialog, 1018)->isChecked());
        EXPECT_EQ(ReadingFault(*sheet.GetActivePage()), "");
        SaveScreenshot(dialog, "http_server_sheet");
        QTest::mouseClick(sheet.CancelButton(), Qt::LeftButton);
    });
    Click(*h.page, 1143);
    const std::vector<std::string> designed = {"General", "Logging", "SSL", "Performance", "Users", "Groups",
                                               "NT Authentication", "Strings", "Macros", "Access Control",
                                               "Virtual Paths", "MIME Types", "MIME Icons", "Redirections",
                                               "CGI Extensions"};
    EXPECT_EQ(titles, designed);
    EXPECT_EQ(h.sheet.m_bRestart, 0);
}

} // namespace
