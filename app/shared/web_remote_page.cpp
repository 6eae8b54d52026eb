#include "app/shared/web_remote_page.h"

#include "ui_web_remote_page.h"

#include "app/http/http_general_page.h"
#include "app/shared/folder_check.h"
#include "app/http/http_servers_page.h"
#include "app/shared/listening_ports.h"
#include "app/kit/message_box.h"
#include "app/kit/nested_sheet.h"

namespace {

// The Advanced sheet's pages are those of a server's own sheet, without
// General, Performance, Virtual Paths, MIME Icons, Redirections and CGI:
// their places in ServerSheetPages().
constexpr std::size_t kAdvancedPages[] = {1, 2, 4, 5, 6, 7, 8, 9, 11};

} // namespace

CWebRemotePage::CWebRemotePage(CHTTPServerConfig& config)
    : CPropertyPage(QStringLiteral("Web Remote")), m_config(config)
{
}

CWebRemotePage::~CWebRemotePage() = default;

void CWebRemotePage::SetupUi()
{
    m_ui = std::make_unique<Ui::WebRemotePage>();
    m_ui->setupUi(this);
    m_ui->portSpin->SetBuddy(m_ui->portEdit);
    m_ui->maxUsersSpin->SetBuddy(m_ui->maxUsersEdit);
    m_ui->connTimeoutSpin->SetBuddy(m_ui->connTimeoutEdit);
    connect(m_ui->advancedButton, &QPushButton::clicked, this, [this] { OnAdvanced(); });
}

bool CWebRemotePage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_ui->portSpin->SetRange(kMinListeningPort, kGeneralSpinUpper);
    for (CSpinButton* spin : {m_ui->maxUsersSpin, m_ui->connTimeoutSpin})
        spin->SetRange(0, kGeneralSpinUpper);
    return result;
}

void CWebRemotePage::DoDataExchange(CDataExchange& dx)
{
    // Exchange copies of the published snapshots; publish once all passed.
    CServiceSettings service = *m_config.GetSettings();
    CHTTPSettings http = *m_config.GetHTTPSettings();
    auto port = static_cast<std::int32_t>(service.port);
    auto maxUsers = static_cast<std::int32_t>(service.maxUsers);

    dx.Text(m_ui->portEdit, port);
    dx.MinMaxUInt(static_cast<std::uint32_t>(port), kMinListeningPort, kMaxGeneralValue);
    dx.Text(m_ui->rootDirEdit, http.rootDir);
    dx.MaxChars(http.rootDir, kMaxServerPathChars);
    CheckFolderExists(dx, this, QStringLiteral("root directory"), http.rootDir, m_snapshot.GetHTTPSettings()->rootDir);
    dx.Text(m_ui->descriptionEdit, http.description);
    dx.Check(m_ui->enableCheck, service.enabled);
    dx.Check(m_ui->dirBrowsingCheck, http.dirBrowsing);
    dx.Text(m_ui->defaultFileEdit, http.defaultFile);
    dx.MaxChars(http.defaultFile, kMaxServerPathChars);
    dx.Check(m_ui->useDNSCheck, service.useDNS);
    dx.Text(m_ui->maxUsersEdit, maxUsers);
    dx.MinMaxUInt(static_cast<std::uint32_t>(maxUsers), 0, kMaxGeneralValue);
    dx.Text(m_ui->connTimeoutEdit, service.connTimeout);
    dx.MinMaxUInt(service.connTimeout, 0, kMaxGeneralValue);

    if (!dx.m_bSaveAndValidate) {
        m_snapshot = m_config;
        return;
    }
    service.port = static_cast<std::uint32_t>(port);
    service.maxUsers = static_cast<std::uint32_t>(maxUsers);
    m_config.SetSettings(std::make_shared<const CServiceSettings>(std::move(service)));
    m_config.SetHTTPSettings(std::make_shared<const CHTTPSettings>(std::move(http)));
    if (m_config.NeedsRestart(m_snapshot))
        SetRestart();
}

int CWebRemotePage::OnAdvanced()
{
    std::vector<ServerPageMaker> makers = ServerSheetPages();
    bool ok = EditInNestedSheet(*this, kWebRemoteAdvancedCaptionId, m_config,
                                [&makers](CPropertySheetPlus& sheet, CHTTPServerConfig& copy) {
                                    for (std::size_t index : kAdvancedPages)
                                        if (index < makers.size())
                                            if (std::unique_ptr<CPropertyPage> page = makers[index](copy, nullptr))
                                                sheet.AddPage(std::move(page));
                                });
    return ok ? kIdOk : kIdCancel;
}

std::unique_ptr<CPropertyPage> MakeWebRemotePage(CHTTPServerConfig& config)
{
    return std::make_unique<CWebRemotePage>(config);
}
