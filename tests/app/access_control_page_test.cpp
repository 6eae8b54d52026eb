// The Access Control page in a sheet: the bind address read back with the
// designed refusals and restart mark, the traversal check, the plain
// layout of chat rooms and the proxy, and the Global ACL button editing the
// configuration's own list. Screenshots of the page's two layouts and of
// every dialog it opens are kept under the build folder.

#include "acl_test_support.h"
#include "app/http/change_dir_dialog.h"
#include "app/http/file_acl_dialog.h"
#include "app/kit/property_sheet_plus.h"
#include "app/shared/access_control_page.h"
#include "app/shared/access_filter_dialog.h"
#include "app/shared/edit_acl_dialog.h"
#include "config/chat_config.h"
#include "config/config_fixture.h"
#include "config/http_server_config.h"
#include "proxy/proxy_settings.h"
#include "screenshot.h"

#include <QCheckBox>

#include <filesystem>
#include <fstream>

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F; // 127.0.0.1, first octet lowest
constexpr const char* kInvalidAddress =
    "An invalid IP address was entered.  Please specify an address in the form aa.bb.cc.dd.";

void SetAddress(CHTTPServerConfig& config, std::uint32_t address)
{
    CServiceSettings settings = *config.GetSettings();
    settings.address = address;
    config.SetSettings(std::make_shared<const CServiceSettings>(settings));
}

// Shows sheet with the page of config, built and filled.
template <class Config>
void ShowWithPage(CPropertySheetPlus& sheet, Config& config)
{
    sheet.AddPage(MakeAccessControlPage(config));
    sheet.show();
    QApplication::processEvents();
}

TEST(AccessControlPage, TheBindAddressIsReadBackAsDesigned)
{
    struct Case {
        const char* typed;
        const char* message; // null: accepted
        std::uint32_t stored;
        bool restart;
    };
    const Case cases[] = {
        {"127.0.0.1", nullptr, kLoopback, false},
        {"0.0.0.0", nullptr, 0, true},
        {"10.1.2.3", nullptr, 0x0302010A, true},
        {"10.1.2", nullptr, 0x0200010A, true},
        {"255.255.255.255", kInvalidAddress, kLoopback, false},
        {"10.1.2.300", kInvalidAddress, kLoopback, false},
        {"localhost", kInvalidAddress, kLoopback, false},
        {"", kInvalidAddress, kLoopback, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        CHTTPServerConfig config;
        SetAddress(config, kLoopback);
        ScriptedMessageBoxes boxes;
        CPropertySheetPlus sheet(QStringLiteral("Server"), nullptr);
        ShowWithPage(sheet, config);
        auto* edit = FindControl<QLineEdit>(&sheet, 1042);
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(edit->text(), "127.0.0.1");
        EXPECT_EQ(edit->maxLength(), kMaxBindAddressChars);
        Retype(edit, QString::fromLatin1(c.typed));
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        ASSERT_EQ(boxes.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(boxes.shown[0].text, c.message);
            EXPECT_EQ(boxes.shown[0].helpId, kInvalidAddressStringId);
            EXPECT_TRUE(sheet.isVisible()) << "the page keeps the focus";
            EXPECT_EQ(sheet.focusWidget(), edit);
        }
        EXPECT_EQ(config.GetSettings()->address, c.stored);
        EXPECT_EQ(sheet.m_bRestart != 0, c.restart);
        sheet.hide();
    }
}

TEST(AccessControlPage, TheTraversalCheckIsStoredWithoutARestart)
{
    for (std::uint32_t before : {0u, 1u}) {
        CHTTPServerConfig config;
        CHTTPSettings http = *config.GetHTTPSettings();
        http.traverseChecking = before;
        config.SetHTTPSettings(std::make_shared<const CHTTPSettings>(http));
        CPropertySheetPlus sheet(QStringLiteral("Server"), nullptr);
        ShowWithPage(sheet, config);
        auto* check = FindControl<QCheckBox>(&sheet, 1102);
        ASSERT_NE(check, nullptr);
        EXPECT_EQ(check->isChecked(), before == 1);
        QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(4, check->height() / 2));
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        EXPECT_FALSE(sheet.isVisible());
        EXPECT_EQ(config.GetHTTPSettings()->traverseChecking, 1 - before);
        EXPECT_EQ(sheet.m_bRestart, 0);
    }
}

TEST(AccessControlPage, ChatRoomsAndTheProxyGetThePlainLayout)
{
    CChatRoomConfig room;
    ScriptedRunner runner;
    CPropertySheetPlus sheet(QStringLiteral("Room"), nullptr);
    ShowWithPage(sheet, room);
    auto* fileACLs = FindControl<QPushButton>(&sheet, 1044);
    ASSERT_NE(fileACLs, nullptr);
    EXPECT_FALSE(fileACLs->isVisible() || fileACLs->isEnabled());
    EXPECT_EQ(FindControl<QPushButton>(&sheet, 1162), nullptr);
    EXPECT_EQ(FindControl<QCheckBox>(&sheet, 1102), nullptr);

    // Global ACL edits the room's own list in the working copy.
    runner.steps.push_back([&](QDialog& edit) {
        runner.steps.push_back([](QDialog& filter) { FillFilter(filter, {"Allow", "user", "*", "GET", "10.*"}); });
        ClickControl(edit, 1158);
        ClickControl(edit, 1);
    });
    ClickControl(sheet, 1161);
    EXPECT_EQ(room.GetAccessList().GetLines(), std::vector<std::string>{"Allow-user: GET,*,10.*"});
    sheet.hide();

    // The proxy's address goes back into the proxy's own values.
    CHTTPProxySettings proxy;
    CPropertySheetPlus proxySheet(QStringLiteral("Proxy"), nullptr);
    ShowWithPage(proxySheet, proxy);
    EXPECT_EQ(FindControl<QCheckBox>(&proxySheet, 1102), nullptr);
    Retype(FindControl<QLineEdit>(&proxySheet, 1042), QStringLiteral("10.0.0.1"));
    QTest::mouseClick(proxySheet.OkButton(), Qt::LeftButton);
    EXPECT_EQ(proxy.GetSettings()->address, 0x0100000Au);
    EXPECT_EQ(proxySheet.m_bRestart, 1);
}

// Every page and dialog at its opening size, for a person to look at.
class AccessControlScreenshots : public ::testing::Test {
protected:
    static void Save(QWidget& window, const std::string& name)
    {
        SaveScreenshot(window, std::filesystem::path(name).stem().string());
    }
};

TEST_F(AccessControlScreenshots, EveryPageAndDialog)
{
    TempDirectory dir;
    std::filesystem::create_directories(dir / "www/images");
    std::ofstream(dir / "www/default.htm") << "page";
    std::ofstream(dir / "www/images/logo.gif") << "gif";
    CHTTPServerConfig http;
    SetAddress(http, kLoopback);
    CHTTPSettings settings = *http.GetHTTPSettings();
    settings.rootDir = dir / "www";
    http.SetHTTPSettings(std::make_shared<const CHTTPSettings>(settings));
    http.GetAccessList().SetLines({"Allow-user: GET,*,127.0.0.1", "Allow-group: *,staff,10.1.*",
                                   "Reject-user: PUT,*,*", "Reject-user: *,*,*"});
    CChatRoomConfig room;

    ScriptedRunner runner;
    CPropertySheetPlus sheet(QStringLiteral("HTTP Server"), nullptr);
    ShowWithPage(sheet, http);
    Save(sheet, "access_control_page.png");
    {
        CPropertySheetPlus plain(QStringLiteral("ChatRoom"), nullptr);
        ShowWithPage(plain, room);
        Save(plain, "access_control_page_plain.png");
        plain.hide();
    }
    runner.steps.push_back([&](QDialog& edit) {
        FindControl<QListWidget>(&edit, 1037)->setCurrentRow(1);
        Save(edit, "edit_acl_dialog.png");
        runner.steps.push_back([&](QDialog& filter) {
            Save(filter, "access_filter_dialog.png");
            ClickControl(filter, 2);
        });
        ClickControl(edit, 1159);
        ClickControl(edit, 2);
    });
    ClickControl(sheet, 1161);
    runner.steps.push_back([&](QDialog& files) {
        Save(files, "file_acl_dialog.png");
        runner.steps.push_back([&](QDialog& change) {
            Save(change, "change_dir_dialog.png");
            ClickControl(change, 2);
        });
        ClickControl(files, 1022);
        ClickControl(files, 1);
    });
    ClickControl(sheet, 1162);
    EXPECT_EQ(runner.unscripted, 0);
    sheet.hide();
}

} // namespace
