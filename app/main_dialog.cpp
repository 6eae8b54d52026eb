#include "app/main_dialog.h"

#include "app/kit/message_box.h"
#include "app/product_icons.h"
#include "app/settings_sheet.h"
#include "framework/server_log.h"
#include "framework/server_stats.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "service/engine.h"

#include <cstdio>

#include <QCloseEvent>
#include <QEventLoop>
#include <QKeyEvent>

CMainDialog::CMainDialog(bool trayMode, QWidget* parent) : QDialog(parent), m_trayMode(trayMode)
{
    m_ui.setupUi(this);
    setObjectName(QStringLiteral("mainDialog"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(LoadProductIcon(kProgramIconId));
    m_ui.programIcon->setPixmap(windowIcon().pixmap(32, 32));
    connect(m_ui.shutdownButton, &QPushButton::clicked, this, &CMainDialog::accept);
    connect(m_ui.settingsButton, &QPushButton::clicked, this, &CMainDialog::OnSettings);
    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setWordWrap(true);
    m_statusLabel->hide();
    m_ui.layout->addWidget(m_statusLabel, 2, 0, 1, 4);
    m_timer.setInterval(kUsersRefreshMs);
    connect(&m_timer, &QTimer::timeout, this, &CMainDialog::OnTimer);
}

CMainDialog::~CMainDialog() = default;

int CMainDialog::DoModal()
{
    // Not QDialog::exec: hiding a dialog ends its exec loop, and this
    // window spends most of its life hidden behind the tray icon.
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
    show();
    Start();
    loop.exec();
    return result() == QDialog::Accepted ? kIdOk : kIdCancel;
}

void CMainDialog::Start()
{
    QString title = ApplicationTitle();
    if (m_trayMode) {
        m_tray = new QSystemTrayIcon(LoadProductIcon(kTrayIconId), this);
        m_tray->setObjectName(QStringLiteral("trayIcon"));
        m_tray->setToolTip(title);
        connect(m_tray, &QSystemTrayIcon::activated, this, &CMainDialog::OnTrayActivated);
        m_tray->show();
    }
    setWindowTitle(title);
    StartServices();
    ReportListeners();
    // The count shows from the start, not only after the first tick.
    OnTimer();
    // Hidden or minimised as soon as the window has appeared, unless it has
    // to say that nothing serves.
    QTimer::singleShot(0, this, &CMainDialog::OnHideWindow);
}

void CMainDialog::ReportListeners()
{
    // Said only once the listeners are up: a terminal that started this
    // program (make run-app) learns where it serves, or that it does not.
    CListenerReport report = DescribeListeners();
    for (const std::string& line : report.lines)
        std::printf("Velmora serves %s from the desktop application\n", line.c_str());
    std::fflush(stdout);
    m_nothingListens = report.NothingListens();
    if (!m_nothingListens) {
        if (m_statusLabel->isVisible()) {
            m_statusLabel->hide();
            adjustSize();
        }
        return;
    }
    const char* text = "Not one configured server could start: their ports are taken or refused. The server log "
                       "(Velmora.log) says why; Settings changes the ports.";
    LogMessage(platform::kEventTypeError, kEventEngineError, {"Not one configured server could start."});
    std::fprintf(stderr, "%s\n", text);
    m_statusLabel->setText(QString::fromLatin1(text));
    m_statusLabel->show();
    // A window does not grow by itself for a wrapped text's height: sized
    // again, it shows the whole text rather than its first line.
    adjustSize();
}

void CMainDialog::OnHideWindow()
{
    // A window hidden behind the tray would keep its news to itself.
    if (m_ending || m_nothingListens)
        return;
    if (m_trayMode)
        hide();
    else
        showMinimized();
}

void CMainDialog::ShowFromTray()
{
    showNormal();
    raise();
    activateWindow();
    StartRefresh();
}

void CMainDialog::StartRefresh()
{
    // Shown again after a while, it shows the count now, not a stale one
    // until the next tick.
    OnTimer();
    m_timer.start();
}

void CMainDialog::OnTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    // Only a left click: a double click, the context button and the middle
    // button do nothing.
    if (reason == QSystemTrayIcon::Trigger)
        ShowFromTray();
}

void CMainDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && !(windowState() & Qt::WindowMinimized) && isVisible())
        StartRefresh();
}

void CMainDialog::OnTimer()
{
    if (!ServicesRunning()) {
        m_ui.usersField->setText(QStringLiteral("-"));
        return;
    }
    m_ui.usersField->setText(QString::number(GetGlobalClientCount()));
}

void CMainDialog::closeEvent(QCloseEvent* event)
{
    m_timer.stop();
    event->ignore();
    if (m_trayMode)
        hide();
    else
        accept();
}

void CMainDialog::accept()
{
    // No statistics block answers -1: that is nobody to ask about.
    long users = GetGlobalClientCount();
    if (users > 0) {
        QString text = LoadQString(kShutdownPromptId);
        text.replace(QLatin1String("%u"), QString::number(users));
        if (VelmoraMessageBox(this, text, kMbYesNo, kShutdownPromptId) != kIdYes)
            return;
    }
    m_ending = true;
    m_timer.stop();
    QDialog::accept();
    if (m_tray) {
        m_tray->hide();
        delete m_tray;
        m_tray = nullptr;
    }
    StopServices();
}

void CMainDialog::reject() { OnSettings(); }

// Enter is the dialog's OK, Shutdown, unless a button has the focus, which
// Enter then presses. No button is drawn as the default, as designed.
void CMainDialog::keyPressEvent(QKeyEvent* event)
{
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            if (auto* button = qobject_cast<QPushButton*>(focusWidget()))
                button->click();
            else
                accept();
            return;
        }
    }
    QDialog::keyPressEvent(event);
}

void CMainDialog::OnSettings()
{
    if (!RunSettingsSheet(this, platform::RegistryKey::LocalMachine(), nullptr))
        return;
    if (VelmoraMessageBox(this, kRestartPromptId, kMbYesNo) == kIdYes) {
        StopServices();
        StartServices();
        ReportListeners();
    }
}
