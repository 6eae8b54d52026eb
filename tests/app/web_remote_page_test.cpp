// The Web Remote page and its Advanced sheet worked through their widgets:
// the designed messages word for word, the restart mark exactly for a
// change the web remote server cannot take while running, the Advanced
// sheet's pages on a copy only its OK keeps, and the page present only on
// the local sheet of a machine with an HTTPConf key. With the Remote page,
// their pictures at their opening size.

#include "app/settings_sheet.h"
#include "app/shared/remote_page.h"
#include "app/shared/web_remote_page.h"
#include "config/config_fixture.h"
#include "macro/named_strings.h"
#include "page_harness.h"
#include "screenshot.h"

namespace {

const char* const kRange = "Please enter an integer between 0 and 65535.";
const char* const kPortRange = "Please enter an integer between 1 and 65535.";

void SetPort(CHTTPServerConfig& config, std::uint32_t port, const std::string& description)
{
    auto service = std::make_shared<CServiceSettings>(*config.GetSettings());
    service->port = port;
    config.SetSettings(service);
    auto http = std::make_shared<CHTTPSettings>(*config.GetHTTPSettings());
    http->description = description;
    config.SetHTTPSettings(http);
}

TEST(WebRemotePage, TypedValuesAndTheRestartMark)
{
    struct Case {
        int field;
        const char* typed;
        const char* message; // null: accepted
        int restart;
    };
    const Case cases[] = {
        {0, nullptr, nullptr, 0},
        {1055, "Remote administration", nullptr, 0},
        {1000, "8099", nullptr, 1},
        {1001, "3", nullptr, 1},
        {1000, "70000", kPortRange, 0},
        {1002, "-5", kRange, 0},
        {1001, "many", "Please enter an integer.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.field) + " " + (c.typed ? c.typed : ""));
        CHTTPServerConfig config;
        SetPort(config, 8088, "Web remote");
        PageHarness<CWebRemotePage> shown(std::make_unique<CWebRemotePage>(config));
        EXPECT_EQ(Control<QLineEdit>(*shown.page, 1000)->text(), "8088");
        EXPECT_EQ(Control<QLineEdit>(*shown.page, 1055)->text(), "Web remote");
        if (c.field)
            Retype(Control<QLineEdit>(*shown.page, c.field), QString::fromLatin1(c.typed));
        QTest::mouseClick(shown.sheet.OkButton(), Qt::LeftButton);
        ASSERT_EQ(shown.boxes.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(shown.boxes.shown[0].text, c.message);
        }
        EXPECT_EQ(shown.sheet.m_bRestart, c.restart);
        if (!c.message && c.field == 1000) {
            EXPECT_EQ(config.GetSettings()->port, std::stoul(c.typed));
        }
        if (!c.message && c.field == 1055) {
            EXPECT_EQ(config.GetHTTPSettings()->description, c.typed);
        }
    }
}

TEST(WebRemotePage, TheAdvancedSheetEditsACopyThatOnlyItsOkKeeps)
{
    InitMacroLibrary(); // as the program's start does: a server gets its strings scope
    for (bool ok : {false, true}) {
        SCOPED_TRACE(ok);
        CHTTPServerConfig config;
        PageHarness<CWebRemotePage> shown(std::make_unique<CWebRemotePage>(config));
        QString caption;
        std::vector<std::string> titles;
        shown.runner.steps.push_back([&](QDialog& dialog) {
            auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
            caption = sheet.windowTitle();
            titles = TabTitles(sheet);
            ClickTab(sheet, "Logging");
            Retype(Control<QLineEdit>(dialog, 1007), "/var/log/velmora/remote.log");
            QTest::mouseClick(ok ? sheet.OkButton() : sheet.CancelButton(), Qt::LeftButton);
        });
        Click(*shown.page, 1165);
        EXPECT_EQ(shown.runner.runs, 1);
        EXPECT_EQ(caption, "Web Remote Advanced Settings");
        EXPECT_EQ(titles, (std::vector<std::string>{"Logging", "SSL", "Users", "Groups", "NT Authentication",
                                                     "Strings", "Macros", "Access Control", "MIME Types"}));
        EXPECT_EQ(config.GetSettings()->logFile, ok ? "/var/log/velmora/remote.log" : "");
    }
}

class WebRemoteSheetTest : public ConfigTest {};

TEST_F(WebRemoteSheetTest, OnlyTheLocalSheetOfAMachineWithHTTPConfHasThePage)
{
    for (bool httpConf : {false, true}) {
        SCOPED_TRACE(httpConf);
        if (httpConf)
            Key("HTTPConf").SetDword("Port", 8099);
        CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
        settings.Load();
        settings.AddStandardPages();
        std::vector<std::string> titles = TabTitles(settings.Sheet());
        ASSERT_GE(titles.size(), 3u);
        std::vector<std::string> last(titles.end() - (httpConf ? 3 : 2), titles.end());
        const std::vector<std::string> expected =
            httpConf ? std::vector<std::string>{"Remote", "Web Remote", "About"}
                     : std::vector<std::string>{"Remote", "About"};
        EXPECT_EQ(last, expected);
    }
}

TEST(RemotePages, Screenshots)
{
    InitMacroLibrary();
    PageHarness<CRemotePage> remote(std::make_unique<CRemotePage>());
    EXPECT_EQ(ReadingFault(*remote.page), "");
    SaveScreenshot(remote.sheet, "remote_page");
    CHTTPServerConfig config;
    PageHarness<CWebRemotePage> web(std::make_unique<CWebRemotePage>(config));
    EXPECT_EQ(ReadingFault(*web.page), "");
    SaveScreenshot(web.sheet, "web_remote_page");
    web.runner.steps.push_back([](QDialog& dialog) {
        EXPECT_EQ(ReadingFault(dialog), "");
        SaveScreenshot(dialog, "web_remote_advanced_sheet");
    });
    Click(*web.page, 1165);
    EXPECT_EQ(web.runner.runs, 1);
}

} // namespace
