#include "app/performance_page.h"

#include "ui_performance_page.h"

#include "app/dialog_templates.h"

CPerformancePage::CPerformancePage(unsigned versionWord, std::uint32_t& workers, std::uint32_t& concurrency)
    : CPropertyPage(QStringLiteral("Performance")),
      Concurrency(static_cast<std::int32_t>(concurrency)),
      Workers(static_cast<std::int32_t>(workers)),
      m_withSpins(versionWord >= kVersionWithSpinControls),
      m_workersOut(workers),
      m_concurrencyOut(concurrency)
{
}

CPerformancePage::~CPerformancePage() = default;

void CPerformancePage::SetupUi()
{
    m_ui = std::make_unique<Ui::PerformancePage>();
    m_ui->setupUi(this);
    m_ui->spin1133->SetBuddy(m_ui->edit1126);
    m_ui->spin1007->SetBuddy(m_ui->edit1127);
    m_ui->spin1133->setVisible(m_withSpins);
    m_ui->spin1007->setVisible(m_withSpins);
}

bool CPerformancePage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    if (m_withSpins) {
        m_ui->spin1133->SetRange(0, kMaxWorkersSpin);
        m_ui->spin1007->SetRange(0, kMaxWorkersSpin);
    }
    return result;
}

void CPerformancePage::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->edit1127, Concurrency);
    dx.MinMaxInt(Concurrency, 0, kMaxWorkersTyped);
    dx.Text(m_ui->edit1126, Workers);
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
