#include "app/http_performance_page.h"

#include "ui_http_performance_page.h"

#include "app/dialog_templates.h"

CHTTPPerformancePage::CHTTPPerformancePage(unsigned versionWord)
    : CPropertyPage(QStringLiteral("Performance")), m_withSpins(versionWord >= kVersionWithSpinControls)
{
}

CHTTPPerformancePage::~CHTTPPerformancePage() = default;

void CHTTPPerformancePage::SetupUi()
{
    m_ui = std::make_unique<Ui::HTTPPerformancePage>();
    m_ui->setupUi(this);
    m_ui->spin1132->SetBuddy(m_ui->edit1128);
    m_ui->spin1136->SetBuddy(m_ui->edit1130);
    m_ui->spin1133->SetBuddy(m_ui->edit1129);
    for (CSpinButton* spin : {m_ui->spin1132, m_ui->spin1136, m_ui->spin1133})
        spin->setVisible(m_withSpins);
}

bool CHTTPPerformancePage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    if (m_withSpins) {
        for (CSpinButton* spin : {m_ui->spin1132, m_ui->spin1136, m_ui->spin1133})
            spin->SetRange(kHTTPPerformanceSpinLower, kHTTPPerformanceSpinUpper);
    }
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

    dx.Check(m_ui->check1134, service.useFibers);
    dx.Text(m_ui->edit1128, http.urlCacheSize);
    dx.Check(m_ui->check1135, http.checkAccept);
    dx.Text(m_ui->edit1129, keepAlive);
    dx.MinMaxInt(keepAlive, 0, kMaxKeepAliveTimeout);
    dx.Text(m_ui->edit1130, flushInterval);
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
