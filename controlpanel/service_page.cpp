#include "controlpanel/service_page.h"

#include "ui_service_page.h"

#include "controlpanel/service_watcher.h"
#include "platform/registry.h"
#include "platform/service_database.h"
#include "platform/service_status.h"

#include <QLabel>
#include <QTimer>

CServicePage::CServicePage(std::string machine) : CPropertyPage(QStringLiteral("Service")), m_machine(std::move(machine))
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
    m_note = new QLabel(this);
    m_note->setObjectName(QStringLiteral("serviceNote"));
    m_note->setWordWrap(true);
    m_note->hide();
    m_ui->outer->insertWidget(1, m_note);
    ShowState(-1);
}

bool CServicePage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_watcher = std::make_unique<CServiceWatcher>(OpenServiceManager(m_machine), kVelmoraServiceName, this,
                                                  [this](int state) {
                                                      ShowState(state);
                                                      ShowNote(state);
                                                  });
    m_watcher->Poll();
    m_refresh = new QTimer(this);
    connect(m_refresh, &QTimer::timeout, this, [this] { m_watcher->Poll(); });
    m_refresh->start(kServiceRefreshMs);
    return result;
}

void CServicePage::OnStart() { Send(ServiceCommand::Start); }
void CServicePage::OnStop() { Send(ServiceCommand::Stop); }
void CServicePage::OnPause() { Send(ServiceCommand::Pause); }
void CServicePage::OnContinue() { Send(ServiceCommand::Continue); }

void CServicePage::Send(ServiceCommand command)
{
    if (!m_watcher)
        return;
    ShowState(-1);
    m_watcher->Send(command);
}

void CServicePage::ShowState(int state)
{
    const bool running = state == static_cast<int>(platform::kServiceRunning);
    m_ui->pauseButton->setEnabled(running);
    m_ui->stopButton->setEnabled(running);
    m_ui->resumeButton->setEnabled(state == static_cast<int>(platform::kServicePaused));
    m_ui->startButton->setEnabled(state == static_cast<int>(platform::kServiceStopped));
}

// Four grey buttons say nothing of why: a service that is not installed (an
// applet opened on a new hive, say) or a machine that does not answer is
// said in words.
void CServicePage::ShowNote(int state)
{
    if (state != -1) {
        m_note->hide();
        return;
    }
    QString text;
    if (!m_machine.empty())
        text = QStringLiteral("The Velmora service of %1 is not installed there, or the machine does not answer.")
                   .arg(QString::fromStdString(m_machine));
    else if (!platform::ServiceDatabase::Exists(kVelmoraServiceName))
        text = QStringLiteral("The Velmora service is not installed on this machine, so it cannot be started here: "
                              "velmorad -install adds it. These settings are kept in %1.")
                   .arg(QString::fromStdString(platform::RegistryPath()));
    else
        text = QStringLiteral("The Velmora service does not answer.");
    m_note->setText(text);
    m_note->show();
    // The sheet took its size before the note appeared: the note asks for
    // the height its wrapped lines need, so the sheet grows to show them.
    const int width = m_ui->groupServiceControl->width();
    m_note->setMinimumHeight(width > 0 ? m_note->heightForWidth(width) : 0);
    m_ui->outer->activate();
}
