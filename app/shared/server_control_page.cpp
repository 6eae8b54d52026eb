#include "app/shared/server_control_page.h"

#include "ui_service_control_page.h"

#include "app/restart_service.h"
#include "app/shared/remote_page.h"
#include "platform/remote_service.h"
#include "service/engine.h"

CServerControlPage::CServerControlPage(platform::RemoteRegistry* far)
    : CPropertyPage(QStringLiteral("Service")), m_far(far)
{
}

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
    if (m_far) {
        // The far side's start returns once the service runs (or failed).
        RunWhileWindowPaints([this] { return platform::RemoteServiceControl(*m_far, kRemoteServiceName).Start(); });
    } else {
        StartServices();
    }
    UpdateButtons();
}

void CServerControlPage::OnStop()
{
    if (m_far) {
        RunWhileWindowPaints([this] {
            platform::RemoteServiceControl service(*m_far, kRemoteServiceName);
            return StopServiceAndWait(service);
        });
    } else {
        StopServices();
    }
    UpdateButtons();
}

void CServerControlPage::UpdateButtons()
{
    bool canStart = false;
    bool canStop = false;
    if (m_far) {
        platform::ServiceStatus status;
        if (platform::RemoteServiceControl(*m_far, kRemoteServiceName).QueryStatus(status) == platform::kServiceOk) {
            canStart = status.currentState == platform::kServiceStopped;
            canStop = status.currentState == platform::kServiceRunning;
        }
    } else {
        canStop = ServicesRunning() != 0;
        canStart = !canStop;
    }
    m_ui->startButton->setEnabled(canStart);
    m_ui->stopButton->setEnabled(canStop);
}
