#include "app/shared/performance_page.h"

#include "ui_performance_page.h"
CPerformancePage::CPerformancePage(std::uint32_t& workers, std::uint32_t& concurrency)
    : CPropertyPage(QStringLiteral("Performance")),
      Concurrency(static_cast<std::int32_t>(concurrency)),
      Workers(static_cast<std::int32_t>(workers)),
      m_workersOut(workers),
      m_concurrencyOut(concurrency)
{
}

CPerformancePage::~CPerformancePage() = default;

void CPerformancePage::SetupUi()
{
    m_ui = std::make_unique<Ui::PerformancePage>();
    m_ui->setupUi(this);
    m_ui->workersSpin->SetBuddy(m_ui->workersEdit);
    m_ui->concurrencySpin->SetBuddy(m_ui->concurrencyEdit);
}

bool CPerformancePage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_ui->workersSpin->SetRange(0, kMaxWorkersSpin);
    m_ui->concurrencySpin->SetRange(0, kMaxWorkersSpin);
    return result;
}

void CPerformancePage::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->concurrencyEdit, Concurrency);
    dx.MinMaxInt(Concurrency, 0, kMaxWorkersTyped);
    dx.Text(m_ui->workersEdit, Workers);
    dx.MinMaxInt(Workers, 0, kMaxWorkersTyped);
    if (!dx.m_bSaveAndValidate) {
        if (!m_filled) {
            m_filled = true;
            m_firstConcurrency = Concurrency;
            m_firstWorkers = Workers;
        }
        return;
    }
    // Only values that passed reach the sheet's save.
    m_concurrencyOut = static_cast<std::uint32_t>(Concurrency);
    m_workersOut = static_cast<std::uint32_t>(Workers);
    if (Concurrency != m_firstConcurrency || Workers != m_firstWorkers)
        SetRestart();
}
