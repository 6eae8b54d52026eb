#include "app/http/http_performance_page.h"

#include "ui_http_performance_page.h"

CHTTPPerformancePage::CHTTPPerformancePage() : CPropertyPage(QStringLiteral("Performance")) {}

CHTTPPerformancePage::~CHTTPPerformancePage() = default;

void CHTTPPerformancePage::SetupUi()
{
    m_ui = std::make_unique<Ui::HTTPPerformancePage>();
    m_ui->setupUi(this);
    m_ui->urlCacheSizeSpin->SetBuddy(m_ui->urlCacheSizeEdit);
    m_ui->urlCacheTimeoutSpin->SetBuddy(m_ui->urlCacheTimeoutEdit);
    m_ui->keepAliveTimeoutSpin->SetBuddy(m_ui->keepAliveTimeoutEdit);
}

bool CHTTPPerformancePage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    for (CSpinButton* spin : {m_ui->urlCacheSizeSpin, m_ui->urlCacheTimeoutSpin, m_ui->keepAliveTimeoutSpin})
        spin->SetRange(kHTTPPerformanceSpinLower, kHTTPPerformanceSpinUpper);
    return result;
}

void CHTTPPerformancePage::DoDataExchange(CDataExchange& dx)
{
    if (!m_config)
        return;
    // The values live in published snapshots: exchange copies, then publish
    // them only when every field passed.
    CServiceSettings service = *m_config->GetSettings();
    CHTTPSettings http = *m_config->GetHTTPSettings();
    auto keepAlive = static_cast<std::int32_t>(http.keepAliveTimeout);
    auto flushInterval = static_cast<std::int32_t>(http.urlCacheFlushInterval);

    dx.Check(m_ui->pooledThreadsCheck, service.useFibers);
    dx.Text(m_ui->urlCacheSizeEdit, http.urlCacheSize);
    dx.Check(m_ui->checkAcceptCheck, http.checkAccept);
    dx.Text(m_ui->keepAliveTimeoutEdit, keepAlive);
    dx.MinMaxInt(keepAlive, 0, kMaxKeepAliveTimeout);
    dx.Text(m_ui->urlCacheTimeoutEdit, flushInterval);
    dx.MinMaxInt(flushInterval, 0, kMaxURLCacheFlushInterval);

    if (!dx.m_bSaveAndValidate) {
        m_original = *m_config;
        return;
    }
    http.keepAliveTimeout = static_cast<std::uint32_t>(keepAlive);
    http.urlCacheFlushInterval = static_cast<std::uint32_t>(flushInterval);
    m_config->SetSettings(std::make_shared<const CServiceSettings>(std::move(service)));
    m_config->SetHTTPSettings(std::make_shared<const CHTTPSettings>(std::move(http)));
    if (m_config->NeedsRestart(m_original))
        SetRestart();
}
