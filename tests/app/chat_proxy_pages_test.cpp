// The chat-room pages and the proxy pages worked through their widgets: the
// designed messages word for word, the restart mark exactly when the
// servers could not take a change otherwise, a port refused whichever kind
// of server holds it, and lists left as the dialog's result says.

#include "app/chat_room_general_page.h"
#include "app/chat_rooms_page.h"
#include "app/proxy_pages.h"
#include "app/servers_page.h"
#include "app/url_list_page.h"
#include "config/chat_config.h"
#include "config/config_lists.h"
#include "config/http_global_config.h"
#include "config/http_server_config.h"
#include "page_harness.h"
#include "proxy/proxy_settings.h"

#include <QCheckBox>

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F; // 127.0.0.1
constexpr std::uint32_t kIntranet = 0x0201A8C0; // 192.168.1.2
const char* const kPortTaken = "Another service is assigned to this port and address.  Each service must have a unique "
                               "port and address.  Please choose a different port or address.";
const char* const kLogTaken =
    "Another service already has this log file.  Only one service can use a given log file.";
const char* const kNameTaken = "Another chatroom already has this name.  Please choose a unique name.";

template <class Config>
void SetService(Config& config, std::uint32_t port, std::uint32_t address, bool enabled = true,
                std::uint32_t sslPort = 0)
{
    auto s = std::make_shared<CServiceSettings>(*config.GetSettings());
    s->port = port;
    s->address = address;
    s->enabled = enabled ? 1 : 0;
    s->useSSL = sslPort ? 1 : 0;
    s->sslPort = sslPort ? sslPort : 443;
    config.SetSettings(s);
}

void SetRoom(CChatRoomConfig& room, const std::string& name, std::uint32_t port, std::uint32_t address,
             bool enabled = true, const std::string& logFile = {}, std::uint32_t sslPort = 0)
{
    SetService(room, port, address, enabled, sslPort);
    auto s = std::make_shared<CServiceSettings>(*room.GetSettings());
    s->logFile = logFile;
    room.SetSettings(s);
    auto r = std::make_shared<CChatRoomSettings>(*room.GetRoomSettings());
    r->name = name;
    room.SetRoomSettings(r);
}

std::vector<std::string> RoomNames(const CChatRoomConfigList& rooms)
{
    std::vector<std::string> names;
    for (const CChatRoomConfig& room : rooms)
        names.push_back(room.GetRoomSettings()->name);
    return names;
}

struct Outcome {
    int result = 0;
    std::vector<ShownMessage> shown;
    int restart = 0;
};

// A sheet (a child of parent, as a nested sheet is) of the pages made by
// make; work acts on the shown sheet, then OK is pressed, and a refused OK
// is cancelled.
Outcome RunSheet(QWidget* parent, const std::function<void(CPropertySheetPlus&)>& make,
                 const std::function<void(CPropertySheetPlus&)>& work)
{
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CPropertySheetPlus sheet(QStringLiteral("Settings"), parent);
    make(sheet);
    runner.steps.push_back([&](QDialog&) {
        work(sheet);
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        if (sheet.isVisible() && sheet.result() != QDialog::Accepted)
            sheet.CancelButton()->click();
    });
    Outcome out;
    out.result = sheet.DoModal();
    out.shown = boxes.shown;
    out.restart = sheet.m_bRestart;
    return out;
}

TEST(ChatRoomGeneralPage, TypedValuesClashesWithOtherRoomsAndTheRestartMark)
{
    struct Case {
        int field;
        const char* typed;
        const char* message; // null: accepted
        int restart;
    };
    const Case cases[] = {
        {0, nullptr, nullptr, 0},
        {1011, "Hall", nullptr, 0},
        {1012, "Quiet talk", nullptr, 0},
        {1009, "600", nullptr, 0},
        {1005, "200", nullptr, 0},
        {1001, "10", nullptr, 1},
        {1000, "8005", nullptr, 1},
        {1005, "0", "Please enter an integer between 1 and 65535.", 0},
        {1000, "70000", "Please enter an integer between 0 and 65535.", 0},
        {1009, "soon", "Please enter a positive integer.", 0},
        {1007, "/VAR/log/Lobby.log", kLogTaken, 0},
        {1011, "LOBBY", kNameTaken, 0},
        // Lobby listens on 8000 at all addresses, the disabled Attic on 8001.
        {1000, "8000", kPortTaken, 0},
        {1000, "8001", nullptr, 1},
        {1007, "", nullptr, 0}, // rooms without a log file do not clash
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.field) + " " + (c.typed ? c.typed : ""));
        CChatRoomConfigList others;
        SetRoom(others.AddTail(), "Lobby", 8000, 0, true, "/var/log/lobby.log");
        SetRoom(others.AddTail(), "Attic", 8001, kLoopback, false);
        SetRoom(others.AddTail(), "Cellar", 8002, kLoopback, true);
        CChatRoomConfig room;
        SetRoom(room, "Den", 8003, kLoopback);
        Outcome out = RunSheet(
            nullptr, [&](CPropertySheetPlus& s) { s.AddPage(std::make_unique<CChatRoomGeneralPage>(room, &others)); },
            [&](CPropertySheetPlus& s) {
                EXPECT_EQ(Control<QLineEdit>(s, 1011)->text(), "Den");
                if (c.field)
                    Retype(Control<QLineEdit>(s, c.field), QString::fromLatin1(c.typed));
            });
        EXPECT_EQ(out.result, c.message ? kIdCancel : kIdOk);
        ASSERT_EQ(out.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(out.shown[0].text, c.message);
        }
        EXPECT_EQ(out.restart, c.restart);
        if (!c.message && c.field == 1011) {
            EXPECT_EQ(room.GetRoomSettings()->name, c.typed) << "published to the working copy";
        }
    }
}

// A room's port and SSL port, and the proxy's port, against every enabled
// server of every kind: an HTTP server on 127.0.0.1:8080, the proxy on all
// addresses at 8081, the room Lobby on 8000 with SSL on 8443, a disabled
// HTTP server on 9000.
TEST(ServerPorts, APortAnyEnabledServerHoldsIsRefusedWhateverItsKind)
{
    struct Case {
        const char* name;
        const char* page; // "room", "ssl" or "proxy"
        const char* typed;
        std::uint32_t address; // the edited server's address
        bool taken;
    };
    const Case cases[] = {
        {"room on the HTTP server's port, all addresses", "room", "8080", 0, true},
        {"room on the HTTP server's port and address", "room", "8080", kLoopback, true},
        {"room on the HTTP server's port elsewhere", "room", "8080", kIntranet, false},
        {"room on the proxy's port", "room", "8081", kIntranet, true},
        {"room on another room's SSL port", "room", "8443", kLoopback, true},
        {"room on a disabled server's port", "room", "9000", 0, false},
        {"SSL port of another room", "ssl", "8443", 0, true},
        {"SSL port of the HTTP server", "ssl", "8080", kLoopback, true},
        {"SSL port of the proxy", "ssl", "8081", kLoopback, true},
        {"SSL port equal to the room's own port", "ssl", "8003", kLoopback, true},
        {"SSL port free", "ssl", "9443", kLoopback, false},
        {"proxy on the HTTP server's port", "proxy", "8080", 0, true},
        {"proxy on a room's port", "proxy", "8000", kLoopback, true},
        {"proxy on a room's SSL port", "proxy", "8443", kLoopback, true},
        {"proxy on a disabled server's port", "proxy", "9000", 0, false},
        {"proxy of its own, unchanged", "proxy", "8081", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CHTTPGlobalConfig http;
        SetService(http.GetServers().AddTail(), 8080, kLoopback);
        SetService(http.GetServers().AddTail(), 9000, 0, false);
        CChatGlobalConfig chat;
        SetRoom(chat.GetRooms().AddTail(), "Lobby", 8000, 0, true, {}, 8443);
        CHTTPProxySettings proxy;
        SetService(proxy, 8081, 0);
        CServersPage servers(http, chat, proxy);

        Outcome out;
        if (std::string(c.page) == "proxy") {
            CHTTPProxySettings edited;
            edited = proxy;
            SetService(edited, 8081, c.address);
            out = RunSheet(
                &servers, [&](CPropertySheetPlus& s) { s.AddPage(std::make_unique<CProxyGeneralPage>(edited)); },
                [&](CPropertySheetPlus& s) { Retype(Control<QLineEdit>(s, 1000), QString::fromLatin1(c.typed)); });
        } else {
            // The room sheet edits a copy of the chat family, as the global
            // chat sheet hands it over.
            CChatRoomConfigList rooms;
            rooms.AddTail(*chat.GetRooms().begin());
            CChatRoomConfig room;
            SetRoom(room, "Den", 8003, c.address);
            const bool ssl = std::string(c.page) == "ssl";
            out = RunSheet(
                &servers,
                [&](CPropertySheetPlus& s) {
                    for (const RoomPageMaker& make : RoomSheetPages())
                        if (s.GetPageCount() < 2)
                            s.AddPage(make(room, &rooms));
                },
                [&](CPropertySheetPlus& s) {
                    if (ssl) {
                        ClickTab(s, "SSL");
                        auto* useSSL = Control<QCheckBox>(*s.GetActivePage(), 1067);
                        useSSL->setFocus();
                        QTest::keyClick(useSSL, Qt::Key_Space);
                        EXPECT_TRUE(useSSL->isChecked());
                    }
                    Retype(Control<QLineEdit>(*s.GetActivePage(), 1000), QString::fromLatin1(c.typed));
                });
        }
        EXPECT_EQ(out.result, c.taken ? kIdCancel : kIdOk);
        ASSERT_EQ(out.shown.size(), c.taken ? 1u : 0u);
        if (c.taken) {
            EXPECT_EQ(out.shown[0].text, kPortTaken);
        }
    }
}

struct RoomsCase {
    const char* name;
    int button;        // 1139 New, 1140 Edit, 1141 Delete
    int field;         // a General field to retype in the room's sheet (0: none)
    const char* typed;
    bool ok;           // the room's sheet ends with OK
    std::vector<std::string> order; // the rooms afterwards, in list order
    int restart;
};

TEST(ChatRoomsPage, NewEditAndDeleteKeepTheListAndMarkRestartsAsDesigned)
{
    const RoomsCase cases[] = {
        {"new, cancelled", 1139, 0, nullptr, false, {"Lobby", "Attic", "Cellar"}, 0},
        {"new", 1139, 0, nullptr, true, {"Lobby", "Attic", "Cellar", "Chat Room"}, 1},
        {"edit, cancelled", 1140, 1011, "Hall", false, {"Lobby", "Attic", "Cellar"}, 0},
        {"edit, unchanged", 1140, 0, nullptr, true, {"Attic", "Cellar", "Lobby"}, 0},
        {"edit, name", 1140, 1011, "Hall", true, {"Attic", "Cellar", "Hall"}, 0},
        {"edit, port", 1140, 1000, "8020", true, {"Attic", "Cellar", "Lobby"}, 1},
        {"delete", 1141, 0, nullptr, false, {"Attic", "Cellar"}, 1},
    };
    for (const RoomsCase& c : cases) {
        SCOPED_TRACE(c.name);
        CChatRoomConfigList rooms;
        SetRoom(rooms.AddTail(), "Lobby", 8000, 0);
        SetRoom(rooms.AddTail(), "Attic", 8010, 0);
        SetRoom(rooms.AddTail(), "Cellar", 8005, 0);
        PageHarness<CChatRoomsPage> h(std::make_unique<CChatRoomsPage>(rooms));
        auto* list = Control<QListWidget>(*h.page, 1012);
        ASSERT_EQ(Lines(list), (std::vector<std::string>{"Attic", "Cellar", "Lobby"})) << "sorted by name";
        SelectLine(list, "Lobby");
        if (c.button != 1141) {
            h.runner.steps.push_back([&](QDialog& dialog) {
                auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
                EXPECT_EQ(sheet.windowTitle(), "ChatRoom Settings");
                if (c.button == 1139) {
                    // The next free port above the highest, and its SSL port 500 higher.
                    EXPECT_EQ(Control<QLineEdit>(dialog, 1000)->text(), "8011");
                    EXPECT_EQ(Control<QLineEdit>(dialog, 1005)->text(), "100");
                    EXPECT_EQ(Control<QLineEdit>(dialog, 1001)->text(), "15");
                    ClickTab(sheet, "SSL");
                    EXPECT_EQ(Control<QLineEdit>(*sheet.GetActivePage(), 1000)->text(), "8511");
                }
                if (c.field)
                    Retype(Control<QLineEdit>(dialog, c.field), QString::fromLatin1(c.typed));
                QTest::mouseClick(c.ok ? sheet.OkButton() : sheet.CancelButton(), Qt::LeftButton);
            });
        }
        Click(*h.page, c.button);
        EXPECT_EQ(h.runner.unscripted, 0);
        EXPECT_TRUE(h.boxes.shown.empty()) << "a room is never compared with itself";
        EXPECT_EQ(RoomNames(rooms), c.order);
        EXPECT_EQ(h.sheet.m_bRestart, c.restart);
    }
}

TEST(ProxyPages, EachValueReachesTheSettingsAndOnlyStartValuesAskForARestart)
{
    struct Case {
        const char* page;
        int field;
        const char* typed;
        const char* message; // null: accepted
        int restart;
    };
    const Case cases[] = {
        {"General", 1000, "8090", nullptr, 1},
        {"General", 1000, "80", nullptr, 1}, // a note, not a check
        {"General", 1007, "/var/log/proxy.log", nullptr, 0},
        {"General", 1001, "25", nullptr, 1},
        {"General", 1002, "120", nullptr, 0},
        {"General", 1000, "abc", "Please enter an integer.", 0},
        {"General", 1001, "-5", "Please enter an integer between 0 and 65535.", 0},
        {"General", 1001, "70000", "Please enter an integer between 0 and 65535.", 0},
        {"Cascade", 1047, "squid.example", nullptr, 0},
        {"Cascade", 1000, "3128", nullptr, 0},
        {"Cascade", 1049, "gopher.example", nullptr, 0},
        {"Cascade", 1003, "2121", nullptr, 0},
        {"Cache", 1008, "/var/cache/velmora/", nullptr, 1},
        {"Cache", 1001, "50", nullptr, 1},
        {"Cache", 1002, "3", nullptr, 1},
        {"Cache", 1061, "5", nullptr, 1},
        {"Cache", 1004, "30", nullptr, 1},
        {"Cache", 1005, "5", nullptr, 0},
        {"Cache", 1001, "ten", "Please enter a positive integer.", 0},
        {"Cascade", 1001, "-", "Please enter a positive integer.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.page) + " " + std::to_string(c.field) + " " + c.typed);
        CHTTPProxySettings settings;
        Outcome out = RunSheet(
            nullptr,
            [&](CPropertySheetPlus& s) {
                std::string page = c.page;
                if (page == "General")
                    s.AddPage(std::make_unique<CProxyGeneralPage>(settings));
                else if (page == "Cascade")
                    s.AddPage(std::make_unique<CProxyCascadePage>(settings));
                else
                    s.AddPage(std::make_unique<CProxyCachePage>(settings));
            },
            [&](CPropertySheetPlus& s) { Retype(Control<QLineEdit>(s, c.field), QString::fromLatin1(c.typed)); });
        EXPECT_EQ(out.result, c.message ? kIdCancel : kIdOk);
        ASSERT_EQ(out.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(out.shown[0].text, c.message);
        }
        EXPECT_EQ(out.restart, c.restart);
    }
    // The typed values land in their fields.
    CHTTPProxySettings settings;
    Outcome out = RunSheet(
        nullptr,
        [&](CPropertySheetPlus& s) {
            s.AddPage(std::make_unique<CProxyCascadePage>(settings));
            s.AddPage(std::make_unique<CProxyCachePage>(settings));
        },
        [&](CPropertySheetPlus& s) {
            Retype(Control<QLineEdit>(s, 1048), "tunnel.example");
            Retype(Control<QLineEdit>(s, 1001), "3129");
            ClickTab(s, "Cache");
            Retype(Control<QLineEdit>(*s.GetActivePage(), 1005), "0");
        });
    EXPECT_EQ(out.result, kIdOk);
    auto proxy = settings.GetProxySettings();
    EXPECT_EQ(proxy->securityProxyHost, "tunnel.example");
    EXPECT_EQ(proxy->securityProxyPort, 3129u);
    EXPECT_EQ(proxy->syncInterval, 0u);
    EXPECT_EQ(out.restart, 0);
}

TEST(URLListPage, MasksKeepTheirOrderAndCancelLeavesTheListAsItWas)
{
    struct Case {
        const char* name;
        int button;          // 1155 New, 1156 Edit, 1157 Delete
        int row;             // the row selected first
        const char* typed;   // typed into the URL Mask dialog (null: none)
        bool ok;
        std::vector<std::string> masks;
        const char* message; // a refusal shown by the dialog's OK
    };
    const std::string tooLong(261, 'a');
    const std::string longest(260, 'a');
    const Case cases[] = {
        {"new", 1155, 0, "http://*.Example.com/*", true, {"a*", "b*", "c*", "http://*.example.com/*"}, nullptr},
        {"new, a duplicate", 1155, 0, "b*", true, {"a*", "b*", "c*", "b*"}, nullptr},
        {"new, empty", 1155, 0, "", true, {"a*", "b*", "c*", ""}, nullptr},
        {"new, cancelled", 1155, 0, "x*", false, {"a*", "b*", "c*"}, nullptr},
        {"new, typed too long", 1155, 0, tooLong.c_str(), true, {"a*", "b*", "c*", longest}, nullptr},
        {"edit first, cancelled", 1156, 0, "z*", false, {"a*", "b*", "c*"}, nullptr},
        {"edit first", 1156, 0, "z*", true, {"b*", "c*", "z*"}, nullptr},
        {"edit last, unchanged", 1156, 2, nullptr, true, {"a*", "b*", "c*"}, nullptr},
        {"delete second", 1157, 1, nullptr, false, {"a*", "c*"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CRegNameSet masks;
        for (const char* mask : {"a*", "b*", "c*"})
            masks.Add(mask);
        PageHarness<CURLListPage> h(std::make_unique<CURLListPage>(kBarredURLsKind, masks));
        auto* list = Control<QListWidget>(*h.page, 1059);
        ASSERT_EQ(Lines(list), (std::vector<std::string>{"a*", "b*", "c*"})) << "in list order";
        list->setCurrentRow(c.row);
        if (c.button != 1157) {
            h.runner.steps.push_back([&](QDialog& dialog) {
                EXPECT_EQ(dialog.windowTitle(), "URL Mask");
                if (&c == &cases[0]) {
                    EXPECT_EQ(ReadingFault(dialog), "");
                    SaveScreenshot(dialog, "url_mask_dialog");
                }
                auto* edit = Control<QLineEdit>(dialog, 1060);
                if (c.button == 1156) {
                    EXPECT_EQ(edit->text().toStdString(), Lines(list)[static_cast<std::size_t>(c.row)]);
                }
                if (c.typed)
                    Retype(edit, QString::fromLatin1(c.typed));
                if (c.ok)
                    OkOrElseCancel(dialog);
                else
                    QTest::mouseClick(Control<QPushButton>(dialog, 2), Qt::LeftButton);
            });
        }
        Click(*h.page, c.button);
        EXPECT_EQ(h.runner.unscripted, 0);
        ASSERT_EQ(h.boxes.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(h.boxes.shown[0].text, c.message);
        }
        EXPECT_EQ(masks.GetEntries(), c.masks);
        EXPECT_EQ(Lines(list), c.masks);
        EXPECT_EQ(h.sheet.m_bRestart, 0) << "the proxy reads its lists at each request";
    }
}

} // namespace
