#include "app/http/http_general_page.h"

#include "ui_http_general_page.h"

#include "app/kit/message_box.h"
#include "app/shared/folder_check.h"
#include "app/shared/listening_ports.h"
#include "config/config_lists.h"

CHTTPGeneralPage::CHTTPGeneralPage(CHTTPServerConfig& config, CHTTPServerConfigList* servers)
    : CPropertyPage(QStringLiteral("General")), m_config(config), m_servers(servers)
{
}

CHTTPGeneralPage::~CHTTPGeneralPage() = default;

void CHTTPGeneralPage::SetupUi()
{
    m_ui = std::make_unique<Ui::HTTPGeneralPage>();
    m_ui->setupUi(this);
    m_ui->portSpin->SetBuddy(m_ui->portEdit);
    m_ui->maxUsersSpin->SetBuddy(m_ui->maxUsersEdit);
    m_ui->connTimeoutSpin->SetBuddy(m_ui->connTimeoutEdit);
    m_ui->cgiTimeoutSpin->SetBuddy(m_ui->cgiTimeoutEdit);
}

bool CHTTPGeneralPage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_ui->portSpin->SetRange(kMinListeningPort, kGeneralSpinUpper);
    for (CSpinButton* spin : {m_ui->maxUsersSpin, m_ui->connTimeoutSpin, m_ui->cgiTimeoutSpin})
        spin->SetRange(0, kGeneralSpinUpper);
    return result;
}

void CHTTPGeneralPage::DoDataExchange(CDataExchange& dx)
{
    // The values live in published snapshots: exchange copies, publish
    // them once every field has passed.
    CServiceSettings service = *m_config.GetSettings();
    CHTTPSettings http = *m_config.GetHTTPSettings();
    auto port = static_cast<std::int32_t>(service.port);
    auto maxUsers = static_cast<std::int32_t>(service.maxUsers);

    dx.Check(m_ui->enableServiceCheck, service.enabled);
    dx.Text(m_ui->portEdit, port);
    dx.MinMaxUInt(static_cast<std::uint32_t>(port), kMinListeningPort, kMaxGeneralValue);
    dx.Text(m_ui->descriptionEdit, http.description);
    dx.Text(m_ui->rootDirEdit, http.rootDir);
    dx.MaxChars(http.rootDir, kMaxServerPathChars);
    CheckFolderExists(dx, this, QStringLiteral("root directory"), http.rootDir, m_snapshot.GetHTTPSettings()->rootDir);
    dx.Check(m_ui->dirBrowsingCheck, http.dirBrowsing);
    dx.Check(m_ui->useDNSCheck, service.useDNS);
    dx.Text(m_ui->defaultFileEdit, http.defaultFile);
    dx.MaxChars(http.defaultFile, kMaxServerPathChars);
    dx.Text(m_ui->maxUsersEdit, maxUsers);
    dx.MinMaxUInt(static_cast<std::uint32_t>(maxUsers), 0, kMaxGeneralValue);
    dx.Text(m_ui->connTimeoutEdit, service.connTimeout);
    dx.MinMaxUInt(service.connTimeout, 0, kMaxGeneralValue);
    dx.Text(m_ui->cgiTimeoutEdit, http.cgiTimeout);
    dx.MinMaxUInt(http.cgiTimeout, 0, kMaxGeneralValue);

    if (!dx.m_bSaveAndValidate) {
        m_snapshot = m_config;
        return;
    }
    service.port = static_cast<std::uint32_t>(port);
    service.maxUsers = static_cast<std::uint32_t>(maxUsers);
    m_config.SetSettings(std::make_shared<const CServiceSettings>(std::move(service)));
    m_config.SetHTTPSettings(std::make_shared<const CHTTPSettings>(std::move(http)));

    auto settings = m_config.GetSettings();
    std::vector<CListeningSocket> servers;
    if (m_servers)
        AddListeningSockets(*m_servers, servers);
    if ((m_servers && m_servers->FindByPortAddress(settings->port, settings->address)) ||
        PortInUse(this, ServerFamily::http, std::move(servers), settings->port, settings->address)) {
        // The message is about the port: the retyped port goes there.
        dx.PrepareControl(m_ui->portEdit);
        VelmoraMessageBox(this, kPortTakenStringId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
    if (m_config.NeedsRestart(m_snapshot))
        SetRestart();
}
