#include "app/shared/servers_page.h"

#include "ui_servers_page.h"

#include "app/kit/nested_sheet.h"
#include "app/shared/server_family_copy.h"
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
    connect(m_ui->httpServersButton, &QPushButton::clicked, this, &CServersPage::OnHTTPServers);
    connect(m_ui->chatRoomsButton, &QPushButton::clicked, this, &CServersPage::OnChatRooms);
    connect(m_ui->proxyButton, &QPushButton::clicked, this, &CServersPage::OnProxy);
}

namespace {

// The nested sheet's pages, each made on the working copy.
template <class Config>
auto PagesOn(const std::vector<NestedPageMaker<Config>>& makers)
{
    return [&makers](CPropertySheetPlus& sheet, Config& copy) {
        for (const auto& make : makers)
            if (std::unique_ptr<CPropertyPage> page = make(copy))
                sheet.AddPage(std::move(page));
    };
}

} // namespace

void CServersPage::OnHTTPServers()
{
    EditInNestedSheet(*this, kCaptionHTTP, m_http, CopyHTTPGlobalConfig, PagesOn(m_pages.http));
}

void CServersPage::OnChatRooms()
{
    EditInNestedSheet(*this, kCaptionChat, m_chat, CopyChatGlobalConfig, PagesOn(m_pages.chat));
}

void CServersPage::OnProxy()
{
    EditInNestedSheet(*this, kCaptionProxy, m_proxy, CopyProxySettings, PagesOn(m_pages.proxy));
}
