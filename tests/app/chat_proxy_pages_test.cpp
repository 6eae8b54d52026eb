// The chat-room pages and the proxy pages worked through their widgets: the
// designed messages word for word, the restart mark exactly when the
// servers could not take a change otherwise, a port refused whichever kind
// of server holds it, and lists left as the dialog's result says.

#include "app/chat/chat_rooms_page.h"
#include "config/chat_config.h"
#include "app/proxy/proxy_pages.h"
#include "app/shared/servers_page.h"
#include "app/proxy/url_list_page.h"
#include "config/config_lists.h"
#include "config/http_global_config.h"
#include "config/http_server_config.h"
#include "page_harness.h"

#include <QCheckBox>

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F; // 127.0.0.1
constexpr std::uint32_t kIntranet = 0x0201A8C0; // 192.168.1.2
const char* const kPortTaken = "Another service is assigned to this port and address.  Each service must have a unique "
                               "port and address.  Please choose a different port or address.";

// sslPort 0: no SSL.
template <class Config>
void SetService(Config& config, std::uint32_t port, std::uint32_t address, bool enabled = true,
                std::uint32_t sslPort = 0, const std::string& logFile = {})
{
    auto s = std::make_shared<CServiceSettings>(*config.GetSettings());
    s->port = port;
    s->address = address;
    s->enabled = enabled ? 1 : 0;
    s->useSSL = sslPort ? 1 : 0;
    s->sslPort = sslPort ? sslPort : 443;
    s->logFile = logFile;
    config.SetSettings(s);
}

CChatRoomConfig& Room(CChatRoomConfig& room, const std::string& name, std::uint32_t port, std::uint32_t address,
                      bool enabled = true, std::uint32_t sslPort = 0, const std::string& logFile = {})
{
    SetService(room, port, address, enabled, sslPort, logFile);
    auto r = std::make_shared<CChatRoomSettings>(*room.GetRoomSettings());
    r->name = name;
    room.SetRoomSettings(r);
    return room;
}

// Every value page of the room and proxy sheets in a sheet below a Servers
// page holding all three families: an HTTP server on 127.0.0.1:8080 and a
// disabled one on 9000, the proxy on all addresses at 8081, the room Lobby
// on 8000 (all addresses) with SSL on 8443, and the disabled room Attic on
// 8001. The room Den (8003) and the proxy are edited at the case's address.
TEST(ValuePages, DesignedMessagesPortsOfEveryKindAndTheRestartMark)
{
    struct Case {
        char page; // 'r' room General, 's' room SSL, 'g' proxy General, 'c' Cascade, 'k' Cache
        int field;
        const char* typed;
        std::uint32_t address;
        const char* message; // null: accepted
        int restart;
    };
    const char* const range = "Please enter an integer between 0 and 65535.";
    const char* const portRange = "Please enter an integer between 1 and 65535.";
    const char* const positive = "Please enter a positive integer.";
    const Case cases[] = {
        {'r', 1011, "Hall", kLoopback, nullptr, 0},
        {'r', 1001, "10", kLoopback, nullptr, 1},
        {'r', 1000, "70000", kLoopback, portRange, 0},
        {'r', 1005, "0", kLoopback, "Please enter an integer between 1 and 65535.", 0},
        {'r', 1009, "soon", kLoopback, positive, 0},
        {'r', 1007, "/VAR/log/Lobby.log", kLoopback,
         "Another service already has this log file.  Only one service can use a given log file.", 0},
        {'r', 1011, "LOBBY", kLoopback, "Another chatroom already has this name.  Please choose a unique name.", 0},
        {'r', 1000, "8000", kLoopback, kPortTaken, 0}, // Lobby's
        {'r', 1000, "8001", kLoopback, nullptr, 1},    // the disabled Attic's
        {'r', 1000, "8080", 0, kPortTaken, 0},         // the HTTP server's, all addresses
        {'r', 1000, "8080", kIntranet, nullptr, 1},    // ... at another address
        {'r', 1000, "8081", kIntranet, kPortTaken, 0}, // the proxy's
        {'r', 1000, "8443", kLoopback, kPortTaken, 0}, // Lobby's SSL port
        {'r', 1000, "9000", 0, nullptr, 1},            // the disabled server's
        {'s', 1000, "8443", 0, kPortTaken, 0},
        {'s', 1000, "8080", kLoopback, kPortTaken, 0},
        {'s', 1000, "8003", kLoopback, kPortTaken, 0}, // the room's own port
        {'s', 1000, "9443", kLoopback, nullptr, 1},
        {'g', 1000, "8080", 0, kPortTaken, 0},
        {'g', 1000, "8443", kLoopback, kPortTaken, 0},
        {'g', 1000, "80", kLoopback, nullptr, 1}, // a note, not a check
        {'g', 1007, "/var/log/proxy.log", 0, nullptr, 0},
        {'g', 1000, "abc", 0, "Please enter an integer.", 0},
        {'g', 1001, "-5", 0, range, 0},
        {'c', 1047, "squid.example", 0, nullptr, 0},
        {'c', 1003, "2121", 0, nullptr, 0},
        {'c', 1001, "-", 0, positive, 0},
        {'k', 1008, "/var/cache/velmora/", 0, nullptr, 1},
        {'k', 1001, "50", 0, nullptr, 1},
        {'k', 1004, "30", 0, nullptr, 1},
        {'k', 1005, "5", 0, nullptr, 0},
        {'k', 1001, "ten", 0, positive, 0},
        // Too large for 32 bits: refused, not stored as 4294967295.
        {'k', 1001, "99999999999", 0, "Please enter an integer between 0 and 2147483647.", 0},
        {'k', 1004, "99999999999", 0, "Please enter an integer between 0 and 2147483647.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, c.page) + " " + std::to_string(c.field) + " " + c.typed);
        CHTTPGlobalConfig http;
        SetService(http.GetServers().AddTail(), 8080, kLoopback);
        SetService(http.GetServers().AddTail(), 9000, 0, false);
        CChatGlobalConfig chat;
        Room(chat.GetRooms().AddTail(), "Lobby", 8000, 0, true, 8443, "/var/log/lobby.log");
        Room(chat.GetRooms().AddTail(), "Attic", 8001, kLoopback, false);
        CHTTPProxySettings proxy;
        SetService(proxy, 8081, 0);
        CServersPage servers(http, chat, proxy);

        // The pages edit copies, as the nested sheets hand them over.
        CHTTPProxySettings proxyCopy;
        proxyCopy = proxy;
        SetService(proxyCopy, 8081, c.address);
        CChatRoomConfigList rooms;
        for (const CChatRoomConfig& room : chat.GetRooms())
            rooms.AddTail(room);
        CChatRoomConfig room;
        Room(room, "Den", 8003, c.address);

        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        CPropertySheetPlus sheet(QStringLiteral("Settings"), &servers);
        if (c.page == 'g')
            sheet.AddPage(std::make_unique<CProxyGeneralPage>(proxyCopy));
        else if (c.page == 'c')
            sheet.AddPage(std::make_unique<CProxyCascadePage>(proxyCopy));
        else if (c.page == 'k')
            sheet.AddPage(std::make_unique<CProxyCachePage>(proxyCopy));
        else
            for (const RoomPageMaker& make : RoomSheetPages())
                if (std::unique_ptr<CPropertyPage> page = make(room, &rooms); sheet.GetPageCount() < 2)
                    sheet.AddPage(std::move(page));
        runner.steps.push_back([&](QDialog&) {
            if (c.page == 's') {
                ClickTab(sheet, "SSL");
                auto* useSSL = Control<QCheckBox>(*sheet.GetActivePage(), 1067);
                useSSL->setFocus();
                QTest::keyClick(useSSL, Qt::Key_Space);
            }
            Retype(Control<QLineEdit>(*sheet.GetActivePage(), c.field), QString::fromLatin1(c.typed));
            QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
            if (sheet.isVisible() && sheet.result() != QDialog::Accepted)
                sheet.CancelButton()->click();
        });
        EXPECT_EQ(sheet.DoModal(), c.message ? kIdCancel : kIdOk);
        ASSERT_EQ(boxes.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(boxes.shown[0].text, c.message);
        }
        EXPECT_EQ(sheet.m_bRestart, c.restart);
    }
}

TEST(ChatRoomsPage, NewEditAndDeleteKeepTheListAndMarkRestartsAsDesigned)
{
    struct Case {
        const char* name;
        int button; // 1139 New, 1140 Edit (Lobby), 1141 Delete (Lobby)
        int field;  // a General field to retype (0: none)
        const char* typed;
        bool ok;
        std::vector<std::string> order; // the rooms afterwards, in list order
        int restart;
    };
    const Case cases[] = {
        {"new, cancelled", 1139, 0, nullptr, false, {"Lobby", "Attic", "Cellar"}, 0},
        {"new", 1139, 0, nullptr, true, {"Lobby", "Attic", "Cellar", "Chat Room"}, 1},
        {"edit, cancelled", 1140, 1011, "Hall", false, {"Lobby", "Attic", "Cellar"}, 0},
        {"edit, unchanged", 1140, 0, nullptr, true, {"Attic", "Cellar", "Lobby"}, 0},
        {"edit, port", 1140, 1000, "8020", true, {"Attic", "Cellar", "Lobby"}, 1},
        {"delete", 1141, 0, nullptr, false, {"Attic", "Cellar"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CChatRoomConfigList rooms;
        Room(rooms.AddTail(), "Lobby", 8000, 0);
        Room(rooms.AddTail(), "Attic", 8010, 0);
        Room(rooms.AddTail(), "Cellar", 8005, 0);
        PageHarness<CChatRoomsPage> h(std::make_unique<CChatRoomsPage>(rooms));
        auto* list = Control<QListWidget>(*h.page, 1012);
        ASSERT_EQ(Lines(list), (std::vector<std::string>{"Attic", "Cellar", "Lobby"})) << "sorted by name";
        SelectLine(list, "Lobby");
        if (c.button != 1141) {
            h.runner.steps.push_back([&](QDialog& dialog) {
                auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
                EXPECT_EQ(sheet.windowTitle(), "ChatRoom Settings");
                if (c.button == 1139) {
                    // One above the highest port, and its SSL port 500 higher.
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
        std::vector<std::string> order;
        for (const CChatRoomConfig& room : rooms)
            order.push_back(room.GetRoomSettings()->name);
        EXPECT_EQ(order, c.order);
        EXPECT_EQ(h.sheet.m_bRestart, c.restart);
    }
}

TEST(URLListPage, MasksKeepTheirOrderAndCancelLeavesTheListAsItWas)
{
    struct Case {
        const char* name;
        int button;        // 1155 New, 1156 Edit, 1157 Delete
        int row;           // the row selected first
        const char* typed; // into the URL Mask dialog (null: nothing)
        bool ok;
        std::vector<std::string> masks;
    };
    const std::string longest(260, 'a');
    const std::string tooLong = longest + "a";
    const Case cases[] = {
        {"new", 1155, 0, "http://*.Example.com/*", true, {"a*", "b*", "c*", "http://*.example.com/*"}},
        {"new, a duplicate", 1155, 0, "b*", true, {"a*", "b*", "c*", "b*"}},
        {"new, typed too long", 1155, 0, tooLong.c_str(), true, {"a*", "b*", "c*", longest}},
        {"new, cancelled", 1155, 0, "x*", false, {"a*", "b*", "c*"}},
        {"new, empty", 1155, 0, "", true, {"a*", "b*", "c*"}},
        {"edit first, cancelled", 1156, 0, "z*", false, {"a*", "b*", "c*"}},
        {"edit first", 1156, 0, "z*", true, {"b*", "c*", "z*"}},
        {"delete second", 1157, 1, nullptr, false, {"a*", "c*"}},
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
        if (c.typed)
            h.runner.steps.push_back([&](QDialog& dialog) {
                EXPECT_EQ(dialog.windowTitle(), "URL Mask");
                if (&c == &cases[0]) {
                    EXPECT_EQ(ReadingFault(dialog), "");
                    SaveScreenshot(dialog, "url_mask_dialog");
                }
                auto* edit = Control<QLineEdit>(dialog, 1060);
                if (c.button == 1156) {
                    EXPECT_EQ(edit->text(), "a*");
                }
                Retype(edit, QString::fromStdString(c.typed));
                QTest::mouseClick(Control<QPushButton>(dialog, c.ok ? 1 : 2), Qt::LeftButton);
            });
        Click(*h.page, c.button);
        if (std::string(c.name) == "new, empty") {
            ASSERT_EQ(h.boxes.shown.size(), 1u);
            EXPECT_EQ(h.boxes.shown[0].text, "Please enter a URL mask.");
        } else {
            EXPECT_TRUE(h.boxes.shown.empty());
        }
        EXPECT_EQ(masks.GetEntries(), c.masks);
        EXPECT_EQ(Lines(list), c.masks);
        EXPECT_EQ(h.sheet.m_bRestart, 0) << "the proxy reads its lists at each request";
    }
}

} // namespace
