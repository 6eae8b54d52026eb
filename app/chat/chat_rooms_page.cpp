#include "app/chat/chat_rooms_page.h"

#include "ui_chat_rooms_page.h"

#include "app/chat/chat_room_general_page.h"
#include "app/kit/message_box.h"
#include "app/kit/nested_sheet.h"
#include "app/shared/access_control_page.h"
#include "app/shared/groups_page.h"
#include "app/shared/service_pages.h"
#include "app/shared/users_page.h"
#include "config/chat_config.h"
#include "config/config_lists.h"
#include "resources/string_table.h"

#include <cstdint>

std::vector<RoomPageMaker> RoomSheetPages()
{
    std::vector<RoomPageMaker> pages;
    pages.push_back([](CChatRoomConfig& c, CChatRoomConfigList* others) {
        return std::make_unique<CChatRoomGeneralPage>(c, others);
    });
    pages.push_back([](CChatRoomConfig& c, CChatRoomConfigList* others) { return MakeServiceSSLPage(c, others, ServerFamily::chat); });
    pages.push_back([](CChatRoomConfig& c, CChatRoomConfigList*) { return std::make_unique<CUsersPage>(c.GetUsers()); });
    pages.push_back([](CChatRoomConfig& c, CChatRoomConfigList*) {
        return std::make_unique<CGroupsPage>(c.GetUsers(), c.GetGroups());
    });
    pages.push_back([](CChatRoomConfig& c, CChatRoomConfigList*) {
        return MakeServiceStringsPage(c, kChatDefaultStrings);
    });
    pages.push_back([](CChatRoomConfig& c, CChatRoomConfigList*) { return MakeServiceMacrosPage(c); });
    pages.push_back([](CChatRoomConfig& c, CChatRoomConfigList*) { return MakeAccessControlPage(c); });
    return pages;
}

CChatRoomsPage::CChatRoomsPage(CChatRoomConfigList& rooms, std::vector<RoomPageMaker> pages)
    : CPropertyPage(QStringLiteral("ChatRooms")), m_rooms(rooms), m_pages(std::move(pages))
{
}

CChatRoomsPage::~CChatRoomsPage() = default;

void CChatRoomsPage::SetupUi()
{
    m_ui = std::make_unique<Ui::ChatRoomsPage>();
    m_ui->setupUi(this);
    m_list.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        for (const CChatRoomConfig& room : m_rooms)
            lines.push_back({QString::fromStdString(room.GetRoomSettings()->name), ElementKey(room)});
        return lines;
    };
    m_list.onNew = [this] { return OnNew(); };
    m_list.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_list.onDelete = [this](const QString& key) { OnDelete(key); };
    m_list.Attach(m_ui->roomsList, m_ui->newRoomButton, m_ui->editRoomButton, m_ui->deleteRoomButton);
}

int CChatRoomsPage::RunRoomSheet(CChatRoomConfig& config)
{
    bool ok = EditInNestedSheet(*this, kRoomSheetCaptionId, config,
                                [this](CPropertySheetPlus& sheet, CChatRoomConfig& copy) {
                                    for (const auto& make : m_pages)
                                        if (std::unique_ptr<CPropertyPage> page = make(copy, &m_rooms))
                                            sheet.AddPage(std::move(page));
                                });
    return ok ? kIdOk : kIdCancel;
}

std::optional<QString> CChatRoomsPage::OnNew()
{
    CChatRoomConfig config;
    const std::uint32_t port = m_rooms.NextFreePort();
    CServiceSettings service = *config.GetSettings();
    service.port = port;
    service.enabled = 1;
    service.address = 0;
    service.maxUsers = 15;
    service.useDNS = 0;
    service.connTimeout = 0;
    service.useSSL = 0;
    service.sslOnly = 0;
    service.sslPort = port + kNewRoomSSLPortOffset;
    config.SetSettings(std::make_shared<const CServiceSettings>(std::move(service)));
    CChatRoomSettings room = *config.GetRoomSettings();
    room.lines = 100;
    room.timeout = 300;
    config.SetRoomSettings(std::make_shared<const CChatRoomSettings>(std::move(room)));

    if (RunRoomSheet(config) != kIdOk)
        return std::nullopt;
    CChatRoomConfig& added = m_rooms.AddTail(config);
    // A new room listens only after a restart.
    SetRestart();
    return ElementKey(added);
}

std::optional<QString> CChatRoomsPage::OnEdit(const QString& key)
{
    CChatRoomConfig* selected = FindElement(m_rooms, key);
    if (!selected)
        return std::nullopt;
    CChatRoomConfig copy(*selected);
    const std::size_t position = m_rooms.PositionOf(selected);
    m_rooms.Remove(selected);
    // Cancel puts the room back where it was, so its start order stays.
    if (RunRoomSheet(copy) != kIdOk)
        return ElementKey(m_rooms.Insert(position, copy));
    return ElementKey(m_rooms.AddTail(copy));
}

void CChatRoomsPage::OnDelete(const QString& key)
{
    if (CChatRoomConfig* selected = FindElement(m_rooms, key)) {
        m_rooms.Remove(selected);
        SetRestart();
    }
}
