#include "app/http/http_servers_page.h"

#include "ui_http_servers_page.h"

#include "app/kit/message_box.h"
#include "app/kit/nested_sheet.h"
#include "app/shared/access_control_page.h"
#include "app/shared/folder_check.h"
#include "config/config_lists.h"
#include "config/http_server_config.h"

QString ServerLine(const CHTTPServerConfig& config)
{
    auto service = config.GetSettings();
    return QStringLiteral("%1\t%2\t%3")
        .arg(service->port)
        .arg(QString::fromStdString(FormatBindAddress(service->address)))
        .arg(QString::fromStdString(config.GetHTTPSettings()->description));
}

CHTTPServersPage::CHTTPServersPage(CHTTPServerConfigList& servers, std::vector<ServerPageMaker> pages)
    : CPropertyPage(QStringLiteral("HTTP")), m_servers(servers), m_pages(std::move(pages))
{
}

CHTTPServersPage::~CHTTPServersPage() = default;

void CHTTPServersPage::SetupUi()
{
    m_ui = std::make_unique<Ui::HTTPServersPage>();
    m_ui->setupUi(this);
    m_list.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        for (const CHTTPServerConfig& server : m_servers)
            lines.push_back({ServerLine(server), ElementKey(server)});
        return lines;
    };
    m_list.onNew = [this] { return OnNew(); };
    m_list.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_list.onDelete = [this](const QString& key) { OnDelete(key); };
    m_list.SetTabStops({kServersListPortWidth, kServersListAddressWidth});
    m_list.Attach(m_ui->serversList, m_ui->newServerButton, m_ui->editServerButton, m_ui->deleteServerButton);
}

int CHTTPServersPage::RunServerSheet(CHTTPServerConfig& config, bool isNew)
{
    bool ok = EditInNestedSheet(*this, kServerSheetCaptionId, config,
                                [this, isNew](CPropertySheetPlus& sheet, CHTTPServerConfig& copy) {
                                    sheet.setProperty(kNewEntryProperty, isNew);
                                    for (const auto& make : m_pages)
                                        if (std::unique_ptr<CPropertyPage> page = make(copy, &m_servers))
                                            sheet.AddPage(std::move(page));
                                });
    return ok ? kIdOk : kIdCancel;
}

std::optional<QString> CHTTPServersPage::OnNew()
{
    CHTTPServerConfig config;
    CServiceSettings service = *config.GetSettings();
    service.port = 80;
    service.enabled = 1;
    service.address = 0;
    service.maxUsers = 50;
    service.useDNS = 0;
    service.connTimeout = 0;
    service.useSSL = 0;
    service.sslOnly = 0;
    service.sslPort = 443;
    config.SetSettings(std::make_shared<const CServiceSettings>(std::move(service)));
    CHTTPSettings http = *config.GetHTTPSettings();
    http.dirBrowsing = 1;
    http.cgiTimeout = 0;
    http.defaultFile = "default.html";
    http.rootDir = DefaultRootDir();
    config.SetHTTPSettings(std::make_shared<const CHTTPSettings>(std::move(http)));

    if (RunServerSheet(config, true) != kIdOk)
        return std::nullopt;
    CHTTPServerConfig& added = m_servers.AddTail(config);
    // A new server listens only after a restart, changed or not.
    SetRestart();
    return ElementKey(added);
}

std::optional<QString> CHTTPServersPage::OnEdit(const QString& key)
{
    CHTTPServerConfig* selected = FindElement(m_servers, key);
    if (!selected)
        return std::nullopt;
    CHTTPServerConfig copy(*selected);
    const std::size_t position = m_servers.PositionOf(selected);
    m_servers.Remove(selected);
    // Cancel puts the server back where it was: the list's order is the
    // order the servers start in.
    if (RunServerSheet(copy, false) != kIdOk)
        return ElementKey(m_servers.Insert(position, copy));
    return ElementKey(m_servers.AddTail(copy));
}

void CHTTPServersPage::OnDelete(const QString& key)
{
    if (CHTTPServerConfig* selected = FindElement(m_servers, key)) {
        m_servers.Remove(selected);
        SetRestart();
    }
}
