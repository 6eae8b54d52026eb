#include "app/shared/access_control_page.h"

#include "ui_access_control_page.h"
#include "ui_http_access_control_page.h"

#include "app/http/file_acl_dialog.h"
#include "app/kit/message_box.h"
#include "app/shared/edit_acl_dialog.h"
#include "config/http_server_config.h"
#include "platform/net.h"

#include <cstdio>

std::string FormatBindAddress(std::uint32_t address)
{
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address & 0xFF, (address >> 8) & 0xFF, (address >> 16) & 0xFF,
                  (address >> 24) & 0xFF);
    return text;
}

namespace {

// The reading inet_addr gives; the all-ones address is its failure value,
// so it is refused too.
bool ParseBindAddress(const std::string& text, std::uint32_t* address)
{
    return platform::ParseIPv4(text.c_str(), address) && *address != 0xFFFFFFFFu;
}

} // namespace

CAccessControlPage::CAccessControlPage(CServiceConfig& config, PublishSettings publish)
    : CPropertyPage(QStringLiteral("Access Control")), m_config(config), m_http(nullptr), m_publish(std::move(publish))
{
}

CAccessControlPage::CAccessControlPage(CHTTPServerConfig& config)
    : CPropertyPage(QStringLiteral("Access Control")), m_config(config), m_http(&config),
      m_publish([&config](std::shared_ptr<const CServiceSettings> settings) { config.SetSettings(std::move(settings)); })
{
}

CAccessControlPage::~CAccessControlPage() = default;

void CAccessControlPage::SetupUi()
{
    if (m_http) {
        auto form = std::make_shared<Ui::HTTPAccessControlPage>();
        form->setupUi(this);
        m_globalACL = form->globalACLButton;
        m_fileACLs = form->fileACLsButton;
        m_ipAddress = form->ipAddressEdit;
        m_traverseChecking = form->traverseCheckingCheck;
        m_form = form;
    } else {
        auto form = std::make_shared<Ui::AccessControlPage>();
        form->setupUi(this);
        m_globalACL = form->globalACLButton;
        m_ipAddress = form->ipAddressEdit;
        m_form = form;
    }
    connect(m_globalACL, &QPushButton::clicked, this, &CAccessControlPage::OnGlobalACL);
    if (m_fileACLs)
        connect(m_fileACLs, &QPushButton::clicked, this, &CAccessControlPage::OnFileACLs);
}

void CAccessControlPage::DoDataExchange(CDataExchange& dx)
{
    CServiceSettings service = *m_config.GetSettings();
    if (!dx.m_bSaveAndValidate)
        m_ipText = FormatBindAddress(service.address);
    std::shared_ptr<const CHTTPSettings> httpSettings = m_http ? m_http->GetHTTPSettings() : nullptr;
    std::uint32_t traverse = httpSettings ? httpSettings->traverseChecking : 0;
    if (m_traverseChecking)
        dx.Check(m_traverseChecking, traverse);
    dx.Text(m_ipAddress, m_ipText);
    dx.MaxChars(m_ipText, kMaxBindAddressChars);

    if (!dx.m_bSaveAndValidate) {
        m_snapshot = std::make_unique<CServiceConfig>(m_config);
        return;
    }
    if (m_http && traverse != httpSettings->traverseChecking) {
        CHTTPSettings http = *httpSettings;
        http.traverseChecking = traverse;
        m_http->SetHTTPSettings(std::make_shared<const CHTTPSettings>(std::move(http)));
    }
    std::uint32_t address = 0;
    if (!ParseBindAddress(m_ipText, &address)) {
        VelmoraMessageBox(this, kInvalidAddressStringId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
    if (address != service.address) {
        service.address = address;
        m_publish(std::make_shared<const CServiceSettings>(std::move(service)));
    }
    if (m_snapshot && m_config.NeedsRestart(*m_snapshot))
        SetRestart();
}

void CAccessControlPage::OnGlobalACL()
{
    CEditACLDialog edit(m_config.GetAccessList(), &m_config.GetUsers(), &m_config.GetGroups(), this);
    edit.DoModal();
}

void CAccessControlPage::OnFileACLs()
{
    if (!m_http)
        return;
    CFileACLDialog files(*m_http, &m_config.GetUsers(), &m_config.GetGroups(), this);
    files.DoModal();
}
