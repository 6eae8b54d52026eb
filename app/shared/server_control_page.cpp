#include "app/shared/server_control_page.h"

#include "ui_service_control_page.h"

#include "app/shared/far_service_command.h"
#include "app/shared/service_manager.h"
#include "app/shared/service_note.h"
#include "app/shared/service_watcher.h"
#include "platform/service_status.h"
#include "service/engine.h"

CServerControlPage::CServerControlPage(std::string machine, platform::RemoteRegistry* far)
    : CPropertyPage(QStringLiteral("Service")), m_machine(std::move(machine)), m_far(far)
{
}

CServerControlPage::~CServerControlPage()
{
    // The watcher goes before the widgets its answers would touch.
    m_watcher.reset();
}

void CServerControlPage::SetupUi()
{
    m_ui = std::make_unique<Ui::ServiceControlPage>();
    m_ui->setupUi(this);
    connect(m_ui->startButton, &QPushButton::clicked, this, &CServerControlPage::OnStart);
    connect(m_ui->stopButton, &QPushButton::clicked, this, &CServerControlPage::OnStop);
    m_note = std::make_unique<CServiceNote>(this, m_ui->outer, 1);
}

bool CServerControlPage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    if (m_machine.empty()) {
        UpdateButtons();
        return result;
    }
    // Greyed until the far machine answers.
    ShowFarState(-1);
    m_watcher = std::make_unique<CServiceWatcher>(OpenServiceManager(m_machine), kVelmoraServiceName, this,
                                                  [this](int state) {
                                                      ShowFarState(state);
                                                      m_note->Show(state, m_machine,
                                                                   m_ui->groupServiceControl->width());
                                                  });
    m_watcher->PollEvery(kServiceRefreshMs);
    return result;
}

void CServerControlPage::OnStart()
{
    if (m_watcher) {
        Command(ServiceCommand::Start, m_ui->startButton);
        return;
    }
    StartServices();
    UpdateButtons();
}

void CServerControlPage::OnStop()
{
    if (m_watcher) {
        Command(ServiceCommand::Stop, m_ui->stopButton);
        return;
    }
    StopServices();
    UpdateButtons();
}

void CServerControlPage::Command(ServiceCommand command, QWidget* control)
{
    // Greyed until the state after the command is known.
    SendServiceCommand(this, *m_watcher, m_far, command, control, [this] { ShowFarState(-1); });
}

void CServerControlPage::UpdateButtons()
{
    const bool canStop = ServicesRunning() != 0;
    m_ui->startButton->setEnabled(!canStop);
    m_ui->stopButton->setEnabled(canStop);
}

void CServerControlPage::ShowFarState(int state)
{
    m_ui->startButton->setEnabled(state == static_cast<int>(platform::kServiceStopped));
    m_ui->stopButton->setEnabled(state == static_cast<int>(platform::kServiceRunning));
}
