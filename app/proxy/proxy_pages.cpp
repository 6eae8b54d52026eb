#include "app/proxy/proxy_pages.h"

#include "ui_proxy_cache_page.h"
#include "ui_proxy_cascade_page.h"
#include "ui_proxy_general_page.h"

#include "app/http/http_general_page.h"
#include "app/kit/message_box.h"
#include "app/shared/listening_ports.h"

namespace {

// The arrows of the file age and of the save and purge intervals start at
// 1; a typed 0 is still taken.
constexpr int kCacheIntervalSpinLower = 1;
// The largest size (megabytes) or interval (minutes) the Cache page takes:
// what a signed 32-bit count holds, far past any cache or interval in use.
constexpr std::uint32_t kMaxCacheValue = 2147483647;


} // namespace

CProxyGeneralPage::CProxyGeneralPage(CHTTPProxySettings& settings)
    : CPropertyPage(QStringLiteral("General")), m_settings(settings)
{
}

CProxyGeneralPage::~CProxyGeneralPage() = default;

void CProxyGeneralPage::SetupUi()
{
    m_ui = std::make_unique<Ui::ProxyGeneralPage>();
    m_ui->setupUi(this);
    m_ui->portSpin->SetBuddy(m_ui->portEdit);
    m_ui->maxUsersSpin->SetBuddy(m_ui->maxUsersEdit);
    m_ui->connTimeoutSpin->SetBuddy(m_ui->connTimeoutEdit);
}

bool CProxyGeneralPage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_ui->portSpin->SetRange(kMinListeningPort, kGeneralSpinUpper);
    for (CSpinButton* spin : {m_ui->maxUsersSpin, m_ui->connTimeoutSpin})
        spin->SetRange(0, kGeneralSpinUpper);
    return result;
}

void CProxyGeneralPage::DoDataExchange(CDataExchange& dx)
{
    CServiceSettings service = *m_settings.GetSettings();
    dx.Check(m_ui->enableProxyCheck, service.enabled);
    // Typed as signed numbers, as on the HTTP server's page.
    auto port = static_cast<std::int32_t>(service.port);
    dx.Text(m_ui->portEdit, port);
    dx.MinMaxInt(port, kMinListeningPort, static_cast<std::int32_t>(kMaxGeneralValue));
    service.port = static_cast<std::uint32_t>(port);
    dx.Text(m_ui->logFileEdit, service.logFile);
    dx.MaxChars(service.logFile, kMaxServerPathChars);
    dx.Check(m_ui->useDNSCheck, service.useDNS);
    auto maxUsers = static_cast<std::int32_t>(service.maxUsers);
    dx.Text(m_ui->maxUsersEdit, maxUsers);
    dx.MinMaxInt(maxUsers, 0, static_cast<std::int32_t>(kMaxGeneralValue));
    service.maxUsers = static_cast<std::uint32_t>(maxUsers);
    dx.Check(m_ui->useFibersCheck, service.useFibers);
    dx.Text(m_ui->connTimeoutEdit, service.connTimeout);
    dx.MinMaxUInt(service.connTimeout, 0, kMaxGeneralValue);
    if (!dx.m_bSaveAndValidate) {
        m_snapshot = m_settings;
        return;
    }
    const bool enabled = service.enabled != 0;
    const std::uint32_t address = service.address;
    m_settings.SetSettings(std::make_shared<const CServiceSettings>(std::move(service)));
    // A disabled proxy binds nothing, so its port clashes with nobody.
    if (enabled && SocketTaken(OtherFamiliesSockets(this, ServerFamily::proxy), static_cast<std::uint32_t>(port), address)) {
        dx.PrepareControl(m_ui->portEdit);
        VelmoraMessageBox(this, kPortTakenStringId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
    if (m_settings.NeedsRestart(m_snapshot))
        SetRestart();
}

CProxyCascadePage::CProxyCascadePage(CHTTPProxySettings& settings)
    : CPropertyPage(QStringLiteral("Cascade")), m_settings(settings)
{
}

CProxyCascadePage::~CProxyCascadePage() = default;

void CProxyCascadePage::SetupUi()
{
    m_ui = std::make_unique<Ui::ProxyCascadePage>();
    m_ui->setupUi(this);
    m_ui->proxyPortSpin->SetBuddy(m_ui->proxyPortEdit);
    m_ui->securityProxyPortSpin->SetBuddy(m_ui->securityProxyPortEdit);
    m_ui->gopherProxyPortSpin->SetBuddy(m_ui->gopherProxyPortEdit);
    m_ui->ftpProxyPortSpin->SetBuddy(m_ui->ftpProxyPortEdit);
}

bool CProxyCascadePage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    for (CSpinButton* spin : {m_ui->proxyPortSpin, m_ui->securityProxyPortSpin, m_ui->gopherProxyPortSpin,
                              m_ui->ftpProxyPortSpin})
        spin->SetRange(0, kGeneralSpinUpper);
    return result;
}

void CProxyCascadePage::DoDataExchange(CDataExchange& dx)
{
    CProxySettings proxy = *m_settings.GetProxySettings();
    dx.Text(m_ui->proxyHostEdit, proxy.proxyHost);
    dx.Text(m_ui->proxyPortEdit, proxy.proxyPort);
    dx.Text(m_ui->securityProxyHostEdit, proxy.securityProxyHost);
    dx.Text(m_ui->securityProxyPortEdit, proxy.securityProxyPort);
    dx.Text(m_ui->gopherProxyHostEdit, proxy.gopherProxyHost);
    dx.Text(m_ui->gopherProxyPortEdit, proxy.gopherProxyPort);
    dx.Text(m_ui->ftpProxyHostEdit, proxy.ftpProxyHost);
    dx.Text(m_ui->ftpProxyPortEdit, proxy.ftpProxyPort);
    if (dx.m_bSaveAndValidate)
        m_settings.SetProxySettings(std::make_shared<const CProxySettings>(std::move(proxy)));
}

CProxyCachePage::CProxyCachePage(CHTTPProxySettings& settings)
    : CPropertyPage(QStringLiteral("Cache")), m_settings(settings)
{
}

CProxyCachePage::~CProxyCachePage() = default;

void CProxyCachePage::SetupUi()
{
    m_ui = std::make_unique<Ui::ProxyCachePage>();
    m_ui->setupUi(this);
    m_ui->maxCacheSizeSpin->SetBuddy(m_ui->maxCacheSizeEdit);
    m_ui->maxFileAgeSpin->SetBuddy(m_ui->maxFileAgeEdit);
    m_ui->saveIntervalSpin->SetBuddy(m_ui->saveIntervalEdit);
    m_ui->purgeIntervalSpin->SetBuddy(m_ui->purgeIntervalEdit);
    m_ui->syncIntervalSpin->SetBuddy(m_ui->syncIntervalEdit);
}

bool CProxyCachePage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_ui->maxCacheSizeSpin->SetRange(0, kGeneralSpinUpper);
    for (CSpinButton* spin : {m_ui->maxFileAgeSpin, m_ui->saveIntervalSpin, m_ui->purgeIntervalSpin})
        spin->SetRange(kCacheIntervalSpinLower, kGeneralSpinUpper);
    m_ui->syncIntervalSpin->SetRange(0, kGeneralSpinUpper);
    return result;
}

void CProxyCachePage::DoDataExchange(CDataExchange& dx)
{
    CProxySettings proxy = *m_settings.GetProxySettings();
    dx.Text(m_ui->cacheDirEdit, proxy.rootDir);
    // A number too large for 32 bits reads as the largest one; without a
    // range it would be stored as that, silently.
    dx.Text(m_ui->maxCacheSizeEdit, proxy.maxCacheSize);
    dx.MinMaxUInt(proxy.maxCacheSize, 0, kMaxCacheValue);
    dx.Text(m_ui->maxFileAgeEdit, proxy.maxFileAge);
    dx.MinMaxUInt(proxy.maxFileAge, 0, kMaxCacheValue);
    dx.Text(m_ui->saveIntervalEdit, proxy.saveInterval);
    dx.MinMaxUInt(proxy.saveInterval, 0, kMaxCacheValue);
    dx.Text(m_ui->purgeIntervalEdit, proxy.purgeInterval);
    dx.MinMaxUInt(proxy.purgeInterval, 0, kMaxCacheValue);
    dx.Text(m_ui->syncIntervalEdit, proxy.syncInterval);
    dx.MinMaxUInt(proxy.syncInterval, 0, kMaxCacheValue);
    if (!dx.m_bSaveAndValidate) {
        m_snapshot = m_settings;
        return;
    }
    m_settings.SetProxySettings(std::make_shared<const CProxySettings>(std::move(proxy)));
    // The cache is built at start with its folder, size and intervals.
    if (m_settings.NeedsRestart(m_snapshot))
        SetRestart();
}
