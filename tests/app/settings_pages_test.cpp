// The pages in the settings sheet against a real hive of the test's own:
// what reaches the registry, and what the sheet answers, after nested and
// outer OKs and Cancels, and after a refused Workers value.

#include "app/chat/chat_rooms_page.h"
#include "app/http/http_servers_page.h"
#include "app/kit/message_box.h"
#include "app/shared/performance_page.h"
#include "app/shared/servers_page.h"
#include "app/settings_sheet.h"
#include "app_fixture.h"
#include "page_harness.h"
#include "config/config_fixture.h"
#include "macro/named_strings.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// Stands in for a family's editor in a nested sheet. Like a list page's New,
// "add" changes the working copy at once: the number typed into "entry" is
// applied to it, and "needsRestart" marks the nested sheet.
template <class Config>
class FamilyEditPage : public CPropertyPage {
public:
    using Apply = void (*)(Config&, const std::string&);
    FamilyEditPage(Config& copy, Apply apply) : CPropertyPage(QStringLiteral("Edit")), m_copy(copy), m_apply(apply) {}

protected:
    void SetupUi() override
    {
        auto* layout = new QVBoxLayout(this);
        auto* entry = new QLineEdit(this);
        auto* restart = new QCheckBox(QStringLiteral("restart"), this);
        auto* add = new QPushButton(QStringLiteral("Add"), this);
        entry->setObjectName(QStringLiteral("entry"));
        restart->setObjectName(QStringLiteral("needsRestart"));
        add->setObjectName(QStringLiteral("add"));
        layout->addWidget(entry);
        layout->addWidget(restart);
        layout->addWidget(add);
        connect(add, &QPushButton::clicked, this, [this, entry, restart] {
            m_apply(m_copy, entry->text().toStdString());
            if (restart->isChecked())
                SetRestart();
        });
    }

private:
    Config& m_copy;
    Apply m_apply;
};

template <class Config>
NestedPageMaker<Config> EditPage(typename FamilyEditPage<Config>::Apply apply)
{
    return [apply](Config& copy) { return std::make_unique<FamilyEditPage<Config>>(copy, apply); };
}

CNestedSheetPages EditPages()
{
    CNestedSheetPages pages;
    pages.http.push_back(EditPage<CHTTPGlobalConfig>([](CHTTPGlobalConfig& c, const std::string& text) {
        c.SetInitMacro(text);
    }));
    pages.chat.push_back(EditPage<CChatGlobalConfig>([](CChatGlobalConfig& c, const std::string& text) {
        auto room = std::make_shared<CChatRoomSettings>();
        room->name = text;
        c.GetRooms().AddTail().SetRoomSettings(room);
    }));
    pages.proxy.push_back(EditPage<CHTTPProxySettings>([](CHTTPProxySettings& c, const std::string& text) {
        auto settings = std::make_shared<CServiceSettings>(*c.GetSettings());
        settings->port = static_cast<std::uint32_t>(std::stoul(text));
        c.SetSettings(settings);
    }));
    return pages;
}

class SettingsPagesTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        ASSERT_EQ(m_product.SetDword("Workers", 1), platform::kErrorSuccess);
    }
    std::uint32_t Dword(const std::string& key, const char* name)
    {
        std::uint32_t value = 0;
        platform::RegistryKey opened;
        if (m_product.Open(key, opened) == platform::kErrorSuccess)
            opened.QueryDword(name, value);
        return value;
    }

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
};

TEST_F(SettingsPagesTest, WorkersOutOfRangeIsRefusedAndAChangeAsksForARestart)
{
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    settings.AddStandardPages();
    CPropertySheetPlus& sheet = settings.Sheet();
    QStringList titles;
    for (int i = 0; i < sheet.GetPageCount(); ++i)
        titles << sheet.GetPage(i)->Title();
    EXPECT_EQ(titles, (QStringList{"Servers", "Performance", "Users", "Groups", "QNS", "KAV", "Strings", "Macros", "Service", "Remote", "About"}));

    runner.steps.push_back([&](QDialog& dialog) {
        sheet.Tabs()->setCurrentIndex(1);
        QApplication::processEvents(); // a page's fields show once events run
        ASSERT_EQ(sheet.GetActiveIndex(), 1);
        auto* workers = Control<QLineEdit>(dialog, 1126);
        EXPECT_EQ(workers->text(), "1");
        Retype(workers, QStringLiteral("32001"));
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        EXPECT_TRUE(dialog.isVisible() && dialog.result() != QDialog::Accepted);
        EXPECT_EQ(sheet.GetActiveIndex(), 1);
        EXPECT_EQ(dialog.focusWidget(), workers) << "the refused field has the focus";
        EXPECT_EQ(Dword("", "Workers"), 1u) << "nothing is written while the page refuses";
        Retype(workers, QStringLiteral("2"));
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
    });
    EXPECT_EQ(settings.Run(), 1);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Please enter an integer between 0 and 32000.");
    EXPECT_EQ(Dword("", "Workers"), 2u);
}

TEST_F(SettingsPagesTest, OnlyANestedOkThenTheOuterOkSavesAndOnlyANestedOkCarriesTheRestart)
{
    struct Case {
        int button; // the designed number of the Servers page button
        bool nestedOk;
        bool markRestart;
        bool outerOk;
        bool saved;  // the edit reached the registry
        int restart; // what the settings sheet answered
    };
    const Case cases[] = {
        {1062, false, true, true, false, 0}, {1062, true, true, false, false, 0},
        {1062, true, true, true, true, 1},   {1063, false, true, true, false, 0},
        {1063, true, true, false, false, 0}, {1063, true, false, true, true, 0},
        {1063, true, true, true, true, 1},   {1064, false, true, true, false, 0},
        {1064, true, true, false, false, 0}, {1064, true, true, true, true, 1},
    };
    int number = 9000;
    for (const Case& c : cases) {
        const std::string typed = std::to_string(++number);
        SCOPED_TRACE("button " + std::to_string(c.button) + " nested " + (c.nestedOk ? "OK" : "Cancel") +
                     (c.markRestart ? " restart" : "") + ", outer " + (c.outerOk ? "OK" : "Cancel"));
        CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
        settings.Load();
        CSettingsWork& work = settings.Work();
        settings.Sheet().AddPage(std::make_unique<CServersPage>(work.http, work.chat, work.proxy, EditPages()));
        runner.steps.push_back([&](QDialog&) {
            QTest::mouseClick(Control<QPushButton>(settings.Sheet(), c.button), Qt::LeftButton);
            QPushButton* end = c.outerOk ? settings.Sheet().OkButton() : settings.Sheet().CancelButton();
            QTest::mouseClick(end, Qt::LeftButton);
        });
        runner.steps.push_back([&](QDialog& nested) {
            Retype(Find<QLineEdit>(nested, "entry"), QString::fromStdString(typed));
            Find<QCheckBox>(nested, "needsRestart")->setChecked(c.markRestart);
            QTest::mouseClick(Find<QPushButton>(nested, "add"), Qt::LeftButton);
            auto& sheet = static_cast<CPropertySheetPlus&>(nested);
            QTest::mouseClick(c.nestedOk ? sheet.OkButton() : sheet.CancelButton(), Qt::LeftButton);
        });
        EXPECT_EQ(settings.Run(), c.restart);
        EXPECT_EQ(runner.unscripted, 0);
        EXPECT_TRUE(boxes.shown.empty());

        std::string initMacro;
        platform::RegistryKey key;
        if (m_product.Open("HTTP", key) == platform::kErrorSuccess)
            key.QueryString("InitMacro", initMacro);
        platform::RegistryKey room;
        const bool saved = initMacro == typed || Dword("HTTPProxy", "Port") == std::stoul(typed) ||
                           m_product.Open("ChatRoom\\Rooms\\" + typed, room) == platform::kErrorSuccess;
        EXPECT_EQ(saved, c.saved);
    }
}

} // namespace

// The shared pages each family's nested sheet carries, in the designed order.
TEST_F(SettingsPagesTest, EachFamilysNestedSheetGetsTheSharedPagesInOrder)
{
    InitMacroLibrary(); // as the program's start does: configurations get their strings scope
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    CSettingsWork& work = settings.Work();
    CNestedSheetPages pages = DefaultNestedSheetPages();
    auto titles = [](auto& makers, auto& copy) {
        QStringList shown;
        for (auto& make : makers)
            if (std::unique_ptr<CPropertyPage> page = make(copy))
                shown << page->Title();
        return shown.join(QLatin1Char(',')).toStdString();
    };
    struct Row {
        const char* family;
        std::string shown;
        const char* designed;
    };
    const Row rows[] = {
        {"http", titles(pages.http, work.http),
         "HTTP,Users,Groups,Strings,Macros,Virtual Paths,MIME Types,MIME Icons,Redirections,CGI Extensions"},
        {"chat", titles(pages.chat, work.chat), "ChatRooms,Users,Groups,Strings,Macros"},
        {"proxy", titles(pages.proxy, work.proxy),
         "General,Users,Groups,Cache,Barred URLs,Allowed URLs,Uncached URLs,Cascade,Access Control,Strings,Macros,"
         "FTP Types,FTP Icons,Gopher Types,Gopher Icons"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.shown, row.designed) << row.family;
}

// Two entries in each list the sheets show, one of them long, so that the
// screenshots show the lists as a person sees them.
static void FillListsForScreenshots(CSettingsWork& work)
{
    const std::string longMask = "http://downloads.example.com/releases/nightly/velmora-*-linux-x86_64.tar.gz";
    CHTTPProxySettings& proxy = work.proxy;
    for (CRegNameSet* masks : {&proxy.GetNoServeList(), &proxy.GetServeList(), &proxy.GetNoCacheList()}) {
        masks->Add("*.example.org/*");
        masks->Add(longMask);
    }
    const std::string longType = "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
    for (CRegStringMap* types : {&proxy.GetFTPExtMappings(), &proxy.GetGopherMappings()}) {
        types->SetAt("txt", "text/plain");
        types->SetAt("docx", longType);
    }
    for (CRegStringMap* icons : {&proxy.GetFTPIcons(), &proxy.GetGopherIcons()}) {
        icons->SetAt("text/plain", "/icons/text.gif");
        icons->SetAt(longType, "/icons/office-documents/word-processing-document.gif");
    }
    for (CUserMap* users : {&work.users, &work.chat.GetUsers(), &proxy.GetUsers()}) {
        users->SetAt("alice", "pw");
        users->SetAt("maximilian.vandenberghe-oosterhout@accounts.example.com", "pw");
    }
    work.strings.SetStringMacro("copyright", "Example Inc.");
    work.strings.SetStringMacro("http-badurl", "<html><body><h1>Not here</h1>Nothing is served at %url% on this "
                                               "server.</body></html>");
    const std::pair<const char*, std::uint32_t> rooms[] = {
        {"Lobby", 8000}, {"The long evening discussion room of the Velmora users", 8001}};
    for (const auto& [name, port] : rooms) {
        CChatRoomConfig& room = work.chat.GetRooms().AddTail();
        auto service = std::make_shared<CServiceSettings>(*room.GetSettings());
        service->port = port;
        room.SetSettings(service);
        auto settings = std::make_shared<CChatRoomSettings>(*room.GetRoomSettings());
        settings->name = name;
        room.SetRoomSettings(settings);
    }
}

// Shows every page of sheet in turn: each reads cleanly at the sheet's
// opening size, none resizes it, its tab is in view while it is shown, and
// each is kept as the screenshot prefix-title.png. A sheet whose tabs fit
// one row shows every tab at once; one with more opens no wider than a
// screen comfortably shows and scrolls its tabs.
static void ExpectEveryPageReadsCleanly(CPropertySheetPlus& sheet, const std::string& prefix, bool oneTabRow)
{
    // Beyond this a sheet no longer reads as one dialog on a common screen.
    constexpr int kSensibleSheetWidth = 1000;
    sheet.show();
    QApplication::processEvents();
    const QSize opening = sheet.size();
    EXPECT_LT(opening.width(), kSensibleSheetWidth);
    QTabBar* tabs = sheet.Tabs()->tabBar();
    EXPECT_EQ(tabs->usesScrollButtons(), !oneTabRow);
    if (oneTabRow) {
        EXPECT_LE(tabs->tabRect(tabs->count() - 1).right(), tabs->width()) << "every tab is in view";
    }
    for (int i = 0; i < sheet.GetPageCount(); ++i) {
        CPropertyPage* page = sheet.GetPage(i);
        const std::string title = page->Title().toStdString();
        // As a user reaches it: a click on its tab, after the arrows when the tabs scroll.
        ClickTab(sheet, title.c_str());
        EXPECT_TRUE(TabsShown(tabs).contains(tabs->tabRect(i))) << "the tab of " << title << " is in view";
        EXPECT_EQ(ReadingFault(*page), "") << title;
        EXPECT_EQ(sheet.size(), opening) << "showing " << title << " resized the sheet";
        std::string name = prefix + "-" + page->Title().toLower().toStdString();
        std::replace(name.begin(), name.end(), ' ', '-');
        std::filesystem::path file = ArtefactPath(name + ".png");
        EXPECT_TRUE(sheet.grab().save(QString::fromStdString(file.string()))) << file;
    }
    sheet.hide();
}

TEST_F(SettingsPagesTest, EveryPageReadsCleanlyAtTheSheetsOpeningSize)
{
    InitMacroLibrary();
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    FillListsForScreenshots(settings.Work());
    settings.AddStandardPages();
    ExpectEveryPageReadsCleanly(settings.Sheet(), "sheet", true);
}

// The global HTTP sheet and one server's sheet, every page of each.
TEST_F(SettingsPagesTest, BothHTTPSheetsReadCleanlyOnEveryPage)
{
    InitMacroLibrary();
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    {
        CPropertySheetPlus global(LoadQString(2078), nullptr);
        for (auto& make : DefaultNestedSheetPages().http)
            if (std::unique_ptr<CPropertyPage> page = make(settings.Work().http))
                global.AddPage(std::move(page));
        EXPECT_EQ(global.GetPageCount(), 10);
        ExpectEveryPageReadsCleanly(global, "global-http", true);
    }
    CHTTPServerConfig server;
    CPropertySheetPlus perServer(LoadQString(2063), nullptr);
    for (auto& make : ServerSheetPages())
        if (std::unique_ptr<CPropertyPage> page = make(server, &settings.Work().http.GetServers()))
            perServer.AddPage(std::move(page));
    EXPECT_EQ(perServer.GetPageCount(), 15);
    ExpectEveryPageReadsCleanly(perServer, "server", false);
}

// The global chat sheet, one room's sheet (its pages in their designed
// order) and the proxy sheet, every page of each.
TEST_F(SettingsPagesTest, ChatAndProxySheetsReadCleanlyOnEveryPage)
{
    InitMacroLibrary();
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    FillListsForScreenshots(settings.Work());
    {
        CPropertySheetPlus chat(LoadQString(2079), nullptr);
        for (auto& make : DefaultNestedSheetPages().chat)
            if (std::unique_ptr<CPropertyPage> page = make(settings.Work().chat))
                chat.AddPage(std::move(page));
        ExpectEveryPageReadsCleanly(chat, "global-chat", true);
    }
    {
        CChatRoomConfig room;
        CPropertySheetPlus roomSheet(LoadQString(2076), nullptr);
        for (auto& make : RoomSheetPages())
            if (std::unique_ptr<CPropertyPage> page = make(room, &settings.Work().chat.GetRooms()))
                roomSheet.AddPage(std::move(page));
        QStringList titles;
        for (int i = 0; i < roomSheet.GetPageCount(); ++i)
            titles << roomSheet.GetPage(i)->Title();
        EXPECT_EQ(titles.join(QLatin1Char(',')), "General,SSL,Users,Groups,Strings,Macros,Access Control");
        ExpectEveryPageReadsCleanly(roomSheet, "room", true);
    }
    CPropertySheetPlus proxy(LoadQString(2077), nullptr);
    for (auto& make : DefaultNestedSheetPages().proxy)
        if (std::unique_ptr<CPropertyPage> page = make(settings.Work().proxy))
            proxy.AddPage(std::move(page));
    EXPECT_EQ(proxy.GetPageCount(), 15);
    ExpectEveryPageReadsCleanly(proxy, "proxy", false);
}
