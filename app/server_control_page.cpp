#include "app/server_control_page.h"

#include "ui_service_control_page.h"

#include "service/engine.h"

CServerControlPage::CServerControlPage() : CPropertyPage(QStringLiteral("Service")) {}

CServerControlPage::~CServerControlPage() = default;

void CServerControlPage::SetupUi()
{
    m_ui = std::make_unique<Ui::ServiceControlPage>();
    m_ui->setupUi(this);
    connect(m_ui->startButton, &QPushButton::clicked, this, &CServerControlPage::OnStart);
    connect(m_ui->stopButton, &QPushButton::clicked, this, &CServerControlPage::OnStop);
}

bool CServerControlPage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    UpdateButtons();
    return result;
}

void CServerControlPage::OnStart()
{
    StartServices();
    UpdateButtons();
}

void CServerControlPage::OnStop()
{
    StopServices();
    UpdateButtons();
}

void CServerControlPage::UpdateButtons()
{
    bool running = ServicesRunning() != 0;
    m_ui->startButton->setEnabled(!running);
    m_ui->stopButton->setEnabled(running);
}
