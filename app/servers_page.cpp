#include "app/servers_page.h"

#include "ui_servers_page.h"

#include "app/message_box.h"
#include "app/property_sheet_plus.h"
#include "app/server_family_copy.h"
#include "config/chat_config.h"
#include "config/http_global_config.h"
#include "proxy/proxy_settings.h"

namespace {

constexpr unsigned kCaptionProxy = 2077;
constexpr unsigned kCaptionHTTP = 2078;
constexpr unsigned kCaptionChat = 2079;

} // namespace

CServersPage::CServersPage(CHTTPGlobalConfig& http, CChatGlobalConfig& chat, CHTTPProxySettings& proxy,
                           CNestedSheetPages pages)
    : CPropertyPage(QStringLiteral("Servers")), m_http(http), m_chat(chat), m_proxy(proxy), m_pages(std::move(pages))
{
}

CServersPage::~CServersPage() = default;

void CServersPage::SetupUi()
{
    m_ui = std::make_unique<Ui::ServersPage>();
    m_ui->setupUi(this);
    connect(m_ui->button1062, &QPushButton::clicked, this, &CServersPage::OnHTTPServers);
    connect(m_ui->button1063, &QPushButton::clicked, this, &CServersPage::OnChatRooms);
    connect(m_ui->button1064, &QPushButton::clicked, this, &CServersPage::OnProxy);
}

template <class Config>
bool CServersPage::RunNestedSheet(unsigned captionId, const std::vector<NestedPageMaker<Config>>& makers,
                                  Config& copy)
{
    CPropertySheetPlus sheet(captionId, this);
    for (const auto& make : makers)
        if (std::unique_ptr<CPropertyPage> page = make(copy))
            sheet.AddPage(std::move(page));
    if (sheet.DoModal() != kIdOk)
        return false;
    if (sheet.m_bRestart)
        SetRestart();
    return true;
}

void CServersPage::OnHTTPServers()
{
    CHTTPGlobalConfig copy;
    CopyHTTPGlobalConfig(copy, m_http);
    if (RunNestedSheet(kCaptionHTTP, m_pages.http, copy))
        CopyHTTPGlobalConfig(m_http, copy);
}

void CServersPage::OnChatRooms()
{
    CChatGlobalConfig copy;
    CopyChatGlobalConfig(copy, m_chat);
    if (RunNestedSheet(kCaptionChat, m_pages.chat, copy))
        CopyChatGlobalConfig(m_chat, copy);
}

void CServersPage::OnProxy()
{
    CHTTPProxySettings copy;
    CopyProxySettings(copy, m_proxy);
    if (RunNestedSheet(kCaptionProxy, m_pages.proxy, copy))
        CopyProxySettings(m_proxy, copy);
}
