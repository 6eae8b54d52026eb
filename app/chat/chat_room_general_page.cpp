#include "app/chat/chat_room_general_page.h"

#include "ui_chat_room_general_page.h"

#include "app/http/http_general_page.h"
#include "app/http/logging_page.h"
#include "app/shared/listening_ports.h"
#include "app/kit/message_box.h"
#include "config/config_lists.h"

namespace {

// A room's line count sizes its heap; at least one line.
constexpr std::uint32_t kMinRoomLines = 1;

} // namespace

CChatRoomGeneralPage::CChatRoomGeneralPage(CChatRoomConfig& config, CChatRoomConfigList* rooms)
    : CPropertyPage(QStringLiteral("General")), m_config(config), m_rooms(rooms)
{
}

CChatRoomGeneralPage::~CChatRoomGeneralPage() = default;

void CChatRoomGeneralPage::SetupUi()
{
    m_ui = std::make_unique<Ui::ChatRoomGeneralPage>();
    m_ui->setupUi(this);
    m_ui->portSpin->SetBuddy(m_ui->portEdit);
    m_ui->timeoutSpin->SetBuddy(m_ui->timeoutEdit);
    m_ui->maxLinesSpin->SetBuddy(m_ui->maxLinesEdit);
    m_ui->maxUsersSpin->SetBuddy(m_ui->maxUsersEdit);
    m_ui->connTimeoutSpin->SetBuddy(m_ui->connTimeoutEdit);
}

bool CChatRoomGeneralPage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_ui->portSpin->SetRange(kMinListeningPort, kGeneralSpinUpper);
    for (CSpinButton* spin : {m_ui->timeoutSpin, m_ui->maxUsersSpin, m_ui->connTimeoutSpin})
        spin->SetRange(0, kGeneralSpinUpper);
    m_ui->maxLinesSpin->SetRange(1, kGeneralSpinUpper);
    return result;
}

void CChatRoomGeneralPage::DoDataExchange(CDataExchange& dx)
{
    CServiceSettings service = *m_config.GetSettings();
    CChatRoomSettings room = *m_config.GetRoomSettings();

    dx.Text(m_ui->maxLinesEdit, room.lines);
    dx.MinMaxUInt(room.lines, kMinRoomLines, kMaxGeneralValue);
    dx.Check(m_ui->enableRoomCheck, service.enabled);
    dx.Text(m_ui->logFileEdit, service.logFile);
    dx.MaxChars(service.logFile, kMaxServerPathChars);
    dx.Text(m_ui->nameEdit, room.name);
    dx.MaxChars(room.name, kMaxServerPathChars);
    // Typed as signed numbers, as on the HTTP server's page.
    auto port = static_cast<std::int32_t>(service.port);
    dx.Text(m_ui->portEdit, port);
    dx.MinMaxInt(port, kMinListeningPort, static_cast<std::int32_t>(kMaxGeneralValue));
    service.port = static_cast<std::uint32_t>(port);
    dx.Text(m_ui->descriptionEdit, room.description);
    dx.Text(m_ui->timeoutEdit, room.timeout);
    dx.MinMaxUInt(room.timeout, 0, kMaxGeneralValue);
    dx.Check(m_ui->hideRoomCheck, room.hideRoom);
    dx.Check(m_ui->useDNSCheck, service.useDNS);
    dx.Check(m_ui->useFibersCheck, service.useFibers);
    auto maxUsers = static_cast<std::int32_t>(service.maxUsers);
    dx.Text(m_ui->maxUsersEdit, maxUsers);
    dx.MinMaxInt(maxUsers, 0, static_cast<std::int32_t>(kMaxGeneralValue));
    service.maxUsers = static_cast<std::uint32_t>(maxUsers);
    dx.Text(m_ui->connTimeoutEdit, service.connTimeout);

    if (!dx.m_bSaveAndValidate) {
        m_snapshot = m_config;
        return;
    }
    const std::string logFile = service.logFile;
    const std::string name = room.name;
    const std::uint32_t address = service.address;
    m_config.SetSettings(std::make_shared<const CServiceSettings>(std::move(service)));
    m_config.SetRoomSettings(std::make_shared<const CChatRoomSettings>(std::move(room)));

    auto refuse = [&](QWidget* control, unsigned id) {
        dx.PrepareControl(control);
        VelmoraMessageBox(this, id, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    };
    if (m_rooms && !logFile.empty() && m_rooms->FindByLogFile(logFile))
        refuse(m_ui->logFileEdit, kLogFileTakenStringId);
    if (m_rooms && m_rooms->FindByName(name))
        refuse(m_ui->nameEdit, kRoomNameTakenStringId);
    std::vector<CListeningSocket> rooms;
    if (m_rooms)
        AddListeningSockets(*m_rooms, rooms);
    if (PortInUse(this, ServerFamily::chat, std::move(rooms), static_cast<std::uint32_t>(port), address))
        refuse(m_ui->portEdit, kPortTakenStringId);
    if (m_config.NeedsRestart(m_snapshot))
        SetRestart();
}
