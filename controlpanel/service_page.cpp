#include "controlpanel/service_page.h"

#include "ui_service_page.h"

#include "app/shared/far_service_command.h"
#include "app/shared/service_note.h"
#include "app/shared/service_watcher.h"
#include "platform/service_status.h"


CServicePage::CServicePage(std::string machine, platform::RemoteRegistry* far)
    : CPropertyPage(QStringLiteral("Service")), m_machine(std::move(machine)), m_far(far)
{
}

CServicePage::~CServicePage()
{
    // The watcher goes before the widgets its answers would touch.
    m_watcher.reset();
}

void CServicePage::SetupUi()
{
    m_ui = std::make_unique<Ui::ServicePage>();
    m_ui->setupUi(this);
    connect(m_ui->startButton, &QPushButton::clicked, this, &CServicePage::OnStart);
    connect(m_ui->stopButton, &QPushButton::clicked, this, &CServicePage::OnStop);
    connect(m_ui->pauseButton, &QPushButton::clicked, this, &CServicePage::OnPause);
    connect(m_ui->resumeButton, &QPushButton::clicked, this, &CServicePage::OnContinue);
    m_note = std::make_unique<CServiceNote>(this, m_ui->outer, 1);
    ShowState(-1);
}

bool CServicePage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_watcher = std::make_unique<CServiceWatcher>(OpenServiceManager(m_machine), kVelmoraServiceName, this,
                                                  [this](int state) {
                                                      ShowState(state);
                                                      m_note->Show(state, m_machine,
                                                                   m_ui->groupServiceControl->width());
                                                  });
    m_watcher->PollEvery(kServiceRefreshMs);
    return result;
}

void CServicePage::OnStart() { Send(ServiceCommand::Start, m_ui->startButton); }
void CServicePage::OnStop() { Send(ServiceCommand::Stop, m_ui->stopButton); }
void CServicePage::OnPause() { Send(ServiceCommand::Pause, m_ui->pauseButton); }
void CServicePage::OnContinue() { Send(ServiceCommand::Continue, m_ui->resumeButton); }

void CServicePage::Send(ServiceCommand command, QWidget* control)
{
    if (!m_watcher)
        return;
    SendServiceCommand(this, *m_watcher, m_far, command, control, [this] { ShowState(-1); });
}

void CServicePage::ShowState(int state)
{
    const bool running = state == static_cast<int>(platform::kServiceRunning);
    m_ui->pauseButton->setEnabled(running);
    m_ui->stopButton->setEnabled(running);
    m_ui->resumeButton->setEnabled(state == static_cast<int>(platform::kServicePaused));
    m_ui->startButton->setEnabled(state == static_cast<int>(platform::kServiceStopped));
}
