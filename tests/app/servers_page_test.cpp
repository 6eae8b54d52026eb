// The Servers page: each family is edited in a nested sheet on a working
// copy; only the nested OK copies it back, and only then does a restart
// mark travel up to the sheet that holds the page.

#include "app/servers_page.h"
#include "app/property_sheet_plus.h"
#include "app_fixture.h"
#include "family_edit_page.h"
#include "config/chat_config.h"
#include "config/http_global_config.h"
#include "proxy/proxy_settings.h"

#include <QCheckBox>
#include <QPushButton>

#include <filesystem>

namespace {

struct Families {
    Families()
    {
        chat.GetRooms().AddTail();
        http.SetInitMacro("%set(x,1)");
        http.GetUsers().SetAt("alice", "secret");
    }
    CHTTPGlobalConfig http;
    CChatGlobalConfig chat;
    CHTTPProxySettings proxy;
};

CNestedSheetPages EditPages()
{
    CNestedSheetPages pages;
    pages.http.push_back(EditPageMaker<CHTTPGlobalConfig>([](CHTTPGlobalConfig& c, const std::string& text) {
        c.SetInitMacro(text);
        c.GetUsers().SetAt(text, "pw");
        c.GetUsers().RemoveKey("alice");
    }));
    pages.chat.push_back(EditPageMaker<CChatGlobalConfig>(AddRoom));
    pages.proxy.push_back(EditPageMaker<CHTTPProxySettings>([](CHTTPProxySettings& c, const std::string& text) {
        c.GetNoCacheList().Add(text);
        auto settings = std::make_shared<CServiceSettings>(*c.GetSettings());
        settings->port = 9191;
        c.SetSettings(settings);
    }));
    return pages;
}

// What each family looks like, as one comparable line.
std::string Describe(Families& f)
{
    std::string text = "http:" + f.http.GetInitMacro();
    {
        // These maps have no key; a refresh would empty them.
        CUserMap& users = f.http.GetUsers();
        CEventLockHolder hold(users.GetLock());
        std::string password;
        for (const char* name : {"alice", "bob"})
            if (users.Lookup(name, password))
                text += std::string(" user=") + name;
    }
    text += " chat:";
    for (const auto& room : f.chat.GetRooms())
        text += " room=" + room.GetRoomSettings()->name;
    text += " proxy:" + std::to_string(f.proxy.GetSettings()->port);
    for (const auto& mask : f.proxy.GetNoCacheList().GetEntries())
        text += " nocache=" + mask;
    return text;
}

TEST(ServersPage, OnlyANestedOkChangesTheFamilyAndPassesTheRestartMarkUp)
{
    struct Case {
        const char* button;
        bool nestedOk;
        bool markRestart;
        const char* expected; // the families afterwards
        int restart;          // the holding sheet's flag after its own OK
    };
    const char* const unchanged = "http:%set(x,1) user=alice chat: room=Chat Room proxy:8080";
    const Case cases[] = {
        {"button1062", false, true, unchanged, 0},
        {"button1063", false, true, unchanged, 0},
        {"button1064", false, true, unchanged, 0},
        {"button1062", true, false, "http:bob user=bob chat: room=Chat Room proxy:8080", 0},
        {"button1063", true, false, "http:%set(x,1) user=alice chat: room=Chat Room room=bob proxy:8080", 0},
        {"button1064", true, false, "http:%set(x,1) user=alice chat: room=Chat Room proxy:9191 nocache=bob", 0},
        {"button1062", true, true, "http:bob user=bob chat: room=Chat Room proxy:8080", 1},
        {"button1063", true, true, "http:%set(x,1) user=alice chat: room=Chat Room room=bob proxy:8080", 1},
        {"button1064", true, true, "http:%set(x,1) user=alice chat: room=Chat Room proxy:9191 nocache=bob", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.button) + (c.nestedOk ? " OK" : " Cancel") + (c.markRestart ? " restart" : ""));
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        Families families;
        ASSERT_EQ(Describe(families), unchanged);
        CPropertySheetPlus sheet(QStringLiteral("Server Settings"), nullptr);
        sheet.AddPage(std::make_unique<CServersPage>(families.http, families.chat, families.proxy, EditPages()));
        QString nestedCaption;
        runner.steps.push_back([&](QDialog&) {
            QTest::mouseClick(Find<QPushButton>(sheet, c.button), Qt::LeftButton);
            EXPECT_EQ(sheet.m_bRestart, c.nestedOk ? static_cast<int>(c.markRestart) : 0);
            QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        });
        runner.steps.push_back([&](QDialog& nested) {
            nestedCaption = nested.windowTitle();
            Retype(Find<QLineEdit>(nested, "entry"), QStringLiteral("bob"));
            Find<QCheckBox>(nested, "needsRestart")->setChecked(c.markRestart);
            auto& nestedSheet = static_cast<CPropertySheetPlus&>(nested);
            QTest::mouseClick(c.nestedOk ? nestedSheet.OkButton() : nestedSheet.CancelButton(), Qt::LeftButton);
        });
        EXPECT_EQ(sheet.DoModal(), kIdOk);
        EXPECT_EQ(runner.unscripted, 0);
        EXPECT_EQ(Describe(families), c.expected);
        EXPECT_EQ(sheet.m_bRestart, c.restart);
        const std::map<std::string, QString> captions = {{"button1062", "Global HTTP Settings"},
                                                         {"button1063", "Global ChatRoom Settings"},
                                                         {"button1064", "HTTP Proxy Settings"}};
        EXPECT_EQ(nestedCaption, captions.at(c.button));
        EXPECT_TRUE(boxes.shown.empty());
    }
}

// Each nested sheet starts from the family as the OKs before it left it; a
// cancelled one in between leaves no trace.
TEST(ServersPage, RepeatedNestedSheetsKeepWhatEachOkAccepted)
{
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    Families families;
    CPropertySheetPlus sheet(QStringLiteral("Server Settings"), nullptr);
    sheet.AddPage(std::make_unique<CServersPage>(families.http, families.chat, families.proxy, EditPages()));
    auto nested = [](const char* typed, bool ok) {
        return [typed, ok](QDialog& dialog) {
            Retype(Find<QLineEdit>(dialog, "entry"), QString::fromLatin1(typed));
            auto& nestedSheet = static_cast<CPropertySheetPlus&>(dialog);
            QTest::mouseClick(ok ? nestedSheet.OkButton() : nestedSheet.CancelButton(), Qt::LeftButton);
        };
    };
    runner.steps.push_back([&](QDialog&) {
        QTest::mouseClick(Find<QPushButton>(sheet, "button1063"), Qt::LeftButton);
        QTest::mouseClick(Find<QPushButton>(sheet, "button1063"), Qt::LeftButton);
        QTest::mouseClick(Find<QPushButton>(sheet, "button1063"), Qt::LeftButton);
        QTest::mouseClick(sheet.CancelButton(), Qt::LeftButton);
    });
    runner.steps.push_back(nested("first", true));
    runner.steps.push_back(nested("dropped", false));
    runner.steps.push_back(nested("second", true));
    EXPECT_EQ(sheet.DoModal(), kIdCancel);
    EXPECT_EQ(runner.unscripted, 0);
    EXPECT_EQ(Describe(families),
              "http:%set(x,1) user=alice chat: room=Chat Room room=first room=second proxy:8080");
}

TEST(ServersPage, Screenshot)
{
    Families families;
    CPropertySheetPlus sheet(QStringLiteral("Server Settings"), nullptr);
    auto* page = sheet.AddPage(std::make_unique<CServersPage>(families.http, families.chat, families.proxy));
    sheet.resize(520, 360);
    sheet.show();
    QApplication::processEvents();
    ASSERT_TRUE(page->IsCreated());
    for (const char* name : {"button1062", "button1063", "button1064"})
        ASSERT_NE(Find<QPushButton>(sheet, name), nullptr);
    const char* bin = std::getenv("VELMORA_TEST_BIN_DIR");
    std::filesystem::path folder = std::filesystem::path(bin ? bin : ".") / "tests/app/artefacts";
    std::filesystem::create_directories(folder);
    std::filesystem::path file = folder / "servers_page.png";
    ASSERT_TRUE(sheet.grab().save(QString::fromStdString(file.string())));
    EXPECT_GT(std::filesystem::file_size(file), 1000u);
    sheet.hide();
}

} // namespace
